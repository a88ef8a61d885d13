// The whole start-up, run in the simulated world: each case is a process of its own (a death
// test) whose trace, printed as it ends, must match exactly.
#include <PreferencesFile.h>
#include <gtest/gtest.h>
#include <platform/VirtualWorld.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ManualTimeBackend.h"
#include "helper/CorvasselHelper.h"
#include "main/CorvasselMain.h"

namespace {

using platform::VirtualWorld;

// Prints the trace as one line when the process ends, then removes the scratch home.
class Trace : public VirtualWorld::Observer {
 public:
  Trace(VirtualWorld &world, std::string home) : world_(world), home_(std::move(home)) {}
  void trustChecked(bool prompt, bool trusted) override {
    add(std::string("trust ") + (prompt ? "P " : "N ") + (trusted ? "yes" : "no"));
  }
  // The thread shows that the tap is always made on the main thread.
  void tapCreated(bool ok) override {
    add(std::string("tap ") + (ok ? "ok" : "failed") +
        (gettid() == getpid() ? " main" : " worker"));
  }
  void tapEnabled(bool enabled) override { add(enabled ? "enable" : "disable"); }
  void timerArmed(CFTimeInterval interval) override {
    char text[32];
    snprintf(text, sizeof text, "timer %.3f", interval);
    add(text);
  }
  void timerInvalidated() override { add("timer-invalidate"); }
  void eventFiltered(CGEventType type, int64_t button, bool passed) override {
    add("event " + std::to_string(type) + " button " + std::to_string(button) +
        (passed ? " pass" : " swallow"));
  }
  void exited(int status) override { finish("exit " + std::to_string(status)); }
  void ended() override { finish("end"); }

