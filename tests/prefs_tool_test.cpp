// corvassel-prefs run as the user would run it, against a temporary home.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include "PrefsTestSupport.h"
#include "TestBackend.h"
#include "ToolRunSupport.h"
#include "helper/CorvasselHelper.h"
#include "PreferencesFile.h"
#include <platform/PreferencesDictionary.h>

namespace {

class PrefsToolTest : public TempHome {
 protected:
  ToolRun run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    return RunTool(CORVASSEL_PREFS_TOOL, args, home(), env);
  }

  // The rows of the settings view: key -> {stored, effective}.
  static std::map<std::string, std::pair<std::string, std::string>> Rows(const std::string &out) {
    std::map<std::string, std::pair<std::string, std::string>> rows;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream words(line);
      std::vector<std::string> fields;
      for (std::string word; words >> word;) fields.push_back(word);
      if (fields.size() >= 3 && fields[0] != "Key" && fields[0] != "Settings")
        rows[fields[0]] = {line.substr(19, line.rfind(' ') - 19), fields.back()};
    }
    for (auto &[key, row] : rows) row.first.erase(row.first.find_last_not_of(' ') + 1);
    return rows;
  }
};

// Every other key survives a change, whatever its kind, from either form of file.
TEST_F(PrefsToolTest, ChangesKeepEveryOtherKey) {
  const std::string others =
      "<key>Enabled</key><true/><key>Name</key><string>a &amp; b</string>"
      "<key>List</key><array><integer>1</integer><string>two</string></array>"
      "<key>Nested</key><dict><key>x</key><real>2.5</real></dict>"
      "<key>Blob</key><data>AAEC</data><key>When</key><date>2020-01-02T03:04:05Z</date>"
      "<key>Other</key><integer>-9</integer><key>Padded</key><integer>010</integer>";
  struct Step {
    std::vector<std::string> args;
    std::string expectedEntries;
  };
  const Step steps[] = {
      {{"set", "BackButton", "7"}, others + "<key>BackButton</key><integer>7</integer>"},
      {{"set", "Enabled", "false"},
       "<key>Enabled</key><false/>" +
           others.substr(std::string("<key>Enabled</key><true/>").size())},
      {{"unset", "Enabled"}, others.substr(std::string("<key>Enabled</key><true/>").size())},
      {{"unset", "ForwardButton"}, others},
  };
  for (bool binary : {false, true}) {
    for (const Step &step : steps) {
      SCOPED_TRACE(step.args[0] + " " + step.args[1] + (binary ? " (binary file)" : " (XML file)"));
      std::string original = XmlDict(others);
      writePrefs(binary ? BinaryFromXml(original) : original);
      ToolRun r = run(step.args);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(Canonical(ReadBytes(prefsPath())), Canonical(XmlDict(step.expectedEntries)));
    }
  }
}

