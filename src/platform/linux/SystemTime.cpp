#include "linux/SystemTime.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

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
// sleeps until its next timer.
class EpollDriver final : public RunLoopDriver {
 public:
  EpollDriver() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || timer_ < 0 || wake_ < 0)
      CFFatal("RunLoopDriver", "no epoll, timerfd or eventfd");
    add(timer_, EPOLLIN);
    add(wake_, EPOLLIN);
  }
  ~EpollDriver() override {
    close(wake_);
    close(timer_);
    close(epoll_);
  }

  bool watch(int fd, uint32_t events, std::function<void(uint32_t)> onReady) override {
    if (fd < 0 || fd == timer_ || fd == wake_ || fd == epoll_ || !onReady) return false;
    std::lock_guard lock(mutex_);
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    bool known = watches_.count(fd) > 0;
    if (epoll_ctl(epoll_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0) return false;
    watches_[fd] = std::make_shared<std::function<void(uint32_t)>>(std::move(onReady));
    return true;
  }

  void unwatch(int fd) override {
    std::lock_guard lock(mutex_);
    if (watches_.erase(fd)) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
  }

  void wait(uint64_t deadline) override {
    int timeout = -1;
    if (deadline != kForever && deadline <= ClockNanos(CLOCK_MONOTONIC)) {
      timeout = 0;  // already due: only look at what is ready
    } else if (deadline != armed_) {
      itimerspec when{};
      if (deadline != kForever) {
        when.it_value.tv_sec = static_cast<time_t>(deadline / 1000000000ull);
        when.it_value.tv_nsec = static_cast<long>(deadline % 1000000000ull);
      }
      timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);
      armed_ = deadline;
    }
    epoll_event events[16];
    int count = epoll_wait(epoll_, events, 16, timeout);
    for (int i = 0; i < count; ++i) {
      int fd = events[i].data.fd;
      uint64_t drained;
      if (fd == timer_) {
        if (read(timer_, &drained, sizeof drained) > 0) armed_ = kForever;  // it fired: disarmed
      } else if (fd == wake_) {
        [[maybe_unused]] ssize_t n = read(wake_, &drained, sizeof drained);
      } else {
        std::shared_ptr<std::function<void(uint32_t)>> onReady;
        {
          std::lock_guard lock(mutex_);
          auto at = watches_.find(fd);
          if (at != watches_.end()) onReady = at->second;  // not if an earlier one unwatched it
        }
        if (onReady) (*onReady)(events[i].events);
      }
    }
  }

  void wake() override {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_, &one, sizeof one);
  }

 private:
  void add(int fd, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  int epoll_ = -1;
  int timer_ = -1;
  int wake_ = -1;
  uint64_t armed_ = kForever;  // the timerfd's deadline; only the loop's thread waits
  std::mutex mutex_;
  std::map<int, std::shared_ptr<std::function<void(uint32_t)>>> watches_;
};

class SystemTime final : public TimeSource {
 public:
  uint64_t upTimeNanos() override { return ClockNanos(CLOCK_MONOTONIC); }
  CFAbsoluteTime absoluteTime() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) - kUnixToReferenceDate +
           static_cast<double>(ts.tv_nsec) / 1e9;
  }
  std::unique_ptr<Waiter> makeWaiter() override { return std::make_unique<SystemWaiter>(); }
  std::unique_ptr<RunLoopDriver> makeRunLoopDriver() override {
    return std::make_unique<EpollDriver>();
  }
  void threadWillStart() override {}
  void threadDidExit() override {}
};

}  // namespace

TimeSource &systemTime() {
  static SystemTime time;
  return time;
}

}  // namespace platform
