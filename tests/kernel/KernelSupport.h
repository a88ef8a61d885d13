// What the kernel checks are made of: mice made through uinput, a reader that sees a device as
// a desktop does, the helper started as its own process with a private home, and waiting for
// something to come true. These run inside scripts/kernel-test's machine, as root, on a real
// kernel; nothing here is a fake.
#pragma once

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kcheck {

using Millis = std::chrono::milliseconds;

struct Ev {
  uint16_t type;
  uint16_t code;
  int32_t value;
  friend bool operator==(const Ev &, const Ev &) = default;
};
void PrintTo(const Ev &ev, std::ostream *os);
// Events up to, not including, their SYN_REPORT.
using Frame = std::vector<Ev>;

inline Ev Key(uint16_t code, int32_t value) {
  return {EV_KEY, code, value};
}
inline Ev Rel(uint16_t code, int32_t value) {
  return {EV_REL, code, value};
}

// Checks cond every few milliseconds until it holds or the time is up.
bool Eventually(const std::function<bool()> &cond, Millis timeout);
bool EventuallyEvery(const std::function<bool()> &cond, Millis timeout, Millis interval);
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &text, int mode = 0644);
// Runs a shell command line; returns its exit status, or -1.
int Shell(const std::string &command);
// A shell command's standard output.
std::string ShellOutput(const std::string &command);

// What a mouse made to look like a real one is known by, and its buttons.
struct MouseLook {
  std::string name;
  uint16_t vendor = 0x1234;
  uint16_t product = 0x5678;
  uint16_t version = 0;
  std::string phys;               // none when empty
  std::vector<uint16_t> buttons;  // BTN_LEFT to BTN_TASK when empty
};

// A mouse made through uinput: motion, both wheels with their high-resolution axes, and the
// buttons from BTN_LEFT to BTN_TASK, or the keys of a keyboard, or both on one node (as some
// gaming mice have them). USB is its bus.
class SourceDevice {
 public:
  enum Kind { Mouse, Keyboard, MouseThatTypes };
  explicit SourceDevice(const std::string &name, Kind kind = Mouse);
  explicit SourceDevice(const MouseLook &look);
  ~SourceDevice();
  SourceDevice(const SourceDevice &) = delete;
  SourceDevice &operator=(const SourceDevice &) = delete;

  const std::string &node() const { return node_; }
  const std::string &name() const { return name_; }
  // Writes the events and a SYN_REPORT.
  void frame(std::initializer_list<Ev> events);
  void frame(const Frame &events);
  void press(uint16_t code) { frame({Key(code, 1)}); }
  void release(uint16_t code) { frame({Key(code, 0)}); }
  // The device goes away, as an unplugged mouse does.
  void unplug();

 private:
  void make(libevdev *tmpl, const std::string &phys);
  int fd_ = -1;  // uinput's, whose device it is
  libevdev_uinput *ui_ = nullptr;
  std::string name_;
  std::string node_;
};

// A frame and when the kernel stamped its SYN_REPORT (monotonic microseconds).
struct TimedFrame {
  Frame frame;
  uint64_t micros;
};

// Reads a device node without grabbing it, as the desktop's input stack does. Its libevdev
// state follows what it read, resynchronised after the kernel dropped events.
class Reader {
 public:
  explicit Reader(const std::string &node);
  ~Reader();
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  // Frames read until none arrives for `quiet`.
  std::vector<Frame> frames(Millis quiet = Millis(300));
  // Frames read until `count` have come or `timeout` passed.
  std::vector<Frame> waitFrames(size_t count, Millis timeout = Millis(2000));
  // Frames read until none arrives for `quiet`, with their times.
  std::vector<TimedFrame> timedFrames(Millis quiet);
  // Whether key `code` is down, after reading what is pending.
  bool held(uint16_t code);
  bool anyButtonHeld();
  const std::string &node() const { return node_; }
  // How often the kernel dropped events this reader had not read in time.
  uint64_t drops() const { return drops_; }
  // Whether the device went (nothing more can be read).
  bool gone() const { return gone_; }

 private:
  bool wait(Millis timeout);
  bool readPending(std::vector<Frame> &out, std::vector<uint64_t> *times = nullptr);
  std::string node_;
  int fd_ = -1;
  libevdev *dev_ = nullptr;
  Frame partial_;
  uint64_t drops_ = 0;
  std::atomic<bool> gone_{false};
};

// Reads a node on a thread of its own while the check goes on, until finished.
class Collector {
 public:
  explicit Collector(const std::string &node);
  ~Collector();
  Collector(const Collector &) = delete;
  Collector &operator=(const Collector &) = delete;
  // Stops reading; every frame read, with its time.
  std::vector<TimedFrame> finish();
  uint64_t drops() const { return reader_.drops(); }

