#include "helper/CorvasselHelper.h"

#include <corvassel/Foundation.h>

#include "remap/Remap.h"

namespace {

void PreferencesChangedCallback(CFNotificationCenterRef center, void *observer,
                                CFNotificationName name, const void *object,
                                CFDictionaryRef userInfo) {
  static_cast<CorvasselHelper *>(observer)->preferencesChanged(object);
}

void RestartTimerFired(CFRunLoopTimerRef timer, void *info) {
  static_cast<CorvasselHelper *>(info)->performRestart();
}

// Right and other button presses and releases.
constexpr CGEventMask kTapEvents =
    CGEventMaskBit(kCGEventRightMouseDown) | CGEventMaskBit(kCGEventRightMouseUp) |
    CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp);
static_assert(kTapEvents == 0x6000018);

}  // namespace

CorvasselHelper::CorvasselHelper() {
  eventTap_ = nullptr;
  setupSwipeInfo();
  loadPreferences();
  CFNotificationCenterAddObserver(CFNotificationCenterGetDistributedCenter(), this,
                                  PreferencesChangedCallback, kCorvasselPreferencesChanged, nullptr,
                                  CFNotificationSuspensionBehaviorDeliverImmediately);
}

CorvasselHelper::~CorvasselHelper() {
  CFNotificationCenterRemoveEveryObserver(CFNotificationCenterGetDistributedCenter(), this);
  if (restartTimer_) CFRunLoopTimerInvalidate(restartTimer_);
  stop();
  setRestartTimer(nullptr);
}

void CorvasselHelper::setRestartTimer(CFRunLoopTimerRef timer) {
  if (timer) CFRetain(timer);
  if (restartTimer_) CFRelease(restartTimer_);
  restartTimer_ = timer;
}

void CorvasselHelper::preferencesChanged(const void *notification) {
  loadPreferences();
}

void CorvasselHelper::start() {
  if (eventTap_) return;
  eventTap_ = CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                               kTapEvents, MouseEventCallback, this);
  if (!eventTap_) return;  // not trusted, most likely; the run loop goes on without a tap

  CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, eventTap_, 0);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
  CFRelease(source);
  CGEventTapEnable(eventTap_, true);
  scheduleRestart();
}

void CorvasselHelper::stop() {
  if (!eventTap_) return;
  CGEventTapEnable(eventTap_, false);
  CFRelease(eventTap_);
  eventTap_ = nullptr;
}

void CorvasselHelper::scheduleRestart() {
  if (restartTimer_) CFRunLoopTimerInvalidate(restartTimer_);
  CFRunLoopTimerContext context = {0, this, nullptr, nullptr, nullptr};
  CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
      kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + kCorvasselRestartInterval, 0, 0, 0,
      RestartTimerFired, &context);
  CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
  setRestartTimer(timer);
  CFRelease(timer);
}

void CorvasselHelper::performRestart() {
  sys::exit(kCorvasselRestartExitStatus);
}
