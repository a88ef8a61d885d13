#include "linux/session/Logind.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace platform::logind {

namespace {

constexpr const char *kProperties = "org.freedesktop.DBus.Properties";

// The properties that decide whether a session counts.
bool Decisive(const char *property) {
  for (const char *name : {"Active", "Remote", "Type", "Seat", "User"})
    if (strcmp(property, name) == 0) return true;
  return false;
}

}  // namespace

Sessions::Sessions(uid_t uid, std::string address, Log log)
    : uid_(uid), address_(std::move(address)), log_(std::move(log)) {}

Sessions::~Sessions() {
  drop();
}

std::set<std::string> Sessions::activeSeats() {
  std::lock_guard lock(mutex_);
  return seats_;
}

bool Sessions::follow(std::function<void()> changed, std::string &why) {
  changed_ = std::move(changed);
  // Subscribed before listing, so that nothing changing in between is missed.
  if (!connect(why) || !subscribe(why) || !list(why)) {
    drop();
    return false;
  }
  update();
  dirty_ = false;  // the first picture is the caller's to ask for
  CFFileDescriptorContext context{0, this, nullptr, nullptr, nullptr};
  const int fd = sd_bus_get_fd(bus_.get());
  watch_ = fd < 0 ? nullptr : CFFileDescriptorCreate(nullptr, fd, false, onReadable, &context);
  if (!watch_) {
    why = "the system bus cannot be watched from the main run loop";
    drop();
    return false;
  }
  CFRunLoopSourceRef source = CFFileDescriptorCreateRunLoopSource(nullptr, watch_, 0);
  CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopCommonModes);
  CFRelease(source);
  CFFileDescriptorEnableCallBacks(watch_, kCFFileDescriptorReadCallBack);
  // Signals read during the calls above wait in the connection's queue, where the descriptor
  // would not report them.
  serve(false);
  return true;
}

void Sessions::onReadable(CFFileDescriptorRef f, CFOptionFlags, void *info) {
  auto *self = static_cast<Sessions *>(info);
  self->serve(false);
  if (self->watch_ == f) CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
}

bool Sessions::connect(std::string &why) {
  if (const int r = OpenBus(address_, true, bus_); r < 0) {
    why = std::string("no system bus (") + strerror(-r) + ")";
    return false;
  }
  return true;
}

bool Sessions::subscribe(std::string &why) {
  const std::pair<const char *, sd_bus_message_handler_t> rules[] = {
      {"type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
       "interface='org.freedesktop.login1.Manager',member='SessionNew'",
       onSessionNew},
      {"type='signal',sender='org.freedesktop.login1',path='/org/freedesktop/login1',"
       "interface='org.freedesktop.login1.Manager',member='SessionRemoved'",
       onSessionRemoved},
      {"type='signal',sender='org.freedesktop.login1',"
       "interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
       "path_namespace='/org/freedesktop/login1/session',arg0='org.freedesktop.login1.Session'",
       onPropertiesChanged},
      {"type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
       "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.freedesktop.login1'",
       onOwnerChanged},
  };
  for (const auto &[rule, handler] : rules) {
    sd_bus_slot *slot = nullptr;
    if (int r = sd_bus_add_match(bus_.get(), &slot, rule, handler, this); r < 0) {
      why =
          std::string("the system bus refused a match for logind's signals (") + strerror(-r) + ")";
      return false;
    }
    matches_.emplace_back(slot);
  }
  return true;
}

bool Sessions::list(std::string &why) {
  return ReadUserSessions(bus_.get(), uid_, sessions_, why);
}

void Sessions::read(const std::string &path) {
  sd_bus_slot *slot = nullptr;
  if (sd_bus_call_method_async(bus_.get(), &slot, kService, path.c_str(), kProperties, "GetAll",
                               onRead, this, "s", kSession) < 0)
    return;
  reading_[path] = SlotPtr(slot);
}

void Sessions::serve(bool hungUp) {
  if (bus_) {
    int r;
    while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    // Everything readable has been read: a hang-up now means the bus is gone for good.
    if (r < 0 || hungUp || sd_bus_is_open(bus_.get()) <= 0) {
      if (log_)
        log_(
            "corvassel-helper: lost the system bus; login sessions are not followed until the "
            "helper starts again");
      drop();
    } else {
      // Calls made while serving go out now: only incoming data wakes the loop.
      sd_bus_flush(bus_.get());
    }
  }
  if (std::exchange(dirty_, false) && changed_) changed_();
}

