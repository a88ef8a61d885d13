// libdispatch's main queue, one global concurrent queue, dispatch_after and dispatch_time.
//
// Main-queue tasks are work performed by the main run loop. Global-queue tasks run on worker
// threads that are started when tasks wait and no worker is free, and that end as soon as the
// queue is empty, so an idle process has no worker to wake.
#include <dispatch/dispatch.h>
#include <platform/Backend.h>

#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "runloop/RunLoopInternal.h"

struct dispatch_queue_s {
  bool main;
};

namespace {

dispatch_queue_s gMainQueue{true};
dispatch_queue_s gGlobalQueue{false};

using platform::TimeSource;

class Workers {
 public:
  void submit(dispatch_block_t block) {
    bool start;
    {
      std::lock_guard lock(mutex_);
      tasks_.push_back(std::move(block));
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
      dispatch_block_t task;
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
  std::deque<dispatch_block_t> tasks_;
  size_t running_ = 0;
  size_t busy_ = 0;
};

Workers &GlobalWorkers() {
  static Workers *workers = new Workers;  // detached workers may outlive static destruction
  return *workers;
}

// A delayed global-queue task waits on its own thread, then joins the queue.
void SubmitLater(dispatch_time_t when, dispatch_block_t block) {
  TimeSource &time = platform::backend().time();
  time.threadWillStart();
  auto wait = [&time, when, block = std::move(block)]() mutable {
    {
      std::unique_ptr<platform::Waiter> waiter = time.makeWaiter();
      while (time.upTimeNanos() < when) waiter->waitUntil(when);
    }
    GlobalWorkers().submit(std::move(block));
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

void dispatch_async(dispatch_queue_t queue, dispatch_block_t block) {
  if (!queue || !block) return;
  if (queue->main)
    platform::runLoopPerform(CFRunLoopGetMain(), std::move(block));
  else
    GlobalWorkers().submit(std::move(block));
}

void dispatch_after(dispatch_time_t when, dispatch_queue_t queue, dispatch_block_t block) {
  if (!queue || !block || when == DISPATCH_TIME_FOREVER) return;
  if (queue->main)
    platform::runLoopPerformAt(CFRunLoopGetMain(), when, std::move(block));
  else
    SubmitLater(when, std::move(block));
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
