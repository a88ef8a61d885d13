#include "linux/system/SessionBus.h"

#include <poll.h>
#include <sys/epoll.h>
#include <systemd/sd-bus.h>

#include <utility>

namespace platform {

SessionBusTransport::SessionBusTransport(std::string address) : address_(std::move(address)) {}

SessionBusTransport::~SessionBusTransport() {
  std::lock_guard lock(mutex_);
  dropLocked();  // a post still in the queue goes out before the connection closes
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
  if (sd_bus_emit_signal(bus_.get(), kNotificationBusPath, kNotificationBusInterface,
                         kNotificationBusMember, "s", name.c_str()) < 0) {
    if (sd_bus_is_open(bus_.get()) <= 0) dropLocked();
    return;
  }
  // Posters are often short-lived tools: the signal must have left before post returns.
  if (sd_bus_flush(bus_.get()) < 0 && sd_bus_is_open(bus_.get()) <= 0) dropLocked();
}

int SessionBusTransport::dispatchPending(int timeoutMillis) {
  int fd = -1;
  uint64_t queued = 0;
  {
    std::lock_guard lock(mutex_);
    if (!bus_) return 0;
    fd = sd_bus_get_fd(bus_.get());
    if (sd_bus_get_n_queued_read(bus_.get(), &queued) < 0) queued = 0;
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
  int fd = bus_ ? sd_bus_get_fd(bus_.get()) : -1;
  return fd >= 0 ? fd : -1;  // sd-bus reports a closed connection as an error
}

uint64_t SessionBusTransport::wakeups() const {
  std::lock_guard lock(mutex_);
  return wakeups_;
}

bool SessionBusTransport::connectLocked() {
  return OpenBus(address_, false, bus_) >= 0;
}

void SessionBusTransport::listenLocked() {
  // Synchronous: once it returns, every later post by anyone reaches us.
  sd_bus_slot *match = nullptr;
  if (sd_bus_match_signal(bus_.get(), &match, nullptr, kNotificationBusPath,
                          kNotificationBusInterface, kNotificationBusMember, onSignal, this) < 0) {
    dropLocked();
    return;
  }
  match_.reset(match);
  // Every write is flushed at once, so only incoming data ever needs the main thread's attention.
  CFFileDescriptorContext context{0, this, nullptr, nullptr, nullptr};
  watch_ = CFFileDescriptorCreate(nullptr, sd_bus_get_fd(bus_.get()), false, onReadable, &context);
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
  match_.reset();
  bus_.reset();
}

int SessionBusTransport::serve(bool hungUp) {
  {
    std::lock_guard lock(mutex_);
    if (!bus_) return 0;
    wakeups_++;
    int r;
    while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    // Everything readable has been read: a hang-up now means the bus is gone for good. Keeping
    // the dead descriptor would only make it report ready forever.
    if (r < 0 || hungUp || sd_bus_is_open(bus_.get()) <= 0) dropLocked();
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

}  // namespace platform
