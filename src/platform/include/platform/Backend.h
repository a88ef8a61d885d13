// The one seam between the platform layer's services and what serves them. The default backend
// is the real Linux machine (monotonic clock, evdev/uinput input, D-Bus session bus, syslog,
// process exit); the simulator and the tests install their own before the helper starts.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <AppKit/AppKit.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

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
  virtual void threadWillStart() {}
  virtual void threadDidExit() {}
};

struct TapRequest {
  CGEventTapLocation location;
  CGEventTapPlacement placement;
  CGEventTapOptions options;
  CGEventMask eventsOfInterest;
};

// Given to a tap driver: runs the tap's callback for one event on the calling thread and
// returns what the callback returned (the event to pass it, another event, or NULL to swallow).
// Events outside the tap's mask are not delivered (returned unchanged), except the tap-disabled
// notifications, which always are.
class TapClient {
 public:
  virtual ~TapClient() = default;
  virtual CGEventRef deliver(CGEventType type, CGEventRef event) = 0;
};

class TapDriver {
 public:
  virtual ~TapDriver() = default;  // the tap is gone: stop delivering, release every device
  // The tap's run-loop source was added to rl; deliver events on rl's thread from now on.
  virtual void attach(CFRunLoopRef rl) = 0;
  virtual void setEnabled(bool enabled) = 0;
  virtual bool isEnabled() = 0;
};

class InputBackend {
 public:
  virtual ~InputBackend() = default;
  virtual bool isProcessTrusted(bool prompt) = 0;
  // nullptr when no tap can be made (CGEventTapCreate then returns NULL).
  virtual std::unique_ptr<TapDriver> createTap(const TapRequest &request, TapClient &client) = 0;
  virtual NSUInteger pressedMouseButtons() = 0;
  virtual void post(CGEventTapLocation location, CGEventRef event) = 0;
};

class NotificationTransport {
 public:
  virtual ~NotificationTransport() = default;
  // Begins listening, once, when the first observer is added. deliver must then be called on the
  // main thread for every notification posted by anyone (this process included).
  virtual void start(std::function<void(const std::string &name)> deliver) = 0;
  virtual void post(const std::string &name) = 0;
};

class Backend {
 public:
  virtual ~Backend() = default;
  virtual TimeSource &time();
  virtual InputBackend &input();
  virtual NotificationTransport &notifications();
  // One line for the system log.
  virtual void log(const std::string &line);
  [[noreturn]] virtual void exitProcess(int status);
  // Where a path the helper names really lives (lets a test stand in for /Library).
  virtual std::string mapPath(const std::string &path) { return path; }
  // Observation points, no-ops here.
  virtual void timerArmed(CFTimeInterval interval) {}
  virtual void timerInvalidated() {}
  virtual void willSpawn(const std::string &path) {}
};

Backend &backend();
// Installs b (nullptr restores the real machine). Only before the helper starts, with no
// platform thread running; b must outlive its use.
void setBackend(Backend *b);

// The real machine's parts, for backends that replace only some of them.
TimeSource &systemTime();
InputBackend &linuxInput();
NotificationTransport &sessionBusNotifications();

// For platform components: run work on a run loop's thread, or watch a descriptor from it.
void runLoopPerform(CFRunLoopRef rl, std::function<void()> work);
bool runLoopWatch(CFRunLoopRef rl, int fd, uint32_t events,
                  std::function<void(uint32_t revents)> onReady);
void runLoopUnwatch(CFRunLoopRef rl, int fd);

// Objects of the CF layer (numbers, strings, events, ...) alive right now; CFSTR constants and
// the two booleans are not counted.
long liveObjectCount();

}  // namespace platform
