// corvassel-stand-in-logind ADDRESS [SESSION...]: a stand-in for logind on the bus at ADDRESS, for
// checks that switch a user's sessions. It owns org.freedesktop.login1 and serves what the helper
// reads:
//   /org/freedesktop/login1            org.freedesktop.login1.Manager: ListSessions, GetSession,
//                                      signals SessionNew and SessionRemoved
//   /org/freedesktop/login1/session/ID org.freedesktop.login1.Session: Id, User, Name, Seat,
//                                      Type, Class, Active, Remote, State (Active announces its
//                                      changes with PropertiesChanged, as logind does)
// It prints "ready" once it owns the name, then takes one command a line on standard input and
// answers "ok" once any signal it caused has left (or "error: ..."):
//   session ID UID SEAT TYPE ACTIVE REMOTE   a new session (SEAT "-" for none; 0 or 1)
//   active ID 0|1                            the session turns inactive or active
//   remove ID                                the session ends
// Each SESSION argument ("ID UID SEAT TYPE ACTIVE REMOTE", as for the command) exists before the
// name is owned, without a signal: what a restarted logind finds. It ends at the end of its input.
#include <systemd/sd-bus.h>
#include <sys/epoll.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

constexpr const char *kSessionPrefix = "/org/freedesktop/login1/session";

struct Session {
  std::string id;
  uint32_t uid = 0;
  std::string seat;
  std::string type;
  bool active = false;
  bool remote = false;
  std::string path;
};

sd_bus *gBus = nullptr;
std::map<std::string, std::unique_ptr<Session>> gSessions;  // by id
std::string gInput;

std::string PathOf(const std::string &id) {
  char *path = nullptr;
  if (sd_bus_path_encode(kSessionPrefix, id.c_str(), &path) < 0) return {};
  std::string out = path;
  free(path);
  return out;
}

std::string SeatPath(const std::string &seat) {
  return seat.empty() ? "/" : "/org/freedesktop/login1/seat/" + seat;
}

int ListSessions(sd_bus_message *call, void *, sd_bus_error *) {
  sd_bus_message *reply = nullptr;
  int r = sd_bus_message_new_method_return(call, &reply);
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "(susso)");
  for (auto &[id, s] : gSessions)
    if (r >= 0)
      r = sd_bus_message_append(reply, "(susso)", s->id.c_str(), s->uid, "user", s->seat.c_str(),
                                s->path.c_str());
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int GetSession(sd_bus_message *call, void *, sd_bus_error *error) {
  const char *id = nullptr;
  int r = sd_bus_message_read(call, "s", &id);
  if (r < 0) return r;
  auto it = gSessions.find(id);
  if (it == gSessions.end())
    return sd_bus_error_setf(error, "org.freedesktop.login1.NoSuchSession", "No session '%s'", id);
  return sd_bus_reply_method_return(call, "o", it->second->path.c_str());
}

int FindSession(sd_bus *, const char *path, const char *, void *, void **found, sd_bus_error *) {
  for (auto &[id, s] : gSessions)
    if (s->path == path) {
      *found = s.get();
      return 1;
    }
  return 0;
}

int GetProperty(sd_bus *, const char *, const char *, const char *property, sd_bus_message *reply,
                void *userdata, sd_bus_error *) {
  const Session &s = *static_cast<Session *>(userdata);
  const std::string name = property;
  if (name == "Id") return sd_bus_message_append(reply, "s", s.id.c_str());
  if (name == "User")
    return sd_bus_message_append(
        reply, "(uo)", s.uid, ("/org/freedesktop/login1/user/_" + std::to_string(s.uid)).c_str());
  if (name == "Name") return sd_bus_message_append(reply, "s", "user");
  if (name == "Seat")
    return sd_bus_message_append(reply, "(so)", s.seat.c_str(), SeatPath(s.seat).c_str());
  if (name == "Type") return sd_bus_message_append(reply, "s", s.type.c_str());
  if (name == "Class") return sd_bus_message_append(reply, "s", "user");
  if (name == "Active") return sd_bus_message_append(reply, "b", s.active);
  if (name == "Remote") return sd_bus_message_append(reply, "b", s.remote);
  if (name == "State") return sd_bus_message_append(reply, "s", s.active ? "active" : "online");
  return -ENOENT;
}

const sd_bus_vtable kManagerVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("ListSessions", "", "a(susso)", ListSessions, 0),
    SD_BUS_METHOD("GetSession", "s", "o", GetSession, 0),
    SD_BUS_SIGNAL("SessionNew", "so", 0),
    SD_BUS_SIGNAL("SessionRemoved", "so", 0),
    SD_BUS_VTABLE_END};

