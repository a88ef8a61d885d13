// The tap's thread: epoll over the devices, the hotplug watch and the timers, plus an eventfd
// for work posted from other threads. It sleeps without a timeout while nothing happens.
//
// With one mouse it waits in that mouse's read instead: a wake-up is then one read, as in the
// simplest forwarder, not epoll_wait and a read. A second thread waits in epoll for everything
// else meanwhile, and when any of it is ready it interrupts the read with a signal, whose handler
// also makes the descriptor non-blocking: a signal that comes just before the read cannot be
// lost, as the read then returns at once.
#include "linux/InputLoop.h"

#include <fcntl.h>
#include <platform/Backend.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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

// Interrupts a loop thread waiting in a read. Real-time signals are not taken by dispatch
// sources, and no one else sends this one to the loop's thread.
int InterruptSignal() {
  return SIGRTMIN + 2;
}

// The loop thread's own: the descriptor it waits in (-1: none), and whether it was interrupted.
thread_local int tWaitFd = -1;
thread_local volatile sig_atomic_t tInterrupted = 0;

void OnInterrupt(int) {
  const int saved = errno;
  if (const int fd = tWaitFd; fd >= 0) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  }
  tInterrupted = 1;
  errno = saved;
}

bool SetBlocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

class ThreadLoop final : public InputLoop {
 public:
  ThreadLoop()
      : epoll_(epoll_create1(EPOLL_CLOEXEC)),
        others_(epoll_create1(EPOLL_CLOEXEC)),
        wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;  // the wake-up
    epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, wake_.get(), &event);
    epoll_ctl(others_.get(), EPOLL_CTL_ADD, wake_.get(), &event);
    static std::once_flag installed;
    std::call_once(installed, [] {
      struct sigaction action = {};
      action.sa_handler = OnInterrupt;
      sigemptyset(&action.sa_mask);
      action.sa_flags = 0;  // no SA_RESTART: the read is to return
      sigaction(InterruptSignal(), &action, nullptr);
    });
    backend().time().threadWillStart();
    thread_ = std::thread([this] { run(); });
    backend().time().threadWillStart();
    sentinel_ = std::thread([this] { watchOthers(); });
  }

  ~ThreadLoop() override {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake();
    if (state_.load() & 1) interrupt();  // out of a read to see it (else the sentinel would)
    thread_.join();
    sentinelStopping_ = true;
    state_.fetch_add(2);  // a change of value that keeps the parity
    state_.notify_all();
    wake();
    sentinel_.join();
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
    const int op = known != handlers_.end() ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epoll_.get(), op, fd, &event) != 0) return false;
    if (fd != waitFd_) epoll_ctl(others_.get(), op, fd, &event);
    if (known != handlers_.end()) {
      if (waiting_ == known->second.get()) waiting_ = handler.get();
      retire(std::move(known->second));
    }
    handlers_[fd] = std::move(handler);
    return true;
  }

  void unwatch(int fd) override {
    std::lock_guard lock(mutex_);
    auto known = handlers_.find(fd);
    if (known == handlers_.end()) return;
    if (fd == waitFd_) stopWaitingIn();  // before the descriptor may be closed
    epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
    epoll_ctl(others_.get(), EPOLL_CTL_DEL, fd, nullptr);
    retire(std::move(known->second));
    handlers_.erase(known);
  }

  // Set and run on the loop's thread only.
  void setRoundEnd(std::function<void()> onRoundEnd) override { roundEnd_ = std::move(onRoundEnd); }

  void waitIn(int fd) override {
    if (fd == waitFd_) return;
    std::lock_guard lock(mutex_);
    stopWaitingIn();
    auto known = handlers_.find(fd);
    if (fd < 0 || known == handlers_.end()) return;
    // The sentinel must not wake for what this thread itself waits for.
    if (epoll_ctl(others_.get(), EPOLL_CTL_DEL, fd, nullptr) != 0) return;
    waitFd_ = fd;
    waiting_ = known->second.get();
  }

  void post(std::function<void()> work) override {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(work));
    }
    wake();
    // Straight to a loop waiting in a read, sparing the sentinel's round trip.
    if (state_.load() & 1) interrupt();
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

  void interrupt() {
    if (const pid_t tid = tid_.load(); tid > 0)
      syscall(SYS_tgkill, getpid(), tid, InterruptSignal());
  }

  // With the mutex held, on the loop's thread: back to waiting in epoll for fd too.
  void stopWaitingIn() {
    if (waitFd_ < 0) return;
    leaveRead();
    if (handlers_.count(waitFd_)) {
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.ptr = handlers_[waitFd_].get();
      epoll_ctl(others_.get(), EPOLL_CTL_ADD, waitFd_, &event);
    }
    waitFd_ = -1;
    waiting_ = nullptr;
  }

  // The descriptor made blocking and the sentinel told; false if it cannot be.
  bool enterRead() {
    if (inRead_) return true;
    tInterrupted = 0;
    tWaitFd = waitFd_;
    if (!SetBlocking(waitFd_, true)) {
      tWaitFd = -1;
      return false;
    }
    inRead_ = true;
    state_.fetch_add(1);  // odd: waiting in the read
    state_.notify_all();
    return true;
  }

  void leaveRead() {
    if (!inRead_) return;
    inRead_ = false;
    state_.fetch_add(1);
    state_.notify_all();
    SetBlocking(tWaitFd, false);  // epoll's rounds read until the descriptor is empty
    tWaitFd = -1;
  }

  void run() {
    tid_ = static_cast<pid_t>(syscall(SYS_gettid));
    sigset_t interrupts;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, InterruptSignal());
    pthread_sigmask(SIG_UNBLOCK, &interrupts, nullptr);
    epoll_event events[32];
    for (;;) {
      int timeout = -1;
      if (waiting_ && waiting_->live && enterRead()) {
        if (!tInterrupted) {
          waiting_->onReady();  // one read, blocking until a frame comes or it is interrupted
          endRound();
          continue;
        }
        // Interrupted: what is ready now is served, then back to the read. Two may interrupt
        // for one cause (the poster and the sentinel), so one may find nothing.
        timeout = 0;
      }
      leaveRead();
      const int count = RawEpollWait(epoll_.get(), events, 32, timeout);
      if (count == 0 && timeout == 0) continue;
      for (int i = 0; i < count; ++i) {
        auto *handler = static_cast<Handler *>(events[i].data.ptr);
        if (!handler) {
          uint64_t drained;
          [[maybe_unused]] ssize_t n = read(wake_.get(), &drained, sizeof drained);
          if (!runPosted()) {
            std::lock_guard lock(mutex_);
            stopWaitingIn();
            backend().time().threadDidExit();
            return;
          }
          continue;
        }
        if (handler->live) handler->onReady();  // not if unwatched earlier in this round
      }
      endRound();
    }
  }

  void endRound() {
    if (roundEnd_) roundEnd_();
    if (retiring_.load(std::memory_order_acquire)) {
      std::lock_guard lock(mutex_);
      retired_.clear();
      retiring_ = false;
    }
  }

  // The sentinel: while the loop waits in a read, waits in epoll for everything else, and gets
  // the loop out of its read when any of it is ready.
  void watchOthers() {
    epoll_event event;
    uint32_t seen = state_.load();
    for (;;) {
      while (!(seen & 1) && !sentinelStopping_) {
        state_.wait(seen);
        seen = state_.load();
      }
      if (sentinelStopping_) break;
      const int count = RawEpollWait(others_.get(), &event, 1, -1);
      if (sentinelStopping_) break;
      if (count <= 0) {
        seen = state_.load();
        continue;
      }
      if (state_.load() == seen) interrupt();
      state_.wait(seen);  // until the loop has left that read, which it may have already
      seen = state_.load();
    }
    backend().time().threadDidExit();
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
  UniqueFd others_;  // what the sentinel waits for: all but the descriptor waited in
  UniqueFd wake_;
  std::mutex mutex_;
  std::map<int, std::unique_ptr<Handler>> handlers_;
  std::vector<std::unique_ptr<Handler>> retired_;  // unwatched, freed once their round is over
  std::atomic<bool> retiring_{false};              // whether retired_ holds any
  std::function<void()> roundEnd_;
  std::deque<std::function<void()>> posted_;
  bool stopping_ = false;
  int waitFd_ = -1;                 // the descriptor to wait in, or -1
  Handler *waiting_ = nullptr;      // its handler
  bool inRead_ = false;             // whether the loop waits in that read now (its thread's)
  std::atomic<pid_t> tid_{0};       // the loop thread's, for the interrupt
  std::atomic<uint32_t> state_{0};  // odd while the loop waits in a read; changes on each move
  std::atomic<bool> sentinelStopping_{false};
  std::thread thread_;
  std::thread sentinel_;
};

}  // namespace

std::unique_ptr<InputLoop> makeThreadLoop() {
  return std::make_unique<ThreadLoop>();
}

}  // namespace platform::evdev