TEST_F(PrefsToolTest, WritesCreateTheFileAndItsDirectories) {
  ToolRun r = run({"set", "PassthroughButton", "-1"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Canonical(ReadBytes(prefsPath())),
            Canonical(XmlDict("<key>PassthroughButton</key><integer>-1</integer>")));
  struct stat info;
  ASSERT_EQ(stat(prefsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 077, 0u) << "preferences are the user's own";
  // Nothing but the file itself is left behind.
  size_t entries = 0;
  for (auto &entry : std::filesystem::directory_iterator(home() + "/Library/Preferences")) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1u);
}

TEST_F(PrefsToolTest, InvalidRequestsLeaveTheFileAlone) {
  struct Case {
    const char *name;
    std::vector<std::string> args;
    std::string file;           // contents before the run
    const char *messageNaming;  // what the one-line message must mention
  };
  const std::string good =
      XmlDict("<key>BackButton</key><integer>010</integer><key>Name</key><string>kept</string>");
  const Case cases[] = {
      {"unknown key", {"set", "SideButton", "3"}, good, "SideButton"},
      {"unknown key to unset", {"unset", "backbutton"}, good, "backbutton"},
      {"not a number", {"set", "BackButton", "x"}, good, "\"x\""},
      {"trailing junk", {"set", "ForwardButton", "3x"}, good, "\"3x\""},
      {"a real number", {"set", "ForwardButton", "1.5"}, good, "\"1.5\""},
      {"empty value", {"set", "BackButton", ""}, good, "BackButton"},
      {"beyond 64 bits", {"set", "BackButton", "9223372036854775808"}, good, "from 1 to 15"},
      {"past the last button", {"set", "BackButton", "16"}, good, "from 1 to 15, or 0 or -1"},
      {"beyond 32 bits", {"set", "ForwardButton", "2147483648"}, good, "from 1 to 15"},
      {"below none", {"set", "BackButton", "-2"}, good, "from 1 to 15, or 0 or -1 for none"},
      {"passthrough past the last button",
       {"set", "PassthroughButton", "16"},
       good,
       "0 for the middle button (2) or -1 for off"},
      {"not a boolean", {"set", "Enabled", "maybe"}, good, "\"maybe\""},
      {"malformed file",
       {"set", "BackButton", "3"},
       "<plist><dict><key>BackButton</key>",
       "readable"},
      {"root not a dictionary", {"set", "BackButton", "3"}, XmlPlist("<array/>"), "dictionary"},
      {"an integer that cannot be kept",
       {"set", "BackButton", "3"},
       XmlDict("<key>Huge</key><integer>99999999999999999999</integer>"),
       "integer that is not a signed 64-bit number, under \"Huge\""},
      // The helper ignores these and uses the defaults; a rewrite must not make it read them.
      {"a last key without a value",
       {"set", "ForwardButton", "4"},
       XmlDict("<key>Enabled</key><true/><key>BackButton</key><integer>3</integer>"
               "<key>ForwardButton</key>"),
       "\"ForwardButton\" has no value"},
      {"a key followed by a key",
       {"set", "BackButton", "4"},
       XmlDict("<key>Enabled</key><key>BackButton</key><integer>3</integer>"),
       "\"Enabled\" has no value"},
      {"missing value", {"set", "BackButton"}, good, "usage"},
      {"unknown command", {"reset"}, good, "unknown command \"reset\""},
      {"unknown option", {"--force"}, good, "unknown option \"--force\""},
      {"a word too many", {"doctor", "now"}, good, "unexpected \"now\" after doctor"},
      {"showing a file the helper ignores",
       {},
       XmlDict("<key>Enabled</key><true/><key>BackButton</key>"),
       "\"BackButton\" has no value"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    writePrefs(c.file);
    struct stat before;
    ASSERT_EQ(stat(prefsPath().c_str(), &before), 0);
    ToolRun r = run(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(ReadBytes(prefsPath()), c.file);
    struct stat after;
    ASSERT_EQ(stat(prefsPath().c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced";
    EXPECT_NE(r.err.find(c.messageNaming), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// The view's effective values are what the helper itself loads from the same file.
TEST_F(PrefsToolTest, ViewShowsStoredAndEffectiveValuesAsTheHelperLoadsThem) {
  struct Case {
    const char *entries;
    std::map<std::string, std::string> stored;  // only the keys that are set
  };
  const Case cases[] = {
      {"", {}},
      {"<key>PassthroughButton</key><integer>0</integer>", {{"PassthroughButton", "0"}}},
      {"<key>PassthroughButton</key><integer>-1</integer><key>BackButton</key><integer>0x10</"
       "integer>",
       {{"PassthroughButton", "-1"}, {"BackButton", "16"}}},
      {"<key>Enabled</key><integer>5</integer><key>ForwardButton</key><real>4.75</real>",
       {{"Enabled", "5"}, {"ForwardButton", "4.75"}}},
      {"<key>Enabled</key><string>true</string><key>BackButton</key><array/>"
       "<key>ForwardButton</key><true/><key>PassthroughButton</key><string>4</string>",
       {{"Enabled", "\"true\""},
        {"BackButton", "<array of 0>"},
        {"ForwardButton", "true"},
        {"PassthroughButton", "\"4\""}}},
  };
  TestBackend backend;
  CorvasselHelper helper;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.entries);
    writePrefs(XmlDict(c.entries));
    ToolRun r = run({});
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = Rows(r.out);
    helper.loadPreferences();
    const std::pair<const char *, std::string> effective[] = {
        {"Enabled", helper.enabled() ? "true" : "false"},
        {"BackButton", std::to_string(helper.backButton())},
        {"ForwardButton", std::to_string(helper.forwardButton())},
        {"PassthroughButton", std::to_string(helper.passthroughButton())},
    };
    for (const auto &[key, value] : effective) {
      auto stored = c.stored.find(key);
      EXPECT_EQ(rows[key].first, stored == c.stored.end() ? "(not set)" : stored->second) << key;
      EXPECT_EQ(rows[key].second, value) << key;
    }
  }
}

TEST_F(PrefsToolTest, ScriptsShowWhereTheyAreLookedFor) {
  const std::string scripts =
      home() + "/Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts/";
  WriteBytes(scripts + "back-extra-script", "#!/bin/sh\necho complete\n");
  chmod((scripts + "back-extra-script").c_str(), 0755);
  ToolRun r = run({"scripts"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(scripts + "back-extra-script  [exists, used]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(scripts + "forward-extra-script  [absent]"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("/Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts/"
                       "forward-extra-script"),
            std::string::npos);
}

// Whatever file the helper ignores, a change leaves alone: it must not become one the helper
// reads, with values nobody chose.
TEST_F(PrefsToolTest, FilesTheHelperIgnoresAreNeverRewritten) {
  for (const BrokenCase &c : BrokenFiles()) {
    SCOPED_TRACE(c.name);
    writePrefs(c.bytes);
    ToolRun r = run({"set", "Enabled", "true"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("the helper ignores it"), std::string::npos) << r.err;
    EXPECT_TRUE(ReadBytes(prefsPath()) == c.bytes);
  }
}

// Nor does a change turn a file the helper reads into one it ignores. A binary file may share
// objects so that it expands to far more than its size; the reader bounds that by the file's
// size, so dropping a large value the new file no longer holds can take it past the bound. The
// tool then refuses the change and leaves the file alone.
TEST_F(PrefsToolTest, AChangeNeverLeavesAFileTheHelperIgnores) {
  BinaryBuilder b;
  uint32_t enabled = b.ascii("Enabled"), back = b.ascii("BackButton"), shared = b.ascii("X");
  uint32_t yes = b.add("\x09");
  uint32_t blob = b.add("\x4F\x12" + BinaryBuilder::BigEndian(16384, 4) + std::string(16384, 'x'));
  uint32_t level = b.array({});
  for (int i = 0; i < 14; ++i) level = b.array({level, level});  // 32767 objects expanded
  const std::string original = b.build(b.dict({enabled, back, shared}, {yes, blob, level}));
  writePrefs(original);
  TestBackend backend;
  CorvasselHelper helper;
  helper.loadPreferences();
  ASSERT_TRUE(helper.enabled()) << "the helper reads the file to begin with";

  ToolRun r = run({"unset", "BackButton"});
  helper.loadPreferences();
  EXPECT_TRUE(helper.enabled()) << "the helper now ignores the file (status " << r.status << ")";
  if (r.status != 0) {
    EXPECT_EQ(ReadBytes(prefsPath()), original) << r.err;
  }
}

// Each change replaces, adds or removes its own entry and leaves every other byte as it was.
TEST_F(PrefsToolTest, XmlChangesTouchOnlyTheirOwnEntry) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- my settings -->\n"
      "<plist version=\"1.0\">\n<dict>\n\t<key>Padded</key>\n\t<integer>010</integer>\n";
  const std::string back = "\n\t<key>BackButton</key>\n\t<integer>0x10</integer>";
  const std::string tail =
      "\n\t<key>Name</key>\n\t<string>a &amp; b</string><!-- last -->\n</dict>\n</plist>\n";
  const std::string original = head + back.substr(1) + tail;
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{"set", "BackButton", "7"}, head + "\t<key>BackButton</key>\n\t<integer>7</integer>" + tail},
      {{"unset", "BackButton"}, head.substr(0, head.size() - 1) + tail},
      {{"set", "Enabled", "false"},
       head + back.substr(1) +
           "\n\t<key>Name</key>\n\t<string>a &amp; b</string>\n\t<key>Enabled</key>\n\t<false/>"
           "<!-- last -->\n</dict>\n</plist>\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    writePrefs(original);
    ToolRun r = run(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadBytes(prefsPath()), c.expected);
  }
  writePrefs(XmlPlist("<dict/>"));
  EXPECT_EQ(run({"set", "BackButton", "3"}).status, 0);
  EXPECT_EQ(Canonical(ReadBytes(prefsPath())),
            Canonical(XmlDict("<key>BackButton</key><integer>3</integer>")));
}

// A binary file stays binary, and what the tool does not change keeps every byte: an unsigned
// 64-bit integer, strings and keys that hold a NUL.
TEST_F(PrefsToolTest, ABinaryFileKeepsItsFormAndEveryOtherValue) {
  BinaryBuilder b;
  const std::string wide = std::string("\x14", 1) + std::string(8, '\0') + std::string(8, '\xff');
  const std::string nulString = std::string("\x53x\0y", 4);
  uint32_t big = b.ascii("Big"), nulKey = b.ascii(std::string("a\0b", 3));
  uint32_t lookalike = b.ascii(std::string("Enabled\0x", 9)), name = b.ascii("Name");
  uint32_t wideValue = b.add(wide), nulValue = b.add(nulString), yes = b.add("\x09");
  uint32_t list = b.array({wideValue, nulValue});
  const std::string original =
      b.build(b.dict({big, nulKey, lookalike, name}, {wideValue, nulValue, yes, list}));
  auto entries = [](const std::string &bytes) {
    std::vector<std::pair<std::string, std::string>> seen;
    auto dictionary = platform::ReadPreferencesDictionary(bytes);
    EXPECT_TRUE(dictionary.has_value());
    if (!dictionary) return seen;
    for (const platform::PlistEntry &entry : dictionary->entries)
      seen.emplace_back(entry.key, std::to_string(static_cast<int>(entry.value.kind)) + ":" +
                                       std::to_string(entry.value.integer) + ":" +
                                       entry.value.string + ":" +
                                       std::to_string(entry.value.count));
    return seen;
  };
  writePrefs(original);

  ToolRun set = run({"set", "BackButton", "3"});
  ASSERT_EQ(set.status, 0) << set.err;
  std::string changed = ReadBytes(prefsPath());
  EXPECT_TRUE(changed.starts_with("bplist00"));
  EXPECT_NE(changed.find(wide), std::string::npos);
  EXPECT_NE(changed.find(nulString), std::string::npos);
  auto after = entries(changed);
  auto expected = entries(original);
  ASSERT_EQ(after.size(), expected.size() + 1);
  EXPECT_EQ(std::vector(after.begin(), after.end() - 1), expected);

  ToolRun show = run({});
  ASSERT_EQ(show.status, 0) << show.err << " (every later command must still work)";
  auto rows = Rows(show.out);
  EXPECT_EQ(rows["Enabled"], std::make_pair(std::string("(not set)"), std::string("false")));
  EXPECT_EQ(rows["BackButton"], std::make_pair(std::string("3"), std::string("3")));
  TestBackend backend;
  CorvasselHelper helper;
  helper.loadPreferences();
  EXPECT_FALSE(helper.enabled()) << "\"Enabled\\0x\" is not Enabled";
  EXPECT_EQ(helper.backButton(), 3);

  ToolRun unset = run({"unset", "BackButton"});
  ASSERT_EQ(unset.status, 0) << unset.err;
  EXPECT_EQ(entries(ReadBytes(prefsPath())), expected);
}

TEST_F(PrefsToolTest, ASettingsFileThatIsALinkIsWrittenThroughIt) {
  const std::string target = home() + "/dotfiles/corvassel.plist";
  WriteBytes(target, XmlDict("<key>Name</key><string>kept</string>"));
  std::filesystem::create_directories(home() + "/Library/Preferences");
  ASSERT_EQ(symlink("../../dotfiles/corvassel.plist", prefsPath().c_str()), 0);
  ToolRun r = run({"set", "BackButton", "3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_symlink(prefsPath()));
  EXPECT_EQ(Canonical(ReadBytes(target)),
            Canonical(XmlDict("<key>Name</key><string>kept</string>"
                              "<key>BackButton</key><integer>3</integer>")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home() + "/dotfiles"),
                          std::filesystem::directory_iterator()),
            1)
      << "no temporary file left behind";
}

// Changes made at the same moment by two tools are both kept.
TEST_F(PrefsToolTest, ChangesMadeAtOnceAreAllKept) {
  std::filesystem::create_directories(home() + "/a");
  std::filesystem::create_directories(home() + "/b");
  for (int round = 1; round <= 20; ++round) {
    writePrefs(XmlDict("<key>Name</key><string>kept</string>"));
    const int button = 1 + round % 15;  // a different button from the round before
    const std::string number = std::to_string(button);
    auto back = std::async(std::launch::async, [&] {
      return RunTool(CORVASSEL_PREFS_TOOL, {"set", "BackButton", number}, home() + "/a");
    });
    auto forward = std::async(std::launch::async, [&] {
      return RunTool(CORVASSEL_PREFS_TOOL, {"set", "ForwardButton", number}, home() + "/b");
    });
    EXPECT_EQ(back.get().status, 0);
    EXPECT_EQ(forward.get().status, 0);
    auto dictionary = platform::ReadPreferencesDictionary(ReadBytes(prefsPath()));
    ASSERT_TRUE(dictionary.has_value());
    for (const char *key : {"BackButton", "ForwardButton"}) {
      const platform::PlistEntry *entry = dictionary->find(key);
      ASSERT_NE(entry, nullptr) << key << " lost in round " << round;
      EXPECT_EQ(entry->value.integer, button) << key;
    }
    ASSERT_NE(dictionary->find("Name"), nullptr);
  }
}

// Reading takes time linear in the number of keys whatever the keys are. Built into a hash
// table with a fixed number of buckets (libplist's dictionaries), keys whose hashes collide make
// reading quadratic: these 8192 keys, each of 13 blocks "Aa" or "B@" (which the common string
// hashes cannot tell apart), would take seconds where as many ordinary keys take milliseconds.
TEST_F(PrefsToolTest, KeysThatCollideInAHashTableAreReadInLinearTime) {
  constexpr int kBlocks = 13;
  std::vector<std::string> colliding, ordinary;
  for (int i = 0; i < 1 << kBlocks; ++i) {
    std::string key;
    for (int block = 0; block < kBlocks; ++block) key += (i >> block & 1) ? "Aa" : "B@";
    colliding.push_back(key);
    std::string number = std::to_string(i);
    ordinary.push_back(std::string(2 * kBlocks - number.size(), '0') + number);
  }
  auto file = [](const std::vector<std::string> &keys, bool binary) {
    if (!binary) {
      std::string entries;
      for (const std::string &key : keys) entries += "<key>" + key + "</key><true/>";
      return XmlDict(entries + "<key>BackButton</key><integer>3</integer>");
    }
    BinaryBuilder b;
    uint32_t yes = b.add("\x09");
    std::vector<uint32_t> names, values;
    for (const std::string &key : keys) {
      names.push_back(b.ascii(key));
      values.push_back(yes);
    }
    names.push_back(b.ascii("BackButton"));
    values.push_back(b.integer(3));
    return b.build(b.dict(names, values));
  };
  TestBackend backend;
  CorvasselHelper helper;
  // The fastest of two reads by the tool and by the helper.
  auto timeToRead = [&](const std::string &bytes) {
    writePrefs(bytes);
    auto best = std::chrono::steady_clock::duration::max();
    for (int run = 0; run < 2; ++run) {
      auto start = std::chrono::steady_clock::now();
      corvassel::tools::PreferencesFile prefs(prefsPath());
      std::string error;
      EXPECT_TRUE(prefs.load(&error)) << error;
      EXPECT_EQ(prefs.displayValue("BackButton"), "3");
      helper.loadPreferences();
      EXPECT_EQ(helper.backButton(), 3);
      best = std::min(best, std::chrono::steady_clock::now() - start);
    }
    return best;
  };
  for (bool binary : {false, true}) {
    SCOPED_TRACE(binary ? "binary" : "XML");
    const auto usual = timeToRead(file(ordinary, binary));
    const auto collided = timeToRead(file(colliding, binary));
    EXPECT_LT(collided, 3 * usual + std::chrono::milliseconds(50))
        << std::chrono::duration<double>(collided).count() << " s against "
        << std::chrono::duration<double>(usual).count() << " s";
  }
}

// set Enabled true starts the user unit when it is installed and no helper runs, and otherwise
// says how to start the helper.
TEST_F(PrefsToolTest, SwitchingOnStartsTheUserUnitWhenNothingRuns) {
  const std::string bin = home() + "/bin", calls = home() + "/systemctl-calls";
  const std::string installed = "LoadState=loaded\nUnitFileState=enabled\n";
  struct Case {
    const char *name;
    std::string show;  // what "systemctl --user show" prints, or "fail"
    int startStatus;
    int status;
    bool started;
    const char *says;
    bool unitFile = false;  // a unit in the user's own unit folder
  };
  const Case cases[] = {
      {"installed and stopped", installed + "ActiveState=inactive\nSubState=dead\n", 0, 0, true,
       "Started corvassel-helper.service."},
      {"installed, stopped and not enabled",
       "LoadState=loaded\nUnitFileState=disabled\nActiveState=inactive\nSubState=dead\n", 0, 0,
       true, "start at login until: systemctl --user enable corvassel-helper.service"},
      {"installed and running", installed + "ActiveState=active\nSubState=running\n", 0, 0, false,
       ""},
      {"not installed", "LoadState=not-found\nUnitFileState=\nActiveState=inactive\n", 0, 0, false,
       "install the corvassel-helper package (it brings the user unit), then: systemctl --user "
       "enable --now corvassel-helper.service"},
      {"no user manager, nothing installed", "fail", 0, 0, false,
       "cannot be reached (Failed to connect to bus: No medium found).\nTo start it: install the "
       "corvassel-helper package"},
      {"no user manager, the unit installed", "fail", 0, 0, false,
       "To start it: log in at the desktop, where your user manager runs", true},
      {"a unit the user manager has not read", "LoadState=not-found\n", 0, 0, false,
       "To start it: systemctl --user daemon-reload", true},
      {"a start that fails", installed + "ActiveState=failed\nSubState=failed\n", 1, 1, true,
       "cannot start corvassel-helper.service: Job failed"},
  };
  if (access("/usr/lib/systemd/user/corvassel-helper.service", F_OK) == 0)
    GTEST_SKIP() << "corvassel-helper is installed on this machine";
  const std::string unitFile = home() + "/.local/share/systemd/user/corvassel-helper.service";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(calls);
    std::filesystem::remove(unitFile);
    if (c.unitFile) WriteBytes(unitFile, "[Service]\nExecStart=/bin/true\n");
    WriteBytes(bin + "/systemctl",
               "#!/bin/sh\necho \"$*\" >>'" + calls + "'\ncase \"$*\" in\n" +
                   (c.show == "fail"
                        ? "*show*) echo 'Failed to connect to bus: No medium found' >&2; exit 1;;\n"
                        : "*show*) printf '" + c.show + "';;\n") +
                   "*start*) echo 'Job failed' >&2; exit " + std::to_string(c.startStatus) +
                   ";;\nesac\n");
    chmod((bin + "/systemctl").c_str(), 0755);
    ToolRun r = run({"set", "Enabled", "true"},
                    {"PATH=" + bin + ":/usr/bin:/bin", "XDG_DATA_HOME=", "XDG_CONFIG_HOME="});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.out.find("install the corvassel-helper package") == std::string::npos,
              std::string(c.says).find("install") == std::string::npos)
        << r.out;
    EXPECT_EQ(ReadBytes(calls).find("--user start corvassel-helper.service") != std::string::npos,
              c.started)
        << ReadBytes(calls);
    EXPECT_EQ(Canonical(ReadBytes(prefsPath())), Canonical(XmlDict("<key>Enabled</key><true/>")))
        << "stored whatever happens to the helper";
  }
  std::filesystem::remove(calls);
  ToolRun off = run({"set", "Enabled", "false"}, {"PATH=" + bin + ":/usr/bin:/bin"});
  EXPECT_EQ(off.status, 0);
  EXPECT_FALSE(std::filesystem::exists(calls)) << "switching off starts nothing";
}

// Every number a mouse sends is taken, and set says what it stored and whether a running helper
// was told; X11's numbers for the side buttons draw a note. Enabled takes the usual words.
TEST_F(PrefsToolTest, SetTakesWhatAMouseSendsAndSaysWhatItDid) {
  struct Case {
    const char *key, *value, *stored, *says;
    bool note;  // on X11's numbering
  };
  const Case cases[] = {
      {"BackButton", "15", "<integer>15</integer>", "BackButton is now 15.", false},
      {"BackButton", "-1", "<integer>-1</integer>", "BackButton is now -1.", false},
      {"ForwardButton", "9", "<integer>9</integer>", "ForwardButton is now 9.", true},
      {"PassthroughButton", "8", "<integer>8</integer>", "PassthroughButton is now 8.", true},
      {"Enabled", "on", "<true/>", "Enabled is now true.", false},
      {"Enabled", "OFF", "<false/>", "Enabled is now false.", false},
      {"Enabled", "Yes", "<true/>", "Enabled is now true.", false},
      {"Enabled", "0", "<false/>", "Enabled is now false.", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.value);
    std::filesystem::remove(prefsPath());
    ToolRun r = run({"set", c.key, c.value}, {"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Canonical(ReadBytes(prefsPath())),
              Canonical(XmlDict(std::string("<key>") + c.key + "</key>" + c.stored)));
    EXPECT_EQ(r.out.rfind(std::string(c.says) + "\n", 0), 0u) << r.out;
    EXPECT_EQ(r.err.find(std::string("xev") +
                         ", xinput) number the side buttons 8 and 9, which are "
                         "3 and 4 here; 'corvassel-prefs learn " +
                         c.key) != std::string::npos,
              c.note)
        << r.err;
  }
  EXPECT_EQ(run({"unset", "PassthroughButton"})
                .out.rfind("PassthroughButton is no longer set: "
                           "the helper takes 2.\nNo helper runs",
                           0),
            0u);
  // A process that passes for this user's helper: named so, with this HOME.
  const std::string fake = home() + "/bin/corvassel-helper", homeVariable = "HOME=" + home();
  std::filesystem::create_directories(home() + "/bin");
  std::filesystem::copy_file("/bin/sleep", fake);
  char *helperArgs[] = {const_cast<char *>(fake.c_str()), const_cast<char *>("30"), nullptr};
  char *helperEnv[] = {const_cast<char *>(homeVariable.c_str()), nullptr};
  pid_t helper = 0;
  ASSERT_EQ(posix_spawn(&helper, fake.c_str(), nullptr, nullptr, helperArgs, helperEnv), 0);
  const std::string process = "the running helper (process " + std::to_string(helper) + ")";
  ToolRun onABus = RunTool("/usr/bin/dbus-run-session",
                           {"--", CORVASSEL_PREFS_TOOL, "set", "BackButton", "5"}, home());
  EXPECT_NE(onABus.out.find("Told " + process + "."), std::string::npos) << onABus.out;
  ToolRun noBus = run({"set", "BackButton", "6"}, {"DBUS_SESSION_BUS_ADDRESS=unix:path=/none"});
  EXPECT_NE(noBus.out.find("Could not tell " + process), std::string::npos) << noBus.out;
  kill(helper, SIGKILL);
  waitpid(helper, nullptr, 0);
}

// doctor fails a stored number no mouse sends, and says which button goes where without the
// kernel's name reading as the action.
TEST_F(PrefsToolTest, DoctorFlagsAButtonNoMouseSends) {
  const std::string bin = home() + "/bin";
  WriteBytes(bin + "/systemctl", "#!/bin/sh\necho LoadState=not-found\n");
  chmod((bin + "/systemctl").c_str(), 0755);
  const std::pair<std::string, std::string> cases[] = {
      // the buttons, a line of the report
      {"<key>BackButton</key><integer>16</integer>",
       "FAIL  settings: BackButton is 16, a button no mouse sends (they send 0 to 15)\n"
       "      fix: corvassel-prefs learn BackButton"},
      {"<key>BackButton</key><integer>3</integer><key>ForwardButton</key><integer>2147483648"
       "</integer>",
       "FAIL  settings: ForwardButton is 2147483648, a button no mouse sends"},
      {"<key>BackButton</key><integer>4</integer><key>PassthroughButton</key><integer>99</integer>",
       "FAIL  settings: PassthroughButton is 99, a button no mouse sends"},
      {"<key>Enabled</key><false/><key>BackButton</key><integer>16</integer>",  // said at once
       "FAIL  settings: BackButton is 16, a button no mouse sends"},
      {"<key>BackButton</key><integer>5</integer><key>ForwardButton</key><integer>6</integer>",
       "ok    settings: button 5 goes back, button 6 goes forward (in the kernel's names, 5 is "
       "BTN_FORWARD, 6 is BTN_BACK)"},
      {"<key>ForwardButton</key><integer>15</integer>",
       "ok    settings: button 15 goes forward (in the kernel's names, 15 is BTN_MOUSE+15)"},
      {"<key>BackButton</key><integer>8</integer>", "note  settings: X11 tools (xev, xinput)"},
  };
  for (const auto &[buttons, line] : cases) {
    SCOPED_TRACE(buttons);
    writePrefs(XmlDict("<key>Enabled</key><true/>" + buttons));
    ToolRun r = run({"doctor"}, {"PATH=" + bin + ":/usr/bin:/bin"});
    EXPECT_EQ(r.status, 1) << "no helper runs here";
    EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("a button no mouse sends") != std::string::npos, line.starts_with("FAIL"))
        << r.out;
  }
}

TEST_F(PrefsToolTest, HelpIsThereUnderEveryUsualName) {
  for (const char *word : {"-h", "--help", "help"}) {
    SCOPED_TRACE(word);
    ToolRun r = run({word});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("usage: corvassel-prefs [COMMAND]\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("browsers and file managers take as back or forward"), std::string::npos);
  }
}

}  // namespace
