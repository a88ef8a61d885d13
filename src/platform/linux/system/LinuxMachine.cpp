// The real Linux machine and its parts, made in one place.
#include <platform/Host.h>
#include <platform/LinuxMachine.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "linux/input/EvdevKernel.h"
#include "linux/input/LinuxInput.h"
#include "linux/session/SeatSession.h"
#include "linux/system/SessionBus.h"
#include "linux/system/SystemTime.h"

namespace platform {

struct LinuxMachine::Parts {
  explicit Parts(LinuxMachine &machine)
      : context{[&machine](const std::string &line) { machine.log(line); }, time},
        sessions(evdev::logindSessions(getuid(), {}, context.log)),
        input(context, evdev::realKernel(), {}, {}, sessions.get()) {}

  SystemTime time;
  evdev::Context context;  // what the input's parts say and whom they tell of their threads
  HostLauncher launcher;
  HostEventBytes events;
  SessionBusTransport notifications;  // the user's session bus
  std::unique_ptr<evdev::SeatSessions> sessions;
  evdev::LinuxInput input;
  const bool terminal = isatty(STDERR_FILENO);
  std::once_flag logOpened;
};

LinuxMachine::LinuxMachine(std::initializer_list<int> signals) {
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : signals) sigaddset(&blocked, signal);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  parts_ = std::make_unique<Parts>(*this);
}

LinuxMachine::~LinuxMachine() = default;

TimeSource &LinuxMachine::time() {
  return parts_->time;
}

InputBackend &LinuxMachine::input() {
  return parts_->input;
}

NotificationTransport &LinuxMachine::notifications() {
  return parts_->notifications;
}

Launcher &LinuxMachine::launcher() {
  return parts_->launcher;
}

EventBytes &LinuxMachine::events() {
  return parts_->events;
}

// Under systemd, standard error would reach the journal a second time.
void LinuxMachine::log(const std::string &line) {
  if (parts_->terminal) {
    fprintf(stderr, "%s\n", line.c_str());
    return;
  }
  std::call_once(parts_->logOpened, [] { openlog("corvassel-helper", LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", line.c_str());
}

void LinuxMachine::exitProcess(int status) {
  // The mice go back and what the outputs held is released before the outputs go with the
  // process.
  parts_->input.shutdown();
  fflush(nullptr);
  std::exit(status);
}

}  // namespace platform
