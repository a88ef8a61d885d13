// The real Linux machine: the monotonic clock and epoll, the mice through evdev and uinput, the
// user's login sessions through logind, distributed notifications on the user's session bus,
// programs through posix_spawn, events as the platform lays them out, the system log and process
// exit. A program that runs on it makes
// one first thing in main(), before any thread starts, and serves the platform from it:
//
//   platform::LinuxMachine machine;
//   platform::UseBackend running(machine);
//
// It owns its parts, made with it; nothing opens a device or a bus until first used.
#pragma once

#include <platform/Backend.h>

#include <initializer_list>
#include <memory>

namespace platform {

class LinuxMachine final : public Backend {
 public:
  // signals: those the program takes through dispatch signal sources (a signalfd each). They
  // are blocked here, for the whole process: every thread started later inherits the mask, so
  // none of them takes such a signal by its default action instead.
  explicit LinuxMachine(std::initializer_list<int> signals = {});
  ~LinuxMachine() override;
  LinuxMachine(const LinuxMachine &) = delete;
  LinuxMachine &operator=(const LinuxMachine &) = delete;

  TimeSource &time() override;
  InputBackend &input() override;
  NotificationTransport &notifications() override;
  Launcher &launcher() override;
  EventBytes &events() override;
  // To standard error on a terminal, else to the system log: each line reaches the journal once.
  void log(const std::string &line) override;
  [[noreturn]] void exitProcess(int status) override;

 private:
  struct Parts;
  std::unique_ptr<Parts> parts_;
};

}  // namespace platform
