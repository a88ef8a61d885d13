// What logind says of a user's login sessions, read over sd-bus, and which of them count as
// sitting at the machine. Shared by the helper, which follows the sessions, and the uinput broker,
// which asks once per request; neither needs more of the other.
#pragma once

#include <systemd/sd-bus.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform::logind {

inline constexpr const char *kService = "org.freedesktop.login1";
inline constexpr const char *kManagerPath = "/org/freedesktop/login1";
inline constexpr const char *kManager = "org.freedesktop.login1.Manager";
inline constexpr const char *kSession = "org.freedesktop.login1.Session";

// One login session as logind describes it.
struct SessionRecord {
  std::string id;
  std::string seat;  // empty for none (remote and background logins)
  std::string type;  // x11, wayland, mir, tty, unspecified, ...
  bool active = false;
  bool remote = false;
};

// The seats at which one of these sessions is active and local (graphical or text, at the
// machine itself): the seats whose mice the tap may take. Empty when the user sits nowhere.
std::set<std::string> ActiveSeats(const std::vector<SessionRecord> &sessions);

// Applies a session's property dictionary (a{sv}) to record; what it does not name stays as it
// was. uid is set when the dictionary names the session's user. A dictionary that cannot be read
// fails (a negative errno), and the caller ignores the message whole.
int ReadSessionProperties(sd_bus_message *m, SessionRecord &record, std::optional<uint32_t> &uid);

// The object paths of uid's sessions in ListSessions' answer, a(susso).
int ReadSessionList(sd_bus_message *m, uid_t uid, std::vector<std::string> &paths);

// uid's sessions as logind has them now, by object path, asked with blocking calls. False, with
// why set, when logind cannot be asked; a session that goes meanwhile is left out.
bool ReadUserSessions(sd_bus *bus, uid_t uid, std::map<std::string, SessionRecord> &sessions,
                      std::string &why);

}  // namespace platform::logind
