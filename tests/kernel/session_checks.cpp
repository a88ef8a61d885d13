// The helper follows the user's login sessions, told by a stand-in logind on a private system
// bus: it lets go of the mice when the user leaves the seat and takes them again on return,
// leaves another seat's mice alone, waits for a seat session at start, and without a system
// bus or logind does as it always did. The helper runs as root: its sessions are uid 0's.
#include "KernelSupport.h"
#include "SystemBus.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

using namespace kcheck;
using Frames = std::vector<Frame>;
using Clock = std::chrono::steady_clock;

namespace {

Helper::Options On(const SystemBus &bus) {
  Helper::Options options;
  options.env = {bus.env()};
  return options;
}

Millis Since(Clock::time_point start) {
  return std::chrono::duration_cast<Millis>(Clock::now() - start);
}

size_t Lines(const std::string &text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Whether what the mouse does now reaches the desktop reading it directly: nobody grabs it.
// Unlike trying a grab, which waits for the kernel's grace periods, this costs next to nothing.
bool ReachesDesktop(SourceDevice &mouse, Reader &desktop) {
  mouse.frame({Rel(REL_X, 1)});
  return !desktop.waitFrames(1, Millis(2)).empty();
}

TEST(Sessions, LeavingTheSeatFreesEveryMouseAndItsOutputAtOnceAndComingBackTakesThemAgain) {
  SystemBus bus;
  ASSERT_TRUE(bus.ready());
  ASSERT_TRUE(bus.session("1", 0, "seat0", "wayland", true));
  SourceDevice a("check mouse a"), b("check mouse b");
  Home home;
  Running run(home, {&a, &b}, On(bus));
  Reader out(run.output(b));
  EXPECT_TRUE(GrabbedByAnother(a.node()));
  EXPECT_TRUE(GrabbedByAnother(b.node()));
  b.press(BTN_RIGHT);
  EXPECT_EQ(out.waitFrames(1), Frames{{Key(BTN_RIGHT, 1)}});

  // Another user's session takes the seat.
  Reader desktopA(a.node()), desktopB(b.node());
  const auto left = Clock::now();
  ASSERT_TRUE(bus.logind("active 1 0"));
  EXPECT_TRUE(Eventually([&] { return ReachesDesktop(a, desktopA) && ReachesDesktop(b, desktopB); },
                         Millis(2000)));
  // Under emulation a grab's release waits out the kernel's grace periods at a tenth of native
  // speed; a helper that noticed only on some later wake-up would take seconds.
  EXPECT_LT(Since(left), Millis(500)) << "the mice let go";
  // Each output's removal waits for the kernel's grace periods, one after another under the
  // input core's lock, and for udev's notice: outputs carry nothing once their mice are back.
  EXPECT_TRUE(Eventually([] { return OutputNodes().empty(); }, Millis(2000)));
  EXPECT_LT(Since(left), Millis(1000)) << "and their outputs gone";
  EXPECT_TRUE(Eventually(
      [&] {
        return !HoldsOpen(run.helper.pid(), a.node()) && !HoldsOpen(run.helper.pid(), b.node());
      },
      Millis(1000)))
      << "and closed";

  ASSERT_TRUE(bus.logind("active 1 1"));
  ASSERT_NE(OutputOf(a, Millis(2000)), "") << run.helper.log();
  EXPECT_TRUE(GrabbedByAnother(a.node()));
  EXPECT_FALSE(GrabbedByAnother(b.node())) << "taken only once its button is let go";
  EXPECT_EQ(OutputOf(b, Millis(0)), "") << "and given its output then";
  desktopB.frames(Millis(0));
  b.release(BTN_RIGHT);
  EXPECT_EQ(desktopB.waitFrames(1), Frames{{Key(BTN_RIGHT, 0)}}) << "the desktop sees it";
  const std::string output = OutputOf(b, Millis(1000));
  ASSERT_NE(output, "");
  Reader back(output);
  EXPECT_TRUE(Forwarded(b, back, Millis(1000)));
  EXPECT_FALSE(back.anyButtonHeld());
  EXPECT_EQ(run.helper.log(), "");
}

TEST(Sessions, OnlyTheMiceOfTheSessionsSeatAreTaken) {
  StartUdev();
  const std::string rule = "/etc/udev/rules.d/72-corvassel-check-seat.rules";
  WriteFile(rule,
            "SUBSYSTEM==\"input\", KERNEL==\"input*\", ATTR{name}==\"check mouse seat1\", "
            "ENV{ID_SEAT}=\"seat1\"\n");
  ASSERT_EQ(Shell("udevadm control --reload"), 0);
  SystemBus bus;
  ASSERT_TRUE(bus.session("1", 0, "seat0", "x11", true));
  SourceDevice plain("check mouse"), other("check mouse seat1");
  Shell("udevadm settle -t 20");
  Home home;
  Running run(home, {&plain}, On(bus));
  EXPECT_TRUE(GrabbedByAnother(plain.node()));
  EXPECT_FALSE(GrabbedByAnother(other.node()));
  // Plugged in while the helper runs: looked at before udev may have named its seat.
  SourceDevice late("check mouse seat1");
  Shell("udevadm settle -t 20");
  std::this_thread::sleep_for(Millis(300));
  EXPECT_FALSE(GrabbedByAnother(late.node()));
  EXPECT_FALSE(HoldsOpen(run.helper.pid(), other.node()) ||
               HoldsOpen(run.helper.pid(), late.node()))
      << "not even opened";
  EXPECT_EQ(OutputOf(other, Millis(0)) + OutputOf(late, Millis(0)), "") << "nor given outputs";
  unlink(rule.c_str());
  Shell("udevadm control --reload");
}

TEST(Sessions, WithoutASeatSessionNothingIsTouchedAndItEndsOrWaitsAsWhenUntrusted) {
  SystemBus bus;
  // Logged in over SSH: a session with no seat, which logind calls active.
  ASSERT_TRUE(bus.session("1", 0, "", "tty", true, true));
  SourceDevice mouse("check mouse");
  Home on, off;
  off.settings(false);
  const auto start = Clock::now();
  Helper waiting(on, On(bus)), ending(off, On(bus));
  EXPECT_EQ(ending.waitExit(Millis(4000)), 0) << "switched off: it ends";
  EXPECT_GE(Since(start), Millis(1900)) << "after two seconds";
  EXPECT_TRUE(waiting.running());
  EXPECT_EQ(OutputNodes(), std::vector<std::string>{});
  EXPECT_FALSE(GrabbedByAnother(mouse.node()));
  for (const Helper *helper : {&waiting, &ending}) {
    const std::string said = helper->log();
    EXPECT_EQ(Lines(said), 1u) << said;
    EXPECT_NE(said.find("no active session at a seat"), std::string::npos) << said;
  }

  const std::string said = waiting.log();
  const auto sat = Clock::now();
  ASSERT_TRUE(bus.session("2", 0, "seat0", "x11", true));
  EXPECT_NE(OutputOf(mouse, Millis(3000)), "");
  EXPECT_TRUE(GrabbedByAnother(mouse.node()));
  EXPECT_LT(Since(sat), Millis(1500)) << "taken within about a second";
  EXPECT_EQ(waiting.log(), said) << "nothing more to say";
}

TEST(Sessions, WithoutASystemBusOrLogindTheMiceAreTakenAsBeforeAndItSaysSoOnce) {
  SystemBus noLogind(false);
  ASSERT_TRUE(noLogind.ready());
  struct Row {
    const char *what;
    std::string address;
  };
  const Row rows[] = {{"no system bus", "unix:path=/run/corvassel-no-such-bus"},
                      {"no logind on the bus", noLogind.address()}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SourceDevice mouse("check mouse");
    Home home;
    Helper::Options options;
    options.env = {"DBUS_SYSTEM_BUS_ADDRESS=" + row.address};
    Running run(home, {&mouse}, options);
    Reader out(run.output(mouse));
    EXPECT_TRUE(GrabbedByAnother(mouse.node()));
    EXPECT_TRUE(Forwarded(mouse, out, Millis(1000)));
    const std::string said = run.helper.fullLog();
    EXPECT_EQ(Lines(said), 1u) << said;
    EXPECT_NE(said.find("login sessions are not followed"), std::string::npos) << said;
  }
}

}  // namespace
