// What the Linux input tap needs from the kernel, behind one small interface so that the tap can
// run on scripted devices in tests. libevdev lives only in the real implementation: it needs real
// ioctls on its descriptor, so fakes stand in above it, at the level of decoded events.
//
// One error convention throughout src/platform/linux: a call that can fail returns 0 or the
// errno that says why (positive, as errno holds it); one that makes something returns it, or
// nullptr with an `int &error` set to that errno. libevdev's negative errnos and -1-and-errno
// returns are turned into this where they are called.
#pragma once

#include <linux/input.h>

#include <platform/AccessAdvice.h>

#include "linux/input/BrokerLink.h"
#include "linux/input/DeviceDescription.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace platform::evdev {

struct Event {
  uint16_t type;
  uint16_t code;
  int32_t value;
  friend bool operator==(const Event &, const Event &) = default;
};

enum class ReadStatus {
  Event,  // ev holds the next event
  Again,  // nothing more to read now
  Gone,   // the device was unplugged or failed; close it
};

// One opened event device node.
class Device {
 public:
  virtual ~Device() = default;
  virtual int fd() const = 0;  // readable while events wait
  // What the desktop knows it by; its name is also name().
  virtual const DeviceIdentity &identity() const = 0;
  const std::string &name() const { return identity().name; }
  virtual const std::string &phys() const = 0;  // "" when it has none
  virtual const Capabilities &capabilities() const = 0;
  // 0, or the errno that refused it (EBUSY: another program holds the device). From any thread.
  virtual int grab(bool exclusive) = 0;
  // Whether any key or button is down, as far as the events read so far tell.
  virtual bool keysDown() const = 0;
  // The next event, with its kernel time (monotonic nanoseconds). After the kernel dropped
  // events, the events that follow bring the device's state back in line with the hardware
  // (releases of buttons let go meanwhile), ending with SYN_REPORT, so a reader that treats them
  // as ordinary events keeps nothing stuck.
  virtual ReadStatus next(Event &ev, uint64_t &time) = 0;
  // Up to max events into out and their times into times, in order; returns how many. Fewer
  // than max when status says why (Again or Gone), or with status Event when events held back
  // after a drop come alone. Reading in runs spares the tap a call per event.
  virtual size_t read(Event *out, uint64_t *times, size_t max, ReadStatus &status) {
    for (size_t n = 0; n < max; ++n) {
      status = next(out[n], times[n]);
      if (status != ReadStatus::Event) return n;
    }
    status = ReadStatus::Event;
    return max;
  }
  // How many times the kernel has dropped events of this device so far.
  virtual uint64_t drops() const { return 0; }
};

// The device a grabbed mouse's passed events are re-emitted on, made in its likeness.
class Output {
 public:
  virtual ~Output() = default;
  // 0, or the errno of the write that failed.
  virtual int write(const Event *events, size_t count) = 0;
  virtual std::string devnode() const = 0;  // empty when not known
};

// Changes to the entries of the device directory.
class DirectoryWatch {
 public:
  // Overflowed: the kernel dropped notices (the entry name is empty); look at every entry again.
  enum Change { Created, AttributesChanged, Deleted, Overflowed };
  virtual ~DirectoryWatch() = default;
  virtual int fd() const = 0;
  // Drains what is pending: (entry name, change) in the order they happened.
  virtual std::vector<std::pair<std::string, Change>> read() = 0;
};

// A one-shot timer whose descriptor turns readable when it fires.
class Timer {
 public:
  virtual ~Timer() = default;
  virtual int fd() const = 0;
  virtual void arm(uint64_t nanos) = 0;  // replaces any earlier arming
  virtual void disarm() = 0;
  virtual void acknowledge() = 0;  // after it fired, before it may fire again
};

class Kernel {
 public:
  virtual ~Kernel() = default;
  virtual std::string inputDirectory() const { return "/dev/input"; }
  virtual std::string uinputPath() const { return "/dev/uinput"; }
  // What output devices are made through, for a line that says why one was not: the uinput
  // broker or uinputPath().
  virtual std::string outputsThrough() { return uinputPath(); }
  // Where the udev rule that grants access may be, to tell which fix a refusal needs.
  virtual std::vector<std::string> udevRuleDirectories() const {
    return platform::UdevRuleDirectories();
  }
  // Names of the event device nodes in inputDirectory() ("event3", ...), sorted.
  virtual std::vector<std::string> eventNodes() = 0;
  // nullptr with error set to the errno that refused it.
  virtual std::unique_ptr<Device> open(const std::string &path, int &error) = 0;
  // 0 when output devices can be made, or the errno that says why not. Makes nothing.
  virtual int canMakeOutputs() = 0;
  // The output device `wanted`, for the opened `source`; nullptr with error set when it
  // cannot be made.
  virtual std::unique_ptr<Output> createOutput(const OutputSpec &wanted, const Device &source,
                                               int &error) = 0;
  virtual std::unique_ptr<DirectoryWatch> watchDirectory() = 0;  // nullptr on failure
  virtual std::unique_ptr<Timer> makeTimer() = 0;                // nullptr on failure
  // access(2) with the effective ids, no side effects: 0, or the errno that refuses it.
  virtual int mayAccess(const std::string &path, int mode) = 0;
  // Whether the node in inputDirectory() is a pointer device (isPointerDevice in
  // PointerNodes.h), told without opening it.
  virtual bool isPointerNode(const std::string &node) = 0;
  // Whether the node in inputDirectory() is an output device (isOutputPhys), this helper's or
  // another's, told without opening it.
  virtual bool isOutputNode(const std::string &node) = 0;
  // Now, on the clock of the devices' event times (monotonic nanoseconds).
  virtual uint64_t eventTimeNow() = 0;
  // Leaves in fds those of devices with events waiting now, without waiting for any.
  virtual void keepReadable(std::vector<int> &fds) = 0;
};

Kernel &realKernel();
// The real kernel looking at other paths than /dev/input, /dev/uinput, /sys/class/input and the
// uinput broker's socket.
std::unique_ptr<Kernel> makeRealKernel(const std::string &inputDirectory,
                                       const std::string &uinputPath,
                                       const std::string &sysfsInput = "/sys/class/input",
                                       const std::string &brokerSocket = kBrokerSocket);

}  // namespace platform::evdev
