// The helper's settings as they are stored: the preferences domain they live in, the
// notification that tells a running helper they changed, each one's default, what the stored
// numbers mean, and how a stored value reads. Said once, for the helper, the tools that show and
// change the settings, and the simulator, so that what a tool calls effective is what the helper
// does.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

// Literals, so that CFSTR takes them.
#define CORVASSEL_PREFERENCES_DOMAIN "Quendrith.tavrel.prefpane"
#define CORVASSEL_PREFERENCES_CHANGED "Quendrith.tavrel.prefsChanged"

inline constexpr const char *kCorvasselDomain = CORVASSEL_PREFERENCES_DOMAIN;
inline constexpr const char *kCorvasselChangedNotification = CORVASSEL_PREFERENCES_CHANGED;

// Missing (or of a kind that reads as none) means these.
inline constexpr bool kCorvasselEnabledDefault = false;
inline constexpr int64_t kCorvasselBackDefault = 0;         // none
inline constexpr int64_t kCorvasselForwardDefault = 0;      // none
inline constexpr int64_t kCorvasselPassthroughDefault = 2;  // the middle button

// Back and forward map a button numbered above 0: 0 would be the primary button, and it and
// every negative number mean none.
constexpr bool CorvasselMapsButton(int64_t button) {
  return button > 0;
}
// A stored passthrough of 0 would be the primary button; it means the default instead.
constexpr int64_t CorvasselPassthroughButton(int64_t stored) {
  return stored == 0 ? kCorvasselPassthroughDefault : stored;
}
// The passthrough is off when negative.
constexpr bool CorvasselPassthroughOn(int64_t passthrough) {
  return passthrough > 0;
}

// A boolean as it is, a number true when non-zero, any other kind (or none) false.
bool CorvasselBooleanSetting(CFPropertyListRef value);
// A number as a 64-bit integer, a boolean as 1 or 0, any other kind (or none) the fallback.
int64_t CorvasselIntegerSetting(CFPropertyListRef value, int64_t fallback);

// The four settings as the helper uses them.
struct CorvasselSettings {
  bool enabled = kCorvasselEnabledDefault;
  int64_t back = kCorvasselBackDefault;
  int64_t forward = kCorvasselForwardDefault;
  int64_t passthrough = kCorvasselPassthroughDefault;
  bool operator==(const CorvasselSettings &) const = default;
};
// The settings from their stored values (each may be NULL: not stored), read all at once.
CorvasselSettings CorvasselReadSettings(CFPropertyListRef enabled, CFPropertyListRef back,
                                        CFPropertyListRef forward, CFPropertyListRef passthrough);