 private:
  Reader reader_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<TimedFrame> frames_;
  std::thread thread_;
};

// Writes a little motion on the mouse until it comes out of `out` (its output); the motion
// still on its way then is read too.
bool Forwarded(SourceDevice &mouse, Reader &out, Millis timeout);
// /dev/uinput and every event node.
std::vector<std::string> InputNodes();

// Modes of nodes a check changes, put back as they were when it ends.
class Modes {
 public:
  Modes() = default;
  Modes(const Modes &) = delete;
  Modes &operator=(const Modes &) = delete;
  void set(const std::string &path, mode_t mode);
  ~Modes();

 private:
  std::vector<std::pair<std::string, mode_t>> saved_;
};

// Starts udevd unless it runs, has it announce the input devices and /dev/uinput, and waits
// until it is done; whether it started it.
bool StartUdev();
void StopUdev();
// udevd running while the object lives, as it was before after.
class UdevRunning {
 public:
  UdevRunning() : started_(StartUdev()) {}
  ~UdevRunning() {
    if (started_) StopUdev();
  }
  UdevRunning(const UdevRunning &) = delete;
  UdevRunning &operator=(const UdevRunning &) = delete;

 private:
  bool started_;
};
// Waits until udev has handled every event so far (nothing when it does not run).
void SettleUdev();

// The node of the input device named `name` (but for the nodes in `except`), or "" if none
// appears within `timeout`.
std::string FindDevice(const std::string &name, Millis timeout = Millis(3000),
                       const std::vector<std::string> &except = {});
// An event node's input device attribute from sysfs ("phys", "name", "id/vendor"), without its
// newline; "" when there is none.
std::string Attribute(const std::string &node, const std::string &attribute);
// The helper's phys prefix: an output's phys is it and the node of the mouse it re-emits.
inline const char *const kOutputPhysPrefix = "corvassel-helper/";
// The node of the output the mouse at `node` is re-emitted on, told by its phys, or "" if none
// appears within `timeout`.
std::string OutputOf(const std::string &node, Millis timeout = Millis(3000));
inline std::string OutputOf(const SourceDevice &mouse, Millis timeout = Millis(3000)) {
  return OutputOf(mouse.node(), timeout);
}
// Every output node there is now.
std::vector<std::string> OutputNodes();
// Whether another process holds an exclusive grab of the node (EVIOCGRAB answers EBUSY).
bool GrabbedByAnother(const std::string &node);
// Whether the process has the node open.
bool HoldsOpen(pid_t pid, const std::string &node);

// A private home for the helper: its settings and its extra scripts.
class Home {
 public:
  Home();
  ~Home();
  Home(const Home &) = delete;
  Home &operator=(const Home &) = delete;

  const std::string &path() const { return path_; }
  // The four settings, in the helper's preferences file. Back 6 and forward 7 by default, so
  // that the buttons pressed differ from the ones the helper clicks (3 and 4).
  void settings(bool enabled = true, int back = 6, int forward = 7, int passthrough = 2);
  void script(const std::string &name, const std::string &body);
  void chown(uid_t uid);

 private:
  std::string path_;
};

// corvassel-helper as its own process, with HOME set to home; its standard error is kept.
class Helper {
 public:
  struct Options {
    uid_t uid = 0;                  // run as this user (and its own group id)
    bool uinputIsDevNull = false;   // in a mount namespace where /dev/uinput is /dev/null
    bool noBroker = false;          // ... where the uinput broker's socket is no socket
    std::vector<std::string> args;  // besides the executable
    std::vector<std::string> env;   // NAME=VALUE, added
    std::string exe;                // empty: the one this build made
    // Standard output to the log too, a log of its own for each run (corvassel-prefs, say).
    bool keepOutput = false;
  };
  explicit Helper(Home &home) : Helper(home, Options{}) {}
  Helper(Home &home, Options options);
  ~Helper();
  Helper(const Helper &) = delete;
  Helper &operator=(const Helper &) = delete;

  pid_t pid() const { return pid_; }
  void signal(int sig);
  bool running();
  // Exit status, or -1 if it did not exit within timeout (or was killed by a signal).
  int waitExit(Millis timeout);
  // What it wrote to standard error so far, but for the line saying that login sessions are
  // not followed: this machine has no system bus unless a check brings one.
  std::string log() const;
  // All it wrote to standard error so far.
  std::string fullLog() const;

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// The helper with the default settings, once each of the mice has its output (and so is
// grabbed).
struct Running {
  Running(Home &home, std::initializer_list<SourceDevice *> mice, Helper::Options options = {});
  // The output of one of the mice.
  const std::string &output(const SourceDevice &mouse) const;
  Helper helper;
  std::map<std::string, std::string> outputs;  // mouse node: output node
};

}  // namespace kcheck
