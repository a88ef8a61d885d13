// A test backend on a manual clock: a run loop's wait jumps the clock straight to its deadline,
// so half an hour of timers costs nothing. A wait with nothing left to wait for stops the loop
// instead of hanging. Taps are fakes the test can drive and inspect.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "TestBackend.h"

class ManualTime : public platform::TimeSource {
 public:
  static constexpr CFAbsoluteTime kEpoch = 800000000.0;

  uint64_t upTimeNanos() override { return now.load(); }
  CFAbsoluteTime absoluteTime() override { return kEpoch + static_cast<double>(now.load()) / 1e9; }
  double seconds() const { return static_cast<double>(now.load()) / 1e9; }
  void advance(double seconds) { now += static_cast<uint64_t>(seconds * 1e9); }

  class Driver : public platform::RunLoopDriver {
   public:
    explicit Driver(ManualTime &time) : time_(time) {}
    bool watch(int, uint32_t, std::function<void(uint32_t)>) override { return false; }
    void unwatch(int) override {}
    void wait(uint64_t deadline) override {
      ++time_.waits;
      if (woken_.exchange(false)) return;
      if (deadline == platform::kForever) {
        // Nothing left that could ever happen on this clock: end the run.
        ++time_.idleEnds;
        CFRunLoopStop(CFRunLoopGetCurrent());
        return;
      }
      if (deadline > time_.now.load()) time_.now.store(deadline);
    }
    void wake() override { woken_ = true; }

   private:
    ManualTime &time_;
    std::atomic<bool> woken_{false};
  };

  class Sleeper : public platform::Waiter {
   public:
    explicit Sleeper(ManualTime &time) : time_(time) {}
    void waitUntil(uint64_t deadline) override {
      if (deadline != platform::kForever && deadline > time_.now.load()) time_.now.store(deadline);
    }
    void notify() override {}

   private:
    ManualTime &time_;
  };

  std::unique_ptr<platform::Waiter> makeWaiter() override {
    return std::make_unique<Sleeper>(*this);
  }
  std::unique_ptr<platform::RunLoopDriver> makeRunLoopDriver() override {
    return std::make_unique<Driver>(*this);
  }

  std::atomic<uint64_t> now{0};
  std::atomic<int> waits{0};
  std::atomic<int> idleEnds{0};
};

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

class SilentNotifications : public platform::NotificationTransport {
 public:
  void start(std::function<void(const std::string &)>) override {}
  void post(const std::string &) override {}
};

class ManualTimeBackend : public TestBackend {
 public:
  // Uninstalled while the members are alive: the loops it drops may still destroy fake taps.
  ~ManualTimeBackend() override { platform::setBackend(nullptr); }
  platform::TimeSource &time() override { return clock; }
  platform::InputBackend &input() override { return tapInput; }
  platform::NotificationTransport &notifications() override { return silent; }
  void timerArmed(CFTimeInterval interval) override { armed.push_back(interval); }
  void timerInvalidated() override { ++invalidated; }
  // Death tests read the outcome from standard error.
  [[noreturn]] void exitProcess(int status) override {
    // Trust checks read P (with the prompt) or N (without).
    std::string checks;
    for (bool prompt : tapInput.trustChecks) checks += prompt ? 'P' : 'N';
    fprintf(stderr, "exit %d at %.3f taps %d armed %zu invalidated %d trust %s\n", status,
            clock.seconds(), tapInput.tapRequests, armed.size(), invalidated, checks.c_str());
    fflush(stderr);
    _exit(status);
  }

  ManualTime clock;
  TapInput tapInput;
  SilentNotifications silent;
  std::vector<CFTimeInterval> armed;
  int invalidated = 0;
};

// Death tests re-run the test in a fresh process whose main thread runs the statement.
inline void UseFreshProcessForDeathTests() {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
}
