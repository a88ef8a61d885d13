// The event tap callback and the swipes it posts.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include <cstdint>

// Swipe code -> [opening description, closing description], for codes 1, 2, 4 and 8.
extern CFMutableDictionaryRef swipeInfo;
// The empty touch list handed to the encoder for every swipe.
extern CFArrayRef nullArray;

constexpr uint32_t kSwipeBack = 4;
constexpr uint32_t kSwipeForward = 8;

// Posts the two gesture events of a swipe (opening, then closing) at the HID tap location.
void TQXFakeSwipe(uint32_t code);

// Passes the event (returns it), swallows it (NULL), or swallows it and performs back/forward.
CGEventRef MouseEventCallback(CGEventTapProxy proxy, CGEventType type, CGEventRef event,
                              void *userInfo);
