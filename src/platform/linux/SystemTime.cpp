#include "linux/SystemTime.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <platform/UniqueFd.h>

#include "cf/CFRuntime.h"

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

// Blocks in epoll_wait with no timeout: the one timerfd, set to the nearest deadline, and the
// eventfd are the only things that end a wait besides watched descriptors, so an idle loop
// sleeps until its next timer. A loop that cannot set itself up, or whose epoll breaks, cannot
// serve anything: that is fatal and said, rather than a loop spinning at full speed.
class EpollDriver final : public RunLoopDriver {
 public:
  EpollDriver()
      : epoll_(Checked(epoll_create1(EPOLL_CLOEXEC), "epoll_create1")),
        timer_(
            Checked(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK), "timerfd_create")),
        wake_(Checked(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK), "eventfd")) {
    add(timer_);
    add(wake_);
  }

  bool watch(int fd, uint32_t events, std::function<void(uint32_t)> onReady) override {
    if (fd < 0 || fd == timer_.get() || fd == wake_.get() || fd == epoll_.get() || !onReady)
      return false;
    auto watch = std::make_unique<Watch>(std::move(onReady));
    std::lock_guard lock(mutex_);
    epoll_event event{};
    event.events = events;
    event.data.ptr = watch.get();
    auto known = watches_.find(fd);
    const bool replacing = known != watches_.end();
    if (epoll_ctl(epoll_.get(), replacing ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0)
      return false;
    if (replacing) retireLocked(std::move(known->second));
    watches_[fd] = std::move(watch);
    return true;
  }

  void unwatch(int fd) override {
    std::lock_guard lock(mutex_);
    auto known = watches_.find(fd);
    if (known == watches_.end()) return;
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    retireLocked(std::move(known->second));
    watches_.erase(known);
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
      Checked(timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &when, nullptr), "timerfd_settime");
      armed_ = deadline;
    }
    epoll_event events[16];
    int count = epoll_wait(epoll_.get(), events, 16, timeout);
    if (count < 0 && errno != EINTR) Checked(count, "epoll_wait");
    for (int i = 0; i < count; ++i) {
      void *const what = events[i].data.ptr;
      uint64_t drained;
      if (what == &timer_) {
        if (read(timer_.get(), &drained, sizeof drained) > 0) armed_ = kForever;  // disarmed
      } else if (what == &wake_) {
        [[maybe_unused]] ssize_t n = read(wake_.get(), &drained, sizeof drained);
      } else {
        auto *watch = static_cast<Watch *>(what);
        {
          std::lock_guard lock(mutex_);
          if (watch->retired) continue;  // unwatched since epoll saw it ready
        }
        watch->onReady(events[i].events);
      }
    }
    // Whatever was unwatched during the round (by a handler, of itself too) goes now. Outside the
    // lock: what a handler captured may unwatch more as it goes.
    std::vector<std::unique_ptr<Watch>> retired;
    {
      std::lock_guard lock(mutex_);
      retired.swap(retired_);
    }
  }

  void wake() override {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_.get(), &one, sizeof one);
  }

 private:
  // result, unless the call it came from failed: then the loop cannot work.
  static int Checked(int result, const char *call) {
    if (result < 0) {
      const std::string why = std::string(call) + ": " + strerror(errno);
      CFFatal("CFRunLoop", why.c_str());
    }
    return result;
  }

  // The handler of one watched descriptor. epoll names it by address, not by descriptor
  // number: a number unwatched and reused within one round must not reach the new handler.
  struct Watch {
    explicit Watch(std::function<void(uint32_t)> ready) : onReady(std::move(ready)) {}
    const std::function<void(uint32_t)> onReady;
    bool retired = false;  // under mutex_
  };

  // A handler unwatched while epoll may still name it, or while it runs, is kept until the round
  // is over.
  void retireLocked(std::unique_ptr<Watch> watch) {
    watch->retired = true;
    retired_.push_back(std::move(watch));
  }

  void add(const UniqueFd &fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = const_cast<UniqueFd *>(&fd);
    Checked(epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd.get(), &event), "epoll_ctl");
  }

  const UniqueFd epoll_;
  const UniqueFd timer_;
  const UniqueFd wake_;
  uint64_t armed_ = kForever;  // the timerfd's deadline; only the loop's thread waits
  std::atomic<uint64_t> timerDue_{kForever};  // the run loop's earliest timer
  std::mutex mutex_;
  std::map<int, std::unique_ptr<Watch>> watches_;
  std::vector<std::unique_ptr<Watch>> retired_;
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
  return std::make_unique<EpollDriver>();
}

}  // namespace platform
