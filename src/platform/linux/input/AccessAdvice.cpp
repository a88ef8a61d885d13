#include <platform/AccessAdvice.h>

#include <cerrno>
#include <fstream>
#include <sstream>

namespace platform {

std::vector<std::string> UdevRuleDirectories() {
  return {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
          "/usr/lib/udev/rules.d", "/lib/udev/rules.d"};
}

UdevRule FindUdevRule(const std::vector<std::string> &directories) {
  UdevRule rule;
  for (const std::string &directory : directories) {
    std::ifstream in(directory + "/" + kUdevRuleName);
    if (!in) continue;
    std::stringstream text;
    text << in.rdbuf();
    rule.path = directory + "/" + kUdevRuleName;
    rule.givesMice = text.str().find("ID_INPUT_MOUSE") != std::string::npos;
    rule.givesUinput = text.str().find("KERNEL==\"uinput\"") != std::string::npos;
    break;
  }
  return rule;
}

Obstacle AccessObstacle(bool uinput, int error, const UdevRule &rule) {
  if (uinput && error == ENOENT) return Obstacle::kUinputModuleMissing;
  if (uinput) return Obstacle::kNoOutputWay;
  // An older rule granted /dev/uinput alone: for the mice it is as good as none.
  if (rule.path.empty() || (!uinput && !rule.givesMice)) return Obstacle::kUdevRuleMissing;
  return Obstacle::kNoSessionAccess;
}

std::string Fix(Obstacle obstacle) {
  const std::string unit = kUserUnitName;
  switch (obstacle) {
    case Obstacle::kUinputModuleMissing:
      return "sudo modprobe uinput (and to load it at every boot: echo uinput | sudo tee "
             "/etc/modules-load.d/uinput.conf)";
    case Obstacle::kNoOutputWay:
      return "install the corvassel-helper package, which brings corvassel-uinputd to make them, "
             "or where it is installed: sudo systemctl enable --now corvassel-uinputd.socket";
    case Obstacle::kUdevRuleMissing:
      return std::string("install the corvassel-helper package, or copy ") + kUdevRuleName +
             " to /etc/udev/rules.d and run 'sudo udevadm control --reload && sudo udevadm "
             "trigger'";
    case Obstacle::kNoSessionAccess:
      return "log out and in again at the machine: the udev rule gives access only to the user "
             "of the active session at the seat, never to an ssh or su login";
    case Obstacle::kNoUserManager:
      return "log in at the desktop, where your user manager runs (an ssh or su login may have "
             "none), or start the helper yourself now: corvassel-helper &";
    case Obstacle::kUnitNotInstalled:
      return "install the corvassel-helper package (it brings the user unit), then: systemctl "
             "--user enable --now " +
             unit;
    case Obstacle::kUnitNotLoaded:
      return "systemctl --user daemon-reload && systemctl --user enable --now " + unit;
    case Obstacle::kHelperStopped:
      return "systemctl --user enable --now " + unit;
  }
  return {};
}

}  // namespace platform
