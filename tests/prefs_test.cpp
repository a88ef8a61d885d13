// The helper's settings read from real property-list files in a temporary home.
#include <CoreFoundation/CoreFoundation.h>
#include <platform/Backend.h>
#include <platform/PlistGuards.h>
#include <platform/PreferencesDictionary.h>
#include <sys/stat.h>

#include <climits>
#include <memory>
#include <optional>

#include "PrefsTestSupport.h"
#include "TestBackend.h"
#include "helper/CorvasselHelper.h"

std::ostream &operator<<(std::ostream &out, const CorvasselSettings &s) {
  return out << "{enabled " << s.enabled << ", back " << s.back << ", forward " << s.forward
             << ", passthrough " << s.passthrough << "}";
}

namespace {

using Settings = CorvasselSettings;

constexpr Settings kDefaults{false, 0, 0, 2};

class SettingsTest : public TempHome {
 protected:
  void SetUp() override {
    TempHome::SetUp();
    helper_ = std::make_unique<CorvasselHelper>();
  }
  void TearDown() override {
    helper_.reset();
    TempHome::TearDown();
  }

  // Loads the settings as the helper does and checks that nothing created along the way lives on.
  Settings load() {
    long before = platform::liveObjectCount();
    helper_->loadPreferences();
    EXPECT_EQ(platform::liveObjectCount(), before);
    return {helper_->enabled(), helper_->backButton(), helper_->forwardButton(),
            helper_->passthroughButton()};
  }

  // Start from a non-default state so that a reload that silently did nothing shows.
  void scramble() {
    helper_->setEnabled(true);
    helper_->setBackButton(77);
    helper_->setForwardButton(78);
    helper_->setPassthroughButton(79);
  }

  TestBackend backend_;
  std::unique_ptr<CorvasselHelper> helper_;
};

struct SettingsCase {
  const char *name;
  const char *entries;  // the dictionary's contents
  Settings expected;
};

const SettingsCase kSettingsCases[] = {
    {"empty dictionary", "", kDefaults},
    {"all four set",
     "<key>Enabled</key><true/><key>BackButton</key><integer>3</integer>"
     "<key>ForwardButton</key><integer>4</integer>"
     "<key>PassthroughButton</key><integer>5</integer>",
     {true, 3, 4, 5}},
    {"explicitly off", "<key>Enabled</key><false/>", kDefaults},
    {"passthrough 0 means the middle button", "<key>PassthroughButton</key><integer>0</integer>",
     kDefaults},
    {"passthrough -1 turns it off",
     "<key>PassthroughButton</key><integer>-1</integer>",
     {false, 0, 0, -1}},
    {"back 0 and a negative forward",
     "<key>BackButton</key><integer>0</integer>"
     "<key>ForwardButton</key><integer>-7</integer>",
     {false, 0, -7, 2}},
    {"64-bit extremes",
     "<key>BackButton</key><integer>9223372036854775807</integer>"
     "<key>ForwardButton</key><integer>-9223372036854775808</integer>",
     {false, INT64_MAX, INT64_MIN, 2}},
    {"Enabled stored as a non-zero number",
     "<key>Enabled</key><integer>1</integer>",
     {true, 0, 0, 2}},
    {"Enabled stored as zero", "<key>Enabled</key><integer>0</integer>", kDefaults},
    {"Enabled stored as a real", "<key>Enabled</key><real>0.5</real>", {true, 0, 0, 2}},
    {"a real button truncates", "<key>BackButton</key><real>3.9</real>", {false, 3, 0, 2}},
    {"strings where numbers belong",
     "<key>Enabled</key><string>true</string><key>BackButton</key><string>3</string>"
     "<key>PassthroughButton</key><string>5</string>",
     kDefaults},
    {"containers, data and dates where numbers belong",
     "<key>Enabled</key><dict><key>a</key><true/></dict>"
     "<key>BackButton</key><array><integer>3</integer></array>"
     "<key>ForwardButton</key><data>AAE=</data>"
     "<key>PassthroughButton</key><date>2020-01-02T03:04:05Z</date>",
     kDefaults},
    {"keys of nested dictionaries are not settings",
     "<key>X</key><dict><key>BackButton</key><integer>5</integer></dict>"
     "<key>Y</key><array><string>Enabled</string><true/></array>",
     kDefaults},
    {"unknown keys are ignored",
     "<key>Other</key><integer>9</integer><key>ForwardButton</key><integer>4</integer>",
     {false, 0, 4, 2}},
};

TEST_F(SettingsTest, MissingFileGivesTheDefaults) {
  scramble();
  EXPECT_EQ(load(), kDefaults);
}

TEST_F(SettingsTest, XmlAndBinaryFilesLoadAlike) {
  for (const SettingsCase &c : kSettingsCases) {
    std::string xml = XmlDict(c.entries);
    for (bool binary : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (binary ? " (binary)" : " (XML)"));
      writePrefs(binary ? BinaryFromXml(xml) : xml);
      scramble();
      EXPECT_EQ(load(), c.expected);
    }
  }
}

