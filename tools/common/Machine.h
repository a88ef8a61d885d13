// The machine around the helper, as `corvassel-prefs` and the settings window look at it: the
// user unit and the helper's processes, the mice (told from sysfs, so that no keyboard is ever
// opened), and the doctor's checks of everything that decides whether the helper remaps.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include <platform/AccessAdvice.h>

#include "Checks.h"
#include "HelperSettings.h"
#include "PreferencesFile.h"

namespace corvassel::tools {

inline constexpr const char *kUnit = platform::kUserUnitName;

// ---- the running helper (Service.cpp) ----

struct UnitState {
  bool known = false;  // systemd's user manager answered
  std::string error;   // why it did not
  bool installed = false;
  std::string fileState;    // enabled, disabled, static, ...
  std::string activeState;  // active, inactive, failed, ...
  std::string subState;     // running, dead, exited, ...
  bool active() const {
    return activeState == "active" || activeState == "activating" || activeState == "reloading";
  }
};
UnitState LookAtUnit();
// Ids of this user's corvassel-helper processes that read the settings under home.
std::vector<pid_t> HelperProcesses(const std::string &home);

// Whether the user's session bus answers; why not in *why.
bool SessionBusReachable(std::string *why);
// Whether a corvassel-helper.service is in any folder the user manager reads units from.
bool UserUnitFileExists(const std::string &home);
// Why no helper runs, from what the user manager said of the unit.
platform::Obstacle WhyTheHelperIsStopped(const UnitState &unit, const std::string &home);

struct StartResult {
  bool failed = false;
  std::vector<std::string> lines;  // what to tell the user, nothing when the helper was told
};
// After Enabled was switched on: starts the user unit when it is installed and no helper runs,
// or says how to start the helper.
StartResult StartHelperIfStopped(const std::string &home);

// ---- mice (Presses.cpp) ----

struct PointerNode {
  std::string path;      // /dev/input/eventN
  std::string node;      // eventN
  std::string name;      // the device's name
  std::string outputOf;  // for a helper's output device, the node of the mouse it re-emits
  bool output() const { return !outputOf.empty(); }
};
// The pointer devices present, helpers' output devices included, told from sysfs: no node is
// opened, keyboards are not looked at.
std::vector<PointerNode> PointerNodes();
// How many mice a running helper holds now: one output device each.
size_t HeldMice();

// ---- doctor (Doctor.cpp) ----

struct Diagnosis {
  bool readable = false;  // the settings file, as the helper reads it
  Effective effective;
  std::vector<Check> checks;  // the settings' check first
};
Diagnosis Diagnose(PreferencesFile &file, const std::string &home);

}  // namespace corvassel::tools