const sd_bus_vtable kSessionVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_PROPERTY("Id", "s", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("User", "(uo)", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Name", "s", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Seat", "(so)", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Type", "s", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Class", "s", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("Active", "b", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE),
    SD_BUS_PROPERTY("Remote", "b", GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
    SD_BUS_PROPERTY("State", "s", GetProperty, 0, 0),
    SD_BUS_VTABLE_END};

// A session from "ID UID SEAT TYPE ACTIVE REMOTE"; nullptr when malformed.
const Session *AddSession(std::istream &in) {
  auto s = std::make_unique<Session>();
  int active = 0, remote = 0;
  if (!(in >> s->id >> s->uid >> s->seat >> s->type >> active >> remote)) return nullptr;
  if (s->seat == "-") s->seat.clear();
  s->active = active != 0;
  s->remote = remote != 0;
  s->path = PathOf(s->id);
  auto &slot = gSessions[s->id];
  slot = std::move(s);
  return slot.get();
}

// Runs one command line; "" when it went well, else what was wrong.
std::string Command(const std::string &line) {
  std::istringstream in(line);
  std::string verb, id;
  in >> verb;
  if (verb != "session") in >> id;
  int r = 0;
  if (verb == "session") {
    const Session *added = AddSession(in);
    if (!added) return "usage";
    r = sd_bus_emit_signal(gBus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "SessionNew", "so", added->id.c_str(), added->path.c_str());
  } else if (verb == "active") {
    int active = 0;
    auto it = gSessions.find(id);
    if (it == gSessions.end() || !(in >> active)) return "no such session";
    it->second->active = active != 0;
    r = sd_bus_emit_properties_changed(gBus, it->second->path.c_str(),
                                       "org.freedesktop.login1.Session", "Active", nullptr);
  } else if (verb == "remove") {
    auto it = gSessions.find(id);
    if (it == gSessions.end()) return "no such session";
    const std::string path = it->second->path;
    gSessions.erase(it);
    r = sd_bus_emit_signal(gBus, "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                           "SessionRemoved", "so", id.c_str(), path.c_str());
  } else {
    return "unknown command";
  }
  if (r >= 0) r = sd_bus_flush(gBus);
  return r < 0 ? strerror(-r) : "";
}

int OnInput(sd_event_source *source, int fd, uint32_t, void *) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
    return sd_event_exit(sd_event_source_get_event(source), 0);
  }
  gInput.append(buf, static_cast<size_t>(n));
  for (size_t end; (end = gInput.find('\n')) != std::string::npos;) {
    const std::string line = gInput.substr(0, end);
    gInput.erase(0, end + 1);
    const std::string problem = Command(line);
    printf("%s\n", problem.empty() ? "ok" : ("error: " + problem).c_str());
    fflush(stdout);
  }
  return 0;
}

int Fail(const char *what, int r) {
  fprintf(stderr, "corvassel-stand-in-logind: %s: %s\n", what, strerror(-r));
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s BUS-ADDRESS [SESSION...]\n", argv[0]);
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    std::istringstream in(argv[i]);
    if (!AddSession(in)) {
      fprintf(stderr, "corvassel-stand-in-logind: not a session: %s\n", argv[i]);
      return 2;
    }
  }
  int r = sd_bus_new(&gBus);
  if (r >= 0) r = sd_bus_set_address(gBus, argv[1]);
  if (r >= 0) r = sd_bus_set_bus_client(gBus, 1);
  if (r >= 0) r = sd_bus_start(gBus);
  if (r < 0) return Fail("cannot connect to the bus", r);
  r = sd_bus_add_object_vtable(gBus, nullptr, "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", kManagerVtable, nullptr);
  if (r >= 0)
    r = sd_bus_add_fallback_vtable(gBus, nullptr, kSessionPrefix, "org.freedesktop.login1.Session",
                                   kSessionVtable, FindSession, nullptr);
  if (r < 0) return Fail("cannot serve the objects", r);
  r = sd_bus_request_name(gBus, "org.freedesktop.login1", 0);
  if (r < 0) return Fail("cannot own org.freedesktop.login1", r);
  sd_event *event = nullptr;
  r = sd_event_default(&event);
  if (r >= 0) r = sd_bus_attach_event(gBus, event, 0);
  if (r >= 0) r = sd_event_add_io(event, nullptr, STDIN_FILENO, EPOLLIN, OnInput, nullptr);
  if (r < 0) return Fail("cannot set up the event loop", r);
  printf("ready\n");
  fflush(stdout);
  r = sd_event_loop(event);
  sd_bus_flush_close_unref(gBus);
  sd_event_unref(event);
  return r < 0 ? Fail("event loop", r) : 0;
}
