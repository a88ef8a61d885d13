#include "Simulation.h"

#include <CoreGraphics/CoreGraphics.h>
#include <platform/VirtualWorld.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "PostedEvent.h"
#include "PreferencesFile.h"
#include "Scenario.h"
#include "helper/Settings.h"
#include "main/CorvasselMain.h"

namespace corvassel::sim {

const char *const kScriptsFolder =
    "Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts";

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000ull;

// Set while a sandbox exists, so that an exit that bypasses the world still removes it.
std::string *gSandboxTop = nullptr;

void RemoveSandboxAtExit() {
  if (!gSandboxTop) return;
  std::error_code ec;
  std::filesystem::remove_all(*gSandboxTop, ec);
}

// The run's private directory: a home for the user, a root standing in for the system's
// /Library. Removed at the end of the run, whichever way it ends.
class Sandbox {
 public:
  bool create(std::string *error) {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/corvassel-sim.XXXXXX";
    if (!mkdtemp(pattern.data())) {
      *error = "cannot make a temporary directory in " + pattern;
      return false;
    }
    top_ = pattern;
    gSandboxTop = &top_;
    static bool registered = atexit(RemoveSandboxAtExit) == 0;
    (void)registered;
    home_ = top_ + "/home";
    root_ = top_ + "/system";
    // Bundles and preferences appear only when a scenario puts something there.
    std::error_code ec;
    std::filesystem::create_directory(home_, ec);
    if (!ec) std::filesystem::create_directory(root_, ec);
    if (ec) {
      *error = "cannot prepare " + top_ + ": " + ec.message();
      return false;
    }
    return true;
  }
  void remove() {
    if (top_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(top_, ec);
    top_.clear();
    gSandboxTop = nullptr;
  }
  ~Sandbox() { remove(); }

  const std::string &home() const { return home_; }
  const std::string &root() const { return root_; }
  std::string scriptPath(Bundle bundle, const std::string &name) const {
    return (bundle == Bundle::kUser ? home_ : root_) + "/" + kScriptsFolder + "/" + name;
  }

 private:
  std::string top_, home_, root_;
};

bool WriteFile(const std::string &path, const std::string &text, mode_t mode) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  return chmod(path.c_str(), mode) == 0;
}

// Prints what the world saw, stamped with virtual time.
class Trace : public platform::VirtualWorld::Observer {
 public:
  Trace(platform::VirtualWorld &world, Sandbox &sandbox) : world_(world), sandbox_(sandbox) {}

  void trustChecked(bool prompt, bool trusted) override {
    line(std::string("trust-check ") + (prompt ? "prompt " : "") + "-> " +
         (trusted ? "yes" : "no"));
  }
  void tapCreated(bool ok) override { line(ok ? "tap-create -> ok" : "tap-create -> failed"); }
  void tapEnabled(bool enabled) override { line(enabled ? "tap-enable" : "tap-disable"); }
  void timerArmed(CFTimeInterval interval) override {
    char text[64];
    snprintf(text, sizeof text, "timer-arm %.3f", interval);
    line(text);
  }
  void timerInvalidated() override { line("timer-invalidate"); }
  void eventFiltered(CGEventType type, int64_t button, bool passed) override {
    char text[96];
    snprintf(text, sizeof text, "event %" PRIu32 " button %" PRId64 " -> %s", type, button,
             passed ? "pass" : "swallow");
    line(text);
  }
  void spawned(const std::string &path) override { line("spawn " + shortPath(path)); }
  void logged(const std::string &text) override {
    std::string oneLine;
    for (char c : text) oneLine += c == '\n' ? std::string("\\n") : std::string(1, c);
    line("log " + oneLine);
  }
  void posted(CGEventRef event) override { line("post " + DescribePosted(event)); }
  void exited(int status) override {
    line("exit " + std::to_string(status));
    sandbox_.remove();
  }
  void ended() override {
    line("end");
    sandbox_.remove();
  }

 private:
  void line(const std::string &what) {
    uint64_t millis = (world_.nowNanos() + 500000) / 1000000;
    printf("%" PRIu64 ".%03" PRIu64 " %s\n", millis / 1000, millis % 1000, what.c_str());
  }

  // The helper names its own paths: the private home shows as ~, the system stand-in as /.
  std::string shortPath(const std::string &path) const {
    const std::string &home = sandbox_.home();
    if (path.rfind(home + "/", 0) == 0) return "~/" + path.substr(home.size() + 1);
    const std::string &root = sandbox_.root();
    if (path.rfind(root + "/", 0) == 0) return path.substr(root.size());
    return path;
  }

