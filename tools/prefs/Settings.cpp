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
#include "helper/SettingReadings.h"

namespace corvassel::prefs {

namespace {

CFPropertyListRef CopySetting(const PreferencesFile *loaded, const char *key) {
  if (loaded) return platform::CopyPreferencesValue(loaded->dictionary(), key);
  CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
  CFStringRef domain = CFStringCreateWithCString(nullptr, kDomain, kCFStringEncodingUTF8);
  CFPropertyListRef value =
      CFPreferencesCopyValue(name, domain, kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  CFRelease(domain);
  CFRelease(name);
  return value;
}

void PostChange() {
  CFStringRef name =
      CFStringCreateWithCString(nullptr, kChangedNotification, kCFStringEncodingUTF8);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(), name, nullptr,
                                       nullptr, true);
  CFRelease(name);
}

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
         (setting.boolean ? std::string("false") : std::to_string(setting.fallback)) + ".";
}

// Changes one setting under the file's lock, tells the helper, and says what it did.
int Store(PreferencesFile &file, const Setting &setting, const NewSetting &value) {
  std::string error;
  if (!file.lock(&error)) return Fail(kFailed, error);
  if (!file.load(&error)) return Fail(kInvalid, error);
  bool changed = value.boolean   ? file.setBoolean(setting.key, *value.boolean, &error)
                 : value.integer ? file.setInteger(setting.key, *value.integer, &error)
                                 : file.remove(setting.key, &error);
  if (!changed || !file.save(&error)) return Fail(kFailed, error);
  file.unlock();
  PostChange();
  printf("%s\n", Stored(setting, value).c_str());
  const std::string home = tools::HomeDirectory();
  // Switching on starts a helper that does not run, and says so itself.
  const bool switchedOn = std::string_view(setting.key) == "Enabled" && value.boolean == true;
  SayWhetherTheHelperWasTold(home, !switchedOn);
  return switchedOn ? StartHelperIfStopped(home) : 0;
}

}  // namespace

const Setting *FindSetting(std::string_view key) {
  for (const Setting &setting : kSettings)
    if (key == setting.key) return &setting;
  return nullptr;
}

int Fail(int status, const std::string &message) {
  fprintf(stderr, "corvassel-prefs: %s\n", message.c_str());
  return status;
}

Effective EffectiveSettings(const PreferencesFile *loaded) {
  // All four are read before any is interpreted, as the helper does.
  CFPropertyListRef enabled = CopySetting(loaded, "Enabled");
  CFPropertyListRef back = CopySetting(loaded, "BackButton");
  CFPropertyListRef forward = CopySetting(loaded, "ForwardButton");
  CFPropertyListRef passthrough = CopySetting(loaded, "PassthroughButton");
  Effective effective;
  effective.enabled = CorvasselBooleanSetting(enabled);
  effective.back = CorvasselIntegerSetting(back, 0);
  effective.forward = CorvasselIntegerSetting(forward, 0);
  effective.passthrough = CorvasselIntegerSetting(passthrough, 2);
  if (effective.passthrough == 0) effective.passthrough = 2;
  for (CFPropertyListRef value : {enabled, back, forward, passthrough})
    if (value) CFRelease(value);
  return effective;
}

std::string EffectiveText(const Setting &setting, const Effective &effective) {
  const std::string_view key = setting.key;
  if (key == "Enabled") return effective.enabled ? "true" : "false";
  if (key == "BackButton") return std::to_string(effective.back);
  if (key == "ForwardButton") return std::to_string(effective.forward);
  return std::to_string(effective.passthrough);
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

int ShowScripts(const std::string &home) {
  const std::string bundles[] = {home + "/Library/PreferencePanes/Ombrisk.prefPane",
                                 "/Library/PreferencePanes/Ombrisk.prefPane"};
  for (const char *name : {"back-extra-script", "forward-extra-script"}) {
    printf("%s:\n", name);
    bool chosen = false;
    for (const std::string &bundle : bundles) {
      std::string path = bundle + "/Contents/Resources/Scripts/" + name;
      struct stat info;
      bool exists = stat(path.c_str(), &info) == 0;
      std::string state = "absent";
      if (exists) {
        // The helper runs the first one that exists, whatever it is.
        state = S_ISDIR(info.st_mode)             ? "exists (a directory)"
                : access(path.c_str(), X_OK) != 0 ? "exists (not executable)"
                                                  : "exists";
        if (!chosen) state += ", used";
      }
      printf("  %-6s %s  [%s]\n", &bundle == &bundles[0] ? "user" : "system", path.c_str(),
             state.c_str());
      chosen = chosen || exists;
    }
  }
  return 0;
}

}  // namespace corvassel::prefs
