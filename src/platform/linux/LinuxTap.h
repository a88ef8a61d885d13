// The event tap on Linux: grabs every mouse, re-emits what it does not filter on one virtual
// device, and hands right/other button presses and releases to the tap's client.
#pragma once

#include <platform/Backend.h>

#include "linux/EvdevKernel.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace platform::evdev {

// Where the tap's descriptors are watched from: the run loop, or a test's pump.
class Watcher {
 public:
  virtual ~Watcher() = default;
  // False when the descriptor cannot be watched.
  virtual bool watch(int fd, std::function<void()> onReady) = 0;
  virtual void unwatch(int fd) = 0;
  // Runs work later on the watching thread, outside whatever runs now.
  virtual void perform(std::function<void()> work) = 0;
};

// Whether a node may be opened at all, asked before every open: a device of another seat is
// never touched; one whose seat is not known yet is asked about again shortly.
enum class Admission { Yes, No, NotYet };

struct TapOptions {
  uint64_t callbackTimeoutNanos = 1000000000;  // then the tap switches itself off
  uint64_t retryIntervalNanos = 100000000;     // between opens refused for permissions
  int retryAttempts = 20;
  // A grab another program holds is asked for again after this, then twice as long each time.
  uint64_t grabRetryFirstNanos = 250000000;
  int grabRetryAttempts = 8;
  std::function<Admission(const std::string &node)> admit = nullptr;  // empty: every node
};

// The platform's number for an evdev button code (BTN_LEFT 0, BTN_RIGHT 1, BTN_MIDDLE 2,
// BTN_SIDE 3, BTN_EXTRA 4, BTN_FORWARD 5, BTN_BACK 6, BTN_TASK 7, the rest of the mouse range
// after them), or -1 for any other code.
int buttonNumber(uint16_t code);

// The name the virtual device carries; devices of that name are never grabbed.
extern const char *const kVirtualDeviceName;

// The tap is shared: whoever dispatches an event holds it, so that a callback may switch off
// or drop the tap that is calling it (the tap then ends once the dispatch is over).
class Tap : public std::enable_shared_from_this<Tap> {
 public:
  // nullptr when the virtual device cannot be made; error then says why.
  static std::shared_ptr<Tap> create(Kernel &kernel, const TapRequest &request, TapClient &client,
                                     TapOptions options, int &error);
  ~Tap();

  // The driver the tap's port owns; dropping it retires the tap.
  static std::unique_ptr<TapDriver> driverFor(std::shared_ptr<Tap> tap);

  void attach(CFRunLoopRef rl);
  void attachWatcher(std::unique_ptr<Watcher> watcher);
  void setEnabled(bool enabled);
  bool isEnabled();
  // The port is gone: the client is never called again and every device is let go.
  void retire();

  // Bit n set while button n is held on any grabbed device.
  NSUInteger pressedButtons();
  // Press, frame, release, frame of one button on the virtual device.
  void click(uint16_t code);
  // Closes every device and the virtual device; for exit paths. The tap is inert afterwards.
  void shutdown();

  // The user left the seat: every mouse is ungrabbed and closed, what was held on the virtual
  // device is released and the virtual device goes. Nothing is opened until resume().
  void suspend();
  // The user is back: the virtual device is made again and the mice are taken, each once none
  // of its buttons is down.
  void resume();

 private:
  struct Open {
    std::string node;
    std::unique_ptr<Device> device;
    bool grabbed = false;  // until then it is read only to learn when no button is down
    uint32_t held = 0;     // buttons down on this device
    uint32_t passed = 0;   // of those, the ones whose press reached the virtual device
  };
  // A node to open again later: refused for permissions, or its grab held by another program.
  struct Retry {
    int attemptsLeft = 0;
    uint64_t waitNanos = 0;  // left until the next attempt
    uint64_t intervalNanos = 0;
    bool growing = false;  // the interval doubles after each attempt
  };
  enum class Outcome { Continue, SwitchedOff };

  Tap(Kernel &kernel, const TapRequest &request, TapClient &client, TapOptions options);

  void onDeviceReady(const std::string &node);
  Outcome readDevice(const std::shared_ptr<Open> &open, std::unique_lock<std::mutex> &lock,
                     bool &gone);
  Outcome handleButton(Open &open, const Event &ev, int number, std::unique_lock<std::mutex> &lock);
  bool subscribed(CGEventType type) const;
  // Runs the client's callback with the lock released. Returns whether to pass the event.
  bool deliver(CGEventType type, int number, std::unique_lock<std::mutex> &lock);
  void deliverNotice(CGEventType notice);
  void onDirectoryReady();
  void onTimer();

  // The rest need mutex_ held.
  void scanLocked();
  void attemptLocked(const std::string &node, Retry retry);
  void admitLocked(const std::string &node, std::unique_ptr<Device> device);
  void grabWhenNeutralLocked(Open &open);
  void refusedLocked(const std::string &node, const std::string &name, int error, Retry retry);
  void rearmRetryLocked();
  void removeDeviceLocked(const std::string &node);
  void closeDevicesLocked();
  void releasePassedLocked(uint32_t buttons, const Open *except);
  void switchOffLocked(CGEventType notice);
  void flushLocked();
  void emitLocked(const Event &ev);
  void writeLocked(const Event *events, size_t count);
  bool watchLocked(const Open &open);

  void watchdogMain();
  void callbackBegan();
  void callbackEnded();
  void timedOut();

  Kernel &kernel_;
  TapRequest request_;
  TapClient &client_;
  TapOptions options_;

  std::mutex mutex_;
  std::unique_ptr<Output> out_;
  std::string outNode_;
  Capabilities outCaps_;  // what the virtual device was made with, for making it again
  std::map<std::string, std::shared_ptr<Open>> devices_;
  std::set<std::string> ignored_;         // nodes that are not mice
  std::map<std::string, Retry> pending_;  // nodes to open again later
  std::set<std::string> refusalLogged_;   // nodes whose refused grab has been logged
  uint64_t retryArmedNanos_ = 0;          // what the retry timer was armed with
  std::unique_ptr<DirectoryWatch> dirWatch_;
  std::unique_ptr<Timer> retryTimer_;
  std::unique_ptr<Watcher> watcher_;
  std::vector<Event> buffer_;      // the frame being read, written at its SYN_REPORT
  std::vector<Event> afterFrame_;  // posted clicks waiting for that frame to end
  bool enabled_ = true;
  bool retired_ = false;
  bool shutDown_ = false;
  bool suspended_ = false;
  bool writeFailed_ = false;
  int dispatching_ = 0;     // device reads under way
  CGEventType notice_ = 0;  // tap-disabled notice to deliver once the dispatch is over

  // Watchdog: times the callback while one runs, sleeps otherwise.
  std::mutex watchMutex_;
  std::condition_variable watchCv_;
  bool inCallback_ = false;
  bool stopWatchdog_ = false;
  uint64_t callbackSerial_ = 0;
  std::thread watchdog_;
};

}  // namespace platform::evdev
