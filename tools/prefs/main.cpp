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
    "Shows and changes the settings of corvassel-helper, which turns two mouse buttons into\n"
    "back and forward: on Linux, a press of either becomes a click of the side button that\n"
    "browsers and file managers take as back or forward.\n"
    "\n"
    "  (no command)     each setting, stored and as the helper takes it\n"
    "  set KEY VALUE    change a setting: true or false (on/off, yes/no, 1/0) for Enabled, a\n"
    "                   mouse button from 0 to 15 otherwise (0 or -1: none; for\n"
    "                   PassthroughButton 0 is the middle button and -1 off);\n"
    "                   set Enabled true also starts the helper when it is not running\n"
    "  unset KEY        remove a setting, so that its default applies\n"
    "  learn KEY        wait for a mouse button to be pressed and make it BackButton,\n"
    "                   ForwardButton or PassthroughButton\n"
    "  buttons          show each mouse button's number as it is pressed, until interrupted\n"
    "  doctor           what keeps the helper from remapping, and how to fix it\n"
    "  scripts          where the extra scripts are looked for, and which exist\n"
    "  help, -h, --help this text;  --version the version\n"
    "Keys: Enabled, BackButton, ForwardButton, PassthroughButton.\n"
    "Buttons are numbered from 0 (left, right, middle, then the side buttons 3 and 4); X11\n"
    "tools call the side buttons 8 and 9. 'corvassel-prefs buttons' shows each number.\n";

struct Command {
  const char *name;
  int arguments;
  const char *usage;
};
constexpr Command kCommands[] = {
    {"set", 2, "set KEY VALUE"},   {"unset", 1, "unset KEY"}, {"learn", 1, "learn KEY"},
    {"buttons", 0, "buttons"},     {"doctor", 0, "doctor"},   {"scripts", 0, "scripts"},
    {"help", -1, "help"},          {"--help", -1, "--help"},  {"-h", -1, "-h"},
    {"--version", 0, "--version"},
};

// The command named, or a one-line refusal that names the word at fault.
const Command *Parse(int argc, char **argv, int *status) {
  const std::string_view word = argv[1];
  for (const Command &command : kCommands) {
    if (word != command.name) continue;
    const int given = argc - 2;
    if (command.arguments < 0 || given == command.arguments) return &command;
    *status = given < command.arguments
                  ? Fail(kInvalid, std::string("usage: corvassel-prefs ") + command.usage)
                  : Fail(kInvalid, "unexpected \"" + std::string(argv[2 + command.arguments]) +
                                       "\" after " + command.name + " (usage: corvassel-prefs " +
                                       command.usage + ")");
    return nullptr;
  }
  *status =
      Fail(kInvalid, std::string(word.starts_with("-") ? "unknown option" : "unknown command") +
                         " \"" + std::string(word) +
                         "\" (usage: corvassel-prefs [set KEY VALUE | unset KEY | learn KEY | "
                         "buttons | doctor | scripts | help])");
  return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
  platform::LinuxMachine machine;
  platform::UseBackend running(machine);
  int status = 0;
  const Command *command = argc > 1 ? Parse(argc, argv, &status) : nullptr;
  if (argc > 1 && !command) return status;
  const std::string_view name = command ? command->name : "";
  if (name == "help" || name == "--help" || name == "-h") {
    fputs(kUsage, stdout);
    return 0;
  }
  if (name == "--version") {
    printf("corvassel-prefs %s\n", CORVASSEL_VERSION);
    return 0;
  }
  if (name == "buttons") return Buttons();

  const std::string home = corvassel::tools::HomeDirectory();
  if (home.empty()) return Fail(kFailed, "cannot find the home directory (HOME is not set)");
  PreferencesFile file(corvassel::tools::PreferencesPath(home, kDomain));
  if (name.empty()) return Show(file);
  if (name == "set") return Change(file, argv[2], argv[3]);
  if (name == "unset") return Change(file, argv[2], nullptr);
  if (name == "learn") {
    const Setting *setting = FindSetting(argv[2]);
    if (!setting || setting->boolean)
      return Fail(kInvalid, "learn takes BackButton, ForwardButton or PassthroughButton, not \"" +
                                std::string(argv[2]) + "\"");
    return Learn(file, *setting);
  }
  if (name == "doctor") return Doctor(file, home);
  return ShowScripts(home);
}
