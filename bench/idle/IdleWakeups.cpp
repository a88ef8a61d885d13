// corvassel-idle-wakeups [--session-bus] [--system-bus] [SECONDS]: runs the helper's real start-up
// and main loop, trusted and enabled, with a tap that never sees an event, and reports how often
// its threads woke up while idle (context switches from /proc/self/task/*/status) and its
// resident memory. --system-bus follows the user's login sessions through logind on the system
// bus, as the helper does, and is trusted only while one is active at a seat.
#include <PreferencesFile.h>
#include <dirent.h>
#include <platform/Backend.h>
#include <platform/LinuxMachine.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "TestBackend.h"
#include "linux/session/SeatSession.h"
#include "main/CorvasselMain.h"

namespace {

class QuietTap : public platform::TapDriver {
 public:
  void attach(CFRunLoopRef) override {}
  void setEnabled(bool enabled) override { enabled_ = enabled; }
  bool isEnabled() override { return enabled_; }

 private:
  bool enabled_ = false;
};

class TrustedInput : public platform::InputBackend {
 public:
  bool isProcessTrusted(bool) override { return true; }
  std::unique_ptr<platform::TapDriver> createTap(const platform::TapRequest &,
                                                 platform::TapClient &) override {
    return std::make_unique<QuietTap>();
  }
  platform::NSUInteger pressedMouseButtons() override { return 0; }
  void post(CGEventTapLocation, const platform::PostedEvent &) override {}
};

// Trusted as the helper's own input backend is while it follows the user's sessions.
class SeatedInput : public TrustedInput {
 public:
  bool isProcessTrusted(bool) override {
    std::call_once(once_, [this] {
      std::string why;
      followed_ = sessions_->follow([] {}, why);
      if (!followed_) fprintf(stderr, "login sessions are not followed: %s\n", why.c_str());
    });
    return followed_ && !sessions_->activeSeats().empty();
  }
  std::string describe() {
    if (!followed_) return "not followed";
    std::string seats;
    for (const std::string &seat : sessions_->activeSeats()) seats += " " + seat;
    return "followed, active at" + (seats.empty() ? std::string(" no seat") : seats);
  }

 private:
  std::unique_ptr<platform::evdev::SeatSessions> sessions_ =
      platform::evdev::logindSessions(getuid(), {}, nullptr);
  std::once_flag once_;
  std::atomic<bool> followed_{false};
};

// The real machine, except for input, and for notifications unless the session bus is wanted.
class IdleBackend : public platform::Backend {
 public:
  IdleBackend(platform::LinuxMachine &machine, bool sessionBus, bool systemBus)
      : machine_(machine), sessionBus_(sessionBus), systemBus_(systemBus) {}
  platform::TimeSource &time() override { return machine_.time(); }
  platform::InputBackend &input() override {
    return systemBus_ ? static_cast<platform::InputBackend &>(seated) : input_;
  }
  platform::NotificationTransport &notifications() override {
    return sessionBus_ ? machine_.notifications() : quiet_;
  }
  platform::Launcher &launcher() override { return machine_.launcher(); }
  platform::EventBytes &events() override { return machine_.events(); }
  void log(const std::string &line) override { machine_.log(line); }
  [[noreturn]] void exitProcess(int status) override { machine_.exitProcess(status); }

  SeatedInput seated;

