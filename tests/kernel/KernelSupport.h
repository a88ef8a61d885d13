// What the kernel checks are made of: mice made through uinput, a reader that sees a device as
// a desktop does, the helper started as its own process with a private home, and waiting for
// something to come true. These run inside scripts/kernel-test's machine, as root, on a real
// kernel; nothing here is a fake.
#pragma once

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <iosfwd>
#include <string>
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
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &text, int mode = 0644);
// Runs a shell command line; returns its exit status, or -1.
int Shell(const std::string &command);
// A shell command's standard output.
std::string ShellOutput(const std::string &command);

// A mouse made through uinput: motion, both wheels with their high-resolution axes, and the
// buttons from BTN_LEFT to BTN_TASK, or the keys of a keyboard, or both on one node (as some
// gaming mice have them).
class SourceDevice {
 public:
  enum Kind { Mouse, Keyboard, MouseThatTypes };
  explicit SourceDevice(const std::string &name, Kind kind = Mouse);
  ~SourceDevice();
  SourceDevice(const SourceDevice &) = delete;
  SourceDevice &operator=(const SourceDevice &) = delete;

  const std::string &node() const { return node_; }
  // Writes the events and a SYN_REPORT.
  void frame(std::initializer_list<Ev> events);
  void frame(const Frame &events);
  void press(uint16_t code) { frame({Key(code, 1)}); }
  void release(uint16_t code) { frame({Key(code, 0)}); }
  // The device goes away, as an unplugged mouse does.
  void unplug();

 private:
  libevdev_uinput *ui_ = nullptr;
  std::string node_;
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
  // Whether key `code` is down, after reading what is pending.
  bool held(uint16_t code);
  bool anyButtonHeld();
  const std::string &node() const { return node_; }

 private:
  bool readPending(std::vector<Frame> &out);
  std::string node_;
  int fd_ = -1;
  libevdev *dev_ = nullptr;
  Frame partial_;
};

// Writes a little motion on the mouse until it comes out of `out` (the virtual pointer).
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

// Starts udevd unless it runs, has it announce the devices present, and waits until it is done.
void StartUdev();
// Waits until udev has handled every event so far (nothing when it does not run).
void SettleUdev();

// The node of the input device named `name` (but for the nodes in `except`), or "" if none
// appears within `timeout`.
std::string FindDevice(const std::string &name, Millis timeout = Millis(3000),
                       const std::vector<std::string> &except = {});
inline const char *const kVirtualPointer = "corvassel virtual pointer";
// Whether another process holds an exclusive grab of the node (EVIOCGRAB answers EBUSY).
bool GrabbedByAnother(const std::string &node);

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

// The helper with the default settings, once its virtual pointer exists.
struct Running {
  explicit Running(Home &home, Helper::Options options = {});
  Helper helper;
  std::string pointer;  // the virtual pointer's node
};

}  // namespace kcheck