TEST_F(SettingsTest, EachLoadReadsTheFileAfresh) {
  writePrefs(XmlDict("<key>ForwardButton</key><integer>4</integer>"));
  EXPECT_EQ(load().forward, 4);
  writePrefs(XmlDict("<key>ForwardButton</key><integer>3</integer>"));
  EXPECT_EQ(load().forward, 3);
  std::filesystem::remove(prefsPath());
  EXPECT_EQ(load(), kDefaults);
}

// How the text of an <integer> element reads: decimal or 0x hex, never octal.
TEST_F(SettingsTest, IntegerTextIsDecimalOrHex) {
  struct Case {
    const char *text;
    std::optional<int64_t> back;  // nothing: unreadable, so the default applies
  };
  const Case cases[] = {
      {"010", 10},
      {"08", 8},
      {"0x1F", 31},
      {"0X10", 16},
      {"-0x10", -16},
      {"-5", -5},
      {"+4", 4},
      {" \n7\t ", 7},
      {"-010", -10},
      {"000", 0},
      {"0x", {}},
      {"abc", {}},
      {"1 2", {}},
      {"", {}},
      {"-", {}},
      {"0x1g", {}},
      {"9223372036854775808", {}},
      {"-9223372036854775809", {}},
      {"0x8000000000000000", {}},
      {"99999999999999999999999", {}},
      {"0x7fffffffffffffff", INT64_MAX},
      {"-0x8000000000000000", INT64_MIN},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string("<integer>") + c.text + "</integer>");
    writePrefs(XmlDict(std::string("<key>BackButton</key><integer>") + c.text +
                       "</integer><key>ForwardButton</key><integer>011</integer>"));
    scramble();
    Settings loaded = load();
    EXPECT_EQ(loaded.back, c.back.value_or(0));
    EXPECT_EQ(loaded.forward, 11) << "a neighbouring value must not suffer";
    EXPECT_EQ(platform::ParsePlistInteger(c.text), c.back);
  }
}

TEST_F(SettingsTest, EmptyIntegerElementIsNoNumber) {
  writePrefs(
      XmlDict("<key>BackButton</key><integer/><key>ForwardButton</key><integer>4</integer>"));
  EXPECT_EQ(load(), (Settings{false, 0, 4, 2}));
}

// Integer-looking text inside comments and CDATA is text, not a value to rewrite.
TEST_F(SettingsTest, CommentsAndCdataAreLeftAlone) {
  std::string xml = XmlDict(
      "<!-- <integer>010</integer> --><key>Note</key>"
      "<string><![CDATA[<integer>010</integer>]]></string>"
      "<key>BackButton</key><integer>010</integer>");
  platform::NormalizedXml normalized = platform::NormalizePlistXml(xml, false);
  EXPECT_NE(normalized.text.find("<!-- <integer>010</integer> -->"), std::string::npos);
  EXPECT_NE(normalized.text.find("<![CDATA[<integer>010</integer>]]>"), std::string::npos);
  writePrefs(xml);
  EXPECT_EQ(load().back, 10);
}

