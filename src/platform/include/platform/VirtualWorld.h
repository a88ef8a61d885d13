// A simulated machine behind the platform seam: virtual time, a mouse, accessibility trust, the
// event tap, the notification center, posting and process exit. The simulator and the tests run
// the helper's real code in it; the helper cannot tell.
//
// Virtual time starts at 0 and advances only when every thread of the helper waits (in its run
// loop, a dispatch worker, or a sleep). Then the world moves the clock to the earliest of its own
// next action and the threads' deadlines. World actions due at a time run, in the order they
// were added, before anything the helper does at that time; threads due at the same time are
// woken one at a time, earliest deadline (then earliest wait) first, each run until every thread
// waits again, so a run is deterministic. A thread blocked anywhere else (a join, a real sleep, a
// script's pipe) counts as running and holds the clock, as does an action until it returns; a
// notify() makes the woken thread count as running at once. The helper reacts to one action
// before the next action, even one due at the same time, runs.
#pragma once

#include <platform/Backend.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

class VirtualWorld : public Backend {
 public:
  // What the world saw. Calls come from whichever thread caused them, one at a time.
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void trustChecked(bool prompt, bool trusted) {}
    virtual void tapCreated(bool ok) {}
    virtual void tapEnabled(bool enabled) {}  // the helper switched the tap on or off
    // The run loop armed its earliest timer, or disarmed it before it was due.
    virtual void timerArmed(CFTimeInterval interval) {}
    virtual void timerInvalidated() {}
    // The tap's callback returned for a button or tap-disabled event.
    virtual void eventFiltered(CGEventType type, int64_t buttonNumber, bool passed) {}
    virtual void spawned(const std::string &path) {}  // as the helper named it
    virtual void logged(const std::string &line) {}
    virtual void posted(CGEventRef event) {}
    // The process is ending with status; after this returns the world calls _exit(status).
    virtual void exited(int status) {}
    // The world ran out of time with the helper still running; then _exit(0).
    virtual void ended() {}
  };

  VirtualWorld();
  ~VirtualWorld() override;

  void setObserver(Observer *observer);

  // ---- The world's state (set up before run(), or change it from an action) ----
  void setTrusted(bool trusted);
  void setTapCreationFails(bool fails);
  // A directory that stands in for "/" when the helper names a path under /Library.
  void setSystemRoot(const std::string &directory);

  // ---- Actions ----
  // Schedules action at virtual time seconds (not before the current time).
  void at(double seconds, std::function<void()> action);
  void atNanos(uint64_t nanos, std::function<void()> action);
  // From an action: mouse button n is pressed or released. Button 1 arrives as right-button
  // events (3, 4), 2 and up as other-button events (25, 26), 0 never reaches the tap. The held
  // mask the filter sees is the one from before the event.
  void pressButton(int button);
  void releaseButton(int button);
  // From an action: the platform switches the tap off and passes reason (a tap-disabled type)
  // through the callback with button number 0.
  void disableTap(CGEventType reason);
  // From an action: "name" is posted on the distributed notification center.
  void postNotification(const std::string &name);

  // ---- Running ----
  // Runs entry on the calling thread as the helper's main thread while the world drives the
  // clock from a second thread, until the helper exits or the clock reaches endSeconds (then
  // observer->ended() and _exit(0)). Returns entry's result should entry return.
  int run(std::function<int()> entry, double endSeconds);

  // For tests that call the helper directly on the main thread: start the world's clock thread,
  // run the current thread's run loop until the clock reaches seconds, and stop again.
  void runUntil(double seconds);

  // Virtual time in nanoseconds and in seconds.
  uint64_t nowNanos() const;
  double nowSeconds() const;

  // Where a path the helper names lies in this world: under the system root for /Library.
  std::string mapPath(const std::string &path);

  // ---- Backend ----
  TimeSource &time() override;
  InputBackend &input() override;
  NotificationTransport &notifications() override;
  // Real files and programs, with /Library under the system root; each start is observed.
  Launcher &launcher() override;
  EventBytes &events() override;  // the machine's own
  void log(const std::string &line) override;
  [[noreturn]] void exitProcess(int status) override;

  struct State;

 private:
  void changeButton(int button, bool down);
  std::unique_ptr<State> state_;
};

}  // namespace platform
