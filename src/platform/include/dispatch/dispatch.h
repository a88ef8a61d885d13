// libdispatch's queues and signal sources, through its plain C functions: the forms that take
// a function and a context (dispatch_async_f, dispatch_after_f). The block forms (dispatch_async,
// dispatch_after) need a compiler with blocks; Apple's header, too, declares them only there.
#pragma once

#include <stdint.h>

extern "C" {

typedef struct dispatch_queue_s *dispatch_queue_t;
typedef uint64_t dispatch_time_t;
typedef void (*dispatch_function_t)(void *context);

#define DISPATCH_TIME_NOW (0ull)
#define DISPATCH_TIME_FOREVER (~0ull)
#define NSEC_PER_SEC 1000000000ull
#define NSEC_PER_MSEC 1000000ull
#define USEC_PER_SEC 1000000ull
#define NSEC_PER_USEC 1000ull

#define DISPATCH_QUEUE_PRIORITY_HIGH 2
#define DISPATCH_QUEUE_PRIORITY_DEFAULT 0
#define DISPATCH_QUEUE_PRIORITY_LOW (-2)
#define DISPATCH_QUEUE_PRIORITY_BACKGROUND INT16_MIN

// Tasks on the main queue run on the main thread, inside its run loop.
dispatch_queue_t dispatch_get_main_queue(void);
// One concurrent queue per priority; its tasks run on background worker threads.
dispatch_queue_t dispatch_get_global_queue(intptr_t identifier, uintptr_t flags);
// work(context) runs once on the queue; a NULL queue or work is ignored.
void dispatch_async_f(dispatch_queue_t queue, void *context, dispatch_function_t work);
// The same, once the clock reaches when; DISPATCH_TIME_FOREVER never comes.
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void *context,
                      dispatch_function_t work);
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);

// ---- Objects and sources ----
//
// As libdispatch declares them for C++: every object type derives from dispatch_object_s, so a
// source is passed wherever an object is taken.
typedef struct dispatch_object_s {
 protected:
  dispatch_object_s() = default;
  ~dispatch_object_s() = default;
} * dispatch_object_t;
typedef struct dispatch_source_s : public dispatch_object_s {
 protected:
  dispatch_source_s() = default;
  ~dispatch_source_s() = default;
} * dispatch_source_t;
typedef const struct dispatch_source_type_s *dispatch_source_type_t;

// A source that fires when the process receives the signal given as its handle. As with
// libdispatch, the signal's own action still applies, so set it to SIG_IGN where the default
// would end the process. The signal is blocked in the thread that resumes the source, and so in
// every thread started after it; threads that already run by then must block it themselves.
// Each arrival goes to one source: make one source per signal.
extern const struct dispatch_source_type_s _dispatch_source_type_signal;
#define DISPATCH_SOURCE_TYPE_SIGNAL (&_dispatch_source_type_signal)

// A new source is inactive until dispatch_resume. NULL for a type or handle it cannot watch.
// Only sources on the main queue fire, each time on the main thread from its run loop; where
// the run loop cannot watch descriptors (a simulated world) a source never fires.
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);
// For a signal source: how many times the signal arrived since the handler last ran (signals
// that arrive close together may count once).
uintptr_t dispatch_source_get_data(dispatch_source_t source);
// The handler is never called again.
void dispatch_source_cancel(dispatch_source_t source);
long dispatch_source_testcancel(dispatch_source_t source);

void dispatch_set_context(dispatch_object_t object, void *context);
void *dispatch_get_context(dispatch_object_t object);
// Activates a new source; further calls do nothing.
void dispatch_resume(dispatch_object_t object);
void dispatch_retain(dispatch_object_t object);
// The last release cancels a source and frees it.
void dispatch_release(dispatch_object_t object);

}  // extern "C"
