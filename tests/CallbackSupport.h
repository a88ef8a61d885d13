// Lambdas through the C functions that take a function and a context (dispatch_async_f,
// dispatch_after_f, CFRunLoopTimerCreate), for tests that want to capture what they check.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>

#include <functional>
#include <memory>
#include <utility>

namespace callback_support {

using Task = std::function<void()>;
using TimerHandler = std::function<void(CFRunLoopTimerRef)>;

inline void RunTaskOnce(void *context) {
  std::unique_ptr<Task> task(static_cast<Task *>(context));
  (*task)();
}

inline void RunTimerHandler(CFRunLoopTimerRef timer, void *info) {
  (*static_cast<TimerHandler *>(info))(timer);
}

inline void ReleaseTimerHandler(const void *info) {
  delete static_cast<const TimerHandler *>(info);
}

}  // namespace callback_support

// The task frees itself once it has run, so use these only where it will run.
inline void DispatchAsync(dispatch_queue_t queue, callback_support::Task task) {
  dispatch_async_f(queue, new callback_support::Task(std::move(task)),
                   callback_support::RunTaskOnce);
}
inline void DispatchAfter(dispatch_time_t when, dispatch_queue_t queue,
                          callback_support::Task task) {
  dispatch_after_f(when, queue, new callback_support::Task(std::move(task)),
                   callback_support::RunTaskOnce);
}

// A one-shot timer for fireDate; the timer owns the handler through its context's release.
inline CFRunLoopTimerRef CreateTimer(CFAbsoluteTime fireDate,
                                     callback_support::TimerHandler handler) {
  CFRunLoopTimerContext context = {0, new callback_support::TimerHandler(std::move(handler)),
                                   nullptr, callback_support::ReleaseTimerHandler, nullptr};
  return CFRunLoopTimerCreate(nullptr, fireDate, 0, 0, 0, callback_support::RunTimerHandler,
                              &context);
}