 private:
  void add(const std::string &what) {
    std::lock_guard lock(mutex_);
    char when[32];
    snprintf(when, sizeof when, "%.3f ", world_.nowSeconds());
    lines_ += when + what + ";";
  }
  void finish(const std::string &what) {
    add(what);
    std::error_code ignored;
    std::filesystem::remove_all(home_, ignored);
    std::lock_guard lock(mutex_);
    fprintf(stderr, "TRACE[%s]\n", lines_.c_str());
    fflush(stderr);
  }
  VirtualWorld &world_;
  std::string home_;
  std::mutex mutex_;
  std::string lines_;
};

std::string PrefsPath(const std::string &home) {
  return corvassel::tools::PreferencesPath(home, kCorvasselDomain);
}

void StoreSettings(const std::string &home,
                   std::function<void(corvassel::tools::PreferencesFile &)> edit) {
  corvassel::tools::PreferencesFile file(PrefsPath(home));
  std::string error;
  if (!file.load(&error)) ADD_FAILURE() << error;
  edit(file);
  if (!file.save(&error)) ADD_FAILURE() << error;
}

struct WorldCase {
  const char *name;
  bool trusted;
  bool enabled;
  std::function<void(VirtualWorld &, const std::string &home)> script;  // the world's actions
  double end;
  int status;
  const char *trace;
};

void EnableOff(VirtualWorld &world, const std::string &home, double at, bool notify) {
  world.at(at, [&world, home, notify] {
    StoreSettings(home, [](auto &file) { file.setBoolean("Enabled", false); });
    if (notify) world.postNotification(kCorvasselChangedNotification);
  });
}

void PressAndRelease(VirtualWorld &world, double at, int button) {
  world.at(at, [&world, button] { world.pressButton(button); });
  world.at(at + 0.1, [&world, button] { world.releaseButton(button); });
}

const WorldCase kCases[] = {
    {"TrustedAndSwitchedOff", true, false, nullptr, 4000, 0, "0.000 trust P yes;0.000 exit 0;"},
    {"TrustedAndEnabledRestartsAfterHalfAnHour", true, true, nullptr, 4000, 42,
     "0.000 trust P yes;0.000 tap ok main;0.000 enable;0.000 timer 1800.000;1800.000 exit 42;"},
    {"TrustedButTheTapFails", true, true,
     [](VirtualWorld &world, const std::string &) { world.setTapCreationFails(true); }, 4000, 0,
     "0.000 trust P yes;0.000 tap failed main;4000.000 end;"},
    {"UntrustedAndSwitchedOff", false, false, nullptr, 4000, 0, "0.000 trust P no;2.000 exit 0;"},
    {"UntrustedAndSwitchedOffThenTrusted", false, false,
     [](VirtualWorld &world, const std::string &) {
       world.at(1, [&world] { world.setTrusted(true); });
     },
     4000, 0, "0.000 trust P no;2.000 exit 0;"},
    {"UntrustedAndSwitchedOffThenSwitchedOn", false, false,
     [](VirtualWorld &world, const std::string &home) {
       world.at(1, [&world, home] {
         StoreSettings(home, [](auto &file) { file.setBoolean("Enabled", true); });
         world.postNotification(kCorvasselChangedNotification);
       });
     },
     4000, 0, "0.000 trust P no;2.000 exit 0;"},
    {"UntrustedAndEnabledStartsWithinASecondOfTrust", false, true,
     [](VirtualWorld &world, const std::string &) {
       world.at(4.5, [&world] { world.setTrusted(true); });
     },
     4000, 42,
     "0.000 trust P no;0.000 trust N no;1.000 trust N no;2.000 trust N no;3.000 trust N no;"
     "4.000 trust N no;5.000 trust N yes;5.000 tap ok main;5.000 enable;5.000 timer 1800.000;"
     "1805.000 exit 42;"},
    {"SwitchedOffByNotificationBeforeTrustPassesEverything", false, true,
     [](VirtualWorld &world, const std::string &home) {
       EnableOff(world, home, 0.5, true);
       world.at(1.5, [&world] { world.setTrusted(true); });
       PressAndRelease(world, 10, 3);
     },
     12, 0,
     "0.000 trust P no;0.000 trust N no;1.000 trust N no;2.000 trust N yes;2.000 tap ok main;"
     "2.000 enable;2.000 timer 1800.000;10.000 event 25 button 3 pass;"
     "10.100 event 26 button 3 pass;12.000 end;"},
    {"SwitchedOffWithoutNotificationStillRemaps", false, true,
     [](VirtualWorld &world, const std::string &home) {
       EnableOff(world, home, 0.5, false);
       world.at(1.5, [&world] { world.setTrusted(true); });
       PressAndRelease(world, 10, 3);
     },
     12, 0,
     "0.000 trust P no;0.000 trust N no;1.000 trust N no;2.000 trust N yes;2.000 tap ok main;"
     "2.000 enable;2.000 timer 1800.000;10.000 event 25 button 3 swallow;"
     "10.100 event 26 button 3 swallow;12.000 end;"},
};

std::string Anchored(const char *trace) {
  std::string pattern = "TRACE\\[";
  for (const char *p = trace; *p; ++p) {
    if (*p == '.') pattern += '\\';
    pattern += *p;
  }
  return pattern + "\\]";
}

TEST(StartupInWorld, Trace) {
  UseFreshProcessForDeathTests();
  for (const WorldCase &c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          char scratch[] = "/tmp/corvassel-startup-XXXXXX";
          if (!mkdtemp(scratch)) _exit(3);
          std::string home = scratch;
          setenv("HOME", scratch, 1);  // this process ends with the case
          StoreSettings(home, [&c](auto &file) {
            file.setBoolean("Enabled", c.enabled);
            file.setInteger("BackButton", 3);
            file.setInteger("ForwardButton", 4);
          });
          VirtualWorld world;
          Trace trace(world, home);
          world.setObserver(&trace);
          platform::UseBackend running(world);
          world.setTrusted(c.trusted);
          if (c.script) c.script(world, home);
          world.run(CorvasselHelperMain, c.end);
          _exit(5);
        },
        ::testing::ExitedWithCode(c.status), Anchored(c.trace));
  }
}

}  // namespace
