#include "SystemBus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

extern char **environ;

namespace kcheck {

// One line within timeoutMillis, without its newline; false on a timeout or at the end.
bool SystemBus::LineReader::next(std::string &line, int timeoutMillis) {
  for (;;) {
    if (auto end = buffered.find('\n'); end != std::string::npos) {
      line = buffered.substr(0, end);
      buffered.erase(0, end + 1);
      return true;
    }
    pollfd p{fd, POLLIN, 0};
    if (fd < 0 || poll(&p, 1, timeoutMillis) <= 0) return false;
    char chunk[256];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return false;
    buffered.append(chunk, static_cast<size_t>(n));
  }
}

void SystemBus::LineReader::close() {
  if (fd >= 0) ::close(fd);
  fd = -1;
  buffered.clear();
}

namespace {

// quiet: standard error goes to /dev/null.
pid_t Spawn(const std::vector<std::string> &argv, int in, int out, bool quiet = false) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, 0);
  if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, 1);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void Reap(pid_t &pid, int sig) {
  if (pid <= 0) return;
  if (sig) kill(pid, sig);
  waitpid(pid, nullptr, 0);
  pid = -1;
}

}  // namespace

SystemBus::SystemBus(bool withLogind) : wantLogind_(withLogind) {
  char tmpl[] = "/tmp/corvassel-system-bus-XXXXXX";
  if (!mkdtemp(tmpl)) {
    ADD_FAILURE() << "no temporary folder for the bus";
    return;
  }
  dir_ = tmpl;
  chmod(dir_.c_str(), 0755);
  std::ofstream(dir_ + "/bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <listen>unix:path="
      << dir_
      << "/system_bus_socket</listen>\n"
         "  <auth>EXTERNAL</auth>\n"
         "  <policy context=\"default\">\n"
         "    <allow user=\"*\"/>\n"
         "    <allow own=\"*\"/>\n"
         "    <allow send_type=\"method_call\"/>\n"
         "    <allow send_type=\"signal\"/>\n"
         "    <allow send_type=\"method_return\"/>\n"
         "    <allow send_type=\"error\"/>\n"
         "    <allow receive_type=\"method_call\"/>\n"
         "    <allow receive_type=\"signal\"/>\n"
         "    <allow receive_type=\"method_return\"/>\n"
         "    <allow receive_type=\"error\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  daemon_ =
      Spawn({"dbus-daemon", "--config-file=" + dir_ + "/bus.conf", "--nofork", "--print-address=1"},
            -1, out[1], /*quiet=*/true);  // not allowed to raise its descriptor limit
  close(out[1]);
  LineReader from{out[0]};
  std::string address;
  if (daemon_ > 0 && from.next(address, 5000)) address_ = address;
  from.close();
  if (address_.empty()) {
    ADD_FAILURE() << "dbus-daemon did not start";
    return;
  }
  if (withLogind) startLogind();
}

SystemBus::~SystemBus() {
  stopLogind();
  Reap(daemon_, SIGTERM);
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

bool SystemBus::startLogind(const std::vector<std::string> &sessions) {
  if (logind_ > 0 || address_.empty()) return false;
  int in[2], out[2];
  if (pipe2(in, O_CLOEXEC) != 0) return false;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return false;
  }
  std::vector<std::string> argv = {CORVASSEL_STAND_IN_LOGIND, address_};
  argv.insert(argv.end(), sessions.begin(), sessions.end());
  logind_ = Spawn(argv, in[0], out[1]);
  close(in[0]);
  close(out[1]);
  toLogind_ = in[1];
  fromLogind_ = {out[0]};
  std::string line;
  if (logind_ <= 0 || !fromLogind_.next(line, 5000) || line != "ready") {
    ADD_FAILURE() << "the stand-in logind did not start: " << line;
    stopLogind();
    return false;
  }
  return true;
}

void SystemBus::stopLogind() {
  if (toLogind_ >= 0) close(toLogind_);  // it ends at the end of its input
  toLogind_ = -1;
  fromLogind_.close();
  Reap(logind_, 0);
}

bool SystemBus::logind(const std::string &command) {
  if (toLogind_ < 0) return false;
  const std::string line = command + "\n";
  if (write(toLogind_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
  std::string answer;
  if (!fromLogind_.next(answer, 5000) || answer != "ok") {
    ADD_FAILURE() << "stand-in logind, '" << command << "': " << answer;
    return false;
  }
  return true;
}

bool SystemBus::session(const std::string &id, uid_t uid, const std::string &seat,
                        const std::string &type, bool active, bool remote) {
  return logind("session " + id + " " + std::to_string(uid) + " " + (seat.empty() ? "-" : seat) +
                " " + type + " " + (active ? "1" : "0") + " " + (remote ? "1" : "0"));
}

}  // namespace kcheck
