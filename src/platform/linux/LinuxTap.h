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
};

struct TapOptions {
  uint64_t callbackTimeoutNanos = 1000000000;  // then the tap switches itself off
  uint64_t retryIntervalNanos = 100000000;     // between opens refused for permissions
  int retryAttempts = 20;
};

// The platform's number for an evdev button code (BTN_LEFT 0, BTN_RIGHT 1, BTN_MIDDLE 2,
// BTN_SIDE 3, BTN_EXTRA 4, BTN_FORWARD 5, BTN_BACK 6, BTN_TASK 7, the rest of the mouse range
// after them), or -1 for any other code.
int buttonNumber(uint16_t code);

// The name the virtual device carries; devices of that name are never grabbed.
extern const char *const kVirtualDeviceName;

class Tap : public TapDriver {
 public:
  // nullptr when the virtual device cannot be made.
  static std::unique_ptr<Tap> create(Kernel &kernel, const TapRequest &request, TapClient &client,
                                     TapOptions options = {});
  ~Tap() override;

  void attach(CFRunLoopRef rl) override;
  void attachWatcher(std::unique_ptr<Watcher> watcher);
  void setEnabled(bool enabled) override;
  bool isEnabled() override;

  // Bit n set while button n is held on any grabbed device.
  NSUInteger pressedButtons();
  // Press, frame, release, frame of one button on the virtual device.
  void click(uint16_t code);
  // Closes every device and the virtual device; for exit paths. The tap is inert afterwards.
  void shutdown();

 private:
  struct Open {
    std::string node;
    std::unique_ptr<Device> device;
    uint32_t held = 0;    // buttons down on this device
    uint32_t passed = 0;  // of those, the ones whose press reached the virtual device
  };
  enum class Outcome { Continue, TimedOut };

  Tap(Kernel &kernel, const TapRequest &request, TapClient &client, TapOptions options);

  void onDeviceReady(const std::string &node);
  Outcome readDevice(Open &open, std::unique_lock<std::mutex> &lock, bool &gone);
  Outcome handleButton(Open &open, const Event &ev, int number, std::unique_lock<std::mutex> &lock);
  bool subscribed(CGEventType type) const;
  // Runs the client's callback with the lock released. Returns whether to pass the event.
  bool deliver(CGEventType type, int number, std::unique_lock<std::mutex> &lock);
  void deliverTapDisabled();
  void onDirectoryReady();
  void onTimer();

  // The rest need mutex_ held.
  void scanLocked();
  int tryOpenLocked(const std::string &node);
  void openOrScheduleLocked(const std::string &node, int attempts);
  void rearmRetryLocked();
  void removeDeviceLocked(const std::string &node);
  void closeDevicesLocked();
  void releasePassedLocked(uint32_t buttons, const Open *except);
  void flushLocked();
  void emitLocked(const Event &ev);

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
  std::map<std::string, std::unique_ptr<Open>> devices_;
  std::set<std::string> ignored_;       // nodes that are not mice (or refused our grab)
  std::map<std::string, int> pending_;  // nodes refused for permissions: attempts left
  std::unique_ptr<DirectoryWatch> dirWatch_;
  std::unique_ptr<Timer> retryTimer_;
  std::unique_ptr<Watcher> watcher_;
  std::vector<Event> buffer_;      // the frame being read, written at its SYN_REPORT
  std::vector<Event> afterFrame_;  // posted clicks waiting for that frame to end
  bool enabled_ = true;
  bool timedOut_ = false;
  bool shutDown_ = false;

  // Watchdog: times the callback while one runs, sleeps otherwise.
  std::mutex watchMutex_;
  std::condition_variable watchCv_;
  bool inCallback_ = false;
  bool stopWatchdog_ = false;
  uint64_t callbackSerial_ = 0;
  std::thread watchdog_;
};

}  // namespace platform::evdev