  platform::VirtualWorld &world_;
  Sandbox &sandbox_;
};

class Simulation {
 public:
  Simulation(const Scenario &scenario, platform::VirtualWorld &world)
      : scenario_(scenario), world_(world), trace_(world_, sandbox_) {}

  int run(const std::string &name) {
    std::string error;
    if (!sandbox_.create(&error) || !prepare(&error)) {
      fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
      return 2;
    }
    setenv("HOME", sandbox_.home().c_str(), 1);
    world_.setObserver(&trace_);
    world_.setTrusted(scenario_.trusted);
    world_.setTapCreationFails(scenario_.tapFails);
    world_.setSystemRoot(sandbox_.root());
    for (const Step &step : scenario_.steps)
      world_.atNanos(step.nanos, [this, step] { perform(step); });

    double end = static_cast<double>(scenario_.endNanos) / static_cast<double>(kNanosPerSecond);
    int result = world_.run([] { return CorvasselHelperMain(); }, end);
    fflush(stdout);
    sandbox_.remove();
    return result;
  }

 private:
  bool prepare(std::string *error) {
    if (!scenario_.prefs.empty() && !store(scenario_.prefs, error)) return false;
    for (const ScriptFile &file : scenario_.files) {
      std::string path = sandbox_.scriptPath(file.bundle, file.name);
      std::string text = file.executable ? "#!/bin/sh\n" + file.body + "\n" : "";
      if (!WriteFile(path, text, file.executable ? 0755 : 0644)) {
        *error = "cannot write " + path;
        return false;
      }
    }
    return true;
  }

  // Rewrites the preferences file as the pane would: other keys kept, replaced atomically.
  bool store(const std::vector<PrefSetting> &settings, std::string *error) {
    tools::PreferencesFile file(tools::PreferencesPath(sandbox_.home(), kCorvasselDomain));
    if (!file.load(error)) return false;
    for (const PrefSetting &setting : settings) {
      bool changed = false;
      switch (setting.value.kind) {
        case PrefValue::Kind::kNone:
          changed = file.remove(setting.key, error);
          break;
        case PrefValue::Kind::kBoolean:
          changed = file.setBoolean(setting.key, setting.value.boolean, error);
          break;
        case PrefValue::Kind::kInteger:
          changed = file.setInteger(setting.key, setting.value.integer, error);
          break;
      }
      if (!changed) return false;
    }
    return file.save(error);
  }

  void perform(const Step &step) {
    switch (step.kind) {
      case Step::Kind::kDown:
        world_.pressButton(step.button);
        break;
      case Step::Kind::kUp:
        world_.releaseButton(step.button);
        break;
      case Step::Kind::kTrust:
        world_.setTrusted(step.flag);
        break;
      case Step::Kind::kPref: {
        std::string error;
        if (!store({step.pref}, &error)) fprintf(stderr, "line %d: %s\n", step.line, error.c_str());
        break;
      }
      case Step::Kind::kNotify:
        world_.postNotification(kCorvasselChangedNotification);
        break;
      case Step::Kind::kTapDisabled:
        world_.disableTap(step.flag ? kCGEventTapDisabledByUserInput
                                    : kCGEventTapDisabledByTimeout);
        break;
    }
  }

  const Scenario &scenario_;
  platform::VirtualWorld &world_;
  Sandbox sandbox_;
  Trace trace_;
};

}  // namespace

int RunScenarioFile(const std::string &path, platform::VirtualWorld &world) {
  // A directory opens as a stream that reads as empty: it must not pass for an empty scenario.
  struct stat info;
  if (stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    fprintf(
        stderr, "%s: %s\n", path.c_str(),
        S_ISDIR(info.st_mode) ? "is a directory, not a scenario file" : "is not a regular file");
    return 2;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "%s: cannot read the file\n", path.c_str());
    return 2;
  }
  std::stringstream text;
  text << in.rdbuf();
  ParseError error;
  std::optional<Scenario> scenario = ParseScenario(text.str(), &error);
  if (!scenario) {
    fprintf(stderr, "%s:%d: %s\n", path.c_str(), error.line, error.message.c_str());
    return 2;
  }
  Simulation simulation(*scenario, world);
  return simulation.run(path);
}

}  // namespace corvassel::sim
