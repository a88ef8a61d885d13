// corvassel-prefs [COMMAND]: see kUsage.
#include <platform/LinuxMachine.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "Prefs.h"

using namespace corvassel::prefs;

namespace {

constexpr const char *kUsage =
    "usage: corvassel-prefs [COMMAND]\n"
    "  (no command)     each setting, stored and effective\n"
    "  set KEY VALUE    change a setting: true or false for Enabled, a button number otherwise;\n"
    "                   set Enabled true also starts the helper when it is not running\n"
    "  unset KEY        remove a setting, so that its default applies\n"
    "  learn KEY        wait for a mouse button to be pressed and make it BackButton,\n"
    "                   ForwardButton or PassthroughButton\n"
    "  buttons          show each mouse button as it is pressed, until interrupted\n"
    "  doctor           what keeps the helper from remapping, and how to fix it\n"
    "  scripts          where the extra scripts are looked for, and which exist\n"
    "  --help, --version\n"
    "Keys: Enabled, BackButton, ForwardButton, PassthroughButton.\n";

int Usage() {
  return Fail(kInvalid,
              "usage: corvassel-prefs [set KEY VALUE | unset KEY | learn KEY | buttons | doctor | "
              "scripts] (--help says more)");
}

}  // namespace

int main(int argc, char **argv) {
  platform::LinuxMachine machine;
  platform::UseBackend running(machine);
  const std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "--help" && argc == 2) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version" && argc == 2) {
    printf("corvassel-prefs %s\n", CORVASSEL_VERSION);
    return 0;
  }
  if (command == "buttons" && argc == 2) return Buttons();

  const std::string home = corvassel::tools::HomeDirectory();
  if (home.empty()) return Fail(kFailed, "cannot find the home directory (HOME is not set)");
  PreferencesFile file(corvassel::tools::PreferencesPath(home, kDomain));
  if (argc == 1) return Show(file);
  if (command == "set" && argc == 4) return Change(file, argv[2], argv[3]);
  if (command == "unset" && argc == 3) return Change(file, argv[2], nullptr);
  if (command == "learn" && argc == 3) {
    const Setting *setting = FindSetting(argv[2]);
    if (!setting || setting->boolean)
      return Fail(kInvalid, "learn takes BackButton, ForwardButton or PassthroughButton, not \"" +
                                std::string(argv[2]) + "\"");
    return Learn(file, *setting);
  }
  if (command == "doctor" && argc == 2) return Doctor(file, home);
  if (command == "scripts" && argc == 2) return ShowScripts(home);
  return Usage();
}
