// What the settings window shows for a given settings file and doctor's result, without a display.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include <string>
#include <vector>

#include "PrefsTestSupport.h"
#include "Presses.h"
#include "View.h"

namespace {

using corvassel::settings::FileState;
using corvassel::tools::Check;

class SettingsViewTest : public TempHome {
 protected:
  FileState read(const std::string &bytes) {
    writePrefs(bytes);
    corvassel::tools::PreferencesFile file(prefsPath());
    return corvassel::settings::ReadFileState(file);
  }
};

const corvassel::tools::Setting &SettingOf(const std::string &key) {
  return *corvassel::tools::FindSetting(key);
}

TEST_F(SettingsViewTest, ARowShowsTheButtonTheHelperUses) {
  struct Case {
    const char *entries;
    const char *key;
    const char *subtitle;
    bool clearable;
    bool on;
  };
  const Case cases[] = {
      {"", "BackButton", "None", false, true},
      {"<key>BackButton</key><integer>6</integer>", "BackButton", "Button 6 · BTN_BACK", true,
       true},
      {"<key>ForwardButton</key><integer>5</integer>", "ForwardButton", "Button 5 · BTN_FORWARD",
       true, true},
      // Stored, so clearable, though the helper maps nothing for it.
      {"<key>BackButton</key><integer>0</integer>", "BackButton", "None", true, true},
      {"<key>BackButton</key><integer>-3</integer>", "BackButton", "None", true, true},
      {"<key>BackButton</key><integer>16</integer>", "BackButton", "Button 16: no mouse sends it",
       true, true},
      {"<key>ForwardButton</key><integer>9</integer>", "ForwardButton",
       "Button 9 · BTN_MOUSE+9 (X11's side buttons 8 and 9 are 3 and 4 here)", true, true},
      {"<key>ForwardButton</key><integer>10</integer>", "ForwardButton", "Button 10 · BTN_MOUSE+10",
       true, true},
      // Kinds the helper reads its own way: the row says what it makes of them.
      {"<key>BackButton</key><real>4.75</real>", "BackButton",
       "Button 4 · BTN_EXTRA; stored as 4.75, which the helper reads as 4", true, true},
      {"<key>BackButton</key><string>4</string>", "BackButton",
       "None; stored as \"4\", which the helper does not read as a number", true, true},
      {"<key>ForwardButton</key><true/>", "ForwardButton",
       "Button 1 · BTN_RIGHT; stored as true, which the helper reads as 1", true, true},
      {"", "PassthroughButton", "Button 2 · BTN_MIDDLE (the default)", false, true},
      {"<key>PassthroughButton</key><integer>0</integer>", "PassthroughButton",
       "Button 2 · BTN_MIDDLE (the default)", true, true},
      {"<key>PassthroughButton</key><integer>2</integer>", "PassthroughButton",
       "Button 2 · BTN_MIDDLE", true, true},
      {"<key>PassthroughButton</key><integer>-1</integer>", "PassthroughButton", "Off", true,
       false},
      {"<key>PassthroughButton</key><integer>7</integer>", "PassthroughButton",
       "Button 7 · BTN_TASK", true, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.key) + " in " + c.entries);
    const FileState state = read(XmlDict(c.entries));
    ASSERT_TRUE(state.usable) << state.problem;
    const auto row = corvassel::settings::DescribeButtonRow(SettingOf(c.key), state);
    EXPECT_EQ(row.subtitle, c.subtitle);
    EXPECT_EQ(row.clearable, c.clearable);
    EXPECT_EQ(row.on, c.on);
    EXPECT_TRUE(row.sensitive);
  }
}

// A file the helper ignores is shown with its reason, and nothing offers to change it.
TEST_F(SettingsViewTest, AFileTheHelperIgnoresCannotBeChangedFromTheWindow) {
  for (const BrokenCase &c : BrokenFiles()) {
    SCOPED_TRACE(c.name);
    const FileState state = read(c.bytes);
    EXPECT_FALSE(state.usable);
    const auto notice = corvassel::settings::DescribeFileNotice(state);
    EXPECT_TRUE(notice.shown);
    EXPECT_NE(notice.detail.find("the helper ignores it"), std::string::npos) << notice.detail;
    EXPECT_NE(notice.detail.find(prefsPath()), std::string::npos) << notice.detail;
    EXPECT_FALSE(corvassel::settings::DescribeSwitch(state, false).sensitive);
    for (const char *key : {"BackButton", "ForwardButton", "PassthroughButton"}) {
      const auto row = corvassel::settings::DescribeButtonRow(SettingOf(key), state);
      EXPECT_FALSE(row.sensitive) << key;
      EXPECT_FALSE(row.clearable) << key;
    }
  }
  const FileState good = read(XmlDict("<key>Enabled</key><true/>"));
  EXPECT_FALSE(corvassel::settings::DescribeFileNotice(good).shown);
}

TEST_F(SettingsViewTest, TheSwitchFollowsEnabledAndRestsWhileAButtonIsAwaited) {
  struct Case {
    const char *entries;
    bool learning;
    bool active;
    bool sensitive;
  };
  const Case cases[] = {
      {"", false, false, true},
      {"<key>Enabled</key><true/>", false, true, true},
      {"<key>Enabled</key><integer>2</integer>", false, true, true},
      {"<key>Enabled</key><string>yes</string>", false, false, true},
      {"<key>Enabled</key><true/>", true, true, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.entries);
    const auto view = corvassel::settings::DescribeSwitch(read(XmlDict(c.entries)), c.learning);
    EXPECT_EQ(view.active, c.active);
    EXPECT_EQ(view.sensitive, c.sensitive);
  }
}

