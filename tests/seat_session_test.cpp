// Following the user's login sessions: which sessions count, how the input backend lets go of
// the mice and takes them again as the user leaves the seat and returns, the seat of each
// device, and the logind client itself against the stand-in logind on a private bus.
#include "FakeInputKernel.h"
#include "SystemBus.h"
#include "TestBackend.h"

#include "linux/input/LinuxInput.h"
#include "linux/session/SeatSession.h"

#include <CoreFoundation/CoreFoundation.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <thread>

using platform::evdev::Event;
using platform::evdev::Tap;
using platform::logind::SessionRecord;
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
    EXPECT_EQ(platform::logind::ActiveSeats({row.session}), row.seats) << row.what;
  EXPECT_EQ(platform::logind::ActiveSeats({{"1", "seat0", "x11", true, false},
                                           {"2", "seat1", "tty", true, false},
                                           {"3", "seat2", "x11", false, false}}),
            (Seats{"seat0", "seat1"}));
}

// ---- the input backend, on scripted devices, told by scripted sessions ----

class FakeSessions : public platform::evdev::SeatSessions {
 public:
  bool follow(std::function<void()> changed, std::string &why) override {
    ++follows;
    changed_ = std::move(changed);
    why = "no system bus (test)";
    return followable;
  }
  Seats activeSeats() override { return seats; }
  std::optional<std::string> seatOf(const std::string &node) override {
    auto it = seatsOf.find(node);
    return it == seatsOf.end() ? std::optional<std::string>("seat0") : it->second;
  }
  // The user sits at these seats now; the backend is told as logind's signal would.
  void sit(Seats now) {
    seats = std::move(now);
    if (changed_) changed_();
  }

  bool followable = true;
  int follows = 0;
  Seats seats = {"seat0"};
  std::map<std::string, std::optional<std::string>> seatsOf;  // seat0 when not named

 private:
  std::function<void()> changed_;
};

using fake::key;
using fake::syn;

class FollowingTest : public ::testing::Test {
 protected:
  void makeTap() {
    driver = input.createTap(request, client);
    ASSERT_TRUE(driver);
  }
  void settle() { fake::Settle(client, *loop); }
  void feed(const std::string &node, const std::vector<Event> &events) {
    fake::Feed(kernel, *loop, client, node, events);
  }
  int outputsAlive() const { return kernel.outputsMade - kernel.outputsGone; }
  bool grabbed(const std::string &node) { return kernel.nodes.at(node)->grabbed; }

  TestBackend backend;
  fake::Kernel kernel;
  FakeSessions sessions;
  fake::Loop *loop = nullptr;
  platform::evdev::LinuxInput input{backend.inputContext(),
                                    kernel,
                                    {},
                                    [this] {
                                      auto made = std::make_unique<fake::Loop>();
                                      loop = made.get();
                                      return made;
                                    },
                                    &sessions};
  fake::Client client;
  platform::TapRequest request{
      kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
      CGEventMaskBit(kCGEventRightMouseDown) | CGEventMaskBit(kCGEventRightMouseUp)};
  std::unique_ptr<platform::TapDriver> driver;
};

TEST_F(FollowingTest, AwayFromEverySeatTheProcessIsUntrustedAndSaysWhyOnce) {
  kernel.add("event0");
  sessions.seats = {};
  for (bool prompt : {true, true, false}) EXPECT_FALSE(input.isProcessTrusted(prompt));
  ASSERT_EQ(backend.logged.size(), 1u) << testing::PrintToString(backend.logged);
  EXPECT_NE(backend.logged[0].find("no active session at a seat"), std::string::npos);
  EXPECT_EQ(kernel.opens, 0);
  sessions.seats = {"seat0"};
  EXPECT_TRUE(input.isProcessTrusted(false));
  kernel.denied = {"uinput"};
  EXPECT_FALSE(input.isProcessTrusted(false)) << "access still counts";
  EXPECT_EQ(sessions.follows, 1);
}

TEST_F(FollowingTest, SessionsThatCannotBeFollowedLeaveEverythingAsBeforeButOneLine) {
  sessions.followable = false;
  sessions.seats = {};
  kernel.add("event0");
  kernel.add("event1");
  sessions.seatsOf["event1"] = "seat1";
  EXPECT_TRUE(input.isProcessTrusted(true));
  makeTap();
  EXPECT_TRUE(grabbed("event0"));
  EXPECT_TRUE(grabbed("event1")) << "seats mean nothing without logind";
  ASSERT_EQ(backend.logged.size(), 1u) << testing::PrintToString(backend.logged);
  EXPECT_NE(backend.logged[0].find("login sessions are not followed (no system bus (test))"),
            std::string::npos);
}

