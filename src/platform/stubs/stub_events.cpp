// Stand-in: replaced by the events part.
#include <CoreGraphics/CoreGraphics.h>
#include <CoreServices/CoreServices.h>

CFTypeID CGEventGetTypeID(void) { return 268; }
CGEventRef CGEventCreate(CGEventSourceRef) { return nullptr; }
CFDataRef CGEventCreateData(CFAllocatorRef, CGEventRef) { return nullptr; }
CGEventRef CGEventCreateFromData(CFAllocatorRef, CFDataRef) { return nullptr; }
CGEventRef CGEventCreateCopy(CGEventRef) { return nullptr; }
CGEventType CGEventGetType(CGEventRef) { return 0; }
void CGEventSetType(CGEventRef, CGEventType) {}
CGEventFlags CGEventGetFlags(CGEventRef) { return 0; }
void CGEventSetFlags(CGEventRef, CGEventFlags) {}
CGEventTimestamp CGEventGetTimestamp(CGEventRef) { return 0; }
void CGEventSetTimestamp(CGEventRef, CGEventTimestamp) {}
int64_t CGEventGetIntegerValueField(CGEventRef, CGEventField) { return 0; }
void CGEventSetIntegerValueField(CGEventRef, CGEventField, int64_t) {}
double CGEventGetDoubleValueField(CGEventRef, CGEventField) { return 0; }
void CGEventSetDoubleValueField(CGEventRef, CGEventField, double) {}
void CGEventPost(CGEventTapLocation, CGEventRef) {}
AbsoluteTime UpTime(void) { return AbsoluteTime{0, 0}; }
Nanoseconds AbsoluteToNanoseconds(AbsoluteTime t) { return t; }
