// The tap's thread: one epoll over the devices, the hotplug watch and the timers, plus an
// eventfd for work posted from other threads. It sleeps without a timeout while nothing
// happens, and on waking serves what is ready, each handler reading its device until it is
// empty: a frame costs the wait and a read, as in libinput and keyd.
#include "linux/InputLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "linux/RawCalls.h"
#include "linux/UniqueFd.h"

namespace platform::evdev {

namespace {

// Why the loop cannot run, in one line of the log.
void SayCannotRun(const Context &context, const char *call, int error) {
  context.say(std::string("corvassel-helper: the tap's thread cannot wait for input (") + call +
              ": " + strerror(error) + "); nothing is remapped");
}

class ThreadLoop final : public InputLoop {
 public:
  // epoll and wake are set up: the wake-up is watched.
  ThreadLoop(const Context &context, UniqueFd epoll, UniqueFd wake)
      : context_(context), epoll_(std::move(epoll)), wake_(std::move(wake)) {}

  // False, having said why, when the thread cannot start.
  bool start() {
    context_.time.threadWillStart();
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &e) {
      context_.time.threadDidExit();
      SayCannotRun(context_, "a thread of its own", e.code().value());
      return false;
    }
    return true;
  }

  ~ThreadLoop() override {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake();
    thread_.join();
  }

  // Each watched descriptor's handler rides in its epoll entry, so serving one takes no lookup.
  bool watch(int fd, std::function<void()> onReady) override {
    if (fd < 0 || !onReady) return false;
    // Braces, not make_unique: clang 14 cannot build an aggregate from parentheses.
    auto handler = std::unique_ptr<Handler>(new Handler{fd, std::move(onReady), true});
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = handler.get();
    auto known = handlers_.find(fd);
    const int op = known != handlers_.end() ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epoll_.get(), op, fd, &event) != 0) return false;
    if (known != handlers_.end()) retire(std::move(known->second));
    handlers_[fd] = std::move(handler);
    return true;
  }

  void unwatch(int fd) override {
    auto known = handlers_.find(fd);
    if (known == handlers_.end()) return;
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    retire(std::move(known->second));
    handlers_.erase(known);
  }

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
    bool live;
  };

  // Libinput's deferred removal: the round may still hold the handler's epoll entry.
  void retire(std::unique_ptr<Handler> handler) {
    handler->live = false;
    retired_.push_back(std::move(handler));
  }

  void wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wake_.get(), &one, sizeof one);
  }

  void run() {
    epoll_event events[32];
    for (;;) {
      const int count = RawEpollWait(epoll_.get(), events, 32, -1);
      if (count < 0) {
        if (errno == EINTR) continue;  // stopped and continued, say
        // With its own descriptor and buffer the wait cannot fail otherwise; a loop that no
        // longer waits would spin or leave its mice dead, and a process that ends frees them.
        SayCannotRun(context_, "epoll_wait", errno);
        std::abort();
      }
      for (int i = 0; i < count; ++i) {
        auto *handler = static_cast<Handler *>(events[i].data.ptr);
        if (!handler) {
          uint64_t drained;
          [[maybe_unused]] ssize_t n = read(wake_.get(), &drained, sizeof drained);
          if (!runPosted()) {
            context_.time.threadDidExit();
            return;
          }
          continue;
        }
        if (handler->live) handler->onReady();  // not if unwatched earlier in this round
      }
      if (roundEnd_) roundEnd_();
      retired_.clear();
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

  const Context context_;
  UniqueFd epoll_;
  UniqueFd wake_;
  // The loop thread's own.
  std::map<int, std::unique_ptr<Handler>> handlers_;
  std::vector<std::unique_ptr<Handler>> retired_;  // unwatched, freed once their round is over
  std::function<void()> roundEnd_;
  // Shared with the threads that post.
  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<InputLoop> makeThreadLoop(const Context &context) {
  UniqueFd epoll(epoll_create1(EPOLL_CLOEXEC));
  if (!epoll) {
    SayCannotRun(context, "epoll_create1", errno);
    return nullptr;
  }
  UniqueFd wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) {
    SayCannotRun(context, "eventfd", errno);
    return nullptr;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.ptr = nullptr;  // the wake-up
  if (epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake.get(), &event) != 0) {
    SayCannotRun(context, "epoll_ctl", errno);
    return nullptr;
  }
  auto loop = std::make_unique<ThreadLoop>(context, std::move(epoll), std::move(wake));
  if (!loop->start()) return nullptr;
  return loop;
}

}  // namespace platform::evdev
