// The helper as a running program: systemd's user unit (asked through systemctl --user) and the
// user's own corvassel-helper processes.
#include <dirent.h>
#include <systemd/sd-bus.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include <platform/AccessAdvice.h>
#include <platform/UniqueFd.h>

#include "Machine.h"

extern char **environ;

namespace corvassel::tools {

namespace {

using platform::UniqueFd;

struct BusClose {
  void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusClose>;

struct CommandResult {
  bool started = false;
  int status = -1;  // exit status, -1 when it did not end by itself
  std::string out;
  std::string err;
};

// Runs a program found on PATH with both outputs captured; ends it after timeoutMillis.
CommandResult RunCommand(const std::vector<std::string> &args, int timeoutMillis = 30000) {
  CommandResult result;
  UniqueFd out[2], err[2];
  for (UniqueFd *ends : {out, err}) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;
    ends[0].reset(fds[0]);
    ends[1].reset(fds[1]);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1].get(), 1);
  posix_spawn_file_actions_adddup2(&actions, err[1].get(), 2);
  std::vector<std::string> copies = args;
  std::vector<char *> argv;
  for (std::string &arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  // Only the child writes now: its ends closing tell us it is done.
  out[1].reset();
  err[1].reset();
  if (spawned != 0) return result;
  result.started = true;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMillis);
  pollfd fds[2] = {{out[0].get(), POLLIN, 0}, {err[0].get(), POLLIN, 0}};
  std::string *into[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        into[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (open == 0 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

std::string FirstLine(const std::string &text) {
  std::string line = text.substr(0, text.find('\n'));
  return line.empty() ? "no reason given" : line;
}

}  // namespace

UnitState LookAtUnit() {
  UnitState state;
  CommandResult shown = RunCommand({"systemctl", "--user", "show", kUnit,
                                    "--property=LoadState,UnitFileState,ActiveState,SubState"});
  if (!shown.started) {
    state.error = "systemctl cannot be run";
    return state;
  }
  if (shown.status != 0) {
    state.error = FirstLine(shown.err);
    return state;
  }
  std::istringstream lines(shown.out);
  for (std::string line; std::getline(lines, line);) {
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string name = line.substr(0, equals), value = line.substr(equals + 1);
    if (name == "LoadState") state.installed = value == "loaded";
    if (name == "UnitFileState") state.fileState = value;
    if (name == "ActiveState") state.activeState = value;
    if (name == "SubState") state.subState = value;
  }
  state.known = true;
  return state;
}

std::vector<pid_t> HelperProcesses(const std::string &home) {
  std::vector<pid_t> found;
  DIR *proc = opendir("/proc");
  if (!proc) return found;
  const std::string uid = std::to_string(getuid());
  while (dirent *entry = readdir(proc)) {
    char *end = nullptr;
    long pid = strtol(entry->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == getpid()) continue;
    const std::string dir = std::string("/proc/") + entry->d_name;
    std::ifstream cmdline(dir + "/cmdline", std::ios::binary);
    std::string program;
    std::getline(cmdline, program, '\0');
    if (program.substr(program.rfind('/') + 1) != "corvassel-helper") continue;
    std::ifstream status(dir + "/status");
    std::string realUid;
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("Uid:", 0) != 0) continue;
      std::istringstream(line.substr(4)) >> realUid;
      break;
    }
    if (realUid != uid) continue;
    // One that reads other settings (another HOME) is not this user's helper here.
    std::ifstream environment(dir + "/environ", std::ios::binary);
    std::string theirs;
    for (std::string variable; std::getline(environment, variable, '\0');)
      if (variable.rfind("HOME=", 0) == 0) theirs = variable.substr(5);
    if (theirs.empty() || theirs == home) found.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return found;
}

bool SessionBusReachable(std::string *why) {
  sd_bus *opened = nullptr;
  int rc = sd_bus_open_user(&opened);
  BusPtr bus(opened);
  if (rc >= 0)
    rc = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr, "");
  if (rc < 0 && why) *why = strerror(-rc);
  return rc >= 0;
}

bool UserUnitFileExists(const std::string &home) {
  auto under = [](const char *variable, const std::string &fallback) {
    const char *value = getenv(variable);
    return value && *value == '/' ? std::string(value) : fallback;
  };
  // The user manager's search path, as systemd.unit(5) gives it.
  const std::string folders[] = {under("XDG_CONFIG_HOME", home + "/.config") + "/systemd/user",
                                 "/etc/systemd/user",
                                 under("XDG_DATA_HOME", home + "/.local/share") + "/systemd/user",
                                 "/usr/local/share/systemd/user",
                                 "/usr/share/systemd/user",
                                 "/usr/local/lib/systemd/user",
                                 "/usr/lib/systemd/user"};
  for (const std::string &folder : folders)
    if (access((folder + "/" + kUnit).c_str(), F_OK) == 0) return true;
  return false;
}

platform::Obstacle WhyTheHelperIsStopped(const UnitState &unit, const std::string &home) {
  using platform::Obstacle;
  if (unit.known && unit.installed) return Obstacle::kHelperStopped;
  if (!UserUnitFileExists(home)) return Obstacle::kUnitNotInstalled;
  return unit.known ? Obstacle::kUnitNotLoaded : Obstacle::kNoUserManager;
}

StartResult StartHelperIfStopped(const std::string &home) {
  StartResult result;
  if (!HelperProcesses(home).empty()) return result;  // it has been told
  UnitState unit = LookAtUnit();
  if (unit.known && unit.active()) return result;
  if (unit.known && unit.installed) {
    CommandResult started = RunCommand({"systemctl", "--user", "start", kUnit});
    if (started.status == 0) {
      result.lines.push_back(std::string("Started ") + kUnit + ".");
      if (unit.fileState != "enabled")
        result.lines.push_back(
            std::string("It does not start at login until: systemctl --user enable ") + kUnit);
      return result;
    }
    result.failed = true;
    result.lines.push_back(std::string("cannot start ") + kUnit + ": " + FirstLine(started.err) +
                           " (journalctl --user -u corvassel-helper says more)");
    return result;
  }
  result.lines.push_back(
      "corvassel-helper is not running, and nothing here can start it: " +
      (unit.known ? std::string("systemd's user manager has no corvassel-helper.service")
                  : "systemd's user manager cannot be reached (" + unit.error + ")") +
      ".");
  result.lines.push_back("To start it: " + platform::Fix(WhyTheHelperIsStopped(unit, home)));
  return result;
}

}  // namespace corvassel::tools
