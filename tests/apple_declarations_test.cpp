// The platform's headers against Apple's, at compile time: the enumerations are enums with
// Apple's underlying types, and the functions and constants the helper uses are redeclared here
// as Apple's SDK declares them (as C++ sees them). A redeclaration that differs from the
// layer's, in a type, a qualifier or its C linkage, does not compile. That integers do not
// initialise the enums is checked by the test platform_headers_refuse (compile/refused.cmake).
#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <CoreGraphics/CoreGraphics.h>
#include <CoreServices/CoreServices.h>
#include <dispatch/dispatch.h>

#include <cstdint>
#include <type_traits>

namespace {

template <typename Enum, typename Underlying>
constexpr bool kEnumOf =
    std::is_enum_v<Enum> &&std::is_same_v<std::underlying_type_t<Enum>, Underlying>;

static_assert(kEnumOf<CGEventType, uint32_t>);
static_assert(kEnumOf<CGEventField, uint32_t>);
static_assert(kEnumOf<CGEventTapLocation, uint32_t>);
static_assert(kEnumOf<CGEventTapPlacement, uint32_t>);
static_assert(kEnumOf<CGEventTapOptions, uint32_t>);
static_assert(kEnumOf<CFNumberType, CFIndex>);
static_assert(kEnumOf<CFComparisonResult, CFIndex>);
static_assert(kEnumOf<CFRunLoopRunResult, SInt32>);
static_assert(kEnumOf<CFNotificationSuspensionBehavior, CFIndex>);
static_assert(kEnumOf<CFStringBuiltInEncodings, CFStringEncoding>);

// CF_OPTIONS types and plain typedefs stay integers, as C++ sees them on macOS.
static_assert(std::is_same_v<CGEventFlags, uint64_t>);
static_assert(std::is_same_v<CGEventMask, uint64_t>);
static_assert(std::is_same_v<CFStringCompareFlags, CFOptionFlags>);
static_assert(std::is_same_v<CFStringEncoding, UInt32>);
static_assert(std::is_same_v<SInt64, long long> && std::is_same_v<UInt64, unsigned long long>);
static_assert(std::is_same_v<decltype(kCFNotFound), const CFIndex> && kCFNotFound == -1);

}  // namespace

extern "C" {

// CoreFoundation
CFTypeRef CFRetain(CFTypeRef cf);
void CFRelease(CFTypeRef cf);
CFTypeID CFGetTypeID(CFTypeRef cf);
CFAbsoluteTime CFAbsoluteTimeGetCurrent(void);
CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void **values, CFIndex numValues,
                         const CFArrayCallBacks *callBacks);
CFIndex CFArrayGetCount(CFArrayRef theArray);
const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx);
CFTypeID CFBooleanGetTypeID(void);
Boolean CFBooleanGetValue(CFBooleanRef boolean);
CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                         CFDataRef theData);
void CFDataAppendBytes(CFMutableDataRef theData, const UInt8 *bytes, CFIndex length);
void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range);
CFIndex CFDataGetLength(CFDataRef theData);
CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void **keys, const void **values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks *keyCallBacks,
                                   const CFDictionaryValueCallBacks *valueCallBacks);
CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks);
CFTypeID CFDictionaryGetTypeID(void);
const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key);
void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value);
CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void *valuePtr);
CFTypeID CFNumberGetTypeID(void);
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr);
CFStringRef __CFStringMakeConstantString(const char *cStr);
CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr,
                                      CFStringEncoding encoding);
CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8 *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation);
CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                     CFStringRef format, ...);
CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                             CFStringRef theString);
CFIndex CFStringGetLength(CFStringRef theString);
const char *CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding);
CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8 *buffer,
                         CFIndex maxBufLen, CFIndex *usedBufLen);
void CFStringTrimWhitespace(CFMutableStringRef theString);
CFRunLoopRef CFRunLoopGetCurrent(void);
void CFRunLoopRun(void);
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled);
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef source, CFRunLoopMode mode);
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef timer, CFRunLoopMode mode);
CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext *context);
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef timer);
CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef allocator, CFMachPortRef port,
                                                 CFIndex order);
CFPropertyListRef CFPreferencesCopyValue(CFStringRef key, CFStringRef applicationID,
                                         CFStringRef userName, CFStringRef hostName);
CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void);
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void *observer,
                                     CFNotificationCallback callBack, CFStringRef name,
                                     const void *object,
                                     CFNotificationSuspensionBehavior suspensionBehavior);
void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void *observer);
extern const CFAllocatorRef kCFAllocatorDefault;
extern const CFBooleanRef kCFBooleanTrue;
extern const CFArrayCallBacks kCFTypeArrayCallBacks;
extern const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks;
extern const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks;
extern const CFRunLoopMode kCFRunLoopDefaultMode;
extern const CFRunLoopMode kCFRunLoopCommonModes;
extern const CFStringRef kCFPreferencesAnyHost;
extern const CFStringRef kCFPreferencesCurrentUser;

// CoreGraphics
CGEventRef CGEventCreate(CGEventSourceRef source);
CFDataRef CGEventCreateData(CFAllocatorRef allocator, CGEventRef event);
CGEventRef CGEventCreateFromData(CFAllocatorRef allocator, CFDataRef data);
void CGEventSetType(CGEventRef event, CGEventType type);
void CGEventSetFlags(CGEventRef event, CGEventFlags flags);
void CGEventSetTimestamp(CGEventRef event, CGEventTimestamp timestamp);
int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field);
void CGEventPost(CGEventTapLocation tap, CGEventRef event);
CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place,
                               CGEventTapOptions options, CGEventMask eventsOfInterest,
                               CGEventTapCallBack callback, void *userInfo);
void CGEventTapEnable(CFMachPortRef tap, bool enable);

// HIServices (ApplicationServices)
extern CFStringRef kAXTrustedCheckOptionPrompt;
Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options);
Boolean AXIsProcessTrusted(void);

// CoreServices (DriverServices)
AbsoluteTime UpTime(void);
Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime);

// libdispatch (dispatch_get_main_queue is an inline function there, so it is left out)
void dispatch_async_f(dispatch_queue_t queue, void *context, dispatch_function_t work);
void dispatch_after_f(dispatch_time_t when, dispatch_queue_t queue, void *context,
                      dispatch_function_t work);
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle,
                                         uintptr_t mask, dispatch_queue_t queue);
void dispatch_source_set_event_handler_f(dispatch_source_t source, dispatch_function_t handler);
void dispatch_set_context(dispatch_object_t object, void *context);
void dispatch_resume(dispatch_object_t object);

}  // extern "C"
