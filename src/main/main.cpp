// corvassel-helper: without arguments it is the helper, on the Linux machine; --help and
// --version answer and exit without starting anything.
#include <platform/LinuxMachine.h>
#include <signal.h>

#include <cstdio>
#include <cstring>

#include "main/CorvasselMain.h"

namespace {

constexpr const char *kUsage =
    "usage: corvassel-helper [--help | --version]\n"
    "\n"
    "Makes two chosen mouse buttons go back and forward: on Linux a press of either becomes a\n"
    "click of the side button that browsers and file managers take as back or forward. Without\n"
    "arguments it runs until it is switched off (exit status 0) or restarts itself (status 42,\n"
    "every 30 minutes); systemd's user manager starts it at login (corvassel-helper.service).\n"
    "The settings are corvassel-prefs's; SIGHUP makes the helper read them again.\n";

}  // namespace

int main(int argc, char **argv) {
  if (argc == 1) {
    platform::LinuxMachine machine({SIGHUP});  // SIGHUP: reload, through a dispatch source
    platform::UseBackend running(machine);
    return CorvasselHelperMain();
  }
  if (argc == 2 && strcmp(argv[1], "--help") == 0) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && strcmp(argv[1], "--version") == 0) {
    printf("corvassel-helper %s\n", CORVASSEL_VERSION);
    return 0;
  }
  fprintf(stderr, "corvassel-helper: unknown argument \"%s\"\n%s", argv[1], kUsage);
  return 2;
}
