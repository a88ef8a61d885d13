// The tap's thread: an event loop over the devices, the hotplug watch and the timers, whose
// wake-up brings work posted from other threads. It sleeps without a timeout while nothing
// happens, and on waking serves what is ready, each handler reading its device until it is
// empty: a frame costs the wait and a read, as in libinput and keyd.
#include "linux/input/InputLoop.h"

#include <sys/epoll.h>
#include <time.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "linux/system/EventLoop.h"

namespace platform::evdev {

namespace {

// Why the loop cannot run, in one line of the log.
void SayCannotRun(const Context &context, const std::string &why) {
  context.say("corvassel-helper: the tap's thread cannot wait for input (" + why +
              "); nothing is remapped");
}

class ThreadLoop final : public InputLoop {
 public:
  ThreadLoop(const Context &context, std::unique_ptr<EventLoop> loop)
      : context_(context), loop_(std::move(loop)) {
    loop_->setOnWake([this] { return runPosted(); });
  }

  // False, having said why, when the thread cannot start.
  bool start() {
    context_.time.threadWillStart();
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &e) {
      context_.time.threadDidExit();
      SayCannotRun(context_, std::string("a thread of its own: ") + strerror(e.code().value()));
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
    loop_->wake();
    thread_.join();
  }

  bool watch(int fd, std::function<void()> onReady) override {
    if (!onReady) return false;
    return loop_->watch(fd, EPOLLIN, [ready = std::move(onReady)](uint32_t) { ready(); });
  }

  void unwatch(int fd) override { loop_->unwatch(fd); }

  void setRoundEnd(std::function<void()> onRoundEnd) override { roundEnd_ = std::move(onRoundEnd); }

  void post(std::function<void()> work) override {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(work));
    }
    loop_->wake();
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
  void run() {
    while (loop_->dispatch(-1))
      if (roundEnd_) roundEnd_();
    context_.time.threadDidExit();
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
  const std::unique_ptr<EventLoop> loop_;
  std::function<void()> roundEnd_;  // the loop thread's own
  // Shared with the threads that post.
  std::mutex mutex_;
  std::deque<std::function<void()>> posted_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<InputLoop> makeThreadLoop(const Context &context) {
  std::string why;
  auto events =
      EventLoop::make([context](const std::string &why) { SayCannotRun(context, why); }, why);
  if (!events) {
    SayCannotRun(context, why);
    return nullptr;
  }
  auto loop = std::make_unique<ThreadLoop>(context, std::move(events));
  if (!loop->start()) return nullptr;
  return loop;
}

}  // namespace platform::evdev
