// libdispatch's main queue, one global concurrent queue, dispatch_async_f, dispatch_after_f and
// dispatch_time, and signal sources.
//
// Main-queue tasks are work performed by the main run loop. Global-queue tasks run on worker
// threads that are started when tasks wait and no worker is free, and that end as soon as the
// queue is empty, so an idle process has no worker to wake. A signal source is a signalfd that
// the main run loop watches: nothing wakes the process until the signal comes. A signal reaches
// a signalfd only while every thread blocks it, so the program blocks the signals it takes this
// way at start-up, before any thread exists (LinuxMachine); a source for a signal the calling
// thread does not block leaves the signal to its own disposition and never runs its handler.
#include <dispatch/dispatch.h>
#include <platform/Backend.h>
#include <platform/UniqueFd.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "runloop/RunLoopInternal.h"

struct dispatch_queue_s {
  bool main;
};

namespace {

dispatch_queue_s gMainQueue{true};
dispatch_queue_s gGlobalQueue{false};

using platform::TimeSource;

using Task = std::function<void()>;

class Workers {
 public:
  void submit(Task task) {
    bool start;
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(task));
      start = tasks_.size() > running_ - busy_;  // every worker already has a task
      if (start) ++running_;
    }
    if (start) launch();
  }

 private:
  void launch() {
    TimeSource &time = platform::backend().time();
    time.threadWillStart();
    try {
      std::thread([this, &time] { work(time); }).detach();
    } catch (const std::system_error &) {
      // No thread now; the tasks stay queued for the next worker that starts.
      {
        std::lock_guard lock(mutex_);
        --running_;
      }
      time.threadDidExit();
    }
  }

  void work(TimeSource &time) {
    for (;;) {
      Task task;
      {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) {
          --running_;
          break;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
        ++busy_;
      }
      task();
      std::lock_guard lock(mutex_);
      --busy_;
    }
    time.threadDidExit();
  }

  std::mutex mutex_;
  std::deque<Task> tasks_;
  size_t running_ = 0;
  size_t busy_ = 0;
};

Workers &GlobalWorkers() {
  static Workers *workers = new Workers;  // detached workers may outlive static destruction
  return *workers;
}

// A delayed global-queue task waits on its own thread, then joins the queue.
void SubmitLater(dispatch_time_t when, Task task) {
  TimeSource &time = platform::backend().time();
  time.threadWillStart();
  auto wait = [&time, when, task = std::move(task)]() mutable {
    {
      std::unique_ptr<platform::Waiter> waiter = time.makeWaiter();
      while (time.upTimeNanos() < when) waiter->waitUntil(when);
    }
    GlobalWorkers().submit(std::move(task));
    time.threadDidExit();
  };
  try {
    std::thread(std::move(wait)).detach();
  } catch (const std::system_error &) {
    time.threadDidExit();
  }
}

}  // namespace

dispatch_queue_t dispatch_get_main_queue(void) {
  return &gMainQueue;
}

// All priorities share the one concurrent queue.
dispatch_queue_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags) {
  return &gGlobalQueue;
}

void dispatch_async_f(dispatch_queue_t queue, void *context, dispatch_function_t work) {
  if (!queue || !work) return;
  Task task = [work, context] { work(context); };
  if (queue->main)
    platform::runLoopPerform(CFRunLoopGetMain(), std::move(task));
  else
    GlobalWorkers().submit(std::move(task));
}

void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void *context,
                      dispatch_function_t work) {
  if (!queue || !work || when == DISPATCH_TIME_FOREVER) return;
  Task task = [work, context] { work(context); };
  if (queue->main)
    platform::runLoopPerformAt(CFRunLoopGetMain(), when, std::move(task));
  else
    SubmitLater(when, std::move(task));
}

// Times are up-time nanoseconds. Overflow saturates to DISPATCH_TIME_FOREVER; a time before the
// clock's start becomes 1, the earliest time that is not DISPATCH_TIME_NOW.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
  if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
  uint64_t base = when == DISPATCH_TIME_NOW ? platform::backend().time().upTimeNanos() : when;
  if (delta >= 0) {
    uint64_t add = static_cast<uint64_t>(delta);
    return base >= DISPATCH_TIME_FOREVER - add ? DISPATCH_TIME_FOREVER : base + add;
  }
  uint64_t sub = 0 - static_cast<uint64_t>(delta);
  return base > sub ? base - sub : 1;
}

