#include "main/CorvasselMain.h"

#include <ApplicationServices/ApplicationServices.h>
#include <corvassel/Foundation.h>
#include <dispatch/dispatch.h>
#include <signal.h>

#include "helper/CorvasselHelper.h"
#include "helper/Settings.h"

CorvasselHelper *helperInstance = nullptr;

namespace ns = corvassel::ns;

namespace {

void StartHelper(void *helper) {
  static_cast<CorvasselHelper *>(helper)->start();
}

// Polls until the user grants accessibility access, then starts the tap on the main thread.
void WaitForTrust(void *helper) {
  while (!AXIsProcessTrusted()) ns::NSThread::sleepForTimeInterval(1.0);
  dispatch_async_f(dispatch_get_main_queue(), helper, StartHelper);
}

void ExitSwitchedOff(void *) {
  sys::exit(0);
}

// "Enabled" straight from the store; missing means off.
bool StoredEnabled() {
  CFPropertyListRef value =
      CFPreferencesCopyValue(CFSTR("Enabled"), kCorvasselPreferencesDomain,
                             kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  bool enabled = CorvasselBooleanSetting(value);
  if (value) CFRelease(value);
  return enabled;
}

// SIGHUP reloads the settings, as it does for daemons (systemctl --user reload).
void ReloadPreferences(void *context) {
  static_cast<CorvasselHelper *>(context)->loadPreferences();
}

}  // namespace

int CorvasselHelperMain() {
  helperInstance = new CorvasselHelper();

  signal(SIGHUP, SIG_IGN);
  dispatch_source_t reload =
      dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGHUP, 0, dispatch_get_main_queue());
  dispatch_set_context(reload, helperInstance);
  dispatch_source_set_event_handler_f(reload, ReloadPreferences);
  dispatch_resume(reload);

  const void *keys[] = {kAXTrustedCheckOptionPrompt};
  const void *values[] = {kCFBooleanTrue};
  CFDictionaryRef options =
      CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                         &kCFTypeDictionaryValueCallBacks);

  if (AXIsProcessTrustedWithOptions(options)) {
    helperInstance->loadPreferences();
    if (!helperInstance->enabled()) sys::exit(0);
    helperInstance->start();
  } else if (StoredEnabled()) {
    dispatch_async_f(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), helperInstance,
                     WaitForTrust);
  } else {
    dispatch_after_f(dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC), dispatch_get_main_queue(),
                     nullptr, ExitSwitchedOff);
  }

  CFRunLoopRun();
  CFRelease(options);
  return 0;
}
