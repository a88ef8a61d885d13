// The helper on a real kernel: grabbing, forwarding on each mouse's own output, remapping,
// hotplug, resynchronisation, the watchdog, a hard kill, libinput's view and the wait for
// access. Back is button 6 (BTN_BACK)
// and forward 7 (BTN_TASK), so that what is pressed differs from what is clicked.
#include "KernelSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>

using namespace kcheck;
using Frames = std::vector<Frame>;

namespace {

Frames Click(uint16_t code) {
  return {{Key(code, 1)}, {Key(code, 0)}};
}

TEST(Grab, AMousePresentAtStartIsGrabbedAndItsFramesComeOutUnchanged) {
  SourceDevice mouse("check mouse");
  Home home;
  Running run(home, {&mouse});
  Reader out(run.output(mouse));
  EXPECT_TRUE(GrabbedByAnother(mouse.node()));
  const Frames frames = {
      {Rel(REL_X, 5), Rel(REL_Y, -3)},
      {Rel(REL_WHEEL, 1), Rel(REL_WHEEL_HI_RES, 120)},
      {Rel(REL_HWHEEL, -1), Rel(REL_HWHEEL_HI_RES, -120)},
      {Rel(REL_WHEEL_HI_RES, 30)},
      {Rel(REL_HWHEEL_HI_RES, 15), Rel(REL_X, -1)},
      {Key(BTN_LEFT, 1), Rel(REL_Y, 4)},
      {Rel(REL_X, 2), Rel(REL_Y, 2)},
      {Key(BTN_LEFT, 0)},
  };
  for (const Frame &frame : frames) mouse.frame(frame);
  EXPECT_EQ(out.waitFrames(frames.size()), frames);
  EXPECT_EQ(out.frames(), Frames{});
}

TEST(Buttons, BackAndForwardClickOnceAtThePressAndLeftAndRightPass) {
  SourceDevice mouse("check mouse");
  Home home;
  Running run(home, {&mouse});
  Reader out(run.output(mouse));
  struct Row {
    uint16_t pressed;
    uint16_t clicked;
  };
  for (const Row &row : {Row{BTN_BACK, BTN_SIDE}, Row{BTN_TASK, BTN_EXTRA}}) {
    mouse.press(row.pressed);
    EXPECT_EQ(out.waitFrames(2), Click(row.clicked)) << "a click at the press";
    mouse.release(row.pressed);
    EXPECT_EQ(out.frames(), Frames{}) << "nothing at the release";
  }
  for (uint16_t code : {BTN_LEFT, BTN_RIGHT}) {
    mouse.press(code);
    mouse.release(code);
    EXPECT_EQ(out.waitFrames(2), Click(code));
  }
  EXPECT_FALSE(out.anyButtonHeld());
}

TEST(Passthrough, TheMiddleButtonHeldOnTheSameMouseOrAnotherLetsBackThrough) {
  SourceDevice a("check mouse a"), b("check mouse b");
  Home home;
  Running run(home, {&a, &b});
  Reader outA(run.output(a)), outB(run.output(b));
  for (SourceDevice *holder : {&a, &b}) {
    SCOPED_TRACE(holder == &a ? "same mouse" : "another mouse");
    Reader &held = holder == &a ? outA : outB;
    holder->press(BTN_MIDDLE);
    EXPECT_EQ(held.waitFrames(1), Frames{{Key(BTN_MIDDLE, 1)}});
    a.press(BTN_BACK);
    a.release(BTN_BACK);
    EXPECT_EQ(outA.waitFrames(2), (Frames{{Key(BTN_BACK, 1)}, {Key(BTN_BACK, 0)}}));
    holder->release(BTN_MIDDLE);
    EXPECT_EQ(held.waitFrames(1), Frames{{Key(BTN_MIDDLE, 0)}});
    EXPECT_FALSE(outA.anyButtonHeld() || outB.anyButtonHeld());
  }
}

TEST(Hotplug, AMousePluggedInLaterIsGrabbedAndForwardedWithinASecond) {
  SourceDevice a("check mouse a");
  Home home;
  Running run(home, {&a});
  SourceDevice b("check mouse b");
  const auto plugged = std::chrono::steady_clock::now();
  const std::string output = OutputOf(b, Millis(1000));
  ASSERT_NE(output, "") << "no output of its own";
  Reader out(output);
  EXPECT_TRUE(Forwarded(b, out, Millis(1000)));
  EXPECT_LT(std::chrono::steady_clock::now() - plugged, Millis(1000));
  EXPECT_TRUE(GrabbedByAnother(b.node()));
}

TEST(Hotplug, UnpluggingAMouseThatHoldsAButtonReleasesIt) {
  for (bool stopped : {false, true}) {
    SCOPED_TRACE(stopped ? "helper stopped while the mouse went" : "helper running");
    SourceDevice a("check mouse a");
    auto b = std::make_unique<SourceDevice>("check mouse b");
    Home home;
    Running run(home, {&a, b.get()});
    const std::string output = run.output(*b);
    Reader out(output);
    b->press(BTN_RIGHT);
    EXPECT_EQ(out.waitFrames(1), Frames{{Key(BTN_RIGHT, 1)}});
    if (stopped) run.helper.signal(SIGSTOP);
    b.reset();
    if (stopped) {
      std::this_thread::sleep_for(Millis(200));
      run.helper.signal(SIGCONT);
    }
    EXPECT_EQ(out.waitFrames(1), Frames{{Key(BTN_RIGHT, 0)}}) << "released, then its output goes";
    EXPECT_TRUE(Eventually([&] { return access(output.c_str(), F_OK) != 0; }, Millis(1000)));
    EXPECT_NE(OutputOf(a, Millis(0)), "") << "the other mouse keeps its own";
  }
}

TEST(Resync, AButtonLetGoWhileTheKernelDroppedEventsEndsReleased) {
  SourceDevice mouse("check mouse");
  Home home;
  Running run(home, {&mouse});
  Reader out(run.output(mouse));
  mouse.press(BTN_LEFT);
  EXPECT_EQ(out.waitFrames(1), Frames{{Key(BTN_LEFT, 1)}});
  // Far more than the helper's queue holds (128 events for such a mouse) while it cannot read.
  run.helper.signal(SIGSTOP);
  for (int i = 0; i < 200; ++i) mouse.frame({Rel(REL_X, 1)});
  mouse.release(BTN_LEFT);
  for (int i = 0; i < 200; ++i) mouse.frame({Rel(REL_Y, 1)});
  run.helper.signal(SIGCONT);
  out.frames(Millis(500));
  EXPECT_FALSE(out.held(BTN_LEFT));
  mouse.press(BTN_BACK);
  EXPECT_EQ(out.waitFrames(2), Click(BTN_SIDE)) << "still remapping";
  mouse.release(BTN_BACK);
  EXPECT_TRUE(Forwarded(mouse, out, Millis(1000))) << "still forwarding";
}

TEST(Watchdog, ABackScriptThatHangsUngrabsEveryMouseWithinASecond) {
  SourceDevice a("check mouse a"), b("check mouse b");
  Home home;
  home.script("back-extra-script", "sleep 5");
  Running run(home, {&a, &b});
  Collector out(run.output(b));  // reading when the release comes, as the desktop is
  b.press(BTN_RIGHT);
  a.press(BTN_BACK);
  EXPECT_TRUE(Eventually([&] { return !GrabbedByAnother(a.node()) && !GrabbedByAnother(b.node()); },
                         Millis(1500)))
      << "both mice given back";
  EXPECT_TRUE(Eventually([] { return OutputNodes().empty(); }, Millis(500))) << "outputs gone";
  Frames seen;
  for (const TimedFrame &frame : out.finish()) seen.push_back(frame.frame);
  EXPECT_EQ(seen, (Frames{{Key(BTN_RIGHT, 1)}, {Key(BTN_RIGHT, 0)}}))
      << "the right button let go on its output before it went";
  Reader desktop(b.node());
  b.release(BTN_RIGHT);
  EXPECT_EQ(desktop.waitFrames(1), Frames{{Key(BTN_RIGHT, 0)}}) << "the desktop reads it directly";
}

TEST(Scripts, AnExtraScriptInheritsNoDeviceOfTheHelper) {
  SourceDevice mouse("check mouse");
  Home home;
  home.script("back-extra-script", "ls -l /proc/self/fd >\"$HOME/descriptors\"");
  Running run(home, {&mouse});
  Reader out(run.output(mouse));
  mouse.press(BTN_BACK);
  EXPECT_EQ(out.waitFrames(2), Click(BTN_SIDE));
  const std::string seen = ReadFile(home.path() + "/descriptors");
  EXPECT_NE(seen.find("/proc/"), std::string::npos) << "the script listed its descriptors";
  for (const char *device : {"/dev/input", "/dev/uinput", "inotify", "timerfd"})
    EXPECT_EQ(seen.find(device), std::string::npos) << seen;
}

TEST(Exit, KillNineFreesEveryMouseAtOnceAndTheOutputsGo) {
  SourceDevice a("check mouse a"), b("check mouse b");
  Home home;
  Running run(home, {&a, &b});
  EXPECT_TRUE(GrabbedByAnother(a.node()));
  EXPECT_TRUE(GrabbedByAnother(b.node()));
  run.helper.signal(SIGKILL);
  EXPECT_TRUE(Eventually([&] { return !run.helper.running(); }, Millis(2000)));
  EXPECT_FALSE(GrabbedByAnother(a.node()));
  EXPECT_FALSE(GrabbedByAnother(b.node()));
  EXPECT_TRUE(Eventually(
      [&] {
        return access(run.output(a).c_str(), F_OK) != 0 && access(run.output(b).c_str(), F_OK) != 0;
      },
      Millis(1000)));
}

// The desktop's own input stack, libinput, with udev as on a desktop.
class Libinput : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { StartUdev(); }
};