// ---- Signal sources ----

struct dispatch_source_type_s {
  int unused;
};
const dispatch_source_type_s _dispatch_source_type_signal{0};

namespace {

class SignalSource final : public dispatch_source_s {
 public:
  explicit SignalSource(int signal) : signal(signal) {}
  ~SignalSource() = default;

  const int signal;
  std::atomic<long> references{1};
  std::mutex mutex;  // guards what follows
  void *context = nullptr;
  dispatch_function_t handler = nullptr;
  uintptr_t data = 0;
  bool activated = false;
  bool cancelled = false;
  platform::UniqueFd fd;
};

SignalSource *AsSource(dispatch_object_t object) {
  return static_cast<SignalSource *>(static_cast<dispatch_source_s *>(object));
}

// On the main thread, from the main run loop: drains the signals that arrived and runs the
// handler once for all of them.
void SignalArrived(SignalSource *source) {
  uintptr_t arrived = 0;
  dispatch_function_t handler = nullptr;
  void *context = nullptr;
  {
    std::lock_guard lock(source->mutex);
    if (!source->fd) return;
    signalfd_siginfo info[8];
    for (;;) {
      ssize_t n = read(source->fd.get(), info, sizeof info);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      arrived += static_cast<uintptr_t>(n) / sizeof info[0];
    }
    if (arrived == 0 || source->cancelled || !source->handler) return;
    source->data = arrived;
    handler = source->handler;
    context = source->context;
  }
  dispatch_retain(source);  // the handler may release the source it runs for
  handler(context);
  dispatch_release(source);
}

void Activate(SignalSource *source) {
  sigset_t blocked;
  pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
  if (!sigismember(&blocked, source->signal)) return;  // not the program's to take this way
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, source->signal);
  platform::UniqueFd fd(signalfd(-1, &only, SFD_NONBLOCK | SFD_CLOEXEC));
  if (fd && platform::runLoopWatch(CFRunLoopGetMain(), fd.get(), EPOLLIN,
                                   [source](uint32_t) { SignalArrived(source); }))
    source->fd = std::move(fd);
}

}  // namespace

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue) {
  if (type != DISPATCH_SOURCE_TYPE_SIGNAL || queue != dispatch_get_main_queue() || mask != 0 ||
      handle == 0 || handle >= static_cast<uintptr_t>(SIGRTMIN) || handle == SIGKILL ||
      handle == SIGSTOP)
    return nullptr;
  return new SignalSource(static_cast<int>(handle));
}

void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler) {
  if (!source) return;
  std::lock_guard lock(AsSource(source)->mutex);
  AsSource(source)->handler = handler;
}

uintptr_t dispatch_source_get_data(dispatch_source_t source) {
  if (!source) return 0;
  std::lock_guard lock(AsSource(source)->mutex);
  return AsSource(source)->data;
}

void dispatch_source_cancel(dispatch_source_t source) {
  if (!source) return;
  SignalSource *signal = AsSource(source);
  std::lock_guard lock(signal->mutex);
  if (signal->cancelled) return;
  signal->cancelled = true;
  if (signal->fd) {
    platform::runLoopUnwatch(CFRunLoopGetMain(), signal->fd.get());
    signal->fd.reset();
  }
}

long dispatch_source_testcancel(dispatch_source_t source) {
  if (!source) return 0;
  std::lock_guard lock(AsSource(source)->mutex);
  return AsSource(source)->cancelled ? 1 : 0;
}

void dispatch_set_context(dispatch_object_t object, void *context) {
  if (!object) return;
  std::lock_guard lock(AsSource(object)->mutex);
  AsSource(object)->context = context;
}

void *dispatch_get_context(dispatch_object_t object) {
  if (!object) return nullptr;
  std::lock_guard lock(AsSource(object)->mutex);
  return AsSource(object)->context;
}

void dispatch_resume(dispatch_object_t object) {
  if (!object) return;
  SignalSource *source = AsSource(object);
  std::lock_guard lock(source->mutex);
  if (source->activated || source->cancelled) return;
  source->activated = true;
  Activate(source);
}

void dispatch_retain(dispatch_object_t object) {
  if (object) ++AsSource(object)->references;
}

void dispatch_release(dispatch_object_t object) {
  if (!object || --AsSource(object)->references > 0) return;
  SignalSource *source = AsSource(object);
  dispatch_source_cancel(source);
  delete source;
}
