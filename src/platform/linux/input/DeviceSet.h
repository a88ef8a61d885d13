// Every pointer device under the input directory, kept ready for the tap: found at start and as
// they come (inotify), opened (asked again shortly while udev has not yet set the permissions),
// grabbed once none of its buttons is down (asked again, with growing waits, while another
// program holds it), and dropped when it goes. Each device is owned by exactly one entry here;
// closing it ends its grab. Output devices (this helper's and another instance's) are told by
// their phys, in sysfs before opening and on the opened device, and never grabbed.
//
// A device that is not grabbed yet is still read, only to learn when its buttons are let go;
// its events belong to the desktop. Grabbed devices are read by the tap (Listener).
#pragma once

#include "linux/input/Context.h"
#include "linux/input/EvdevKernel.h"
#include "linux/input/InputLoop.h"

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace platform::evdev {

// Whether a node may be opened at all, asked before every open: a device of another seat is
// never touched; one whose seat is not known yet is asked about again shortly.
enum class Admission { Yes, No, NotYet };

struct DeviceSetOptions {
  uint64_t retryIntervalNanos = 100000000;  // between opens refused for permissions
  int retryAttempts = 20;
  // A grab another program holds is asked for again after this, then twice as long each time.
  uint64_t grabRetryFirstNanos = 250000000;
  int grabRetryAttempts = 8;
  std::function<Admission(const std::string &node)> admit;  // empty: every node
};

class DeviceSet {
 public:
  class Listener {
   public:
    virtual ~Listener() = default;
    // Grabbed (its node: "event5"): its output is to be made now. 0, after which its events
    // are the tap's; or the errno that says why no output could be made, and the device is
    // let go again. Ids are never reused.
    virtual int deviceGrabbed(uint32_t id, Device &device, const std::string &node) = 0;
    // A grabbed device has events waiting.
    virtual void deviceReadable(uint32_t id, Device &device) = 0;
    // A grabbed device went; whatever it held must be released.
    virtual void deviceLost(uint32_t id) = 0;
  };

  DeviceSet(const Context &context, Kernel &kernel, InputLoop &loop, DeviceSetOptions options,
            Listener &listener);
  ~DeviceSet();
  DeviceSet(const DeviceSet &) = delete;
  DeviceSet &operator=(const DeviceSet &) = delete;

  // Watches the directory and opens the pointer devices there, grabbing those at a neutral
  // state.
  void start();
  // Ungrabs and closes every device, forgets what was to be tried again, stops watching.
  void stop();
  // Ungrabs every grabbed device at once, side by side (each ungrab waits for a kernel grace
  // period), running meanwhile() while they wait. The devices stay open until stop().
  void letGo(const std::function<void()> &meanwhile);
  bool running() const { return running_; }

  // The grabbed device with this id, or nullptr.
  Device *device(uint32_t id);
  size_t grabbedCount() const { return grabbed_; }
  // Hands the listener every grabbed device with events waiting now, without waiting for any.
  void readWaiting();
  // A grabbed device that the tap found gone: closed and forgotten.
  void remove(uint32_t id);
  std::string describe(uint32_t id) const;

 private:
  struct Entry {
    uint32_t id = 0;
    std::string node;
    std::unique_ptr<Device> device;
    bool grabbed = false;
  };
  // A node to try again later: refused for permissions, or its grab held by another program.
  struct Retry {
    int attemptsLeft = 0;
    uint64_t waitNanos = 0;  // until the next attempt
    uint64_t intervalNanos = 0;
    bool growing = false;  // the interval doubles after each attempt (a refused grab)
  };

  Admission admission(const std::string &node) const {
    return options_.admit ? options_.admit(node) : Admission::Yes;
  }
  Retry permissionRetry() const {
    return {options_.retryAttempts, options_.retryIntervalNanos, options_.retryIntervalNanos,
            false};
  }
  void scan();
  void attempt(const std::string &node, Retry retry);
  void admit(const std::string &node, std::unique_ptr<Device> device, Retry refusals);
  bool watchEntry(Entry &entry);
  // Grabs when no button is down; false when the grab or the device's output was refused (the
  // entry is then gone).
  bool grabWhenNeutral(Entry &entry, Retry refusals);
  // Closes and forgets a refused entry, saying why once for its node and `what` was refused.
  void refuse(Entry &entry, const char *what, const std::string &why);
  void onEntryReady(Entry &entry);
  void onDirectory();
  void onRetryTimer();
  void rearm();
  void drop(std::map<std::string, Entry>::iterator it, bool tellListener);
  std::string path(const std::string &node) const { return kernel_.inputDirectory() + "/" + node; }

  const Context context_;
  Kernel &kernel_;
  InputLoop &loop_;
  const DeviceSetOptions options_;
  Listener &listener_;
  bool running_ = false;
  uint32_t nextId_ = 1;
  std::map<std::string, Entry> entries_;  // by node
  std::set<std::string> ignored_;         // nodes that are not mice
  std::map<std::string, Retry> pending_;  // nodes to try again
  // (node, "grab" or "output"): refusals said already.
  std::set<std::pair<std::string, std::string>> refusalLogged_;
  uint64_t retryArmedNanos_ = 0;
  size_t grabbed_ = 0;        // entries grabbed
  std::vector<int> waiting_;  // readWaiting's, kept to spare an allocation each round
  std::unique_ptr<DirectoryWatch> directory_;
  std::unique_ptr<Timer> retryTimer_;
};

}  // namespace platform::evdev
