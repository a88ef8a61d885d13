#include "linux/session/LogindRecords.h"

#include "linux/system/Bus.h"

#include <cstring>
#include <memory>

namespace platform::logind {

namespace {

constexpr const char *kProperties = "org.freedesktop.DBus.Properties";

bool LocalType(const std::string &type) {
  return type == "x11" || type == "wayland" || type == "mir" || type == "tty";
}

}  // namespace

std::set<std::string> ActiveSeats(const std::vector<SessionRecord> &sessions) {
  std::set<std::string> seats;
  for (const SessionRecord &session : sessions)
    if (session.active && !session.remote && !session.seat.empty() && LocalType(session.type))
      seats.insert(session.seat);
  return seats;
}

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

bool ReadUserSessions(sd_bus *bus, uid_t uid, std::map<std::string, SessionRecord> &sessions,
                      std::string &why) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message *raw = nullptr;
  int r =
      sd_bus_call_method(bus, kService, kManagerPath, kManager, "ListSessions", &error, &raw, "");
  MessagePtr reply(raw);
  if (r < 0) {
    why = std::string("logind does not answer on the system bus (ListSessions: ") +
          (sd_bus_error_is_set(&error) && error.message ? error.message : strerror(-r)) + ")";
    sd_bus_error_free(&error);
    return false;
  }
  std::vector<std::string> paths;
  if (ReadSessionList(reply.get(), uid, paths) < 0) {
    why = "logind's list of sessions cannot be read";
    return false;
  }
  for (const std::string &path : paths) {
    sd_bus_message *rawProperties = nullptr;
    r = sd_bus_call_method(bus, kService, path.c_str(), kProperties, "GetAll", nullptr,
                           &rawProperties, "s", kSession);
    MessagePtr properties(rawProperties);
    if (r < 0) continue;  // gone meanwhile
    SessionRecord record;
    std::optional<uint32_t> owner;
    if (ReadSessionProperties(properties.get(), record, owner) >= 0) sessions[path] = record;
  }
  return true;
}

}  // namespace platform::logind
