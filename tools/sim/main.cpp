// corvassel-sim FILE | corvassel-sim --check DIR
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "Check.h"
#include "Simulation.h"

namespace {

int Usage() {
  fprintf(stderr,
          "usage: corvassel-sim FILE          run one scenario and print its trace\n"
          "       corvassel-sim --check DIR   compare every NAME.scenario with NAME.expected\n");
  return 2;
}

std::string ThisProgram(const char *argv0) {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return argv0;
  path[n] = '\0';
  return path;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && strcmp(argv[1], "--check") == 0)
    return corvassel::sim::CheckDirectory(ThisProgram(argv[0]), argv[2]);
  if (argc == 2 && argv[1][0] != '-') return corvassel::sim::RunScenarioFile(argv[1]);
  return Usage();
}
