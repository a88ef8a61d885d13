// Following the user's login sessions: which sessions count, and the logind client itself
// against the stand-in logind on a private bus.
#include "SystemBus.h"
#include "TestBackend.h"

#include "linux/SeatSession.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>

using platform::evdev::SessionRecord;
using Seats = std::set<std::string>;

namespace {

TEST(ActiveSeats, OnlyActiveLocalSessionsAtASeatCount) {
  struct Row {
    const char *what;
    SessionRecord session;
    Seats seats;
  };
  const Row rows[] = {
      {"wayland", {"1", "seat0", "wayland", true, false}, {"seat0"}},
      {"x11", {"1", "seat0", "x11", true, false}, {"seat0"}},
      {"mir", {"1", "seat0", "mir", true, false}, {"seat0"}},
      {"a text console", {"1", "seat0", "tty", true, false}, {"seat0"}},
      {"another seat", {"1", "seat1", "x11", true, false}, {"seat1"}},
      {"inactive: another user's turn", {"1", "seat0", "wayland", false, false}, {}},
      {"remote", {"1", "seat0", "x11", true, true}, {}},
      {"no seat: SSH", {"1", "", "tty", true, true}, {}},
      {"no seat, not remote: lingering", {"1", "", "unspecified", true, false}, {}},
      {"unspecified type at a seat", {"1", "seat0", "unspecified", true, false}, {}},
  };
  for (const Row &row : rows)
    EXPECT_EQ(platform::evdev::ActiveSeats({row.session}), row.seats) << row.what;
  EXPECT_EQ(platform::evdev::ActiveSeats({{"1", "seat0", "x11", true, false},
                                          {"2", "seat1", "tty", true, false},
                                          {"3", "seat2", "x11", false, false}}),
            (Seats{"seat0", "seat1"}));
}

// ---- the logind client, on a private bus with the stand-in logind ----

std::set<int> OpenDescriptors() {
  std::set<int> fds;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return fds;
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] != '.') fds.insert(atoi(entry->d_name));
  fds.erase(dirfd(dir));
  closedir(dir);
  return fds;
}

// Runs the main run loop, which serves the bus, until done() holds or about five seconds passed.
bool RunMainLoopUntil(const std::function<bool()> &done) {
  for (int round = 0; round < 100 && !done(); round++)
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.05, true);
  return done();
}

TEST(LogindSessions, WithoutABusOrLogindTheyCannotBeFollowedAndSayWhy) {
  TestBackend backend;
  kcheck::SystemBus noLogind(false);
  ASSERT_TRUE(noLogind.ready());
  struct Row {
    std::string address;
    const char *why;
  };
  const Row rows[] = {{"unix:path=/nonexistent/corvassel/bus", "no system bus"},
                      {noLogind.address(), "logind does not answer"}};
  for (const Row &row : rows) {
    const std::set<int> before = OpenDescriptors();
    auto sessions = platform::evdev::logindSessions(1000, row.address);
    std::string why;
    EXPECT_FALSE(sessions->follow([] {}, why));
    EXPECT_NE(why.find(row.why), std::string::npos) << why;
    EXPECT_TRUE(sessions->activeSeats().empty());
    EXPECT_EQ(OpenDescriptors(), before) << "the connection is closed";
  }
}

TEST(LogindSessions, FollowTheUsersSessionsThroughSignalsAndALogindRestart) {
  TestBackend backend;
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);  // the loop's own descriptors exist now
  const std::set<int> before = OpenDescriptors();
  auto bus = std::make_unique<kcheck::SystemBus>();
  ASSERT_TRUE(bus->ready());
  // Logged in over SSH; another user sits at the machine.
  ASSERT_TRUE(bus->session("1", 1000, "", "tty", true, true));
  ASSERT_TRUE(bus->session("2", 1001, "seat0", "x11", true));
  auto sessions = platform::evdev::logindSessions(1000, bus->address());
  int told = 0;
  const std::thread::id main = std::this_thread::get_id();
  bool onMain = true;
  std::string why;
  ASSERT_TRUE(sessions->follow(
      [&] {
        ++told;
        onMain = onMain && std::this_thread::get_id() == main;
      },
      why))
      << why;
  EXPECT_EQ(sessions->activeSeats(), Seats{});

  struct Step {
    const char *command;
    Seats seats;
    bool told;
  };
  const Step steps[] = {
      {"session 3 1000 seat0 wayland 0 0", {}, false},
      {"active 3 1", {"seat0"}, true},  // the other user switched to us
      {"active 2 0", {"seat0"}, false},
      {"session 4 1000 seat1 tty 1 0", {"seat0", "seat1"}, true},
      {"session 5 1001 seat1 x11 1 0", {"seat0", "seat1"}, false},
      {"active 3 0", {"seat1"}, true},
      {"remove 4", {}, true},
      {"active 3 1", {"seat0"}, true},
  };
  for (const Step &step : steps) {
    SCOPED_TRACE(step.command);
    const int toldBefore = told;
    ASSERT_TRUE(bus->logind(step.command));
    EXPECT_TRUE(RunMainLoopUntil([&] { return sessions->activeSeats() == step.seats; }));
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);  // whatever else would come
    EXPECT_EQ(sessions->activeSeats(), step.seats);
    EXPECT_EQ(told - toldBefore, step.told ? 1 : 0);
  }
  EXPECT_TRUE(onMain);

  // logind restarts; meanwhile session 3 turned inactive and the user logged in at seat2.
  bus->stopLogind();
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
  EXPECT_EQ(sessions->activeSeats(), Seats{"seat0"}) << "kept while logind is away";
  ASSERT_TRUE(bus->startLogind({"3 1000 seat0 wayland 0 0", "6 1000 seat2 tty 1 0"}));
  EXPECT_TRUE(RunMainLoopUntil([&] { return sessions->activeSeats() == Seats{"seat2"}; }));

  // The bus goes: said once, the last picture kept, the connection closed.
  bus.reset();
  EXPECT_TRUE(RunMainLoopUntil([&] { return !backend.logged.empty(); }));
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.1, false);
  EXPECT_EQ(backend.logged.size(), 1u) << testing::PrintToString(backend.logged);
  EXPECT_EQ(sessions->activeSeats(), Seats{"seat2"});
  sessions.reset();
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
