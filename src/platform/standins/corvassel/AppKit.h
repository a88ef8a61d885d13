// The project's own stand-in for the one AppKit service the helper needs, which mouse buttons
// are held; not Apple's header. Like the Foundation stand-ins (corvassel/Foundation.h) it keeps
// the Objective-C class's name inside corvassel::ns.
#pragma once

#include <corvassel/Foundation.h>

namespace corvassel::ns {

class NSEvent {
 public:
  // Bit n is set while mouse button n is held ([NSEvent pressedMouseButtons]).
  static NSUInteger pressedMouseButtons();
};

}  // namespace corvassel::ns
