#include "linux/system/EventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "linux/system/RawCalls.h"

namespace platform {

namespace {

std::string Failed(const char *call) {
  return std::string(call) + ": " + strerror(errno);
}

}  // namespace

std::unique_ptr<EventLoop> EventLoop::make(Fatal fatal, std::string &why) {
  UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll) {
    why = Failed("epoll_create1");
    return nullptr;
  }
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) {
    why = Failed("eventfd");
    return nullptr;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the wake-up
  if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0) {
    why = Failed("epoll_ctl");
    return nullptr;
  }
  return std::unique_ptr<EventLoop>(
      new EventLoop(std::move(fatal), std::move(epoll), std::move(wake)));
}

EventLoop::EventLoop(Fatal fatal, UniqueFd epoll, UniqueFd wake)
    : fatal_(std::move(fatal)), epoll_(std::move(epoll)), wake_(std::move(wake)) {}

// Each handler rides in its epoll entry, named by address rather than by descriptor number: a
// number unwatched and reused within one round must not reach the new handler.
bool EventLoop::watch(int fd, uint32_t events, Handler onReady) {
  if (fd < 0 || fd == epoll_.get() || fd == wake_.get() || !onReady) return false;
  auto watch = std::make_unique<Watch>(std::move(onReady));
  epoll_event event{};
  event.events = events;
  event.data.ptr = watch.get();
  std::lock_guard lock(mutex_);
  auto known = watches_.find(fd);
  const bool replacing = known != watches_.end();
  if (epoll_ctl(epoll_.get(), replacing ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0)
    return false;
  if (replacing) retireLocked(std::move(known->second));
  watches_[fd] = std::move(watch);
  return true;
}

void EventLoop::unwatch(int fd) {
  std::lock_guard lock(mutex_);
  auto known = watches_.find(fd);
  if (known == watches_.end()) return;
  epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
  retireLocked(std::move(known->second));
  watches_.erase(known);
}

void EventLoop::retireLocked(std::unique_ptr<Watch> watch) {
  watch->live.store(false, std::memory_order_release);
  retired_.push_back(std::move(watch));
}

void EventLoop::wake() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_.get(), &one, sizeof one);
}

bool EventLoop::dispatch(int timeoutMs) {
  epoll_event events[32];
  const int count = evdev::RawEpollWait(epoll_.get(), events, 32, timeoutMs);
  if (count < 0) {
    if (errno == EINTR) return true;  // a signal, or stopped and continued
    // With its own descriptor and buffer the wait cannot fail otherwise.
    if (fatal_) fatal_(Failed("epoll_wait"));
    std::abort();
  }
  for (int i = 0; i < count; ++i) {
    auto *watch = static_cast<Watch *>(events[i].data.ptr);
    if (!watch) {
      uint64_t drained;
      [[maybe_unused]] ssize_t n = read(wake_.get(), &drained, sizeof drained);
      if (onWake_ && !onWake_()) return false;
      continue;
    }
    // Not if unwatched since epoll saw it ready.
    if (watch->live.load(std::memory_order_acquire)) watch->onReady(events[i].events);
  }
  // Outside the lock: what a handler captured may unwatch more as it goes.
  std::vector<std::unique_ptr<Watch>> retired;
  {
    std::lock_guard lock(mutex_);
    retired.swap(retired_);
  }
  return true;
}

}  // namespace platform