 private:
  platform::LinuxMachine &machine_;
  bool sessionBus_, systemBus_;
  TrustedInput input_;
  QuietNotifications quiet_;
};

// stdio rather than iostreams: iostreams would bring their locale set-up into the resident
// memory being measured, which the helper itself never pays.
std::string StatusField(const std::string &path, const std::string &field) {
  FILE *in = fopen(path.c_str(), "re");
  if (!in) return "";
  std::string found;
  char line[256];
  while (fgets(line, sizeof line, in)) {
    std::string text(line);
    if (text.rfind(field + ":", 0) != 0) continue;
    found = text.substr(field.size() + 1);
    if (!found.empty() && found.back() == '\n') found.pop_back();
    break;
  }
  fclose(in);
  return found;
}

struct Switches {
  long voluntary = 0;
  long involuntary = 0;
};

// Every thread's context switches but the measuring thread's own.
std::map<int, Switches> Sample(int self) {
  std::map<int, Switches> tasks;
  DIR *dir = opendir("/proc/self/task");
  if (!dir) return tasks;
  while (dirent *entry = readdir(dir)) {
    int tid = atoi(entry->d_name);
    if (tid <= 0 || tid == self) continue;
    std::string status = std::string("/proc/self/task/") + entry->d_name + "/status";
    tasks[tid] = {atol(StatusField(status, "voluntary_ctxt_switches").c_str()),
                  atol(StatusField(status, "nonvoluntary_ctxt_switches").c_str())};
  }
  closedir(dir);
  return tasks;
}

IdleBackend *gBackend = nullptr;
bool gSystemBus = false;

void Measure(double seconds, std::string home) {
  int self = static_cast<int>(gettid());
  std::this_thread::sleep_for(std::chrono::seconds(1));  // let start-up settle
  auto before = Sample(self);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  auto after = Sample(self);
  long voluntary = 0, involuntary = 0;
  for (const auto &[tid, end] : after) {
    Switches start = before.count(tid) ? before[tid] : Switches{};
    long v = end.voluntary - start.voluntary, n = end.involuntary - start.involuntary;
    printf("thread %d%s: %ld voluntary, %ld involuntary\n", tid, tid == getpid() ? " (main)" : "",
           v, n);
    voluntary += v;
    involuntary += n;
  }
  printf("threads: %zu\n", after.size());
  if (gSystemBus) printf("login sessions: %s\n", gBackend->seated.describe().c_str());
  printf("wake-ups over %.1f s: %ld voluntary, %ld involuntary (%.2f per second)\n", seconds,
         voluntary, involuntary, static_cast<double>(voluntary + involuntary) / seconds);
  printf("VmRSS:%s\n", StatusField("/proc/self/status", "VmRSS").c_str());
  printf("VmHWM:%s\n", StatusField("/proc/self/status", "VmHWM").c_str());
  // Resident memory shared with other processes counted by share: what the helper adds.
  printf("Pss:%s\n", StatusField("/proc/self/smaps_rollup", "Pss").c_str());
  fflush(stdout);
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
  _exit(0);
}

}  // namespace

int main(int argc, char **argv) {
  double seconds = 10;
  bool sessionBus = false;
  constexpr const char *kUsage =
      "usage: corvassel-idle-wakeups [--session-bus] [SECONDS]\n"
      "       corvassel-idle-wakeups --help | --version\n"
      "Runs the helper idle for SECONDS (10 by default) and reports its wake-ups and memory.\n";
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (strcmp(argv[i], "--version") == 0) {
      printf("corvassel-idle-wakeups %s\n", CORVASSEL_VERSION);
      return 0;
    } else if (strcmp(argv[i], "--session-bus") == 0) {
      sessionBus = true;
    } else if (strcmp(argv[i], "--system-bus") == 0) {
      gSystemBus = true;
    } else if (atof(argv[i]) > 0) {
      seconds = atof(argv[i]);
    } else {
      fprintf(stderr, "corvassel-idle-wakeups: unknown argument \"%s\"\n%s", argv[i], kUsage);
      return 2;
    }
  }

  // A private home whose settings switch the helper on.
  char scratch[] = "/tmp/corvassel-idle-XXXXXX";
  if (!mkdtemp(scratch)) return 1;
  setenv("HOME", scratch, 1);
  corvassel::tools::PreferencesFile prefs(
      corvassel::tools::PreferencesPath(scratch, kCorvasselDomain));
  std::string error;
  if (!prefs.setBoolean("Enabled", true, &error) || !prefs.save(&error)) {
    fprintf(stderr, "cannot write settings: %s\n", error.c_str());
    return 1;
  }

  // The helper's own machine, as its main() makes it, with a tap that sees nothing.
  platform::LinuxMachine machine({SIGHUP});
  IdleBackend backend(machine, sessionBus, gSystemBus);
  platform::UseBackend running(backend);
  gBackend = &backend;
  std::thread(Measure, seconds, std::string(scratch)).detach();
  return CorvasselHelperMain();
}
