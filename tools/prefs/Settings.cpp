// Showing and changing the settings.
#include <CoreFoundation/CoreFoundation.h>
#include <platform/PreferencesDictionary.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <charconv>
#include <cstdio>

#include "ButtonNumbers.h"
#include "Prefs.h"
#include "ScriptPlaces.h"

namespace corvassel::prefs {

namespace {

struct NewSetting {
  std::optional<bool> boolean;
  std::optional<int64_t> integer;
};

// "true", "on", "yes" or "1" and their opposites, in any case; nothing for any other word.
std::optional<bool> ReadSwitch(std::string_view word) {
  std::string lower(word);
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (const char *on : {"true", "on", "yes", "1"})
    if (lower == on) return true;
  for (const char *off : {"false", "off", "no", "0"})
    if (lower == off) return false;
  return std::nullopt;
}

std::string Stored(const Setting &setting, const NewSetting &value) {
  if (value.boolean)
    return std::string(setting.key) + " is now " + (*value.boolean ? "true" : "false") + ".";
  if (value.integer)
    return std::string(setting.key) + " is now " + std::to_string(*value.integer) + ".";
  return std::string(setting.key) + " is no longer set: the helper takes " +
         (setting.boolean ? std::string(setting.fallback ? "true" : "false")
                          : std::to_string(setting.fallback)) +
         ".";
}

// Changes one setting under the file's lock, tells the helper, and says what it did.
int Store(PreferencesFile &file, const Setting &setting, const NewSetting &value) {
  const std::optional<tools::NewValue> stored =
      value.boolean   ? std::optional(tools::NewValue::Boolean(*value.boolean))
      : value.integer ? std::optional(tools::NewValue::Integer(*value.integer))
                      : std::nullopt;
  const tools::ChangeResult result = tools::ChangeSetting(file, setting.key, stored);
  if (result.outcome == tools::ChangeResult::Outcome::kIgnoredFile)
    return Fail(kInvalid, result.error);
  if (!result.stored()) return Fail(kFailed, result.error);
  printf("%s\n", Stored(setting, value).c_str());
  const std::string home = tools::HomeDirectory();
  // Switching on starts a helper that does not run, and says so itself.
  const bool switchedOn = std::string_view(setting.key) == "Enabled" && value.boolean == true;
  SayWhetherTheHelperWasTold(home, !switchedOn);
  return switchedOn ? StartHelperIfStopped(home) : 0;
}

}  // namespace

int Fail(int status, const std::string &message) {
  fprintf(stderr, "corvassel-prefs: %s\n", message.c_str());
  return status;
}

void PrintSettings(const PreferencesFile &file, const Effective &effective, bool readable) {
  printf("%-18s %-24s %s\n", "Key", "Stored", "Effective");
  for (const Setting &setting : kSettings) {
    std::optional<std::string> stored = file.displayValue(setting.key);
    printf("%-18s %-24s %s\n", setting.key,
           !readable ? "(unreadable)"
           : stored  ? stored->c_str()
                     : "(not set)",
           EffectiveText(setting, effective).c_str());
  }
}

int Show(PreferencesFile &file) {
  std::string error;
  if (!file.load(&error)) return Fail(kInvalid, error);
  printf("Settings in %s\n", file.path().c_str());
  PrintSettings(file, EffectiveSettings(&file));
  return 0;
}

int Change(PreferencesFile &file, std::string_view key, const char *text) {
  const Setting *setting = FindSetting(key);
  if (!setting)
    return Fail(kInvalid, "unknown key \"" + std::string(key) +
                              "\" (expected Enabled, BackButton, ForwardButton or "
                              "PassthroughButton)");
  NewSetting value;
  if (text) {
    std::string_view given(text);
    if (setting->boolean) {
      value.boolean = ReadSwitch(given);
      if (!value.boolean)
        return Fail(kInvalid, "invalid value \"" + std::string(given) + "\" for " + setting->key +
                                  " (expected true or false, on or off, yes or no, 1 or 0)");
    } else {
      const tools::ButtonRole role = *tools::ButtonRoleOf(setting->key);
      int64_t number = 0;
      auto [end, ec] = std::from_chars(given.data(), given.data() + given.size(), number);
      if (ec == std::errc::invalid_argument || end != given.data() + given.size() || given.empty())
        return Fail(kInvalid, "invalid value \"" + std::string(given) + "\" for " + setting->key +
                                  " (expected " + tools::AcceptedButtons(role) + ")");
      if (ec == std::errc::result_out_of_range || !tools::SettingTakes(number))
        return Fail(kInvalid, "value \"" + std::string(given) + "\" for " + setting->key +
                                  " is out of range: it takes " + tools::AcceptedButtons(role));
      if (tools::X11SideButtonNumber(number))
        fprintf(stderr,
                "corvassel-prefs: note: X11 tools (xev, xinput) number the side buttons 8 and 9, "
                "which are 3 and 4 here; 'corvassel-prefs learn %s' finds a button's number "
                "when you press it\n",
                setting->key);
      value.integer = number;
    }
  }
  return Store(file, *setting, value);
}

int StoreButton(PreferencesFile &file, const Setting &setting, int64_t button) {
  NewSetting value;
  value.integer = button;
  return Store(file, setting, value);
}

void SayWhetherTheHelperWasTold(const std::string &home, bool sayWhenNoneRuns) {
  const std::vector<pid_t> running = tools::HelperProcesses(home);
  if (running.empty()) {
    if (sayWhenNoneRuns) printf("No helper runs now; it reads the settings when it starts.\n");
    return;
  }
  const std::string which = "the running helper (process " + std::to_string(running.front()) + ")";
  std::string why;
  if (tools::SessionBusReachable(&why)) {
    printf("Told %s.\n", which.c_str());
    return;
  }
  printf(
      "Could not tell %s: the session bus is not reachable (%s). It reads the settings at its "
      "next start, or now on: systemctl --user reload corvassel-helper\n",
      which.c_str(), why.c_str());
}

int StartHelperIfStopped(const std::string &home) {
  const tools::StartResult result = tools::StartHelperIfStopped(home);
  if (result.failed) return Fail(kFailed, result.lines.front());
  for (const std::string &line : result.lines) printf("%s\n", line.c_str());
  return 0;
}

int ShowScripts(const std::string &home) {
  for (const tools::ScriptPlace &place : tools::ScriptPlaces(home)) {
    if (place.user) printf("%s:\n", place.name.c_str());
    printf("  %-6s %s  [%s]\n", place.user ? "user" : "system", place.path.c_str(),
           tools::ScriptState(place).c_str());
  }
  return 0;
}

}  // namespace corvassel::prefs
