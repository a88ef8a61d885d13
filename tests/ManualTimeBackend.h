// A test backend on the manual clock, whose taps are fakes the test can drive and inspect.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TestBackend.h"

// What the fake taps saw, shared by every tap of one backend.
struct TapLog {
  int created = 0;
  int destroyed = 0;
  std::vector<bool> enables;
  std::vector<CFRunLoopRef> attachedTo;
  platform::TapRequest lastRequest{};
  platform::TapClient *lastClient = nullptr;
};

class FakeTapDriver : public platform::TapDriver {
 public:
  explicit FakeTapDriver(TapLog &log) : log_(log) { ++log_.created; }
  ~FakeTapDriver() override { ++log_.destroyed; }
  void attach(CFRunLoopRef rl) override { log_.attachedTo.push_back(rl); }
  void setEnabled(bool enabled) override {
    enabled_ = enabled;
    log_.enables.push_back(enabled);
  }
  bool isEnabled() override { return enabled_; }

 private:
  TapLog &log_;
  bool enabled_ = false;
};

class TapInput : public TestInput {
 public:
  std::unique_ptr<platform::TapDriver> createTap(const platform::TapRequest &request,
                                                 platform::TapClient &client) override {
    ++tapRequests;
    if (tapsFail) return nullptr;
    taps.lastRequest = request;
    taps.lastClient = &client;
    return std::make_unique<FakeTapDriver>(taps);
  }

  bool tapsFail = false;
  int tapRequests = 0;
  TapLog taps;
};

class ManualTimeBackend : public TestBackend {
 public:
  ManualTimeBackend() {
    clock = &manualTime;
    inputBackend = &tapInput;
  }
  // Done with while the members are alive: the loops taken down may still destroy fake taps.
  ~ManualTimeBackend() override { stopUsing(); }
  // Death tests read the outcome from standard error.
  [[noreturn]] void exitProcess(int status) override {
    // Trust checks read P (with the prompt) or N (without).
    std::string checks;
    for (bool prompt : tapInput.trustChecks) checks += prompt ? 'P' : 'N';
    fprintf(stderr, "exit %d at %.3f taps %d armed %zu invalidated %d trust %s\n", status,
            manualTime.seconds(), tapInput.tapRequests, manualTime.armed.size(),
            manualTime.invalidated, checks.c_str());
    fflush(stderr);
    _exit(status);
  }

  TapInput tapInput;
};

// Death tests re-run the test in a fresh process whose main thread runs the statement.
inline void UseFreshProcessForDeathTests() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
}
