// corvassel-prefs: the preference pane's job on Linux, and what a user needs around it on a
// desktop. Its commands share what is declared here.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ButtonNumbers.h"
#include "HelperSettings.h"
#include "Machine.h"
#include "PreferencesFile.h"

namespace corvassel::prefs {

using tools::Effective;
using tools::EffectiveSettings;
using tools::EffectiveText;
using tools::FindSetting;
using tools::kDomain;
using tools::kSettings;
using tools::kUnit;
using tools::PointerNode;
using tools::PreferencesFile;
using tools::Setting;

inline constexpr int kFailed = 1;
inline constexpr int kInvalid = 2;

// One line on standard error; returns status.
int Fail(int status, const std::string &message);

// ---- settings (Settings.cpp) ----

// The table of stored and effective values; stored ones only when the file could be read.
void PrintSettings(const PreferencesFile &file, const Effective &effective, bool readable = true);
int Show(PreferencesFile &file);
// set KEY VALUE, or unset KEY when text is null.
int Change(PreferencesFile &file, std::string_view key, const char *text);
// Stores one button number, as set does.
int StoreButton(PreferencesFile &file, const Setting &setting, int64_t button);
int ShowScripts(const std::string &home);

// ---- the running helper ----

// After Enabled was switched on: starts the helper when it is not running, saying what it did.
// Returns the exit status.
int StartHelperIfStopped(const std::string &home);
// After a change: says whether a running helper was told of it (over the session bus), or that
// none runs when sayWhenNoneRuns.
void SayWhetherTheHelperWasTold(const std::string &home, bool sayWhenNoneRuns);

// ---- mice (Buttons.cpp) ----

int Learn(PreferencesFile &file, const Setting &setting);
int Buttons();

// ---- doctor (Doctor.cpp) ----

int Doctor(PreferencesFile &file, const std::string &home);

}  // namespace corvassel::prefs