TEST_F(Libinput, SeesTheOutputAsAPointerAndTheBackClickAsBtnSide) {
  SourceDevice mouse("check mouse");
  Home home;
  Running run(home, {&mouse});
  const std::string output = run.output(mouse);
  ASSERT_EQ(Shell("udevadm settle -t 20"), 0);
  const std::string list = ShellOutput("libinput list-devices 2>&1");
  const auto at = list.find("Kernel:           " + output + "\n");
  ASSERT_NE(at, std::string::npos) << list;
  const auto begin = list.rfind("\n\n", at);
  const std::string block = list.substr(begin + 2, list.find("\n\n", at) - begin - 2);
  EXPECT_EQ(block.rfind("Device:           check mouse\n", 0), 0u) << block;
  EXPECT_NE(block.find("Capabilities:     pointer"), std::string::npos) << block;

  const std::string events = home.path() + "/debug-events";
  const std::string pid =
      ShellOutput("libinput debug-events --device " + output + " >" + events + " 2>&1 & echo $!");
  EXPECT_TRUE(Eventually([&] { return ReadFile(events).find("DEVICE_ADDED") != std::string::npos; },
                         Millis(10000)));
  mouse.press(BTN_BACK);
  mouse.release(BTN_BACK);
  EXPECT_TRUE(Eventually(
      [&] { return ReadFile(events).find("BTN_SIDE (275) released") != std::string::npos; },
      Millis(5000)));
  Shell("kill " + pid);
  const std::string seen = ReadFile(events);
  EXPECT_NE(seen.find("BTN_SIDE (275) pressed"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("BTN_BACK"), std::string::npos) << seen;
}

TEST(Access, WithoutAccessTheHelperSaysWhyOnceAndStartsWithinASecondOfBeingAllowed) {
  SourceDevice mouse("check mouse");
  Home home;
  home.chown(1000);
  Modes modes;
  for (const std::string &node : InputNodes()) modes.set(node, 0600);
  Helper::Options user;
  user.uid = 1000;
  Helper helper(home, user);
  std::this_thread::sleep_for(Millis(2500));
  EXPECT_TRUE(helper.running());
  EXPECT_EQ(OutputNodes(), std::vector<std::string>{});
  const std::string said = helper.log();
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_NE(said.find(mouse.node() + " (Permission denied)"), std::string::npos) << said;

  // The mice alone: the broker makes the outputs, /dev/uinput stays out of reach.
  for (const std::string &node : InputNodes())
    if (node != "/dev/uinput") modes.set(node, 0666);
  const std::string output = OutputOf(mouse, Millis(1500));
  ASSERT_NE(output, "") << helper.log();
  EXPECT_TRUE(GrabbedByAnother(mouse.node()));
  Reader out(output);
  EXPECT_TRUE(Forwarded(mouse, out, Millis(1000)));
  mouse.press(BTN_BACK);
  EXPECT_EQ(out.waitFrames(2), Click(BTN_SIDE));
  mouse.release(BTN_BACK);
  EXPECT_EQ(helper.log(), said);
}

}  // namespace
