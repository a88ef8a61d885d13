// Stand-in: replaced by the run loop, dispatch, tap and backend part.
#include <platform/Backend.h>
#include <dispatch/dispatch.h>

#include <cstdlib>

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");
const CFStringRef kAXTrustedCheckOptionPrompt = CFSTR("AXTrustedCheckOptionPrompt");
CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) { return 0; }
CFRunLoopRef CFRunLoopGetCurrent(void) { return nullptr; }
CFRunLoopRef CFRunLoopGetMain(void) { return nullptr; }
void CFRunLoopRun(void) {}
SInt32 CFRunLoopRunInMode(CFRunLoopMode, CFTimeInterval, Boolean) { return kCFRunLoopRunFinished; }
void CFRunLoopStop(CFRunLoopRef) {}
void CFRunLoopWakeUp(CFRunLoopRef) {}
void CFRunLoopAddSource(CFRunLoopRef, CFRunLoopSourceRef, CFRunLoopMode) {}
void CFRunLoopAddTimer(CFRunLoopRef, CFRunLoopTimerRef, CFRunLoopMode) {}
CFRunLoopTimerRef CFRunLoopTimerCreateWithHandler(CFAllocatorRef, CFAbsoluteTime, CFTimeInterval,
                                                  CFOptionFlags, CFIndex,
                                                  std::function<void(CFRunLoopTimerRef)>) {
  return nullptr;
}
void CFRunLoopTimerInvalidate(CFRunLoopTimerRef) {}
CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef, CFMachPortRef, CFIndex) {
  return nullptr;
}
CFMachPortRef CGEventTapCreate(CGEventTapLocation, CGEventTapPlacement, CGEventTapOptions,
                               CGEventMask, CGEventTapCallBack, void *) {
  return nullptr;
}
void CGEventTapEnable(CFMachPortRef, bool) {}
bool CGEventTapIsEnabled(CFMachPortRef) { return false; }
Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef) { return false; }
Boolean AXIsProcessTrusted(void) { return false; }
NSUInteger NSEvent::pressedMouseButtons() { return 0; }
dispatch_queue_t dispatch_get_main_queue(void) { return nullptr; }
dispatch_queue_t dispatch_get_global_queue(intptr_t, uintptr_t) { return nullptr; }
void dispatch_async(dispatch_queue_t, dispatch_block_t) {}
void dispatch_after(dispatch_time_t, dispatch_queue_t, dispatch_block_t) {}
dispatch_time_t dispatch_time(dispatch_time_t, int64_t) { return 0; }
namespace platform {
TimeSource &systemTime() { std::abort(); }
void runLoopPerform(CFRunLoopRef, std::function<void()>) {}
bool runLoopWatch(CFRunLoopRef, int, uint32_t, std::function<void(uint32_t)>) { return false; }
void runLoopUnwatch(CFRunLoopRef, int) {}
}  // namespace platform
