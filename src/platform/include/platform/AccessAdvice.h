// What keeps the helper from working on a Linux desktop, and the one fix for each cause. The
// helper's own line and corvassel-prefs (doctor, set) take their fixes from here, so that the
// same cause always gets the same fix.
#pragma once

#include <string>
#include <vector>

namespace platform {

inline constexpr const char *kUdevRuleName = "70-corvassel-uinput.rules";
inline constexpr const char *kUserUnitName = "corvassel-helper.service";

// Where udev looks for rules; a file in an earlier folder hides one of the same name later.
std::vector<std::string> UdevRuleDirectories();

struct UdevRule {
  std::string path;          // empty when none is installed
  bool givesMice = false;    // an older rule gave /dev/uinput only
  bool givesUinput = false;  // as older rules did: with it any program could make a keyboard
};
// The rule udev uses, from the first of directories that holds one.
UdevRule FindUdevRule(const std::vector<std::string> &directories);

enum class Obstacle {
  kUinputModuleMissing,  // /dev/uinput does not exist: the module is not loaded
  kNoOutputWay,          // neither the uinput broker nor /dev/uinput may make the outputs
  kUdevRuleMissing,      // no rule grants the access: none installed, or an older one
  kNoSessionAccess,      // the rule is there, but this login has not been given what it grants
  kNoUserManager,        // systemctl --user reaches no user manager (ssh, su, no session)
  kUnitNotInstalled,     // no user unit anywhere: the package is not installed
  kUnitNotLoaded,        // the unit file is there, but the user manager has not read it
  kHelperStopped,        // the user manager knows the unit; the helper does not run
};

// Why a node is refused; error is what access(2) answered for it. /dev/uinput (uinput) is
// refused only where the uinput broker is not there either, as the rule no longer grants it.
Obstacle AccessObstacle(bool uinput, int error, const UdevRule &rule);

// The fix, in one line: what to run, or what to do.
std::string Fix(Obstacle obstacle);

}  // namespace platform
