// The one seam between the platform layer and what serves it: the real Linux machine
// (src/platform/linux), the simulated world (src/platform/virtual) or a test's own backend.
// Every part a backend offers is named here, with no default: a backend that leaves one out does
// not compile. An executable that links the Linux machine has it installed before main; any
// other backend is installed with setBackend() before the helper starts.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <corvassel/AppKit.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// The held-buttons mask, bit n for button n, as NSEvent gives it.
using corvassel::ns::NSUInteger;

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

// What a run loop blocks in: descriptors, a deadline and a wake-up.
class RunLoopDriver {
 public:
  virtual ~RunLoopDriver() = default;
  // Calls onReady(revents) on the loop's thread, from inside wait(), while fd has any of the
  // epoll events. Returns false when this driver cannot watch descriptors (virtual time).
  virtual bool watch(int fd, uint32_t events, std::function<void(uint32_t revents)> onReady) = 0;
  virtual void unwatch(int fd) = 0;
  // Returns after wake(), after watched descriptors were served, or once the deadline passed.
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

class Backend {
 public:
  virtual ~Backend() = default;
  virtual TimeSource &time() = 0;
  virtual InputBackend &input() = 0;
  virtual NotificationTransport &notifications() = 0;
  // One line for the system log.
  virtual void log(const std::string &line) = 0;
  [[noreturn]] virtual void exitProcess(int status) = 0;
  // Where a path the helper names really lives (lets a test stand in for /Library).
  virtual std::string mapPath(const std::string &path) = 0;
  // Observation points for the simulated world.
  virtual void timerArmed(CFTimeInterval interval) = 0;
  virtual void timerInvalidated() = 0;
  virtual void willSpawn(const std::string &path) = 0;
};

// The installed backend: the last one given to setBackend, else the machine.
Backend &backend();
// Installs b (nullptr goes back to the machine). Only before the helper starts, with no
// platform thread running; b must outlive its use.
void setBackend(Backend *b);
// The machine an executable runs on, installed once before main by the backend it links.
void setMachine(Backend *machine);
// Changes each time another backend is installed: what was built on the old one is stale.
uint64_t backendGeneration();
// Runs observer on the installing thread each time another backend is installed, while the
// old one is still alive (the run loop drops what it built on the old clock).
void whenBackendChanges(void (*observer)());

// Objects of the CF layer (numbers, strings, events, ...) alive right now; CFSTR constants and
// the two booleans are not counted.
long liveObjectCount();

}  // namespace platform
