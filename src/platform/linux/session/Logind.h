// The user's login sessions, as logind (org.freedesktop.login1 on the system bus) tells of them:
// whether the user sits at the machine, and at which seats.
//
// At start the Manager's ListSessions names the user's sessions and each one's properties are
// read. From then on signals keep the picture current, with no timer: SessionNew and
// SessionRemoved on the Manager, PropertiesChanged on the session objects, and a new owner of
// org.freedesktop.login1 (logind restarted), which makes us read the list again. Once running,
// every call is asynchronous and the bus is served from the main run loop, so the main thread
// never waits for logind.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "linux/system/Bus.h"
#include "linux/session/LogindRecords.h"

namespace platform::logind {

// Where the client says what a user needs to know (the system bus going away).
using Log = std::function<void(const std::string &line)>;

class Sessions {
 public:
  // The sessions of uid through logind on the system bus at address, or when empty
  // DBUS_SYSTEM_BUS_ADDRESS, else the default socket.
  Sessions(uid_t uid, std::string address, Log log);
  ~Sessions();
  Sessions(const Sessions &) = delete;
  Sessions &operator=(const Sessions &) = delete;

  // Begins following the user's sessions. changed() then runs on the main thread whenever
  // activeSeats() may have changed. False, with why set, when they cannot be followed (no
  // system bus, no logind).
  bool follow(std::function<void()> changed, std::string &why);
  // What ActiveSeats says of the user's sessions now. From any thread.
  std::set<std::string> activeSeats();

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
  const Log log_;
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

}  // namespace platform::logind