TEST_F(SettingsTest, BrokenFilesGiveTheDefaults) {
  for (const BrokenCase &c : BrokenFiles()) {
    SCOPED_TRACE(c.name);
    writePrefs(c.bytes);
    scramble();
    EXPECT_EQ(load(), kDefaults);
  }
}

TEST_F(SettingsTest, ModerateNestingIsStillRead) {
  writePrefs(XmlDict("<key>BackButton</key><integer>3</integer><key>X</key>" + Nested(300, "")));
  EXPECT_EQ(load().back, 3);
  writePrefs(DeepBinary(300));
  EXPECT_EQ(load().back, 3);
}

TEST_F(SettingsTest, PathsThatAreNotFilesGiveTheDefaults) {
  std::filesystem::create_directories(prefsPath());  // a directory where the file belongs
  scramble();
  EXPECT_EQ(load(), kDefaults);
  std::filesystem::remove(prefsPath());
  ASSERT_EQ(mkfifo(prefsPath().c_str(), 0600), 0);  // must not block waiting for a writer
  scramble();
  EXPECT_EQ(load(), kDefaults);
}

// Dictionaries of every size, up to many thousands of keys, in both forms.
TEST_F(SettingsTest, AKeyAmongManyIsFound) {
  for (int others : {0, 6, 7, 14, 20000}) {
    std::string entries;
    for (int i = 0; i < others; ++i)
      entries +=
          "<key>k" + std::to_string(i) + "</key><integer>" + std::to_string(i) + "</integer>";
    entries += "<key>PassthroughButton</key><integer>-1</integer>";
    for (bool binary : {false, true}) {
      SCOPED_TRACE(std::to_string(others) + (binary ? " others (binary)" : " others (XML)"));
      writePrefs(binary ? BinaryFromXml(XmlDict(entries)) : XmlDict(entries));
      EXPECT_EQ(load().passthrough, -1);
    }
  }
}

TEST_F(SettingsTest, BinaryDictionaryWithANonStringKeyIsUnreadable) {
  BinaryBuilder b;
  uint32_t key = b.ascii("BackButton"), odd = b.integer(1), three = b.integer(3);
  writePrefs(b.build(b.dict({key, odd}, {three, three})));
  EXPECT_EQ(load(), kDefaults);
}

// A key is all of its bytes: "Enabled" followed by a NUL and more is another key. Keys stored
// as UTF-16 are found like any other.
TEST_F(SettingsTest, KeysAreComparedWhole) {
  BinaryBuilder lookalikes;
  uint32_t enabled = lookalikes.ascii(std::string("Enabled\0x", 9));
  uint32_t back = lookalikes.ascii(std::string("BackButton\0", 11));
  uint32_t yes = lookalikes.add("\x09"), three = lookalikes.integer(3);
  writePrefs(lookalikes.build(lookalikes.dict({enabled, back}, {yes, three})));
  scramble();
  EXPECT_EQ(load(), kDefaults);

  BinaryBuilder wide;
  const std::string utf16 = std::string("\0B\0a\0c\0k\0B\0u\0t\0t\0o\0n", 20);
  uint32_t key = wide.add("\x6A" + utf16), four = wide.integer(4);
  writePrefs(wide.build(wide.dict({key}, {four})));
  EXPECT_EQ(load().back, 4);
}

// What CFPreferencesCopyValue hands back for each kind of stored value.
class CopyValueTest : public TempHome {
 protected:
  CFPropertyListRef copy(CFStringRef key, CFStringRef user = kCFPreferencesCurrentUser,
                         CFStringRef host = kCFPreferencesAnyHost,
                         CFStringRef domain = CFSTR("Quendrith.tavrel.prefpane")) {
    return CFPreferencesCopyValue(key, domain, user, host);
  }
};

