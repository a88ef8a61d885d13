// Stand-in: replaced by the notifications part.
#include <platform/Backend.h>

CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void) { return nullptr; }
void CFNotificationCenterAddObserver(CFNotificationCenterRef, const void *, CFNotificationCallback,
                                     CFStringRef, const void *, CFNotificationSuspensionBehavior) {}
void CFNotificationCenterRemoveObserver(CFNotificationCenterRef, const void *, CFNotificationName,
                                        const void *) {}
void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef, const void *) {}
void CFNotificationCenterPostNotification(CFNotificationCenterRef, CFNotificationName,
                                          const void *, CFDictionaryRef, Boolean) {}
namespace platform {
NotificationTransport &sessionBusNotifications() {
  struct None : NotificationTransport {
    void start(std::function<void(const std::string &)>) override {}
    void post(const std::string &) override {}
  };
  static None none;
  return none;
}
}  // namespace platform
