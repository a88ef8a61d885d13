// The benchmarks' backend: the tests' own, trusted and dropping what is posted, on the machine's
// clock or on the tests' manual clock moving a microsecond on every read.
#pragma once

#include "TestBackend.h"

class BenchBackend : public TestBackend {
 public:
  explicit BenchBackend(bool steppingClock = false) {
    testInput.keepPosted = false;
    if (!steppingClock) return;
    manualTime.now = 1'000'000'000;
    manualTime.step = 1000;
    clock = &manualTime;
  }
};
