// Stand-ins the benchmarks share: one backend with a trusted input that drops what is posted, no
// notifications, and either the machine's clock or one that steps on every read.
#pragma once

#include <benchmark/benchmark.h>
#include <platform/Backend.h>
#include <platform/Host.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "linux/SystemTime.h"

class DroppingInput : public platform::InputBackend {
 public:
  bool isProcessTrusted(bool) override { return true; }
  std::unique_ptr<platform::TapDriver> createTap(const platform::TapRequest &,
                                                 platform::TapClient &) override {
    return nullptr;
  }
  platform::NSUInteger pressedMouseButtons() override { return 0; }
  void post(CGEventTapLocation, const platform::PostedEvent &posted) override {
    benchmark::DoNotOptimize(posted.event);
  }
};

class QuietNotifications : public platform::NotificationTransport {
 public:
  void start(std::function<void(const std::string &)>) override {}
  void post(const std::string &) override {}
};

// The machine's clock, or (stepping) one that moves a microsecond on every read.
class BenchClock : public platform::TimeSource {
 public:
  uint64_t upTimeNanos() override { return stepping ? now += 1000 : system.upTimeNanos(); }
  CFAbsoluteTime absoluteTime() override { return system.absoluteTime(); }
  std::unique_ptr<platform::Waiter> makeWaiter() override { return system.makeWaiter(); }
  std::unique_ptr<platform::RunLoopDriver> makeRunLoopDriver() override {
    return system.makeRunLoopDriver();
  }
  void threadWillStart() override {}
  void threadDidExit() override {}
  bool stepping = false;
  uint64_t now = 1'000'000'000;
  platform::SystemTime system;
};

class BenchBackend : public platform::Backend {
 public:
  explicit BenchBackend(bool steppingClock = false) {
    clock.stepping = steppingClock;
    using_.emplace(*this);
  }
  ~BenchBackend() override { using_.reset(); }
  platform::TimeSource &time() override { return clock; }
  platform::InputBackend &input() override { return sink; }
  platform::NotificationTransport &notifications() override { return quiet; }
  platform::Launcher &launcher() override { return programs; }
  platform::EventBytes &events() override { return eventBytes; }
  void log(const std::string &) override {}
  [[noreturn]] void exitProcess(int status) override { std::exit(status); }

  BenchClock clock;
  DroppingInput sink;
  QuietNotifications quiet;
  platform::HostLauncher programs;
  platform::HostEventBytes eventBytes;

 private:
  std::optional<platform::UseBackend> using_;
};
