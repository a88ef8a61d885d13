#include "helper/CorvasselHelper.h"
#include "helper/Settings.h"

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

  const CorvasselSettings settings = CorvasselReadSettings(enabled, back, forward, passthrough);
  setEnabled(settings.enabled);
  setBackButton(settings.back);
  setForwardButton(settings.forward);
  setPassthroughButton(settings.passthrough);

  for (CFPropertyListRef value : {enabled, back, forward, passthrough})
    if (value) CFRelease(value);
}
