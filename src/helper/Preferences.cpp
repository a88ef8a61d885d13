#include "helper/CorvasselHelper.h"

#include <initializer_list>

namespace {

CFPropertyListRef CopySetting(CFStringRef key) {
  return CFPreferencesCopyValue(key, kCorvasselPreferencesDomain, kCFPreferencesCurrentUser,
                                kCFPreferencesAnyHost);
}

int64_t ReadInteger(CFPropertyListRef value, int64_t fallback) {
  if (value && CFGetTypeID(value) == CFNumberGetTypeID()) {
    int64_t number = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number);
    return number;
  }
  if (value && CFGetTypeID(value) == CFBooleanGetTypeID())
    return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? 1 : 0;
  return fallback;
}

}  // namespace

bool CorvasselBooleanSetting(CFPropertyListRef value) {
  if (value && CFGetTypeID(value) == CFBooleanGetTypeID())
    return CFBooleanGetValue(static_cast<CFBooleanRef>(value));
  if (value && CFGetTypeID(value) == CFNumberGetTypeID()) {
    double number = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberDoubleType, &number);
    return number != 0;
  }
  return false;
}

void CorvasselHelper::loadPreferences() {
  // All four are read before any property changes.
  CFPropertyListRef enabled = CopySetting(CFSTR("Enabled"));
  CFPropertyListRef back = CopySetting(CFSTR("BackButton"));
  CFPropertyListRef forward = CopySetting(CFSTR("ForwardButton"));
  CFPropertyListRef passthrough = CopySetting(CFSTR("PassthroughButton"));

  setEnabled(CorvasselBooleanSetting(enabled));
  setBackButton(ReadInteger(back, 0));
  setForwardButton(ReadInteger(forward, 0));
  setPassthroughButton(ReadInteger(passthrough, 2));
  // 0 would be the primary button; it means "the default" instead.
  if (passthroughButton() == 0) setPassthroughButton(2);

  for (CFPropertyListRef value : {enabled, back, forward, passthrough})
    if (value) CFRelease(value);
}
