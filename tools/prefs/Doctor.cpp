// corvassel-prefs doctor: everything that decides whether the helper remaps, each with its state
// and, when it keeps the helper from remapping, the one fix.
#include <fcntl.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Prefs.h"

namespace corvassel::prefs {

namespace {

constexpr const char *kRule = "70-corvassel-uinput.rules";
// Gives each mouse's output what udev derives from the mouse's bus.
constexpr const char *kOutputsRule = "61-corvassel-outputs.rules";
// Where udev looks for rules; a file in an earlier directory hides one of the same name later.
constexpr const char *kRuleDirectories[] = {"/etc/udev/rules.d", "/run/udev/rules.d",
                                            "/usr/local/lib/udev/rules.d", "/usr/lib/udev/rules.d",
                                            "/lib/udev/rules.d"};

class Report {
 public:
  void ok(const std::string &what) { printf("ok    %s\n", what.c_str()); }
  void note(const std::string &what) { printf("note  %s\n", what.c_str()); }
  void problem(const std::string &what, const std::string &fix) {
    ++problems_;
    printf("FAIL  %s\n      fix: %s\n", what.c_str(), fix.c_str());
  }
  int problems() const { return problems_; }

 private:
  int problems_ = 0;
};

struct RuleState {
  std::string path;  // empty when none is installed
  bool givesMice = false;
};

RuleState InstalledRule() {
  RuleState rule;
  for (const char *directory : kRuleDirectories) {
    const std::string path = std::string(directory) + "/" + kRule;
    std::ifstream in(path);
    if (!in) continue;
    std::stringstream text;
    text << in.rdbuf();
    rule.path = path;
    rule.givesMice = text.str().find("ID_INPUT_MOUSE") != std::string::npos;
    break;
  }
  return rule;
}

// Where udev reads the rule named so from, or "" when it is not installed.
std::string RulePath(const char *name) {
  for (const char *directory : kRuleDirectories) {
    const std::string path = std::string(directory) + "/" + name;
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return {};
}

int MayUse(const std::string &path, int mode) {
  return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
}

std::string AccessFix(const RuleState &rule) {
  if (rule.path.empty() || !rule.givesMice)
    return std::string("install the package (or copy ") + kRule +
           " to /etc/udev/rules.d), then run 'sudo udevadm control --reload && sudo udevadm "
           "trigger'";
  return "the rule gives access to the user of the active session at the seat: log in at the "
         "desktop (not over ssh) and run 'sudo udevadm trigger'";
}

Effective CheckSettings(Report &report, PreferencesFile &file) {
  std::string error;
  const bool readable = file.load(&error);
  const Effective effective = EffectiveSettings(readable ? &file : nullptr);
  printf("Settings in %s\n", file.path().c_str());
  PrintSettings(file, effective, readable);
  if (!readable) {
    report.problem("settings: " + error,
                   "move the file aside; 'corvassel-prefs set' then writes a new one");
    return effective;
  }
  if (!effective.enabled) {
    report.problem("settings: Enabled is false, so the helper does not remap",
                   "corvassel-prefs set Enabled true");
    return effective;
  }
  if (effective.back <= 0 && effective.forward <= 0) {
    report.problem("settings: no button is mapped (BackButton and ForwardButton are not set)",
                   "corvassel-prefs learn BackButton (and learn ForwardButton)");
    return effective;
  }
  std::string mapped;
  if (effective.back > 0)
    mapped += "back is button " + std::to_string(effective.back) + " (" +
              ButtonName(effective.back) + ")";
  if (effective.forward > 0)
    mapped += std::string(mapped.empty() ? "" : ", ") + "forward is button " +
              std::to_string(effective.forward) + " (" + ButtonName(effective.forward) + ")";
  report.ok("settings: " + mapped);
  return effective;
}

void CheckAccess(Report &report, const RuleState &rule) {
  if (int error = MayUse("/dev/uinput", R_OK | W_OK)) {
    if (error == ENOENT)
      report.problem("/dev/uinput: " + std::string(strerror(error)),
                     "sudo modprobe uinput (and at every boot: echo uinput | sudo tee "
                     "/etc/modules-load.d/uinput.conf)");
    else
      report.problem("/dev/uinput: " + std::string(strerror(error)), AccessFix(rule));
  } else {
    report.ok("/dev/uinput: may be read and written");
  }
  // Each mouse with the output the helper re-emits it on, if it holds it.
  std::vector<PointerNode> mice, outputs;
  for (PointerNode &pointer : PointerNodes())
    (pointer.output() ? outputs : mice).push_back(std::move(pointer));
  if (mice.empty()) report.note("mice: none is plugged in; the helper takes each one as it comes");
  for (const PointerNode &mouse : mice) {
    const PointerNode *output = nullptr;
    for (const PointerNode &candidate : outputs)
      if (candidate.outputOf == mouse.node) output = &candidate;
    const std::string what =
        mouse.path + " \"" + mouse.name + "\"" +
        (output ? " (the helper re-emits it on " + output->path + ")" : std::string());
    if (int error = MayUse(mouse.path, R_OK))
      report.problem(what + ": " + strerror(error), AccessFix(rule));
    else
      report.ok(what + ": may be read");
    // The helper never reads an output; only learn and buttons do.
    if (int error = output ? MayUse(output->path, R_OK) : 0)
      report.note(output->path + ", the helper's output for " + mouse.path + ": " +
                  strerror(error) +
                  "; 'corvassel-prefs learn' and 'buttons' cannot see this mouse while the "
                  "helper holds it");
  }
  if (rule.path.empty())
    report.note(std::string("udev rule: ") + kRule + " is not installed");
  else if (!rule.givesMice)
    report.note("udev rule: " + rule.path + " is an older one, which gives /dev/uinput only");
  else
    report.ok("udev rule: " + rule.path);
  if (const std::string outputs = RulePath(kOutputsRule); outputs.empty())
    report.note(std::string("udev rule: ") + kOutputsRule +
                " is not installed, so a mouse's output may miss what the hardware database "
                "says of the mouse (its resolution, its wheel, a trackball)");
  else
    report.ok("udev rule: " + outputs);
}

void CheckHelper(Report &report, const Effective &effective, const std::string &home) {
  const UnitState unit = LookAtUnit();
  if (!unit.known) {
    report.note("user unit: systemd's user manager cannot be reached (" + unit.error + ")");
  } else if (!unit.installed) {
    report.note(std::string("user unit: ") + kUnit + " is not installed");
  } else {
    std::string state = std::string(kUnit) + " is installed, " +
                        (unit.fileState.empty() ? "of unknown state" : unit.fileState) + ", " +
                        unit.activeState + " (" + unit.subState + ")";
    if (unit.fileState == "enabled")
      report.ok("user unit: " + state);
    else
      report.note("user unit: " + state +
                  "; it does not start at login until 'systemctl --user "
                  "enable " +
                  kUnit + "'");
  }

  const std::vector<pid_t> running = HelperProcesses(home);
  if (!running.empty()) {
    size_t held = 0;
    for (const PointerNode &pointer : PointerNodes()) held += pointer.output() ? 1 : 0;
    report.ok("helper: running (process " + std::to_string(running.front()) + "), " +
              (held == 0   ? std::string("holding no mouse: it waits for access or for a mouse")
               : held == 1 ? std::string("holding 1 mouse, re-emitted on its own output device")
                           : "holding " + std::to_string(held) +
                                 " mice, each re-emitted on its own output device"));
    return;
  }
  if (!effective.enabled) {
    report.note("helper: not running (it ends when Enabled is false at its start)");
    return;
  }
  report.problem("helper: not running",
                 unit.known && unit.installed
                     ? std::string("systemctl --user enable --now ") + kUnit
                     : std::string("install the package, then: systemctl --user enable --now ") +
                           kUnit + " (or run corvassel-helper yourself)");
}

void CheckSessionBus(Report &report) {
  sd_bus *bus = nullptr;
  int rc = sd_bus_open_user(&bus);
  if (rc >= 0)
    rc = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, "");
  if (bus) sd_bus_flush_close_unref(bus);
  if (rc >= 0) {
    report.ok("session bus: reachable, so 'corvassel-prefs set' tells a running helper at once");
    return;
  }
  report.note("session bus: not reachable (" + std::string(strerror(-rc)) +
              "): a running helper learns of changed settings only at its next start, or on "
              "'systemctl --user reload corvassel-helper'");
}

}  // namespace

int Doctor(PreferencesFile &file, const std::string &home) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Report report;
  const RuleState rule = InstalledRule();
  const Effective effective = CheckSettings(report, file);
  printf("\n");
  CheckAccess(report, rule);
  CheckHelper(report, effective, home);
  CheckSessionBus(report);
  printf("\nExtra scripts\n");
  ShowScripts(home);
  printf("\n");
  if (report.problems() == 0) {
    printf("Nothing keeps the helper from remapping.\n");
    return 0;
  }
  printf("%d %s the helper from remapping.\n", report.problems(),
         report.problems() == 1 ? "problem keeps" : "problems keep");
  return kFailed;
}

}  // namespace corvassel::prefs