TEST_F(FollowingTest, LeavingTheSeatLetsGoOfEverythingAndReturningTakesTheMiceAgain) {
  kernel.add("event0");
  kernel.add("event1");
  makeTap();
  ASSERT_TRUE(grabbed("event0") && grabbed("event1"));
  feed("event1", {key(BTN_RIGHT, 1), syn()});
  kernel.clearOutput();

  sessions.sit({});
  EXPECT_FALSE(grabbed("event0") || grabbed("event1"));
  EXPECT_EQ(kernel.nodes["event0"]->opened + kernel.nodes["event1"]->opened, 0);
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn()}))
      << "released before its output went";
  EXPECT_EQ(outputsAlive(), 0);
  auto plugged = kernel.plug("event2");
  loop->ready(9001);
  EXPECT_EQ(plugged->opened, 0) << "nothing opened while away";
  EXPECT_FALSE(kernel.retryTimer().armed);
  EXPECT_TRUE(driver->isEnabled()) << "the tap itself stays on, as on macOS";

  sessions.sit({"seat0"});
  EXPECT_EQ(outputsAlive(), 2) << "one for each mouse taken";
  EXPECT_TRUE(grabbed("event0") && grabbed("event2"));
  EXPECT_FALSE(grabbed("event1")) << "its right button is still down";
  kernel.clearOutput();
  feed("event1", {key(BTN_RIGHT, 0), syn()});
  EXPECT_TRUE(grabbed("event1"));
  EXPECT_TRUE(kernel.output().empty()) << "the desktop had that release";
}

TEST_F(FollowingTest, AMouseOfAnotherSeatIsNeverOpenedAndOneUdevHasNotNamedYetIsAskedAgain) {
  kernel.add("event0");
  kernel.add("event1");
  kernel.add("event2");
  sessions.seatsOf["event1"] = "seat1";
  sessions.seatsOf["event2"] = std::nullopt;
  makeTap();
  EXPECT_TRUE(grabbed("event0"));
  EXPECT_EQ(kernel.opens, 1) << "neither the other seat's nor the unnamed one opened";
  ASSERT_TRUE(kernel.retryTimer().armed);
  sessions.seatsOf["event2"] = "seat0";
  loop->ready(kernel.retryTimer().fd);
  EXPECT_TRUE(grabbed("event2"));
  kernel.changes.emplace_back("event1", fake::DirectoryWatch::AttributesChanged);
  loop->ready(9001);
  EXPECT_FALSE(grabbed("event1"));
  EXPECT_EQ(kernel.opens, 2);

  // The user moves to the other seat: its mouse is taken, this seat's are let go.
  sessions.sit({"seat1"});
  EXPECT_TRUE(grabbed("event1"));
  EXPECT_FALSE(grabbed("event0") || grabbed("event2"));
  EXPECT_EQ(kernel.nodes["event0"]->opened + kernel.nodes["event2"]->opened, 0);
}

TEST_F(FollowingTest, ATapMadeWhileTheUserIsAwayTakesNothingUntilTheyReturn) {
  kernel.add("event0");
  sessions.seats = {};
  makeTap();
  EXPECT_EQ(kernel.opens, 0);
  EXPECT_EQ(outputsAlive(), 0);
  sessions.sit({"seat0"});
  EXPECT_TRUE(grabbed("event0"));
}

TEST_F(FollowingTest, ReturningRevivesNoTapThatSwitchedItselfOffAndRetriesAMissingDevice) {
  kernel.add("event0");
  makeTap();
  // No output can be made on return: said, and tried again on the next return.
  sessions.sit({});
  kernel.uinputUsable = false;
  sessions.sit({"seat0"});
  EXPECT_FALSE(grabbed("event0"));
  EXPECT_EQ(backend.logged.size(), 1u) << testing::PrintToString(backend.logged);
  kernel.uinputUsable = true;
  sessions.sit({});
  sessions.sit({"seat0"});
  EXPECT_TRUE(grabbed("event0"));
  // An output that refused a write keeps the tap off until the helper starts again.
  kernel.writeError = EIO;
  feed("event0", {{EV_REL, REL_X, 1}, syn()});
  EXPECT_FALSE(grabbed("event0"));
  kernel.writeError = 0;
  const int made = kernel.outputsMade;
  sessions.sit({});
  sessions.sit({"seat0"});
  EXPECT_FALSE(grabbed("event0"));
  EXPECT_EQ(kernel.outputsMade, made);
}

// ---- the logind client, on a private bus with the stand-in logind ----

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
    auto sessions = platform::evdev::logindSessions(1000, row.address, nullptr);
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
  auto sessions = platform::evdev::logindSessions(
      1000, bus->address(), [&](const std::string &line) { backend.log(line); });
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
