// corvassel-prefs: the preference pane's job on Linux, and what a user needs around it on a
// desktop. Its commands share what is declared here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PreferencesFile.h"

namespace corvassel::prefs {

using tools::PreferencesFile;

inline constexpr const char *kDomain = "Quendrith.tavrel.prefpane";
inline constexpr const char *kChangedNotification = "Quendrith.tavrel.prefsChanged";
inline constexpr const char *kUnit = "corvassel-helper.service";
inline constexpr int kFailed = 1;
inline constexpr int kInvalid = 2;

struct Setting {
  const char *key;
  bool boolean;
  int64_t fallback;
};
inline constexpr Setting kSettings[] = {
    {"Enabled", true, 0},
    {"BackButton", false, 0},
    {"ForwardButton", false, 0},
    {"PassthroughButton", false, 2},
};
const Setting *FindSetting(std::string_view key);

// One line on standard error; returns status.
int Fail(int status, const std::string &message);

// ---- settings (Settings.cpp) ----

// The settings as the helper loads them: through the platform's own reader, with its defaults.
// From the file as loaded when it was, else read afresh as the helper reads it.
struct Effective {
  bool enabled = false;
  int64_t back = 0;
  int64_t forward = 0;
  int64_t passthrough = 2;
};
Effective EffectiveSettings(const PreferencesFile *loaded = nullptr);
std::string EffectiveText(const Setting &setting, const Effective &effective);

// The table of stored and effective values; stored ones only when the file could be read.
void PrintSettings(const PreferencesFile &file, const Effective &effective, bool readable = true);
int Show(PreferencesFile &file);
// set KEY VALUE, or unset KEY when text is null.
int Change(PreferencesFile &file, std::string_view key, const char *text);
// Stores one button number, as set does.
int StoreButton(PreferencesFile &file, const Setting &setting, int64_t button);
int ShowScripts(const std::string &home);

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
// After Enabled was switched on: starts the user unit when it is installed and no helper runs,
// or says how to start the helper. Returns the exit status.
int StartHelperIfStopped(const std::string &home);

// ---- mice (Buttons.cpp) ----

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
// The evdev name of a button number (BTN_SIDE for 3), "button N" beyond the named ones.
std::string ButtonName(int64_t number);

int Learn(PreferencesFile &file, const Setting &setting);
int Buttons();

// ---- doctor (Doctor.cpp) ----

int Doctor(PreferencesFile &file, const std::string &home);

}  // namespace corvassel::prefs
