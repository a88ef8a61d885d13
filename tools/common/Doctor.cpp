// The doctor's checks: everything that decides whether the helper remaps, each with its state
// and, when it keeps the helper from remapping, the one fix.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <platform/OutputWay.h>

#include "ButtonNumbers.h"
#include "Machine.h"

namespace corvassel::tools {

namespace {

class Report {
 public:
  explicit Report(std::vector<Check> &checks) : checks_(checks) {}
  void ok(const std::string &what) { checks_.push_back({Check::Level::kOk, what, ""}); }
  void note(const std::string &what) { checks_.push_back({Check::Level::kNote, what, ""}); }
  void problem(const std::string &what, const std::string &fix) {
    checks_.push_back({Check::Level::kProblem, what, fix});
  }

 private:
  std::vector<Check> &checks_;
};

using platform::Fix;
using platform::UdevRule;

// Gives each mouse's output what udev derives from the mouse's bus.
constexpr const char *kOutputsRule = "61-corvassel-outputs.rules";

// Where udev reads the rule named so from, or "" when it is not installed.
std::string RulePath(const char *name) {
  for (const std::string &directory : platform::UdevRuleDirectories()) {
    const std::string path = directory + "/" + name;
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return {};
}

int MayUse(const std::string &path, int mode) {
  return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
}

// A stored number no mouse sends maps nothing: it was typed, not pressed.
bool CheckButtonsExist(Report &report, const Effective &effective) {
  const std::pair<const char *, int64_t> buttons[] = {{"BackButton", effective.back},
                                                      {"ForwardButton", effective.forward},
                                                      {"PassthroughButton", effective.passthrough}};
  bool exist = true;
  for (const auto &[key, number] : buttons) {
    if (number <= kHighestButton) continue;
    report.problem("settings: " + std::string(key) + " is " + std::to_string(number) +
                       ", a button no mouse sends (they send 0 to " +
                       std::to_string(kHighestButton) + ")",
                   "corvassel-prefs learn " + std::string(key));
    exist = false;
  }
  return exist;
}

Effective CheckSettings(Report &report, PreferencesFile &file, bool &readable) {
  std::string error;
  readable = file.load(&error);
  const Effective effective = EffectiveSettings(readable ? &file : nullptr);
  if (!readable) {
    report.problem("settings: " + error,
                   "move the file aside; 'corvassel-prefs set' then writes a new one");
    return effective;
  }
  // Each is said at once, whatever else is wrong.
  const bool buttonsExist = CheckButtonsExist(report, effective);
  if (!effective.enabled) {
    report.problem("settings: Enabled is false, so the helper does not remap",
                   "corvassel-prefs set Enabled true");
    return effective;
  }
  if (!CorvasselMapsButton(effective.back) && !CorvasselMapsButton(effective.forward)) {
    report.problem("settings: no button is mapped (BackButton and ForwardButton are not set)",
                   "corvassel-prefs learn BackButton (and learn ForwardButton)");
    return effective;
  }
  if (!buttonsExist) return effective;
  // The kernel's names come last and apart: BTN_FORWARD beside "back" would read as forward.
  std::string mapped, names;
  for (const auto &[action, number] :
       {std::pair<const char *, int64_t>{"back", effective.back}, {"forward", effective.forward}}) {
    if (!CorvasselMapsButton(number)) continue;
    mapped += std::string(mapped.empty() ? "" : ", ") + "button " + std::to_string(number) +
              " goes " + action;
    names += std::string(names.empty() ? "" : ", ") + std::to_string(number) + " is " +
             KernelButtonName(number);
  }
  report.ok("settings: " + mapped + " (in the kernel's names, " + names + ")");
  for (int64_t number : {effective.back, effective.forward})
    if (X11SideButtonNumber(number))
      report.note(
          "settings: X11 tools (xev, xinput) number the side buttons 8 and 9, which are 3 "
          "and 4 here; 'corvassel-prefs buttons' shows each button's number as pressed");
  return effective;
}

void CheckAccess(Report &report, const UdevRule &rule) {
  const platform::evdev::OutputWay way = platform::evdev::FindOutputWay();
  if (way.kind == platform::evdev::OutputWay::None)
    report.problem("outputs: " + way.why, Fix(platform::AccessObstacle(true, way.error, rule)));
  else if (access("/dev/uinput", F_OK) != 0)  // the broker needs it too
    report.problem("outputs: /dev/uinput is missing, so no device can be made",
                   Fix(platform::AccessObstacle(true, ENOENT, rule)));
  else
    report.ok("outputs: " + way.why);
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
      report.problem(what + ": " + strerror(error),
                     Fix(platform::AccessObstacle(false, error, rule)));
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
    report.note(std::string("udev rule: ") + platform::kUdevRuleName + " is not installed");
  else if (!rule.givesMice)
    report.note("udev rule: " + rule.path + " is an older one, which gives /dev/uinput only");
  else if (rule.givesUinput)
    report.note("udev rule: " + rule.path +
                " is an older one, which also gives /dev/uinput: with it any program of yours "
                "could make a keyboard; the package's rule no longer does");
  else
    report.ok("udev rule: " + rule.path);
  if (const std::string outputsRule = RulePath(kOutputsRule); outputsRule.empty())
    report.note(std::string("udev rule: ") + kOutputsRule +
                " is not installed, so a mouse's output may miss what the hardware database "
                "says of the mouse (its resolution, its wheel, a trackball)");
  else
    report.ok("udev rule: " + outputsRule);
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
    const size_t held = HeldMice();
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
  report.problem("helper: not running", Fix(WhyTheHelperIsStopped(unit, home)));
}

void CheckSessionBus(Report &report) {
  std::string why;
  if (SessionBusReachable(&why)) {
    report.ok("session bus: reachable, so 'corvassel-prefs set' tells a running helper at once");
    return;
  }
  report.note("session bus: not reachable (" + why +
              "): a running helper learns of changed settings only at its next start, or on "
              "'systemctl --user reload corvassel-helper'");
}

}  // namespace

Diagnosis Diagnose(PreferencesFile &file, const std::string &home) {
  Diagnosis diagnosis;
  Report report(diagnosis.checks);
  const UdevRule rule = platform::FindUdevRule(platform::UdevRuleDirectories());
  diagnosis.effective = CheckSettings(report, file, diagnosis.readable);
  CheckAccess(report, rule);
  CheckHelper(report, diagnosis.effective, home);
  CheckSessionBus(report);
  return diagnosis;
}

}  // namespace corvassel::tools
