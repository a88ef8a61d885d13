#include "linux/system/EpollDriver.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <string>

#include <platform/UniqueFd.h>

#include "cf/CFRuntime.h"
#include "linux/system/EventLoop.h"

namespace platform {

namespace {

[[noreturn]] void Fatal(const std::string &why) {
  CFFatal("CFRunLoop", why.c_str());
}

// The clock upTimeNanos reads, as deadlines are given.
uint64_t MonotonicNanos() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
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
    if (deadline != kForever && deadline <= MonotonicNanos()) {
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

// Set up before the driver is made: what cannot be set up is said before any of it exists.
std::unique_ptr<RunLoopDriver> makeEpollDriver() {
  std::string why;
  auto loop = EventLoop::make(Fatal, why);
  if (!loop) Fatal(why);
  UniqueFd timer(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
  if (!timer) Fatal(std::string("timerfd_create: ") + strerror(errno));
  return std::make_unique<EpollDriver>(std::move(loop), std::move(timer));
}

}  // namespace platform
