// The helper's four settings as every tool shows and changes them: what each key is, how the
// helper reads the stored values, and the one way a tool changes one (under the file's lock,
// never over a file the helper ignores, then telling a running helper).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "PreferencesFile.h"
#include "helper/Settings.h"

namespace corvassel::tools {

inline constexpr const char *kDomain = kCorvasselDomain;
inline constexpr const char *kChangedNotification = kCorvasselChangedNotification;

struct Setting {
  const char *key;
  bool boolean;
  int64_t fallback;
};
inline constexpr Setting kSettings[] = {
    {"Enabled", true, kCorvasselEnabledDefault},
    {"BackButton", false, kCorvasselBackDefault},
    {"ForwardButton", false, kCorvasselForwardDefault},
    {"PassthroughButton", false, kCorvasselPassthroughDefault},
};
const Setting *FindSetting(std::string_view key);

// The settings as the helper loads them: through the platform's own reader, with its defaults.
// From the file as loaded when it was, else read afresh as the helper reads it.
using Effective = CorvasselSettings;
Effective EffectiveSettings(const PreferencesFile *loaded = nullptr);
std::string EffectiveText(const Setting &setting, const Effective &effective);

struct ChangeResult {
  enum class Outcome {
    kStored,
    kIgnoredFile,  // the helper ignores the file: it was left as it is
    kFailed,       // the lock, or writing, failed
  };
  Outcome outcome = Outcome::kFailed;
  std::string error;
  bool stored() const { return outcome == Outcome::kStored; }
};
// Sets key to value (removes it when value is empty) under the file's lock, after reading the
// file afresh, and posts the change notification once it is written.
ChangeResult ChangeSetting(PreferencesFile &file, const std::string &key,
                           const std::optional<NewValue> &value);
void PostSettingsChanged();

}  // namespace corvassel::tools
