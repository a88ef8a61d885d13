// ApplicationServices: CoreGraphics plus the accessibility trust check.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>

extern "C" {

extern CFStringRef kAXTrustedCheckOptionPrompt;
// With kAXTrustedCheckOptionPrompt true in options, an untrusted process asks the user once.
Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options);
Boolean AXIsProcessTrusted(void);

}  // extern "C"
