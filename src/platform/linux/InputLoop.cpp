// The tap's thread: epoll over the devices, the hotplug watch and the timers, plus an eventfd
// for work posted from other threads. It sleeps without a timeout while nothing happens.
#include "linux/InputLoop.h"

#include <platform/Backend.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "linux/RawCalls.h"
#include "linux/UniqueFd.h"

namespace platform::evdev {

namespace {

class ThreadLoop final : public InputLoop {
 public:
  ThreadLoop()
      : epoll_(epoll_create1(EPOLL_CLOEXEC)), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up
    epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event);
    backend().time().threadWillStart();
    thread_ = std::thread([this] { run(); });
  }

  ~ThreadLoop() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake();
    thread_.join();
  }

  // Each watched descriptor's handler rides in its epoll entry, so serving one takes no lookup.
  // A handler unwatched while its round runs is kept until the round is over.
  bool watch(int fd, std::function<void()> onReady) override {
    if (fd < 0 || !onReady) return false;
    std::lock_guard lock(mutex_);
    // Braces, not make_unique: clang 14 cannot build an aggregate from parentheses.
    auto handler = std::unique_ptr<Handler>(new Handler{fd, std::move(onReady), true});
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = handler.get();
    auto known = handlers_.find(fd);
    if (epoll_ctl(epoll_.get(), known != handlers_.end() ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd,
                  &event) != 0)
      return false;
    if (known != handlers_.end()) retire(std::move(known->second));
    handlers_[fd] = std::move(handler);
    return true;
  }

  void unwatch(int fd) override {
    std::lock_guard lock(mutex_);
    auto known = handlers_.find(fd);
    if (known == handlers_.end()) return;
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    retire(std::move(known->second));
    handlers_.erase(known);
  }

  // Set and run on the loop's thread only.
  void setRoundEnd(std::function<void()> onRoundEnd) override { roundEnd_ = std::move(onRoundEnd); }

  void post(std::function<void()> work) override {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(work));
    }
    wake();
  }

  void call(const std::function<void()> &work) override {
    std::mutex done;
    std::condition_variable cv;
    bool finished = false;
    post([&] {
      work();
      std::lock_guard lock(done);
      finished = true;
      cv.notify_one();
    });
    std::unique_lock lock(done);
    cv.wait(lock, [&] { return finished; });
  }

  uint64_t now() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  }

 private:
  struct Handler {
    int fd;
    std::function<void()> onReady;
    std::atomic<bool> live;
  };

  void retire(std::unique_ptr<Handler> handler) {
    handler->live = false;
    retired_.push_back(std::move(handler));
    retiring_ = true;
  }

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_.get(), &one, sizeof one);
  }

  void run() {
    epoll_event events[32];
    for (;;) {
      const int count = RawEpollWait(epoll_.get(), events, 32, -1);
      for (int i = 0; i < count; ++i) {
        auto *handler = static_cast<Handler *>(events[i].data.ptr);
        if (!handler) {
          uint64_t drained;
          [[maybe_unused]] ssize_t n = read(wake_.get(), &drained, sizeof drained);
          if (!runPosted()) {
            backend().time().threadDidExit();
            return;
          }
          continue;
        }
        if (handler->live) handler->onReady();  // not if unwatched earlier in this round
      }
      if (roundEnd_) roundEnd_();
      if (retiring_.load(std::memory_order_acquire)) {
        std::lock_guard lock(mutex_);
        retired_.clear();
        retiring_ = false;
      }
    }
  }

  // False once the loop is to stop: what is still posted then is dropped.
  bool runPosted() {
    for (;;) {
      std::function<void()> work;
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return false;
        if (posted_.empty()) return true;
        work = std::move(posted_.front());
        posted_.pop_front();
      }
      work();
    }
  }

  UniqueFd epoll_;
  UniqueFd wake_;
  std::mutex mutex_;
  std::map<int, std::unique_ptr<Handler>> handlers_;
  std::vector<std::unique_ptr<Handler>> retired_;  // unwatched, freed once their round is over
  std::atomic<bool> retiring_{false};              // whether retired_ holds any
  std::function<void()> roundEnd_;
  std::deque<std::function<void()>> posted_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<InputLoop> makeThreadLoop() {
  return std::make_unique<ThreadLoop>();
}

}  // namespace platform::evdev
