// The distributed notification center: keeps the observers and hands each notification that the
// backend's transport delivers (from any thread) to those registered for its name, on the main
// thread. Names that arrive while earlier ones still wait for the main thread are delivered once:
// an observer of a change notification would only do the same work again.
#include <platform/Backend.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "Installed.h"
#include "cf/CFRuntime.h"
#include "runloop/RunLoopInternal.h"

namespace platform {
namespace {

struct Registration {
  const void *observer;
  std::atomic<CFNotificationCallback> callback;
  bool anyName;
  std::string name;
  const void *object;  // only notifications from this object; NULL for any
  std::atomic<bool> removed{false};
};

class NotificationCenter : public Object {
 public:
  NotificationCenter() : Object(kTypeIDNotificationCenter, /*immortal=*/true) {}

  std::string describe() const override { return "<CFNotificationCenter distributed>"; }

  void add(const void *observer, CFNotificationCallback callback, CFStringRef name,
           const void *object) {
    NotificationTransport *transport = &backend().notifications();
    bool startTransport = false;
    {
      std::lock_guard lock(mutex_);
      // Registering the same observer, name and object again only replaces the callback, so
      // deliveries are not doubled (and one in progress still reaches it).
      std::string nameBytes = name ? StringBytes(name) : std::string();
      auto existing = std::find_if(registrations_.begin(), registrations_.end(),
                                   [&](const std::shared_ptr<Registration> &registration) {
                                     return registration->observer == observer &&
                                            registration->anyName == (name == nullptr) &&
                                            registration->name == nameBytes &&
                                            registration->object == object;
                                   });
      if (existing != registrations_.end()) {
        (*existing)->callback = callback;
      } else {
        auto registration = std::make_shared<Registration>();
        registration->observer = observer;
        registration->callback = callback;
        registration->anyName = name == nullptr;
        registration->name = std::move(nameBytes);
        registration->object = object;
        registrations_.push_back(std::move(registration));
      }
      startTransport = startedTransports_.insert(transport).second;
    }
    // Outside the lock: starting may deliver what already arrived.
    if (startTransport)
      transport->start([this](const std::string &delivered) { arrived(delivered); });
  }

  // NULL name or object matches every name or object.
  void remove(const void *observer, CFStringRef name, const void *object, bool every) {
    std::string nameBytes = name ? StringBytes(name) : std::string();
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_, [&](const std::shared_ptr<Registration> &registration) {
      bool matches =
          registration->observer == observer &&
          (every || !name || (!registration->anyName && registration->name == nameBytes)) &&
          (every || !object || registration->object == object);
      if (matches) registration->removed = true;
      return matches;
    });
  }

  // The backend in use goes, and its transport with it.
  void forgetTransports() {
    std::lock_guard lock(mutex_);
    startedTransports_.clear();
  }

  // Called by the transport, on any thread, for each notification posted by anyone.
  void arrived(const std::string &name) {
    {
      std::lock_guard lock(mutex_);
      if (std::find(arrived_.begin(), arrived_.end(), name) == arrived_.end())
        arrived_.push_back(name);
      if (handingOver_) return;
      handingOver_ = true;
    }
    runLoopPerform(CFRunLoopGetMain(), [this] { handOver(); });
  }

 private:
  void handOver() {
    std::vector<std::string> names;
    {
      std::lock_guard lock(mutex_);
      names.swap(arrived_);
      handingOver_ = false;
    }
    for (const std::string &name : names) deliver(name);
  }

  // On the main thread.
  void deliver(const std::string &name) {
    CFStringRef cfName =
        CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(name.data()),
                                static_cast<CFIndex>(name.size()), kCFStringEncodingUTF8, false);
    if (!cfName) return;
    // The transport carries no sender object, so only observers without an object filter match.
    std::vector<std::shared_ptr<Registration>> targets;
    {
      std::lock_guard lock(mutex_);
      for (const auto &registration : registrations_)
        if ((registration->anyName || registration->name == name) && !registration->object)
          targets.push_back(registration);
    }
    // Callbacks may add or remove observers (themselves included): work on a snapshot and skip
    // whoever was removed meanwhile. Those added now see the next notification.
    for (const auto &registration : targets)
      if (!registration->removed)
        registration->callback.load()(reinterpret_cast<CFNotificationCenterRef>(this),
                                      const_cast<void *>(registration->observer), cfName, nullptr,
                                      nullptr);
    CFRelease(cfName);
  }

  std::mutex mutex_;
  std::vector<std::string> arrived_;  // waiting for the main thread, each name once
  bool handingOver_ = false;
  std::vector<std::shared_ptr<Registration>> registrations_;
  std::set<NotificationTransport *> startedTransports_;
};

NotificationCenter *AsCenter(CFNotificationCenterRef center) {
  auto *object = const_cast<Object *>(AsObject(center));
  if (!center || object->typeID() != kTypeIDNotificationCenter) return nullptr;
  return static_cast<NotificationCenter *>(object);
}

bool IsString(CFTypeRef value) {
  return value && CFGetTypeID(value) == CFStringGetTypeID();
}

}  // namespace
}  // namespace platform

CFNotificationCenterRef CFNotificationCenterGetDistributedCenter(void) {
  // Lives as long as the process: observers may be called up to its last moment.
  static auto *center = new platform::NotificationCenter;
  return reinterpret_cast<CFNotificationCenterRef>(static_cast<platform::Object *>(center));
}

void platform::notificationCenterEnd() {
  AsCenter(CFNotificationCenterGetDistributedCenter())->forgetTransports();
}

void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void *observer,
                                     CFNotificationCallback callBack, CFStringRef name,
                                     const void *object,
                                     CFNotificationSuspensionBehavior suspensionBehavior) {
  platform::NotificationCenter *self = platform::AsCenter(center);
  if (!self || !callBack || (name && !platform::IsString(name))) return;
  self->add(observer, callBack, name, object);
}

void CFNotificationCenterRemoveObserver(CFNotificationCenterRef center, const void *observer,
                                        CFNotificationName name, const void *object) {
  platform::NotificationCenter *self = platform::AsCenter(center);
  if (!self || (name && !platform::IsString(name))) return;
  self->remove(observer, name, object, false);
}

void CFNotificationCenterRemoveEveryObserver(CFNotificationCenterRef center, const void *observer) {
  platform::NotificationCenter *self = platform::AsCenter(center);
  if (!self) return;
  self->remove(observer, nullptr, nullptr, true);
}

void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void *object, CFDictionaryRef userInfo,
                                          Boolean deliverImmediately) {
  if (!platform::AsCenter(center) || !platform::IsString(name)) return;
  platform::backend().notifications().post(platform::StringBytes(name));
}
