#include "linux/SystemTime.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include <platform/UniqueFd.h>

#include "cf/CFRuntime.h"
#include "linux/EventLoop.h"

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

[[noreturn]] void Fatal(const std::string &why) {
  CFFatal("CFRunLoop", why.c_str());
}

// Blocks in the event loop with no timeout: one timerfd, set to the nearest deadline, and the
// wake-up are the only things that end a wait besides watched descriptors, so an idle loop
// sleeps until its next timer. A loop that cannot set itself up, or whose wait breaks, cannot
// serve anything: that is fatal and said, rather than a loop spinning at full speed.
class EpollDriver final : public RunLoopDriver {
 public:
  // loop and timer are set up: the timer is not watched yet.
  EpollDriver(std::unique_ptr<EventLoop> loop, UniqueFd timer)
      : loop_(std::move(loop)), timer_(std::move(timer)) {
    if (!loop_->watch(timer_.get(), EPOLLIN, [this](uint32_t) {
          uint64_t expired;
          if (read(timer_.get(), &expired, sizeof expired) > 0) armed_ = kForever;  // disarmed
        }))
      Fatal(std::string("epoll_ctl: ") + strerror(errno));
  }

  bool watch(int fd, uint32_t events, std::function<void(uint32_t)> onReady) override {
    if (fd == timer_.get()) return false;
    return loop_->watch(fd, events, std::move(onReady));
  }

  void unwatch(int fd) override {
    if (fd != timer_.get()) loop_->unwatch(fd);
  }

  void armTimer(uint64_t deadline) override { timerDue_.store(deadline); }

  void wait(uint64_t deadline) override {
    deadline = std::min(deadline, timerDue_.load());
    int timeout = -1;
    if (deadline != kForever && deadline <= ClockNanos(CLOCK_MONOTONIC)) {
      timeout = 0;  // already due: only look at what is ready
    } else if (deadline != armed_) {
      itimerspec when{};
      if (deadline != kForever) {
        when.it_value.tv_sec = static_cast<time_t>(deadline / 1000000000ull);
        when.it_value.tv_nsec = static_cast<long>(deadline % 1000000000ull);
      }
      if (timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &when, nullptr) != 0)
        Fatal(std::string("timerfd_settime: ") + strerror(errno));
      armed_ = deadline;
    }
    loop_->dispatch(timeout);
  }

  void wake() override { loop_->wake(); }

 private:
  const std::unique_ptr<EventLoop> loop_;
  const UniqueFd timer_;
  uint64_t armed_ = kForever;  // the timerfd's deadline; only the loop's thread waits
  std::atomic<uint64_t> timerDue_{kForever};  // the run loop's earliest timer
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

// Set up before the driver is made: what cannot be set up is said before any of it exists.
std::unique_ptr<RunLoopDriver> SystemTime::makeRunLoopDriver() {
  std::string why;
  auto loop = EventLoop::make(Fatal, why);
  if (!loop) Fatal(why);
  UniqueFd timer(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timer) Fatal(std::string("timerfd_create: ") + strerror(errno));
  return std::make_unique<EpollDriver>(std::move(loop), std::move(timer));
}

}  // namespace platform
