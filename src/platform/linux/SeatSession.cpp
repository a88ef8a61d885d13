// logind's view of the user's sessions over sd-bus, and udev's view of each device's seat.
//
// At start the Manager's ListSessions names the user's sessions and each one's properties are
// read. From then on signals keep the picture current, with no timer: SessionNew and
// SessionRemoved on the Manager, PropertiesChanged on the session objects, and a new owner of
// org.freedesktop.login1 (logind restarted), which makes us read the list again. Once running,
// every call is asynchronous, so the main thread never waits for logind.
#include "linux/SeatSession.h"
#include "linux/SessionBus.h"

#include <platform/Backend.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-device.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace platform::evdev {

namespace {

constexpr const char *kService = "org.freedesktop.login1";
constexpr const char *kManagerPath = "/org/freedesktop/login1";
constexpr const char *kManager = "org.freedesktop.login1.Manager";
constexpr const char *kSession = "org.freedesktop.login1.Session";
constexpr const char *kProperties = "org.freedesktop.DBus.Properties";

// Every sd-bus and sd-device handle is owned by one of these.
struct BusClose {
  void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
struct SlotUnref {
  void operator()(sd_bus_slot *slot) const { sd_bus_slot_unref(slot); }
};
struct MessageUnref {
  void operator()(sd_bus_message *message) const { sd_bus_message_unref(message); }
};
struct DeviceUnref {
  void operator()(sd_device *device) const { sd_device_unref(device); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;
using SlotPtr = std::unique_ptr<sd_bus_slot, SlotUnref>;
using MessagePtr = std::unique_ptr<sd_bus_message, MessageUnref>;
using DevicePtr = std::unique_ptr<sd_device, DeviceUnref>;

class BusError {
 public:
  BusError() = default;
  ~BusError() { sd_bus_error_free(&error_); }
  BusError(const BusError &) = delete;
  BusError &operator=(const BusError &) = delete;
  sd_bus_error *get() { return &error_; }
  // What went wrong with call, which returned r.
  std::string describe(const char *call, int r) const {
    const bool named = sd_bus_error_is_set(&error_) && error_.message;
    return std::string(call) + ": " + (named ? error_.message : strerror(-r));
  }

 private:
  sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

bool LocalType(const std::string &type) {
  return type == "x11" || type == "wayland" || type == "mir" || type == "tty";
}

// The properties that decide whether a session counts.
bool Decisive(const char *property) {
  for (const char *name : {"Active", "Remote", "Type", "Seat", "User"})
    if (strcmp(property, name) == 0) return true;
  return false;
}

// Applies a session's property dictionary (a{sv}) to record; what it does not name stays as it
// was. uid is set when the dictionary names the session's user. A dictionary that cannot be read
// fails, and the caller ignores the message whole.
int ReadSessionProperties(sd_bus_message *m, SessionRecord &record, std::optional<uint32_t> &uid) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char *name = nullptr;
    if ((r = sd_bus_message_read(m, "s", &name)) < 0) return r;
    if (strcmp(name, "Active") == 0 || strcmp(name, "Remote") == 0) {
      int value = 0;
      r = sd_bus_message_read(m, "v", "b", &value);
      if (r >= 0) (name[0] == 'A' ? record.active : record.remote) = value != 0;
    } else if (strcmp(name, "Id") == 0 || strcmp(name, "Type") == 0) {
      const char *value = nullptr;
      r = sd_bus_message_read(m, "v", "s", &value);
      if (r >= 0) (name[0] == 'I' ? record.id : record.type) = value;
    } else if (strcmp(name, "Seat") == 0) {
      const char *seat = nullptr, *path = nullptr;
      r = sd_bus_message_read(m, "v", "(so)", &seat, &path);
      if (r >= 0) record.seat = seat;
    } else if (strcmp(name, "User") == 0) {
      uint32_t user = 0;
      const char *path = nullptr;
      r = sd_bus_message_read(m, "v", "(uo)", &user, &path);
      if (r >= 0) uid = user;
    } else {
      r = sd_bus_message_skip(m, "v");
    }
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// The object paths of uid's sessions in ListSessions' answer, a(susso).
int ReadSessionList(sd_bus_message *m, uid_t uid, std::vector<std::string> &paths) {
  int r = sd_bus_message_enter_container(m, 'a', "(susso)");
  if (r < 0) return r;
  const char *id, *user, *seat, *path;
  uint32_t owner;
  while ((r = sd_bus_message_read(m, "(susso)", &id, &owner, &user, &seat, &path)) > 0)
    if (owner == uid) paths.emplace_back(path);
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

class LogindSessions final : public SeatSessions {
 public:
  LogindSessions(uid_t uid, std::string address) : uid_(uid), address_(std::move(address)) {}
  ~LogindSessions() override { drop(); }
  LogindSessions(const LogindSessions &) = delete;
  LogindSessions &operator=(const LogindSessions &) = delete;

  bool follow(std::function<void()> changed, std::string &why) override;
  std::set<std::string> activeSeats() override {
    std::lock_guard lock(mutex_);
    return seats_;
  }
  std::optional<std::string> seatOf(const std::string &node) override;

 private:
  bool connect(std::string &why);
  bool subscribe(std::string &why);
  bool list(std::string &why);
  // Asks for a session's properties; the answer comes to onRead. A newer request replaces one
  // still unanswered.
  void read(const std::string &path);
  void serve(bool hungUp);
  static void onReadable(CFFileDescriptorRef f, CFOptionFlags types, void *info);
  void drop();
  // Works out the active seats again; changed_ is told once the bus has been served.
  void update();

  static int onSessionNew(sd_bus_message *m, void *self, sd_bus_error *);
  static int onSessionRemoved(sd_bus_message *m, void *self, sd_bus_error *);
  static int onPropertiesChanged(sd_bus_message *m, void *self, sd_bus_error *);
  static int onOwnerChanged(sd_bus_message *m, void *self, sd_bus_error *);
  static int onRead(sd_bus_message *reply, void *self, sd_bus_error *);
  static int onListed(sd_bus_message *reply, void *self, sd_bus_error *);

  const uid_t uid_;
  const std::string address_;
  BusPtr bus_;
  std::vector<SlotPtr> matches_;
  std::map<std::string, SlotPtr> reading_;  // unanswered property requests, by session path
  SlotPtr listing_;                         // an unanswered ListSessions
  CFFileDescriptorRef watch_ = nullptr;     // the bus's descriptor, watched from the main run loop
  // The user's sessions by object path; only the main thread touches these.
  std::map<std::string, SessionRecord> sessions_;
  std::function<void()> changed_;
  bool dirty_ = false;

  std::mutex mutex_;
  std::set<std::string> seats_;  // read from any thread
};

bool LogindSessions::follow(std::function<void()> changed, std::string &why) {
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

void LogindSessions::onReadable(CFFileDescriptorRef f, CFOptionFlags, void *info) {
  auto *self = static_cast<LogindSessions *>(info);
  self->serve(false);
  if (self->watch_ == f) CFFileDescriptorEnableCallBacks(f, kCFFileDescriptorReadCallBack);
}

bool LogindSessions::connect(std::string &why) {
  sd_bus *raw = nullptr;
  const int r = OpenBus(address_, true, &raw);
  BusPtr bus(raw);
  if (r < 0) {
    why = std::string("no system bus (") + strerror(-r) + ")";
    return false;
  }
  bus_ = std::move(bus);
  return true;
}

bool LogindSessions::subscribe(std::string &why) {
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

bool LogindSessions::list(std::string &why) {
  BusError error;
  sd_bus_message *raw = nullptr;
  int r = sd_bus_call_method(bus_.get(), kService, kManagerPath, kManager, "ListSessions",
                             error.get(), &raw, "");
  MessagePtr reply(raw);
  if (r < 0) {
    why = "logind does not answer on the system bus (" + error.describe("ListSessions", r) + ")";
    return false;
  }
  std::vector<std::string> paths;
  if (ReadSessionList(reply.get(), uid_, paths) < 0) {
    why = "logind's list of sessions cannot be read";
    return false;
  }
  for (const std::string &path : paths) {
    BusError readError;
    sd_bus_message *rawProperties = nullptr;
    r = sd_bus_call_method(bus_.get(), kService, path.c_str(), kProperties, "GetAll",
                           readError.get(), &rawProperties, "s", kSession);
    MessagePtr properties(rawProperties);
    if (r < 0) continue;  // gone meanwhile: its SessionRemoved is on its way
    SessionRecord record;
    std::optional<uint32_t> uid;
    if (ReadSessionProperties(properties.get(), record, uid) >= 0) sessions_[path] = record;
  }
  return true;
}

void LogindSessions::read(const std::string &path) {
  sd_bus_slot *slot = nullptr;
  if (sd_bus_call_method_async(bus_.get(), &slot, kService, path.c_str(), kProperties, "GetAll",
                               onRead, this, "s", kSession) < 0)
    return;
  reading_[path] = SlotPtr(slot);
}

void LogindSessions::serve(bool hungUp) {
  if (bus_) {
    int r;
    while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    // Everything readable has been read: a hang-up now means the bus is gone for good.
    if (r < 0 || hungUp || sd_bus_is_open(bus_.get()) <= 0) {
      backend().log(
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

void LogindSessions::drop() {
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

void LogindSessions::update() {
  std::vector<SessionRecord> records;
  for (const auto &[path, record] : sessions_) records.push_back(record);
  std::set<std::string> seats = ActiveSeats(records);
  std::lock_guard lock(mutex_);
  if (seats == seats_) return;
  seats_ = std::move(seats);
  dirty_ = true;
}

int LogindSessions::onSessionNew(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<LogindSessions *>(userdata);
  const char *id = nullptr, *path = nullptr;
  // Whose it is, the properties tell.
  if (sd_bus_message_read(m, "so", &id, &path) >= 0) self->read(path);
  return 0;
}

int LogindSessions::onSessionRemoved(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<LogindSessions *>(userdata);
  const char *id = nullptr, *path = nullptr;
  if (sd_bus_message_read(m, "so", &id, &path) < 0) return 0;
  self->reading_.erase(path);
  if (self->sessions_.erase(path)) self->update();
  return 0;
}

int LogindSessions::onPropertiesChanged(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<LogindSessions *>(userdata);
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

int LogindSessions::onOwnerChanged(sd_bus_message *m, void *userdata, sd_bus_error *) {
  auto *self = static_cast<LogindSessions *>(userdata);
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

int LogindSessions::onRead(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *self = static_cast<LogindSessions *>(userdata);
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

int LogindSessions::onListed(sd_bus_message *reply, void *userdata, sd_bus_error *) {
  auto *self = static_cast<LogindSessions *>(userdata);
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

std::optional<std::string> LogindSessions::seatOf(const std::string &node) {
  sd_device *raw = nullptr;
  if (sd_device_new_from_subsystem_sysname(&raw, "input", node.c_str()) < 0) return kDefaultSeat;
  DevicePtr event(raw);
  // The seat is the input device's (inputN, the event node's parent), as logind has it; the
  // event node only copies it. inputN is never renamed or reused, so udev's record of it cannot
  // be an earlier device's, as an event node's can be for a moment when its number is reused.
  sd_device *input = nullptr;  // owned by event
  if (sd_device_get_parent_with_subsystem_devtype(raw, "input", nullptr, &input) < 0)
    return kDefaultSeat;
  const char *seat = nullptr;
  if (sd_device_get_property_value(input, "ID_SEAT", &seat) >= 0 && seat && *seat)
    return std::string(seat);
  // A device udev has yet to describe may be about to get another seat: guessing seat0 could
  // hand that seat's mouse to this one.
  if (sd_device_get_is_initialized(input) == 0 && access("/run/udev/control", F_OK) == 0)
    return std::nullopt;
  return kDefaultSeat;
}

}  // namespace

std::set<std::string> ActiveSeats(const std::vector<SessionRecord> &sessions) {
  std::set<std::string> seats;
  for (const SessionRecord &session : sessions)
    if (session.active && !session.remote && !session.seat.empty() && LocalType(session.type))
      seats.insert(session.seat);
  return seats;
}

std::unique_ptr<SeatSessions> logindSessions(uid_t uid, std::string address) {
  return std::make_unique<LogindSessions>(uid, std::move(address));
}

}  // namespace platform::evdev
