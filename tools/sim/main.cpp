// corvassel-sim FILE | corvassel-sim --check DIR
#include <platform/VirtualWorld.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "Check.h"
#include "Simulation.h"

namespace {

constexpr const char *kUsage =
    "usage: corvassel-sim FILE          run one scenario and print its trace\n"
    "       corvassel-sim --check DIR   compare every NAME.scenario with NAME.expected\n"
    "       corvassel-sim --help | --version\n";

int Usage() {
  fputs(kUsage, stderr);
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
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("corvassel-sim %s\n", CORVASSEL_VERSION);
    return 0;
  }
  if (argc == 3 && strcmp(argv[1], "--check") == 0)
    return corvassel::sim::CheckDirectory(ThisProgram(argv[0]), argv[2]);
  if (argc == 2 && argv[1][0] != '-') {
    platform::VirtualWorld world;  // the helper runs in the simulated world
    platform::UseBackend running(world);
    return corvassel::sim::RunScenarioFile(argv[1], world);
  }
  return Usage();
}
