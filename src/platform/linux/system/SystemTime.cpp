#include "linux/system/SystemTime.h"

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "linux/system/EpollDriver.h"

namespace platform {

namespace {

uint64_t ClockNanos(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

constexpr double kUnixToReferenceDate = 978307200.0;  // 1970-01-01 to 2001-01-01, in seconds

// std::chrono::steady_clock is CLOCK_MONOTONIC, the clock upTimeNanos reads.
class SystemWaiter final : public Waiter {
 public:
  void waitUntil(uint64_t deadline) override {
    std::unique_lock lock(mutex_);
    auto notified = [this] { return notified_; };
    if (deadline >= static_cast<uint64_t>(INT64_MAX)) {
      condition_.wait(lock, notified);
    } else {
      std::chrono::steady_clock::time_point when{
          std::chrono::nanoseconds(static_cast<int64_t>(deadline))};
      condition_.wait_until(lock, when, notified);
    }
    notified_ = false;
  }
  void notify() override {
    {
      std::lock_guard lock(mutex_);
      notified_ = true;
    }
    condition_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable condition_;
  bool notified_ = false;
};

}  // namespace

uint64_t SystemTime::upTimeNanos() {
  return ClockNanos(CLOCK_MONOTONIC);
}

CFAbsoluteTime SystemTime::absoluteTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) - kUnixToReferenceDate +
         static_cast<double>(ts.tv_nsec) / 1e9;
}

std::unique_ptr<Waiter> SystemTime::makeWaiter() {
  return std::make_unique<SystemWaiter>();
}

std::unique_ptr<RunLoopDriver> SystemTime::makeRunLoopDriver() {
  return makeEpollDriver();
}

}  // namespace platform
