// A private system bus for checks that switch a user's login sessions: a dbus-daemon of its own
// (a configuration that lets anyone own any name) and on it the stand-in logind
// (tests/kernel/logind), driven line by line. A process joins it through env().
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kcheck {

class SystemBus {
 public:
  // withLogind false: a bus on which nobody owns org.freedesktop.login1.
  explicit SystemBus(bool withLogind = true);
  ~SystemBus();
  SystemBus(const SystemBus &) = delete;
  SystemBus &operator=(const SystemBus &) = delete;

  // Whether the bus, and the stand-in when asked for, are up.
  bool ready() const { return !address_.empty() && (!wantLogind_ || logind_ > 0); }
  const std::string &address() const { return address_; }
  std::string env() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }

  // One command for the stand-in (see its source); true once it answered "ok", which it does
  // after any signal the command caused has left it.
  bool logind(const std::string &command);
  // A session of uid: seat "" for none.
  bool session(const std::string &id, uid_t uid, const std::string &seat, const std::string &type,
               bool active, bool remote = false);
  // The stand-in ends, as logind does when it restarts; startLogind() brings a new one that
  // finds these sessions ("ID UID SEAT TYPE ACTIVE REMOTE", SEAT "-" for none).
  void stopLogind();
  bool startLogind(const std::vector<std::string> &sessions = {});

 private:
  struct LineReader {
    int fd = -1;
    std::string buffered = {};
    bool next(std::string &line, int timeoutMillis);
    void close();
  };

  bool wantLogind_;
  std::string dir_;
  std::string address_;
  pid_t daemon_ = -1;
  pid_t logind_ = -1;
  int toLogind_ = -1;
  LineReader fromLogind_;
};

}  // namespace kcheck
