#include "HelperSettings.h"

#include <CoreFoundation/CoreFoundation.h>

namespace corvassel::tools {

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

}  // namespace

const Setting *FindSetting(std::string_view key) {
  for (const Setting &setting : kSettings)
    if (key == setting.key) return &setting;
  return nullptr;
}

Effective EffectiveSettings(const PreferencesFile *loaded) {
  // All four are read before any is interpreted, as the helper does.
  CFPropertyListRef enabled = CopySetting(loaded, "Enabled");
  CFPropertyListRef back = CopySetting(loaded, "BackButton");
  CFPropertyListRef forward = CopySetting(loaded, "ForwardButton");
  CFPropertyListRef passthrough = CopySetting(loaded, "PassthroughButton");
  const Effective effective = CorvasselReadSettings(enabled, back, forward, passthrough);
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

void PostSettingsChanged() {
  CFStringRef name =
      CFStringCreateWithCString(nullptr, kChangedNotification, kCFStringEncodingUTF8);
  CFNotificationCenterPostNotification(CFNotificationCenterGetDistributedCenter(), name, nullptr,
                                       nullptr, true);
  CFRelease(name);
}

ChangeResult ChangeSetting(PreferencesFile &file, const std::string &key,
                           const std::optional<NewValue> &value) {
  ChangeResult result;
  if (!file.lock(&result.error)) return result;
  // Read afresh under the lock: whatever another tool wrote meanwhile is kept.
  if (!file.load(&result.error)) {
    file.unlock();
    result.outcome = ChangeResult::Outcome::kIgnoredFile;
    return result;
  }
  bool changed = !value             ? file.remove(key, &result.error)
                 : value->isBoolean ? file.setBoolean(key, value->boolean, &result.error)
                                    : file.setInteger(key, value->integer, &result.error);
  changed = changed && file.save(&result.error);
  file.unlock();
  if (!changed) return result;
  PostSettingsChanged();
  result.outcome = ChangeResult::Outcome::kStored;
  return result;
}

}  // namespace corvassel::tools
