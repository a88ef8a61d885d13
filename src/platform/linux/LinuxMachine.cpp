// The real Linux machine: the composition root of every executable that runs on it. Linking
// this file installs it before main: the monotonic clock and epoll, the mice through evdev and
// uinput, distributed notifications on the D-Bus session bus, the system log and process exit.
#include <platform/Backend.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "linux/EvdevKernel.h"
#include "linux/LinuxInput.h"
#include "linux/SessionBus.h"
#include "linux/SystemTime.h"

namespace platform {
namespace {

class LinuxMachine final : public Backend {
 public:
  TimeSource &time() override { return systemTime(); }
  InputBackend &input() override {
    // Never destroyed: its bus is watched from the main run loop, which may be gone at exit.
    static evdev::SeatSessions *sessions =
        evdev::logindSessions(getuid(), {}, [this](const std::string &line) {
          log(line);
        }).release();
    static evdev::LinuxInput input(evdev::realKernel(), {}, evdev::makeThreadLoop, sessions);
    return input;
  }
  NotificationTransport &notifications() override { return sessionBusTransport(); }

  // Each line reaches the journal once: on a terminal it is read there, otherwise the system
  // log takes it (under systemd, standard error would reach the journal a second time).
  void log(const std::string &line) override {
    static const bool terminal = isatty(STDERR_FILENO);
    if (terminal) {
      fprintf(stderr, "%s\n", line.c_str());
      return;
    }
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("corvassel-helper", LOG_PID, LOG_USER); });
    syslog(LOG_NOTICE, "%s", line.c_str());
  }

  [[noreturn]] void exitProcess(int status) override {
    fflush(nullptr);
    std::exit(status);
  }
  std::string mapPath(const std::string &path) override { return path; }
  void timerArmed(CFTimeInterval) override {}
  void timerInvalidated() override {}
  void willSpawn(const std::string &) override {}
};

const bool gInstalled = [] {
  static LinuxMachine machine;
  setMachine(&machine);
  return true;
}();

}  // namespace
}  // namespace platform
