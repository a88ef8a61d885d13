// Stand-in: replaced by the encoder.
#include "TouchEvents.h"

CGEventRef tl_CGEventCreateFromGesture(CFDictionaryRef, CFArrayRef) { return nullptr; }