TEST_F(CopyValueTest, KindsAndScopes) {
  long before = platform::liveObjectCount();
  writePrefs(
      XmlDict("<key>B</key><true/><key>I</key><integer>-12</integer><key>R</key><real>2.5</real>"
              "<key>S</key><string>caf\xc3\xa9</string><key>A</key><array/>"));

  EXPECT_EQ(copy(CFSTR("B")), kCFBooleanTrue);

  CFPropertyListRef integer = copy(CFSTR("I"));
  ASSERT_NE(integer, nullptr);
  ASSERT_EQ(CFGetTypeID(integer), CFNumberGetTypeID());
  EXPECT_FALSE(CFNumberIsFloatType(static_cast<CFNumberRef>(integer)));
  int64_t i = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(integer), kCFNumberSInt64Type, &i);
  EXPECT_EQ(i, -12);
  CFRelease(integer);

  CFPropertyListRef real = copy(CFSTR("R"));
  ASSERT_NE(real, nullptr);
  EXPECT_TRUE(CFNumberIsFloatType(static_cast<CFNumberRef>(real)));
  double r = 0;
  CFNumberGetValue(static_cast<CFNumberRef>(real), kCFNumberDoubleType, &r);
  EXPECT_EQ(r, 2.5);
  CFRelease(real);

  CFPropertyListRef string = copy(CFSTR("S"));
  ASSERT_NE(string, nullptr);
  EXPECT_TRUE(CFEqual(string, CFSTR("caf\xc3\xa9")));
  CFRelease(string);

  EXPECT_EQ(copy(CFSTR("A")), nullptr);
  EXPECT_EQ(copy(CFSTR("missing")), nullptr);
  // Only the current user's host-independent domain is kept in the home directory.
  EXPECT_EQ(copy(CFSTR("B"), kCFPreferencesAnyUser), nullptr);
  EXPECT_EQ(copy(CFSTR("B"), kCFPreferencesCurrentUser, kCFPreferencesCurrentHost), nullptr);
  EXPECT_EQ(platform::liveObjectCount(), before);
}

TEST_F(CopyValueTest, DomainNamesNoOtherFile) {
  WriteBytes(home() + "/Library/secret.plist", XmlDict("<key>B</key><true/>"));
  EXPECT_EQ(copy(CFSTR("B"), kCFPreferencesCurrentUser, kCFPreferencesAnyHost, CFSTR("../secret")),
            nullptr);
  WriteBytes(home() + "/Library/Preferences/other.domain.plist", XmlDict("<key>B</key><true/>"));
  EXPECT_EQ(
      copy(CFSTR("B"), kCFPreferencesCurrentUser, kCFPreferencesAnyHost, CFSTR("other.domain")),
      kCFBooleanTrue);
}

// A reader of one setting keeps no entry per key, yet must read exactly what the tools read and
// refuse exactly the files they refuse.
TEST(OneSetting, ReadsAsTheWholeDictionaryDoes) {
  std::vector<BrokenCase> files = BrokenFiles();
  for (const char *entries : {"<key>B</key><integer>3</integer><key>B</key><integer>4</integer>",
                              "<key>A&amp;B</key><string>x&lt;y</string><key>B</key><true/>",
                              "<key>B</key><integer>99999999999999999999</integer>"})
    files.push_back({entries, XmlDict(entries)});
  for (const BrokenCase &file : files) {
    SCOPED_TRACE(file.name);
    std::optional<platform::PreferencesDictionary> whole =
        platform::ReadPreferencesDictionary(file.bytes);
    for (const char *key : {"B", "A&B", "BackButton"}) {
      CFPropertyListRef expected = whole ? platform::CopyPreferencesValue(*whole, key) : nullptr;
      CFPropertyListRef got = platform::CopyPreferencesValue(std::string_view(file.bytes), key);
      EXPECT_EQ(got == nullptr, expected == nullptr) << key;
      if (got && expected) {
        EXPECT_TRUE(CFEqual(got, expected)) << key;
      }
      if (got) CFRelease(got);
      if (expected) CFRelease(expected);
    }
  }
}

}  // namespace
