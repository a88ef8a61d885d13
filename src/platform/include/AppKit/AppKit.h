// The one AppKit service the helper needs: which mouse buttons are held.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

typedef unsigned long NSUInteger;

class NSEvent {
 public:
  // Bit n is set while mouse button n is held ([NSEvent pressedMouseButtons]).
  static NSUInteger pressedMouseButtons();
};
