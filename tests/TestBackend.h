// The tests' one set of fixtures: a backend that the platform is served from for the test's
// lifetime and that records what the helper posts, logs and spawns; the one clock a test can
// drive, which records the timers armed on it; the one notification transport that does nothing;
// and the one private home directory. A test picks the real clock or the session bus explicitly;
// nothing real is used by default except the clock and the running of programs.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <dirent.h>
#include <platform/Backend.h>
#include <platform/Host.h>
#include <platform/LiveObjects.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "helper/Settings.h"
#include "linux/input/Context.h"
#include "linux/system/SystemTime.h"

// Notifications go nowhere and none arrive.
class QuietNotifications : public platform::NotificationTransport {
 public:
  void start(std::function<void(const std::string &)>) override {}
  void post(const std::string &) override {}
};

// A clock the test drives. A run loop's wait or a sleep jumps it straight to its deadline, so
// half an hour of timers costs nothing; a wait with nothing left to wait for stops the loop
// instead of hanging. Every read may also step it on (for tests and benchmarks reading it from
// one thread). With `real` set it is the machine's clock instead, still counting threads and
// waiters.
class ManualTime : public platform::TimeSource {
 public:
  static constexpr CFAbsoluteTime kEpoch = 800000000.0;

  uint64_t upTimeNanos() override {
    if (real) return system.upTimeNanos();
    const uint64_t read = now.load(std::memory_order_relaxed);
    if (step) now.store(read + step, std::memory_order_relaxed);
    return read;
  }
  CFAbsoluteTime absoluteTime() override {
    if (real) return system.absoluteTime();
    return kEpoch + static_cast<double>(now.load()) / 1e9;
  }
  double seconds() const { return static_cast<double>(now.load()) / 1e9; }
  void advance(double seconds) { now += static_cast<uint64_t>(seconds * 1e9); }

  class Driver : public platform::RunLoopDriver {
   public:
    explicit Driver(ManualTime &time) : time_(time) {}
    bool watch(int, uint32_t, std::function<void(uint32_t)>) override { return false; }
    void unwatch(int) override {}
    // Each timer armed, by its interval; invalidated: one disarmed before it was due.
    void armTimer(uint64_t deadline) override {
      const uint64_t at = time_.now.load();
      const uint64_t was = timerDue_.exchange(deadline);
      std::lock_guard lock(time_.mutex);
      if (deadline != platform::kForever)
        time_.armed.push_back(static_cast<double>(deadline - std::min(deadline, at)) / 1e9);
      else if (was != platform::kForever && was > at)
        ++time_.invalidated;
    }
    void wait(uint64_t deadline) override {
      deadline = std::min(deadline, timerDue_.load());
      ++time_.waits;
      if (woken_.exchange(false)) return;
      if (deadline == platform::kForever) {
        // Nothing left that could ever happen on this clock: end the run.
        ++time_.idleEnds;
        CFRunLoopStop(CFRunLoopGetCurrent());
        return;
      }
      if (deadline > time_.now.load()) time_.now.store(deadline);
    }
    void wake() override { woken_ = true; }

   private:
    ManualTime &time_;
    std::atomic<bool> woken_{false};
    std::atomic<uint64_t> timerDue_{platform::kForever};
  };

  class Sleeper : public platform::Waiter {
   public:
    explicit Sleeper(ManualTime &time) : time_(time) {}
    void waitUntil(uint64_t deadline) override {
      {
        std::lock_guard lock(time_.mutex);
        time_.sleeps.push_back(deadline);
      }
      if (deadline != platform::kForever && deadline > time_.now.load()) time_.now.store(deadline);
    }
    void notify() override {}

   private:
    ManualTime &time_;
  };

