// Distributed notifications carried over the user's D-Bus session bus.
//
// A notification is one broadcast signal
//   path      /org/corvassel/DistributedNotifications
//   interface org.corvassel.DistributedNotifications
//   member    Posted
//   argument  s: the notification's name
// so any process on the session bus can post one with stock tools, e.g.
//   dbus-send --session --type=signal /org/corvassel/DistributedNotifications
//     org.corvassel.DistributedNotifications.Posted string:NAME
// The listener adds a match for exactly that signal (from any sender) and serves the bus's
// descriptor from the main run loop (a CFFileDescriptor): no timer, no polling, so an idle
// process never wakes up.
#pragma once

#include <platform/Backend.h>
#include <systemd/sd-bus.h>

#include "linux/system/Bus.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char *kNotificationBusPath = "/org/corvassel/DistributedNotifications";
inline constexpr const char *kNotificationBusInterface = "org.corvassel.DistributedNotifications";
inline constexpr const char *kNotificationBusMember = "Posted";

class SessionBusTransport : public NotificationTransport {
 public:
  // address: a D-Bus address such as "unix:path=/run/user/1000/bus"; empty means the user's
  // session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus), looked up on connecting.
  explicit SessionBusTransport(std::string address = {});
  ~SessionBusTransport() override;
  SessionBusTransport(const SessionBusTransport &) = delete;
  SessionBusTransport &operator=(const SessionBusTransport &) = delete;

  // Without a bus both quietly do nothing: the process carries on without notifications.
  void start(std::function<void(const std::string &name)> deliver) override;
  void post(const std::string &name) override;

  // Serves the bus on the calling thread (the main thread): waits up to timeoutMillis for it to
  // become readable unless something is already queued, then delivers every notification that
  // has arrived. Returns how many were delivered. For callers with no run loop watching the bus.
  int dispatchPending(int timeoutMillis);

  bool connected() const;
  // The connection's descriptor, -1 when there is none.
  int fileDescriptor() const;
  // How many times the bus was served: stays put while nothing arrives.
  uint64_t wakeups() const;

 private:
  bool connectLocked();
  void listenLocked();
  void dropLocked();
  // Reads and dispatches everything the bus holds; drops the connection when the bus is gone.
  // Returns how many notifications it delivered.
  int serve(bool hungUp);
  int deliverArrived();
  static int onSignal(sd_bus_message *message, void *userdata, sd_bus_error *error);
  static void onReadable(CFFileDescriptorRef f, CFOptionFlags types, void *info);

  const std::string address_;
  mutable std::mutex mutex_;
  BusPtr bus_;
  SlotPtr match_;
  bool started_ = false;
  CFFileDescriptorRef watch_ = nullptr;  // the bus's descriptor, watched from the main run loop
  uint64_t wakeups_ = 0;
  std::function<void(const std::string &)> deliver_;
  std::vector<std::string> arrived_;  // names read from the bus, not yet delivered
};

}  // namespace platform
