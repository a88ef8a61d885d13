// Builds trackpad gesture events (type 29) from a gesture description and a list of touches.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

// info: the gesture description (string keys to numbers); touches: the touch descriptions.
// Returns a new event that the caller releases, or NULL when no event could be built.
CGEventRef tl_CGEventCreateFromGesture(CFDictionaryRef info, CFArrayRef touches);
