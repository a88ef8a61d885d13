// The one seam between the platform layer and what serves it: the real Linux machine
// (platform/LinuxMachine.h), the simulated world (platform/VirtualWorld.h) or a test's own
// backend. Every part a backend offers is named here, with no default: a backend that leaves one
// out does not compile. Each program's main() makes the one it runs on and serves the platform
// from it with UseBackend, before anything else runs; a test fixture does the same with its own.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <platform/UniqueFd.h>

namespace platform {

// The held-buttons mask, bit n for button n: the type NSEvent gives it in.
using NSUInteger = unsigned long;

constexpr uint64_t kForever = UINT64_MAX;

// Blocks one thread until notified or until the clock reaches a deadline.
class Waiter {
 public:
  virtual ~Waiter() = default;
  // deadline is in up-time nanoseconds, kForever for none. A notify() that came before the
  // wait makes it return at once.
  virtual void waitUntil(uint64_t deadline) = 0;
  virtual void notify() = 0;  // from any thread
};

// What a run loop blocks in: descriptors, a deadline and a wake-up, and the timer that the
// loop's earliest run-loop timer is armed on (as CoreFoundation arms one system timer per loop).
class RunLoopDriver {
 public:
  virtual ~RunLoopDriver() = default;
  // The loop's earliest run-loop timer is now due at deadline (kForever: it has none). wait()
  // also returns once it is due. Called with the loop's own lock held, from any thread: must
  // not call back into the run loop.
  virtual void armTimer(uint64_t deadline) = 0;
  // Calls onReady(revents) on the loop's thread, from inside wait(), while fd has any of the
  // epoll events. Returns false when this driver cannot watch descriptors (virtual time).
  virtual bool watch(int fd, uint32_t events, std::function<void(uint32_t revents)> onReady) = 0;
  virtual void unwatch(int fd) = 0;
  // Returns after wake(), after watched descriptors were served, or once the deadline or the
  // armed timer's passed.
  virtual void wait(uint64_t deadline) = 0;
  virtual void wake() = 0;  // from any thread
};

class TimeSource {
 public:
  virtual ~TimeSource() = default;
  virtual uint64_t upTimeNanos() = 0;         // monotonic, since an arbitrary start
  virtual CFAbsoluteTime absoluteTime() = 0;  // seconds since 2001-01-01
  virtual std::unique_ptr<Waiter> makeWaiter() = 0;
  virtual std::unique_ptr<RunLoopDriver> makeRunLoopDriver() = 0;
  // Every thread the platform starts is announced by its creator before it runs and says goodbye
  // as its last act, so that virtual time knows when every thread waits.
  virtual void threadWillStart() = 0;
  virtual void threadDidExit() = 0;
};

struct TapRequest {
  CGEventTapLocation location;
  CGEventTapPlacement placement;
  CGEventTapOptions options;
  CGEventMask eventsOfInterest;
};

// One event for the tap's callback: a mouse button's press or release, or a tap-disabled notice
// (button 0).
struct TapEvent {
  CGEventType type;
  int64_t button;
};

// The tap's port, as its driver sees it: it builds the event object and runs the callback.
class TapClient {
 public:
  virtual ~TapClient() = default;
  // From any thread. The callback judges the event on the run loop the tap's source was added
  // to, and answer(pass) is then called on that loop's thread: true lets the event through.
  // Events outside the tap's mask are answered true at once, without the callback; tap-disabled
  // notices always reach it (their answer means nothing).
  virtual void submit(TapEvent event, std::function<void(bool pass)> answer) = 0;
};

class TapDriver {
 public:
  virtual ~TapDriver() = default;  // the tap is gone: nothing more is submitted, devices let go
  // The tap's source was added to rl: its events may reach the callback from now on.
  virtual void attach(CFRunLoopRef rl) = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() = 0;
};

// A posted event as the events layer reads it once, for backends that turn it into input.
struct PostedEvent {
  CGEventRef event;  // the event itself, for backends that keep or show it
  CGEventType type;
  int64_t gesturePhase;    // 0 when it has none
  int64_t swipeDirection;  // 0 when it has none
};

class InputBackend {
 public:
  virtual ~InputBackend() = default;
  virtual bool isProcessTrusted(bool prompt) = 0;
  // nullptr when no tap can be made (CGEventTapCreate then returns NULL).
  virtual std::unique_ptr<TapDriver> createTap(const TapRequest &request, TapClient &client) = 0;
  virtual NSUInteger pressedMouseButtons() = 0;
  virtual void post(CGEventTapLocation location, const PostedEvent &posted) = 0;
};

class NotificationTransport {
 public:
  virtual ~NotificationTransport() = default;
  // Begins listening, once, when the first observer is added. deliver may then be called from
  // any thread for every notification posted by anyone (this process included); the
  // notification center hands them to the main thread.
  virtual void start(std::function<void(const std::string &name)> deliver) = 0;
  virtual void post(const std::string &name) = 0;
};

// Files and the programs the helper starts (its extra scripts), by the paths it names.
class Launcher {
 public:
  virtual ~Launcher() = default;
  // Whether anything exists at path (a dangling symbolic link does not count).
  virtual bool exists(const std::string &path) = 0;
  struct Started {
    pid_t pid = -1;  // -1 when it could not be started, error then saying why (an errno)
    int error = 0;
    UniqueFd exit;  // readable once the child has exited, where the platform offers that
  };
  // Starts the program at path with no arguments, its standard output on output (-1: this
  // process's), default signal handling, no signal blocked and no descriptor beyond the
  // standard three.
  virtual Started launch(const std::string &path, int output) = 0;
};

// Events as bytes, where platforms differ: the event CGEventCreate makes, the bytes
// CGEventCreateData hands out, and which bytes CGEventCreateFromData rebuilds an event from.
// The machine's own layout is HostEventBytes (platform/Host.h).
class EventBytes {
 public:
  virtual ~EventBytes() = default;
  // Writes a new event made at timestamp into out; its length, or 0 when no event can be made
  // now (or it would not fit).
  virtual size_t create(uint64_t timestamp, UInt8 *out, size_t capacity) = 0;
  // What CGEventCreateData hands out for an event of these bytes; NULL when it cannot.
  virtual CFDataRef write(CFAllocatorRef allocator, const UInt8 *bytes, size_t length) = 0;
  // Whether these bytes are an event that CGEventCreateFromData may rebuild.
  virtual bool read(const UInt8 *bytes, size_t length) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual TimeSource &time() = 0;
  virtual InputBackend &input() = 0;
  virtual NotificationTransport &notifications() = 0;
  virtual Launcher &launcher() = 0;
  virtual EventBytes &events() = 0;
  // One line for the system log.
  virtual void log(const std::string &line) = 0;
  [[noreturn]] virtual void exitProcess(int status) = 0;
};

// The backend the platform's C API is served from: the one a UseBackend names while it lives.
Backend &backend();

// Serves the platform from backend for this object's lifetime. A program makes one in main(),
// on the main thread, before anything uses the platform; a test fixture makes its own. One at a
// time. When it goes, so does what the platform built on the backend (the main run loop and the
// calling thread's, with everything scheduled on them); backend must outlive it.
class UseBackend {
 public:
  explicit UseBackend(Backend &backend);
  ~UseBackend();
  UseBackend(const UseBackend &) = delete;
  UseBackend &operator=(const UseBackend &) = delete;
};

}  // namespace platform
