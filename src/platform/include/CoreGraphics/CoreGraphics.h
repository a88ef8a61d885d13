// CoreGraphics events and event taps, under Apple's names and signatures. Enumerations are
// Apple's CF_ENUM types, as C++ sees them (see CoreFoundation.h).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

extern "C" {

typedef struct __CGEvent *CGEventRef;
typedef struct __CGEventSource *CGEventSourceRef;
typedef struct __CGEventTapProxy *CGEventTapProxy;

enum CGEventType : uint32_t {
  kCGEventNull = 0,
  kCGEventLeftMouseDown = 1,
  kCGEventLeftMouseUp = 2,
  kCGEventRightMouseDown = 3,
  kCGEventRightMouseUp = 4,
  kCGEventMouseMoved = 5,
  kCGEventLeftMouseDragged = 6,
  kCGEventRightMouseDragged = 7,
  kCGEventKeyDown = 10,
  kCGEventKeyUp = 11,
  kCGEventFlagsChanged = 12,
  kCGEventScrollWheel = 22,
  kCGEventOtherMouseDown = 25,
  kCGEventOtherMouseUp = 26,
  kCGEventOtherMouseDragged = 27,
  kCGEventTapDisabledByTimeout = 0xFFFFFFFE,
  kCGEventTapDisabledByUserInput = 0xFFFFFFFF
};
typedef enum CGEventType CGEventType;

typedef uint64_t CGEventMask;
#define CGEventMaskBit(eventType) ((CGEventMask)1 << (eventType))
typedef uint64_t CGEventFlags;
typedef uint64_t CGEventTimestamp;

enum CGEventField : uint32_t {
  kCGMouseEventNumber = 0,
  kCGMouseEventClickState = 1,
  kCGMouseEventPressure = 2,
  kCGMouseEventButtonNumber = 3,
  kCGMouseEventDeltaX = 4,
  kCGMouseEventDeltaY = 5,
};
typedef enum CGEventField CGEventField;

enum CGEventTapLocation : uint32_t {
  kCGHIDEventTap = 0,
  kCGSessionEventTap = 1,
  kCGAnnotatedSessionEventTap = 2
};
typedef enum CGEventTapLocation CGEventTapLocation;
enum CGEventTapPlacement : uint32_t { kCGHeadInsertEventTap = 0, kCGTailAppendEventTap = 1 };
typedef enum CGEventTapPlacement CGEventTapPlacement;
enum CGEventTapOptions : uint32_t { kCGEventTapOptionDefault = 0, kCGEventTapOptionListenOnly = 1 };
typedef enum CGEventTapOptions CGEventTapOptions;

typedef CGEventRef (*CGEventTapCallBack)(CGEventTapProxy proxy, CGEventType type, CGEventRef event,
                                         void *userInfo);

CFTypeID CGEventGetTypeID(void);
CGEventRef CGEventCreate(CGEventSourceRef source);
CFDataRef CGEventCreateData(CFAllocatorRef allocator, CGEventRef event);
// NULL unless the bytes are a well-formed serialized event.
CGEventRef CGEventCreateFromData(CFAllocatorRef allocator, CFDataRef data);
CGEventRef CGEventCreateCopy(CGEventRef event);

CGEventType CGEventGetType(CGEventRef event);
void CGEventSetType(CGEventRef event, CGEventType type);
CGEventFlags CGEventGetFlags(CGEventRef event);
void CGEventSetFlags(CGEventRef event, CGEventFlags flags);
CGEventTimestamp CGEventGetTimestamp(CGEventRef event);
void CGEventSetTimestamp(CGEventRef event, CGEventTimestamp timestamp);
int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field);
void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value);
double CGEventGetDoubleValueField(CGEventRef event, CGEventField field);
void CGEventSetDoubleValueField(CGEventRef event, CGEventField field, double value);

void CGEventPost(CGEventTapLocation tap, CGEventRef event);

CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place,
                               CGEventTapOptions options, CGEventMask eventsOfInterest,
                               CGEventTapCallBack callback, void *userInfo);
void CGEventTapEnable(CFMachPortRef tap, bool enable);
bool CGEventTapIsEnabled(CFMachPortRef tap);

}  // extern "C"