void Sessions::drop() {
  // Unwatched before it is closed: the number may soon name another descriptor.
  if (watch_) {
    CFFileDescriptorInvalidate(watch_);
    CFRelease(watch_);
    watch_ = nullptr;
  }
  reading_.clear();
  listing_.reset();
  matches_.clear();
  bus_.reset();
}

void Sessions::update() {
  std::vector<SessionRecord> records;
  for (const auto &[path, record] : sessions_) records.push_back(record);
  std::set<std::string> seats = ActiveSeats(records);
  std::lock_guard lock(mutex_);
  if (seats == seats_) return;
  seats_ = std::move(seats);
  dirty_ = true;
}

int Sessions::onSessionNew(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<Sessions *>(userdata);
  const char *id = nullptr, *path = nullptr;
  // Whose it is, the properties tell.
  if (sd_bus_message_read(m, "so", &id, &path) >= 0) self->read(path);
  return 0;
}

int Sessions::onSessionRemoved(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<Sessions *>(userdata);
  const char *id = nullptr, *path = nullptr;
  if (sd_bus_message_read(m, "so", &id, &path) < 0) return 0;
  self->reading_.erase(path);
  if (self->sessions_.erase(path)) self->update();
  return 0;
}

int Sessions::onPropertiesChanged(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<Sessions *>(userdata);
  const char *path = sd_bus_message_get_path(m);
  // Not ours, or ours but still being read: that answer will be newer than this signal.
  auto it = path ? self->sessions_.find(path) : self->sessions_.end();
  if (it == self->sessions_.end() || self->reading_.count(path)) return 0;
  const char *interface = nullptr;
  SessionRecord record = it->second;
  std::optional<uint32_t> uid;
  if (sd_bus_message_read(m, "s", &interface) < 0 || ReadSessionProperties(m, record, uid) < 0 ||
      sd_bus_message_enter_container(m, 'a', "s") < 0)
    return 0;
  bool stale = false;
  const char *invalidated = nullptr;
  int r;
  while ((r = sd_bus_message_read(m, "s", &invalidated)) > 0) stale |= Decisive(invalidated);
  if (r < 0) return 0;
  it->second = record;
  self->update();
  if (stale) self->read(path);  // named without its value: ask for it
  return 0;
}

int Sessions::onOwnerChanged(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<Sessions *>(userdata);
  const char *name = nullptr, *before = nullptr, *after = nullptr;
  if (sd_bus_message_read(m, "sss", &name, &before, &after) < 0) return 0;
  // Gone: its sessions stay as they were. Back: what changed meanwhile is unknown.
  if (!after || !*after) return 0;
  sd_bus_slot *slot = nullptr;
  if (sd_bus_call_method_async(sd_bus_message_get_bus(m), &slot, kService, kManagerPath, kManager,
                               "ListSessions", onListed, self, "") >= 0)
    self->listing_.reset(slot);
  return 0;
}

int Sessions::onRead(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *self = static_cast<Sessions *>(userdata);
  sd_bus_slot *current = sd_bus_get_current_slot(sd_bus_message_get_bus(reply));
  auto it = std::find_if(self->reading_.begin(), self->reading_.end(),
                         [&](const auto &entry) { return entry.second.get() == current; });
  if (it == self->reading_.end()) return 0;
  const std::string path = it->first;
  SlotPtr answered = std::move(it->second);  // sd-bus holds its own reference while we run
  self->reading_.erase(it);
  if (sd_bus_message_is_method_error(reply, nullptr)) {
    // The session went before we could read it.
    if (self->sessions_.erase(path)) self->update();
    return 0;
  }
  auto known = self->sessions_.find(path);
  SessionRecord record = known != self->sessions_.end() ? known->second : SessionRecord{};
  std::optional<uint32_t> uid;
  if (ReadSessionProperties(reply, record, uid) < 0) return 0;
  if (uid && *uid == self->uid_)
    self->sessions_[path] = record;
  else
    self->sessions_.erase(path);  // another user's
  self->update();
  return 0;
}

int Sessions::onListed(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *self = static_cast<Sessions *>(userdata);
  SlotPtr answered = std::move(self->listing_);
  std::vector<std::string> paths;
  if (sd_bus_message_is_method_error(reply, nullptr) ||
      ReadSessionList(reply, self->uid_, paths) < 0)
    return 0;
  std::erase_if(self->sessions_, [&](const auto &entry) {
    return std::find(paths.begin(), paths.end(), entry.first) == paths.end();
  });
  for (const std::string &path : paths) self->read(path);
  self->update();
  return 0;
}

}  // namespace platform::logind
