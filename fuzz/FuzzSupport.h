// What every fuzz target shares besides the tests' backend (whose notifications go nowhere): a
// private home directory made once per process.
#pragma once

#include <platform/Backend.h>
#include <platform/LiveObjects.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "TestBackend.h"

// A fresh, empty directory (the fuzzer never removes it: it lives as long as the
// process and holds at most one small file).
// Memory-backed when possible: rewriting a file in place on a disk file system waits for the
// disk on every input.
inline std::string MakeScratchDirectory(const char *tag) {
  const char *parent = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string pattern = std::string(parent) + "/corvassel-fuzz-" + tag + "-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    perror("mkdtemp");
    abort();
  }
  return pattern;
}

// Points HOME at a scratch directory and the system's /Library at another, both empty, so no
// script or setting of the machine running the fuzzer can take part.
inline void UseScratchHome(TestBackend &backend) {
  static const std::string home = MakeScratchDirectory("home");
  static const std::string root = MakeScratchDirectory("root");
  setenv("HOME", home.c_str(), 1);
  backend.programs.systemRoot = root;
}

#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)
