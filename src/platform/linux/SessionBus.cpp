#include "linux/SessionBus.h"

#include <poll.h>
#include <sys/epoll.h>
#include <systemd/sd-bus.h>

#include <utility>

namespace platform {

SessionBusTransport::SessionBusTransport(std::string address) : address_(std::move(address)) {}

SessionBusTransport::~SessionBusTransport() {
  std::lock_guard lock(mutex_);
  if (bus_) sd_bus_flush(bus_);  // a post still in the queue goes out before we close
  dropLocked();
}

void SessionBusTransport::start(std::function<void(const std::string &)> deliver) {
  {
    std::lock_guard lock(mutex_);
    deliver_ = std::move(deliver);
    if (started_) return;
    started_ = true;
    if (!connectLocked()) return;  // no session bus: carry on without notifications
    listenLocked();
  }
  // Setting up the match is a round trip during which signals may already have been read into
  // the connection's queue; the descriptor would not report those, so serve them now.
  dispatchPending(0);
}

void SessionBusTransport::post(const std::string &name) {
  // A D-Bus string cannot carry NUL; a truncated name would reach the wrong observers.
  if (name.find('\0') != std::string::npos) return;
  std::lock_guard lock(mutex_);
  if (!bus_) {
    if (!connectLocked()) return;
    if (started_) listenLocked();
  }
  if (sd_bus_emit_signal(bus_, kNotificationBusPath, kNotificationBusInterface,
                         kNotificationBusMember, "s", name.c_str()) < 0) {
    if (sd_bus_is_open(bus_) <= 0) dropLocked();
    return;
  }
  // Posters are often short-lived tools: the signal must have left before post returns.
  if (sd_bus_flush(bus_) < 0 && sd_bus_is_open(bus_) <= 0) dropLocked();
}

int SessionBusTransport::dispatchPending(int timeoutMillis) {
  int fd = -1;
  uint64_t queued = 0;
  {
    std::lock_guard lock(mutex_);
    if (!bus_) return 0;
    fd = sd_bus_get_fd(bus_);
    if (sd_bus_get_n_queued_read(bus_, &queued) < 0) queued = 0;
  }
  bool hungUp = false;
  if (fd < 0) {
    hungUp = true;  // sd-bus already closed it: serving lets go of the connection
  } else if (queued == 0) {
    pollfd poller{fd, POLLIN, 0};
    int ready = poll(&poller, 1, timeoutMillis);
    if (ready <= 0) return 0;
    hungUp = (poller.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(poller.revents & POLLIN);
  }
  return serve(hungUp);
}

bool SessionBusTransport::connected() const {
  std::lock_guard lock(mutex_);
  return bus_ != nullptr;
}

int SessionBusTransport::fileDescriptor() const {
  std::lock_guard lock(mutex_);
  int fd = bus_ ? sd_bus_get_fd(bus_) : -1;
  return fd >= 0 ? fd : -1;  // sd-bus reports a closed connection as an error
}

uint64_t SessionBusTransport::wakeups() const {
  std::lock_guard lock(mutex_);
  return wakeups_;
}

bool SessionBusTransport::connectLocked() {
  sd_bus *bus = nullptr;
  if (OpenBus(address_, false, &bus) < 0) return false;
  bus_ = bus;
  return true;
}

void SessionBusTransport::listenLocked() {
  // Synchronous: once it returns, every later post by anyone reaches us.
  if (sd_bus_match_signal(bus_, &match_, nullptr, kNotificationBusPath, kNotificationBusInterface,
                          kNotificationBusMember, onSignal, this) < 0) {
    dropLocked();
    return;
  }
  // Every write is flushed at once, so only incoming data ever needs the main thread's attention.
  CFFileDescriptorContext context{0, this, nullptr, nullptr, nullptr};
  watch_ = CFFileDescriptorCreate(nullptr, sd_bus_get_fd(bus_), false, onReadable, &context);
  if (!watch_) return;
  CFRunLoopSourceRef source = CFFileDescriptorCreateRunLoopSource(nullptr, watch_, 0);
  CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopCommonModes);
  CFRelease(source);
  CFFileDescriptorEnableCallBacks(watch_, kCFFileDescriptorReadCallBack);
}

void SessionBusTransport::onReadable(CFFileDescriptorRef f, CFOptionFlags, void *info) {
  auto *self = static_cast<SessionBusTransport *>(info);
  self->serve(false);
  std::lock_guard lock(self->mutex_);
  if (self->watch_ == f) CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
}

void SessionBusTransport::dropLocked() {
  // Unwatched before it is closed: the number may soon name another descriptor.
  if (watch_) {
    CFFileDescriptorInvalidate(watch_);
    CFRelease(watch_);
    watch_ = nullptr;
  }
  if (match_) match_ = sd_bus_slot_unref(match_);
  if (bus_) bus_ = sd_bus_close_unref(bus_);
}

int SessionBusTransport::serve(bool hungUp) {
  {
    std::lock_guard lock(mutex_);
    if (!bus_) return 0;
    wakeups_++;
    int r;
    while ((r = sd_bus_process(bus_, nullptr)) > 0) {
    }
    // Everything readable has been read: a hang-up now means the bus is gone for good. Keeping
    // the dead descriptor would only make it report ready forever.
    if (r < 0 || hungUp || sd_bus_is_open(bus_) <= 0) dropLocked();
  }
  return deliverArrived();
}

int SessionBusTransport::deliverArrived() {
  std::vector<std::string> names;
  std::function<void(const std::string &)> deliver;
  {
    std::lock_guard lock(mutex_);
    names.swap(arrived_);
    deliver = deliver_;
  }
  // Outside the lock: an observer may post, or serve the bus again.
  if (deliver)
    for (const std::string &name : names) deliver(name);
  return static_cast<int>(names.size());
}

int SessionBusTransport::onSignal(sd_bus_message *message, void *userdata, sd_bus_error *) {
  auto *self = static_cast<SessionBusTransport *>(userdata);
  const char *name = nullptr;
  // A signal of our name but another shape is someone else's mistake: ignore it.
  if (sd_bus_message_read(message, "s", &name) >= 0 && name) self->arrived_.emplace_back(name);
  return 0;
}

int OpenBus(const std::string &address, bool system, sd_bus **bus) {
  *bus = nullptr;
  int r;
  if (address.empty()) {
    r = system ? sd_bus_open_system(bus) : sd_bus_open_user(bus);
  } else {
    r = sd_bus_new(bus);
    if (r >= 0) r = sd_bus_set_address(*bus, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(*bus, 1);
    if (r >= 0) r = sd_bus_start(*bus);
  }
  if (r < 0 && *bus) *bus = sd_bus_close_unref(*bus);
  return r;
}

SessionBusTransport &sessionBusTransport() {
  // Never destroyed: during the process's exit the run loop and clock it was watched from may be
  // gone already. Every post was flushed when made, and the kernel closes the connection.
  static auto *transport = new SessionBusTransport;
  return *transport;
}

}  // namespace platform
