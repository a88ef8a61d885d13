// corvassel-prefs run as the user would run it, against a temporary home.
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "PrefsTestSupport.h"
#include "TestBackend.h"
#include "ToolRunSupport.h"
#include "helper/CorvasselHelper.h"

namespace {

class PrefsToolTest : public TempHome {
 protected:
  ToolRun run(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) {
    return RunTool(CORVASSEL_PREFS_TOOL, args, home(), env);
  }

  // The file's dictionary, re-encoded, for comparing contents whatever the form on disk.
  static std::string Canonical(const std::string &bytes) {
    plist_t root = nullptr;
    if (bytes.starts_with("bplist00"))
      plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    else {
      std::string xml = platform::NormalizePlistXml(bytes, false).text;
      plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    }
    if (!root) return "<unreadable>";
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::string text(xml, length);
    plist_to_xml_free(xml);
    plist_free(root);
    return text;
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
      {"out of range", {"set", "BackButton", "9223372036854775808"}, good, "range"},
      {"not a boolean", {"set", "Enabled", "yes"}, good, "\"yes\""},
      {"malformed file",
       {"set", "BackButton", "3"},
       "<plist><dict><key>BackButton</key>",
       "readable"},
      {"root not a dictionary", {"set", "BackButton", "3"}, XmlPlist("<array/>"), "dictionary"},
      {"an integer that cannot be kept",
       {"set", "BackButton", "3"},
       XmlDict("<key>Huge</key><integer>99999999999999999999</integer>"),
       "integer"},
      {"missing value", {"set", "BackButton"}, good, "usage"},
      {"unknown command", {"reset"}, good, "usage"},
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

// Keeps notifications off the session bus while a helper loads the same file.
class QuietBackend : public TestBackend {
 public:
  platform::NotificationTransport &notifications() override { return quiet_; }

 private:
  struct Quiet : platform::NotificationTransport {
    void start(std::function<void(const std::string &)>) override {}
    void post(const std::string &) override {}
  } quiet_;
};

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
  QuietBackend backend;
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

}  // namespace