  std::unique_ptr<platform::Waiter> makeWaiter() override {
    ++waiters;
    if (real) return system.makeWaiter();
    return std::make_unique<Sleeper>(*this);
  }
  std::unique_ptr<platform::RunLoopDriver> makeRunLoopDriver() override {
    if (real) return system.makeRunLoopDriver();
    return std::make_unique<Driver>(*this);
  }
  void threadWillStart() override {
    std::lock_guard lock(mutex);
    ++started;
  }
  void threadDidExit() override {
    std::lock_guard lock(mutex);
    ++exited;
    changed.notify_all();
  }
  // Until every thread announced so far has said goodbye.
  void awaitAllExited() {
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return exited == started; });
  }

  bool real = false;
  std::atomic<uint64_t> now{0};
  std::atomic<uint64_t> step{0};  // added after every read
  std::atomic<int> waits{0};
  std::atomic<int> idleEnds{0};
  std::atomic<int> waiters{0};
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;  // under mutex
  int exited = 0;
  std::vector<uint64_t> sleeps;       // deadlines slept to, under mutex
  std::vector<CFTimeInterval> armed;  // timers armed on a run loop, under mutex
  int invalidated = 0;                // and disarmed before they were due
  platform::SystemTime system;        // the machine's clock, when real
};

// Trust and held buttons as the test sets them; posted events kept (retained) for inspection,
// unless the test drops them (as a benchmark does).
class TestInput : public platform::InputBackend {
 public:
  ~TestInput() override { clearPosted(); }

  bool isProcessTrusted(bool prompt) override {
    trustChecks.push_back(prompt);
    return trusted;
  }
  std::unique_ptr<platform::TapDriver> createTap(const platform::TapRequest &,
                                                 platform::TapClient &) override {
    return nullptr;
  }
  platform::NSUInteger pressedMouseButtons() override { return pressed; }
  void post(CGEventTapLocation location, const platform::PostedEvent &event) override {
    if (!keepPosted) return;
    postLocations.push_back(location);
    posted.push_back(static_cast<CGEventRef>(const_cast<void *>(CFRetain(event.event))));
  }
  void clearPosted() {
    for (CGEventRef event : posted) CFRelease(event);
    posted.clear();
    postLocations.clear();
  }

  bool trusted = true;
  bool keepPosted = true;
  platform::NSUInteger pressed = 0;
  std::vector<bool> trustChecks;
  std::vector<CGEventRef> posted;  // retained until clearPosted()
  std::vector<CGEventTapLocation> postLocations;
};

// The machine's files and programs, with a stand-in for /Library; every start recorded.
class TestLauncher : public platform::Launcher {
 public:
  bool exists(const std::string &path) override { return host_.exists(map(path)); }
  Started launch(const std::string &path, int output) override {
    spawned.push_back(path);
    Started started = host_.launch(map(path), output);
    if (!exitDescriptors) started.exit.reset();  // as where the kernel has no pidfd
    return started;
  }
  std::string map(const std::string &path) const {
    if (!systemRoot.empty() && path.rfind("/Library/", 0) == 0) return systemRoot + path;
    return path;
  }

  std::string systemRoot;  // stands in for "/" under /Library when set
  bool exitDescriptors = true;
  std::vector<std::string> spawned;  // as the helper named them

 private:
  platform::HostLauncher host_;
};

// The machine's layout of events, or another platform's as a test makes it: each hook, when
// set, stands between the platform and the bytes.
class TestEventBytes : public platform::EventBytes {
 public:
  struct Hooks {
    std::function<bool()> create;  // false: CGEventCreate returns NULL
    // Sees (and may rewrite) every serialization CGEventCreateData makes; false makes it NULL.
    std::function<bool(std::vector<UInt8> &bytes)> serialize;
    // Sees the bytes CGEventCreateFromData is given before they are parsed; false refuses them.
    std::function<bool(const UInt8 *bytes, size_t length)> admit;
  };

  size_t create(uint64_t timestamp, UInt8 *out, size_t capacity) override {
    if (hooks.create && !hooks.create()) return 0;
    return host_.create(timestamp, out, capacity);
  }
  CFDataRef write(CFAllocatorRef allocator, const UInt8 *bytes, size_t length) override {
    if (!hooks.serialize) return host_.write(allocator, bytes, length);
    std::vector<UInt8> copy(bytes, bytes + length);
    if (!hooks.serialize(copy)) return nullptr;
    return host_.write(allocator, copy.data(), copy.size());
  }
  bool read(const UInt8 *bytes, size_t length) override {
    if (hooks.admit && !hooks.admit(bytes, length)) return false;
    return host_.read(bytes, length);
  }

  Hooks hooks;

 private:
  platform::HostEventBytes host_;
};

