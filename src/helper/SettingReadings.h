// How a stored setting reads, for the helper and for the preferences tool alike, so that what the
// tool calls effective is what the helper does.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

// A boolean as it is, a number true when non-zero, any other kind (or none) false.
bool CorvasselBooleanSetting(CFPropertyListRef value);
// A number as a 64-bit integer, a boolean as 1 or 0, any other kind (or none) the fallback.
int64_t CorvasselIntegerSetting(CFPropertyListRef value, int64_t fallback);