TEST(SettingsView, TheStatusIsTheFirstProblemAndItsFix) {
  using Level = Check::Level;
  struct Case {
    const char *name;
    std::optional<std::vector<Check>> checks;
    Level level;
    const char *headline;
    const char *detail;
    bool fileNoticeShown = false;
  };
  const std::vector<Check> unreadable = {
      {Level::kProblem, "settings: not a property list", "move the file aside"},
      {Level::kOk, "/dev/uinput", ""},
      {Level::kProblem, "helper: not running", "systemctl --user start"}};
  const Case cases[] = {
      {"not back yet", std::nullopt, Level::kNote, "Looking at what the helper needs…", ""},
      {"all well",
       std::vector<Check>{{Level::kOk, "settings: back is button 6", ""},
                          {Level::kNote, "udev rule: not installed", ""}},
       Level::kOk, "Nothing keeps the helper from remapping.", ""},
      {"two problems",
       std::vector<Check>{{Level::kOk, "settings", ""},
                          {Level::kNote, "mice: none", ""},
                          {Level::kProblem, "/dev/uinput: missing", "sudo modprobe uinput"},
                          {Level::kProblem, "helper: not running", "systemctl --user start"}},
       Level::kProblem, "/dev/uinput: missing", "Fix: sudo modprobe uinput"},
      {"a file the helper ignores", unreadable, Level::kProblem, "settings: not a property list",
       "Fix: move the file aside"},
      // The notice above says that one; the status goes on to the next.
      {"the same, said above", unreadable, Level::kProblem, "helper: not running",
       "Fix: systemctl --user start", true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const auto status = corvassel::settings::DescribeStatus(c.checks, c.fileNoticeShown);
    EXPECT_EQ(status.level, c.level);
    EXPECT_EQ(status.headline, c.headline);
    EXPECT_EQ(status.detail, c.detail);
  }
}

TEST_F(SettingsViewTest, ScriptRowsSayWhetherTheHelperCanRunEach) {
  const std::string folder = corvassel::tools::UserScriptsDirectory(home());
  struct Case {
    const char *name;
    mode_t mode;  // 0: absent; S_IFDIR: a folder
    const char *subtitle;
  };
  const Case cases[] = {
      {"absent", 0, "Absent"},
      {"a script", 0755, "Present and executable"},
      {"a plain file", 0644, "Not executable: the helper fails to run it"},
      {"a folder", S_IFDIR, "A folder, not a script: the helper fails to run it"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(folder);
    const std::string path = folder + "/back-extra-script";
    if (c.mode == S_IFDIR) std::filesystem::create_directories(path);
    if (c.mode != 0 && c.mode != S_IFDIR) {
      WriteBytes(path, "#!/bin/sh\necho complete\n");
      chmod(path.c_str(), c.mode);
    }
    const auto rows = corvassel::settings::DescribeScripts(corvassel::tools::ScriptPlaces(home()));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].title, "back-extra-script");
    EXPECT_EQ(rows[0].subtitle, c.subtitle);
    EXPECT_EQ(rows[1].title, "forward-extra-script");
    EXPECT_EQ(rows[1].subtitle, "Absent");
  }
  EXPECT_EQ(corvassel::settings::ScriptsDescription(home()).rfind(
                "In ~/Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts. ", 0),
            0u);
}

// Learning a button, in the tool and the window alike.
TEST(SettingsView, APressIsTakenUnlessItIsTheLeftButton) {
  struct Case {
    const char *key;
    int64_t number;
    bool onOutput;
    corvassel::tools::Effective effective;
    bool take;
    const char *note;  // a part of it; "" for none
  };
  const corvassel::tools::Effective mapped{true, 6, 5, 2}, off{false, 6, 5, 2};
  const Case cases[] = {
      {"BackButton", 0, false, mapped, false, "left button cannot be mapped"},
      {"BackButton", 6, false, mapped, true, ""},
      {"BackButton", 3, false, mapped, true, ""},
      // Through an output, 3 and 4 may be the clicks the helper makes.
      {"BackButton", 3, true, mapped, true, "the click the helper makes for BackButton"},
      {"BackButton", 4, true, mapped, true, "the click the helper makes for ForwardButton"},
      {"BackButton", 3, true, off, true, ""},
      {"BackButton", 5, true, mapped, true, ""},
      // Beyond what a mouse sends (no real press is): the range is named, the wait goes on.
      {"PassthroughButton", 16, false, mapped, false, "-1 for off"},
      {"ForwardButton", 16, false, mapped, false, "0 or -1 for none"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.number) + (c.onOutput ? " (on an output)" : ""));
    const auto verdict =
        corvassel::tools::JudgePress(c.key, c.number, c.onOutput, c.effective);
    EXPECT_EQ(verdict.take, c.take);
    if (*c.note)
      EXPECT_NE(verdict.note.find(c.note), std::string::npos) << verdict.note;
    else
      EXPECT_EQ(verdict.note, "");
  }
}

// The window stops waiting for a press (Escape, a closed window) by making a descriptor readable;
// the wait must end then, whatever mice there are.
TEST(SettingsView, AWaitForAPressEndsWhenToldToStop) {
  corvassel::tools::PressWatch watch([](const std::string &, bool) {});
  std::string error;
  if (!watch.start(&error)) GTEST_SKIP() << "this machine's mice cannot be read: " << error;
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  auto waited = std::async(std::launch::async, [&] { return watch.next(stop[0]); });
  EXPECT_EQ(waited.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout)
      << "it did not wait";
  ASSERT_EQ(write(stop[1], "x", 1), 1);
  ASSERT_EQ(waited.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_FALSE(waited.get().has_value());
  close(stop[0]);
  close(stop[1]);
}

}  // namespace
