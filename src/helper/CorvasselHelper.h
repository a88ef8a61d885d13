// The helper: its settings, its event tap and the timer that restarts the process.
#pragma once

#include <ApplicationServices/ApplicationServices.h>

#include <cstdint>

#include "helper/Settings.h"

class CorvasselHelper {
 public:
  // init: builds the swipe table, loads the settings and observes the change notification.
  CorvasselHelper();
  // dealloc: stops observing, drops the restart timer and removes the tap.
  ~CorvasselHelper();
  CorvasselHelper(const CorvasselHelper &) = delete;
  CorvasselHelper &operator=(const CorvasselHelper &) = delete;

  void setupSwipeInfo();
  void loadPreferences();
  void preferencesChanged(const void *notification);
  void start();
  void stop();
  void scheduleRestart();
  [[noreturn]] void performRestart();

  CFMachPortRef eventTap() const { return eventTap_; }
  void setEventTap(CFMachPortRef tap) { eventTap_ = tap; }
  int64_t backButton() const { return backButton_; }
  void setBackButton(int64_t button) { backButton_ = button; }
  int64_t forwardButton() const { return forwardButton_; }
  void setForwardButton(int64_t button) { forwardButton_ = button; }
  int64_t passthroughButton() const { return passthroughButton_; }
  void setPassthroughButton(int64_t button) { passthroughButton_ = button; }
  bool enabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  CFRunLoopTimerRef restartTimer() const { return restartTimer_; }
  void setRestartTimer(CFRunLoopTimerRef timer);

 private:
  CFMachPortRef eventTap_ = nullptr;  // owned: the reference CGEventTapCreate returned
  int64_t backButton_ = kCorvasselBackDefault;
  int64_t forwardButton_ = kCorvasselForwardDefault;
  int64_t passthroughButton_ = kCorvasselPassthroughDefault;
  bool enabled_ = kCorvasselEnabledDefault;
  CFRunLoopTimerRef restartTimer_ = nullptr;  // retained
};

// Settings domain and the change notification (helper/Settings.h).
#define kCorvasselPreferencesDomain CFSTR(CORVASSEL_PREFERENCES_DOMAIN)
#define kCorvasselPreferencesChanged CFSTR(CORVASSEL_PREFERENCES_CHANGED)

constexpr CFTimeInterval kCorvasselRestartInterval = 1800.0;
constexpr int kCorvasselRestartExitStatus = 42;
