#include "helper/Settings.h"

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

int64_t CorvasselIntegerSetting(CFPropertyListRef value, int64_t fallback) {
  if (value && CFGetTypeID(value) == CFNumberGetTypeID()) {
    int64_t number = 0;
    CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &number);
    return number;
  }
  if (value && CFGetTypeID(value) == CFBooleanGetTypeID())
    return CFBooleanGetValue(static_cast<CFBooleanRef>(value)) ? 1 : 0;
  return fallback;
}

CorvasselSettings CorvasselReadSettings(CFPropertyListRef enabled, CFPropertyListRef back,
                                        CFPropertyListRef forward, CFPropertyListRef passthrough) {
  CorvasselSettings settings;
  settings.enabled = enabled ? CorvasselBooleanSetting(enabled) : kCorvasselEnabledDefault;
  settings.back = CorvasselIntegerSetting(back, kCorvasselBackDefault);
  settings.forward = CorvasselIntegerSetting(forward, kCorvasselForwardDefault);
  settings.passthrough = CorvasselPassthroughButton(
      CorvasselIntegerSetting(passthrough, kCorvasselPassthroughDefault));
  return settings;
}
