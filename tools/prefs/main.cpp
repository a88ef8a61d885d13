// corvassel-prefs: the preference pane's job on Linux. Shows the helper's four settings, changes
// them in the user's preferences file and tells a running helper to reload.
#include <CoreFoundation/CoreFoundation.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "PreferencesFile.h"

namespace {

using corvassel::tools::PreferencesFile;
using corvassel::tools::StoredValue;

constexpr const char *kDomain = "Quendrith.tavrel.prefpane";
constexpr const char *kChangedNotification = "Quendrith.tavrel.prefsChanged";
constexpr int kInvalid = 2;
constexpr int kFailed = 1;

struct Setting {
  const char *key;
  bool boolean;
  int64_t fallback;
};
constexpr Setting kSettings[] = {
    {"Enabled", true, 0},
    {"BackButton", false, 0},
    {"ForwardButton", false, 0},
    {"PassthroughButton", false, 2},
};

const Setting *FindSetting(std::string_view key) {
  for (const Setting &setting : kSettings)
    if (key == setting.key) return &setting;
  return nullptr;
}

int Fail(int status, const std::string &message) {
  fprintf(stderr, "corvassel-prefs: %s\n", message.c_str());
  return status;
}

constexpr const char *kUsage =
    "usage: corvassel-prefs [COMMAND]\n"
    "  (no command)     each setting, stored and effective\n"
    "  set KEY VALUE    change a setting: true or false for Enabled, a button number otherwise\n"
    "  unset KEY        remove a setting, so that its default applies\n"
    "  scripts          where the extra scripts are looked for, and which exist\n"
    "  --help, --version\n"
    "Keys: Enabled, BackButton, ForwardButton, PassthroughButton.\n";

int Usage() {
  return Fail(kInvalid,
              "usage: corvassel-prefs [set KEY VALUE | unset KEY | scripts] (--help says more)");
}

// A real number read as a signed 64-bit integer the way the helper's number objects do it.
int64_t RealAsInteger(double real) {
  CFNumberRef number = CFNumberCreate(nullptr, kCFNumberDoubleType, &real);
  int64_t value = 0;
  CFNumberGetValue(number, kCFNumberSInt64Type, &value);
  CFRelease(number);
  return value;
}

// What the helper makes of a stored value when it loads its settings: a boolean setting takes a
// boolean as it is and a number as true when non-zero; a button takes a number (a boolean as 1
// or 0); anything else counts as missing. A passthrough button of 0 means the default.
std::string Effective(const Setting &setting, const std::optional<StoredValue> &stored) {
  using Kind = StoredValue::Kind;
  if (setting.boolean) {
    bool on = false;
    if (stored && stored->kind == Kind::kBoolean) on = stored->boolean;
    if (stored && stored->kind == Kind::kInteger) on = stored->integer != 0;
    if (stored && stored->kind == Kind::kReal) on = stored->real != 0;
    return on ? "true" : "false";
  }
  int64_t button = setting.fallback;
  if (stored && stored->kind == Kind::kInteger) button = stored->integer;
  if (stored && stored->kind == Kind::kBoolean) button = stored->boolean ? 1 : 0;
  if (stored && stored->kind == Kind::kReal) button = RealAsInteger(stored->real);
  if (std::string_view(setting.key) == "PassthroughButton" && button == 0) button = 2;
  return std::to_string(button);
}

bool LoadOrReport(PreferencesFile &file, int *status) {
  std::string error;
  if (file.load(&error)) return true;
  *status = Fail(kInvalid, error);
  return false;
}

int Show(PreferencesFile &file) {
  int status = 0;
  if (!LoadOrReport(file, &status)) return status;
  printf("Settings in %s\n", file.path().c_str());
  printf("%-18s %-24s %s\n", "Key", "Stored", "Effective");
  for (const Setting &setting : kSettings) {
    std::optional<StoredValue> stored = file.value(setting.key);
    printf("%-18s %-24s %s\n", setting.key, stored ? stored->text.c_str() : "(not set)",
           Effective(setting, stored).c_str());
  }
  return 0;
}

void PostChange() {
  CFStringRef name =
      CFStringCreateWithCString(nullptr, kChangedNotification, kCFStringEncodingUTF8);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(), name, nullptr,
                                       nullptr, true);
  CFRelease(name);
}

// Applies one change; the file is rewritten only when the input is valid and the file readable.
int Change(PreferencesFile &file, std::string_view key, const char *text) {
  const Setting *setting = FindSetting(key);
  if (!setting)
    return Fail(kInvalid, "unknown key \"" + std::string(key) +
                              "\" (expected Enabled, BackButton, ForwardButton or "
                              "PassthroughButton)");
  std::optional<bool> boolean;
  std::optional<int64_t> integer;
  if (text) {
    std::string_view value(text);
    if (setting->boolean) {
      if (value == "true") boolean = true;
      if (value == "false") boolean = false;
      if (!boolean)
        return Fail(kInvalid, "invalid value \"" + std::string(value) + "\" for " + setting->key +
                                  " (expected true or false)");
    } else {
      int64_t number = 0;
      auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
      if (ec == std::errc::result_out_of_range)
        return Fail(kInvalid, "value \"" + std::string(value) + "\" for " + setting->key +
                                  " is out of range (a signed 64-bit integer)");
      if (ec != std::errc() || end != value.data() + value.size() || value.empty())
        return Fail(kInvalid, "invalid value \"" + std::string(value) + "\" for " + setting->key +
                                  " (expected an integer)");
      integer = number;
    }
  }

  int status = 0;
  if (!LoadOrReport(file, &status)) return status;
  if (boolean)
    file.setBoolean(setting->key, *boolean);
  else if (integer)
    file.setInteger(setting->key, *integer);
  else
    file.remove(setting->key);
  std::string error;
  if (!file.save(&error)) return Fail(kFailed, error);
  PostChange();
  return 0;
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

}  // namespace

int main(int argc, char **argv) {
  std::string home = corvassel::tools::HomeDirectory();
  if (home.empty()) return Fail(kFailed, "cannot find the home directory (HOME is not set)");
  PreferencesFile file(corvassel::tools::PreferencesPath(home, kDomain));

  std::string_view command = argc > 1 ? argv[1] : "";
  if (command == "--help" && argc == 2) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version" && argc == 2) {
    printf("corvassel-prefs %s\n", CORVASSEL_VERSION);
    return 0;
  }
  if (argc == 1) return Show(file);
  if (command == "set" && argc == 4) return Change(file, argv[2], argv[3]);
  if (command == "unset" && argc == 3) return Change(file, argv[2], nullptr);
  if (command == "scripts" && argc == 2) return ShowScripts(home);
  return Usage();
}
