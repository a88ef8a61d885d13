#include "helper/CorvasselHelper.h"
#include "helper/SettingReadings.h"

#include <initializer_list>

namespace {

CFPropertyListRef CopySetting(CFStringRef key) {
  return CFPreferencesCopyValue(key, kCorvasselPreferencesDomain, kCFPreferencesCurrentUser,
                                kCFPreferencesAnyHost);
}

}  // namespace

void CorvasselHelper::loadPreferences() {
  // All four are read before any property changes.
  CFPropertyListRef enabled = CopySetting(CFSTR("Enabled"));
  CFPropertyListRef back = CopySetting(CFSTR("BackButton"));
  CFPropertyListRef forward = CopySetting(CFSTR("ForwardButton"));
  CFPropertyListRef passthrough = CopySetting(CFSTR("PassthroughButton"));

  setEnabled(CorvasselBooleanSetting(enabled));
  setBackButton(CorvasselIntegerSetting(back, 0));
  setForwardButton(CorvasselIntegerSetting(forward, 0));
  setPassthroughButton(CorvasselIntegerSetting(passthrough, 2));
  // 0 would be the primary button; it means "the default" instead.
  if (passthroughButton() == 0) setPassthroughButton(2);

  for (CFPropertyListRef value : {enabled, back, forward, passthrough})
    if (value) CFRelease(value);
}
