// What a user meets on a real kernel besides the helper itself: the udev rule's grant (the mice,
// neither /dev/uinput nor a keyboard), finding a button's number with corvassel-prefs, its doctor,
// and SIGHUP making the running helper read its settings again.
#include "KernelSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

using namespace kcheck;
using Frames = std::vector<Frame>;

namespace {

constexpr const char *kRulePath = "/etc/udev/rules.d/70-corvassel-uinput.rules";

// The rule installed where an administrator puts it, for as long as the object lives.
struct InstalledRule {
  InstalledRule() {
    WriteFile(kRulePath,
              ReadFile(std::string(CORVASSEL_SOURCE_DIR) + "/packaging/70-corvassel-uinput.rules"));
    Shell("udevadm control --reload");
  }
  ~InstalledRule() {
    unlink(kRulePath);
    Shell("udevadm control --reload");
  }
};

bool TaggedForTheSeat(const std::string &node) {
  const std::string properties = ShellOutput("udevadm info --query=property --name=" + node);
  for (const char *field : {"\nTAGS=", "\nCURRENT_TAGS="})
    if (size_t at = ("\n" + properties).find(field); at != std::string::npos) {
      const std::string line = ("\n" + properties).substr(at + 1);
      if (line.substr(0, line.find('\n')).find(":uaccess:") != std::string::npos) return true;
    }
  return false;
}

TEST(Udev, TheRuleGivesTheSeatTheMiceButNeitherUinputNorAKeyboard) {
  StartUdev();
  InstalledRule rule;
  Shell("udevadm trigger --action=add /sys/devices/virtual/misc/uinput");
  SourceDevice mouse("check mouse"), keyboard("check keys", SourceDevice::Keyboard),
      both("check gaming mouse", SourceDevice::MouseThatTypes);
  SettleUdev();
  EXPECT_FALSE(TaggedForTheSeat("/dev/uinput")) << "with it any program could make a keyboard";
  EXPECT_TRUE(TaggedForTheSeat(mouse.node()));
  EXPECT_FALSE(TaggedForTheSeat(keyboard.node()));
  EXPECT_FALSE(TaggedForTheSeat(both.node())) << "it types: a keyboard too";
}

// corvassel-prefs with the given arguments in home, its output kept.
Helper::Options Tool(std::vector<std::string> args, uid_t uid = 0) {
  Helper::Options options;
  options.exe = CORVASSEL_PREFS_TOOL;
  options.keepOutput = true;
  options.args = std::move(args);
  options.uid = uid;
  return options;
}

bool Says(Helper &tool, const std::string &text, Millis timeout = Millis(3000)) {
  return Eventually([&] { return tool.log().find(text) != std::string::npos; }, timeout);
}

std::string Settings(Home &home) {
  return ReadFile(home.path() + "/Library/Preferences/Quendrith.tavrel.prefpane.plist");
}

// learn waits for the next press on any mouse, ignores the left button, stores what was pressed
// and ends; with the helper running, the mouse is read through its output.
TEST(Learn, StoresTheNextButtonPressedWithOrWithoutTheHelper) {
  for (bool helperRuns : {false, true}) {
    SCOPED_TRACE(helperRuns ? "helper running" : "no helper");
    SourceDevice mouse("check mouse");
    Home home;
    std::unique_ptr<Running> run;
    if (helperRuns) run = std::make_unique<Running>(home, std::initializer_list{&mouse});
    Helper learn(home, Tool({"learn", "ForwardButton"}));
    ASSERT_TRUE(Says(learn, "Press the mouse button to use as ForwardButton")) << learn.log();
    if (helperRuns) {
      EXPECT_NE(learn.log().find("corvassel-helper is running"), std::string::npos);
      EXPECT_NE(learn.log().find("Mapped now: BackButton 6 (BTN_BACK), ForwardButton 7 (BTN_TASK)"),
                std::string::npos)
          << learn.log();
    }
    mouse.press(BTN_LEFT);
    mouse.release(BTN_LEFT);
    ASSERT_TRUE(Says(learn, "cannot be mapped")) << learn.log();
    mouse.press(BTN_FORWARD);
    mouse.release(BTN_FORWARD);
    EXPECT_EQ(learn.waitExit(Millis(3000)), 0) << learn.log();
    const std::string through =
        helperRuns ? run->output(mouse) + ", the helper's output for " + mouse.node()
                   : mouse.node();
    EXPECT_NE(learn.log().find("button 5 (BTN_FORWARD) on \"check mouse\" (" + through + ")"),
              std::string::npos)
        << learn.log();
    EXPECT_NE(Settings(home).find("<key>ForwardButton</key><integer>5</integer>"),
              std::string::npos)
        << Settings(home);
  }
}

// buttons shows every press until interrupted. Through the helper, a mapped button shows as the
// click it makes, unless the passthrough button is held.
TEST(ButtonsCommand, ShowsEachPressWithOrWithoutTheHelper) {
  struct Press {
    uint16_t held;  // 0 for none
    uint16_t pressed;
    const char *seen;  // with the helper running; without it, the pressed button itself
  };
  const Press presses[] = {
      {0, BTN_RIGHT, "button 1 (BTN_RIGHT)"},
      {0, BTN_BACK, "button 3 (BTN_SIDE)"},  // back is 6: the helper clicks BTN_SIDE for it
      {BTN_MIDDLE, BTN_BACK, "button 6 (BTN_BACK)"},
  };
  for (bool helperRuns : {false, true}) {
    SCOPED_TRACE(helperRuns ? "helper running" : "no helper");
    SourceDevice mouse("check mouse");
    Home home;
    std::unique_ptr<Running> run;
    if (helperRuns) run = std::make_unique<Running>(home, std::initializer_list{&mouse});
    Helper buttons(home, Tool({"buttons"}));
    ASSERT_TRUE(Says(buttons, "Press mouse buttons")) << buttons.log();
    EXPECT_EQ(buttons.log().find("Hold button 2 (BTN_MIDDLE)") != std::string::npos, helperRuns)
        << buttons.log();
    for (const Press &press : presses) {
      if (press.held) mouse.press(press.held);
      mouse.press(press.pressed);
      mouse.release(press.pressed);
      if (press.held) mouse.release(press.held);
      const std::string line =
          helperRuns ? std::string(press.seen) + " on \"check mouse\" (" + run->output(mouse) +
                           ", the helper's output for " + mouse.node() + ")"
                     : "button " + std::to_string(press.pressed - BTN_MOUSE) + " (" +
                           libevdev_event_code_get_name(EV_KEY, press.pressed) +
                           ") on \"check mouse\" (" + mouse.node() + ")";
      EXPECT_TRUE(Says(buttons, line)) << line << "\n" << buttons.log();
    }
    EXPECT_TRUE(buttons.running()) << "until interrupted";
    buttons.signal(SIGINT);
    EXPECT_TRUE(Eventually([&] { return !buttons.running(); }, Millis(2000)));
  }
}

// One thing broken at a time, and what the doctor makes of it. It runs as an ordinary user, as
// does the helper; the rule is installed and udev runs, but with no login session here the
// access the rule would grant is given by hand.
TEST(Doctor, NamesWhatKeepsTheHelperFromRemapping) {
  StartUdev();
  InstalledRule rule;
  SourceDevice mouse("check mouse"), keyboard("check keys", SourceDevice::Keyboard);
  SettleUdev();
  Modes modes;
  for (const std::string &node : InputNodes()) modes.set(node, 0666);
  Home home;
  home.chown(1000);
  Helper::Options user;
  user.uid = 1000;
  auto helper = std::make_unique<Running>(home, std::initializer_list{&mouse}, user);
  const std::string output = helper->output(mouse);
  const std::string settings = home.path() + "/Library/Preferences/Quendrith.tavrel.prefpane.plist";
  struct Row {
    const char *name;
    std::function<void()> breakIt, mendIt;
    int status;
    std::string line;
    std::string fix = "";  // the fix doctor names for the cause
  };
  const std::string ruleText =
      ReadFile(std::string(CORVASSEL_SOURCE_DIR) + "/packaging/70-corvassel-uinput.rules");
  const Row rows[] = {
      {"nothing", [] {}, [] {}, 0, "Nothing keeps the helper from remapping."},
      {"nothing, each mouse shown with its output", [] {}, [] {}, 0,
       "ok    " + mouse.node() + " \"check mouse\" (the helper re-emits it on " + output +
           "): may be read"},
      {"switched off", [&] { home.settings(false); }, [&] { home.settings(); }, 1,
       "FAIL  settings: Enabled is false"},
      {"no button mapped", [&] { home.settings(true, 0, 0); }, [&] { home.settings(); }, 1,
       "FAIL  settings: no button is mapped"},
      {"settings the helper ignores",
       [&] {
         WriteFile(settings,
                   "<plist><dict><key>Enabled</key><true/><key>BackButton</key>"
                   "</dict></plist>");
       },
       [&] { home.settings(); }, 1, "\"BackButton\" has no value"},
      {"no access to /dev/uinput", [&] { chmod("/dev/uinput", 0600); },
       [&] { chmod("/dev/uinput", 0666); }, 0,
       "ok    outputs: made by corvassel-uinputd (/run/corvassel-uinputd.sock)"},
      {"neither the broker nor /dev/uinput",
       [&] {
         chmod("/dev/uinput", 0600);
         chmod("/run/corvassel-uinputd.sock", 0600);
       },
       [&] {
         chmod("/dev/uinput", 0666);
         chmod("/run/corvassel-uinputd.sock", 0666);
       },
       1,
       "FAIL  outputs: corvassel-uinputd cannot make them (/run/corvassel-uinputd.sock: "
       "Permission denied), and /dev/uinput may not be used (Permission denied)",
       "fix: install the corvassel-helper package, which brings corvassel-uinputd"},
      {"no uinput module", [&] { rename("/dev/uinput", "/dev/uinput.away"); },
       [&] { rename("/dev/uinput.away", "/dev/uinput"); }, 1,
       "FAIL  outputs: /dev/uinput is missing, so no device can be made",
       "fix: sudo modprobe uinput"},
      {"no access to the mouse", [&] { chmod(mouse.node().c_str(), 0600); },
       [&] { chmod(mouse.node().c_str(), 0666); }, 1,
       "FAIL  " + mouse.node() + " \"check mouse\" (the helper re-emits it on " + output +
           "): Permission denied",
       "fix: log out and in again at the machine"},
      {"no access to the mouse, and no rule",
       [&] {
         unlink(kRulePath);
         chmod(mouse.node().c_str(), 0600);
       },
       [&] {
         WriteFile(kRulePath, ruleText);
         chmod(mouse.node().c_str(), 0666);
       },
       1, "FAIL  " + mouse.node() + " \"check mouse\" (the helper re-emits it on " + output +
           "): Permission denied",
       "fix: install the corvassel-helper package, or copy 70-corvassel-uinput.rules"},
      {"no access to the keyboard", [&] { chmod(keyboard.node().c_str(), 0600); },
       [&] { chmod(keyboard.node().c_str(), 0666); }, 0,
       "Nothing keeps the helper from remapping."},
      {"no udev rule", [&] { unlink(kRulePath); }, [&] { WriteFile(kRulePath, ruleText); }, 0,
       "note  udev rule: 70-corvassel-uinput.rules is not installed"},
      {"helper stopped", [&] { helper.reset(); }, [] {}, 1, "FAIL  helper: not running",
       "fix: install the corvassel-helper package (it brings the user unit)"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    row.breakIt();
    Helper doctor(home, Tool({"doctor"}, 1000));
    EXPECT_EQ(doctor.waitExit(Millis(10000)), row.status) << doctor.log();
    EXPECT_NE(doctor.log().find(row.line), std::string::npos) << doctor.log();
    EXPECT_NE(doctor.log().find(row.fix), std::string::npos) << row.fix << "\n" << doctor.log();
    row.mendIt();
  }
  Helper::Options onABus = Tool({"--", CORVASSEL_PREFS_TOOL, "doctor"}, 1000);
  onABus.exe = "/usr/bin/dbus-run-session";
  Helper doctor(home, onABus);
  doctor.waitExit(Millis(10000));
  EXPECT_NE(doctor.log().find("ok    session bus: reachable"), std::string::npos) << doctor.log();
}

// SIGHUP makes the running helper read its settings again, with no session bus to carry the
// change notification; the helper goes on running.
TEST(Reload, SighupAppliesChangedSettings) {
  SourceDevice mouse("check mouse");
  Home home;
  Running run(home, {&mouse});
  Reader out(run.output(mouse));
  auto click = [&](uint16_t code) {
    mouse.press(code);
    mouse.release(code);
    return out.waitFrames(2);
  };
  const Frames itself = {{Key(BTN_FORWARD, 1)}, {Key(BTN_FORWARD, 0)}};
  const Frames back = {{Key(BTN_SIDE, 1)}, {Key(BTN_SIDE, 0)}};
  EXPECT_EQ(click(BTN_FORWARD), itself);
  home.settings(true, 5, 7);  // back is now BTN_FORWARD
  EXPECT_EQ(click(BTN_FORWARD), itself) << "not read before the signal";
  run.helper.signal(SIGHUP);
  EXPECT_TRUE(Eventually([&] { return click(BTN_FORWARD) == back; }, Millis(2000)));
  EXPECT_TRUE(run.helper.running());
  EXPECT_EQ(run.helper.log(), "");
}

}  // namespace