class TestBackend : public platform::Backend {
 public:
  TestBackend() { using_.emplace(*this); }
  ~TestBackend() override { stopUsing(); }
  TestBackend(const TestBackend &) = delete;
  TestBackend &operator=(const TestBackend &) = delete;

  platform::TimeSource &time() override { return *clock; }
  platform::InputBackend &input() override { return *inputBackend; }
  platform::NotificationTransport &notifications() override { return *transport; }
  platform::Launcher &launcher() override { return programs; }
  platform::EventBytes &events() override { return eventBytes; }
  void log(const std::string &line) override { logged.push_back(line); }
  // For the Linux input's parts: their lines logged here, their threads told to the clock.
  platform::evdev::Context inputContext() {
    return {[this](const std::string &line) { log(line); }, *clock};
  }
  [[noreturn]] void exitProcess(int status) override {
    fflush(nullptr);
    _exit(status);
  }

  TestInput testInput;
  QuietNotifications quiet;
  ManualTime manualTime;
  TestLauncher programs;
  TestEventBytes eventBytes;
  platform::TimeSource *clock = &manualTime.system;
  platform::InputBackend *inputBackend = &testInput;
  platform::NotificationTransport *transport = &quiet;

  std::vector<std::string> logged;

 protected:
  // The platform stops serving from this backend while every member still lives: the loops it
  // takes down may hold its parts. A derived backend calls it first in its own destructor.
  void stopUsing() { using_.reset(); }

 private:
  std::optional<platform::UseBackend> using_;
};

// Restores an environment variable when it goes.
class EnvGuard {
 public:
  explicit EnvGuard(const char *name) : name_(name) {
    if (const char *value = getenv(name)) saved_ = value;
  }
  ~EnvGuard() {
    if (saved_)
      setenv(name_, saved_->c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char *name_;
  std::optional<std::string> saved_;
};

// A private home directory (HOME points at it) and an empty stand-in for the system's /Library,
// for the fixture's lifetime; the old HOME comes back afterwards.
class ScratchHome {
 public:
  ScratchHome() {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvassel-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    root = pattern;
    home = root / "home";
    system = root / "system";
    std::filesystem::create_directories(home / "Library/Preferences");
    std::filesystem::create_directories(system / "Library");
    setenv("HOME", home.c_str(), 1);
  }
  // The same, with the backend's /Library mapped to the stand-in.
  explicit ScratchHome(TestBackend &backend) : ScratchHome() {
    backend.programs.systemRoot = system.string();
  }
  ~ScratchHome() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  ScratchHome(const ScratchHome &) = delete;
  ScratchHome &operator=(const ScratchHome &) = delete;

  std::filesystem::path preferencesFile() const {
    return home / "Library/Preferences" / (std::string(kCorvasselDomain) + ".plist");
  }
  // The pane bundle's script folder: the user's, or the system's stand-in.
  std::filesystem::path scriptsDirectory(bool user = true) const {
    return (user ? home : system) /
           "Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts";
  }
  // Writes a file at a script's place with the given mode; returns where it lies.
  std::string writeScript(const std::string &name, const std::string &body, bool user = true,
                          std::filesystem::perms mode = std::filesystem::perms::owner_all) const {
    std::filesystem::create_directories(scriptsDirectory(user));
    std::filesystem::path path = scriptsDirectory(user) / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << body;
    std::filesystem::permissions(path, mode);
    return path.string();
  }
  // An executable /bin/sh script under the user's pane bundle.
  void installScript(const std::string &name, const std::string &body) const {
    writeScript(name, "#!/bin/sh\n" + body + "\n");
  }

  // Before the paths: HOME is saved before, and comes back after, all the rest.
 private:
  EnvGuard oldHome_{"HOME"};

 public:
  std::filesystem::path root;
  std::filesystem::path home;
  std::filesystem::path system;
};

// The process's open descriptors, to check that what a test opened is closed again.
inline std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return fds;
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') fds.insert(atoi(entry->d_name));
  fds.erase(dirfd(dir));
  closedir(dir);
  return fds;
}

// Runs the main thread's run loop (which serves the buses) until done() holds; gives up after
// about ten seconds.
inline bool RunMainLoopUntil(const std::function<bool()> &done) {
  for (int round = 0; round < 200 && !done(); round++)
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
  return done();
}
