// The helper under faults from outside: settings files replaced, cut short or made unreadable
// while it reads them, scripts that die, linger or flood their output, and a flood of button
// events. It must go on working with sensible settings and without growing.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "HostileSupport.h"
#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"
#include "scripts/ExtraScripts.h"

namespace {

namespace fs = std::filesystem;

struct Settings {
  bool enabled;
  int64_t back, forward, passthrough;
  bool operator==(const Settings &) const = default;
};

const Settings kDefaults{false, 0, 0, 2};
const Settings kFirst{true, 3, 4, 2};
const Settings kSecond{true, 5, 6, -1};

std::string Plist(const Settings &s) {
  char text[512];
  snprintf(text, sizeof text,
           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\">\n<dict>\n"
           "\t<key>Enabled</key>\n\t<%s/>\n"
           "\t<key>BackButton</key>\n\t<integer>%lld</integer>\n"
           "\t<key>ForwardButton</key>\n\t<integer>%lld</integer>\n"
           "\t<key>PassthroughButton</key>\n\t<integer>%lld</integer>\n"
           "</dict>\n</plist>\n",
           s.enabled ? "true" : "false", static_cast<long long>(s.back),
           static_cast<long long>(s.forward), static_cast<long long>(s.passthrough));
  return text;
}

void WriteFile(const fs::path &path, const std::string &contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

Settings Read(const CorvasselHelper &helper) {
  return {helper.enabled(), helper.backButton(), helper.forwardButton(),
          helper.passthroughButton()};
}

std::string Describe(const Settings &s) {
  return std::to_string(s.enabled) + "/" + std::to_string(s.back) + "/" +
         std::to_string(s.forward) + "/" + std::to_string(s.passthrough);
}

class PreferencesFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(home.preferencesFile(), Plist(kFirst));
    CFPropertyListRef probe =
        CFPreferencesCopyValue(CFSTR("BackButton"), kCorvasselPreferencesDomain,
                               kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
    ASSERT_NE(probe, nullptr) << "the preferences reader reads the file";
    CFRelease(probe);
  }

  TestBackend backend;
  ScratchHome home{backend};
};

// Another process saves the settings the way editors do (write a new file, rename it over the
// old one) again and again while the helper reloads: every value it loads is one that was saved.
TEST_F(PreferencesFaults, AtomicReplaceWhileReadingGivesWholeVersions) {
  CorvasselHelper helper;
  const long baseline = platform::liveObjectCount();
  std::atomic<bool> stop{false};
  std::atomic<int> replacements{0};
  std::thread writer([&] {
    const fs::path file = home.preferencesFile();
    const fs::path next = file.string() + ".new";
    const std::string versions[2] = {Plist(kFirst), Plist(kSecond)};
    for (int i = 0; !stop.load(); i++) {
      WriteFile(next, versions[i % 2]);
      fs::rename(next, file);
      replacements++;
    }
  });
  int first = 0, second = 0;
  for (int i = 0; i < 3000 || replacements.load() < 100; i++) {
    helper.loadPreferences();
    Settings seen = Read(helper);
    // Each key is read on its own, so a load that overlaps a save may take some keys from each
    // version (the notification that follows the save brings the rest); but never a default
    // or anything that was not written.
    EXPECT_TRUE(seen.enabled);
    EXPECT_TRUE(seen.back == kFirst.back || seen.back == kSecond.back) << Describe(seen);
    EXPECT_TRUE(seen.forward == kFirst.forward || seen.forward == kSecond.forward);
    EXPECT_TRUE(seen.passthrough == kFirst.passthrough || seen.passthrough == kSecond.passthrough);
    first += seen == kFirst;
    second += seen == kSecond;
    if (HasFailure() || i > 200000) break;
  }
  stop = true;
  writer.join();
  EXPECT_GT(first, 0);
  EXPECT_GT(second, 0);
  // Once the saving stops, one load gives the saved version whole.
  helper.loadPreferences();
  EXPECT_TRUE(Read(helper) == kFirst || Read(helper) == kSecond) << Describe(Read(helper));
  EXPECT_EQ(platform::liveObjectCount(), baseline);
}

// A settings file cut short (a crashed writer, a full disk): the helper keeps either the
// defaults or what it had, never a mixture, and never stops.
TEST_F(PreferencesFaults, TruncatedFileGivesDefaultsOrLastValues) {
  const std::string whole = Plist(kFirst);
  for (size_t length :
       {size_t{0}, size_t{1}, size_t{38}, whole.size() / 2, whole.size() - 9, whole.size() - 1}) {
    SCOPED_TRACE("length " + std::to_string(length));
    WriteFile(home.preferencesFile(), whole);
    CorvasselHelper helper;
    ASSERT_EQ(Read(helper), kFirst);
    fs::resize_file(home.preferencesFile(), length);
    helper.loadPreferences();
    Settings seen = Read(helper);
    EXPECT_TRUE(seen == kDefaults || seen == kFirst) << Describe(seen);
  }
}

// Something that cannot be read as a file where the settings file belongs. (The tests run as
// root, for whom a file without permissions is still readable; a directory, a dangling link or
// a FIFO stands in for an unreadable file.)
TEST_F(PreferencesFaults, UnreadableFileGivesDefaultsOrLastValues) {
  const fs::path file = home.preferencesFile();
  struct Case {
    const char *what;
    std::function<void()> make;
  } cases[] = {
      {"a directory", [&] { fs::create_directory(file); }},
      {"a dangling symbolic link", [&] { fs::create_symlink(home.root / "nowhere", file); }},
      {"a link to a directory", [&] { fs::create_symlink(home.root, file); }},
      {"a FIFO nobody writes", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0644), 0); }},
      {"a file without permissions",
       [&] {
         WriteFile(file, Plist(kSecond));
         fs::permissions(file, fs::perms::none);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(file, Plist(kFirst));
    CorvasselHelper helper;
    ASSERT_EQ(Read(helper), kFirst);
    fs::remove(file);
    c.make();

    // A reader stuck in open() on the FIFO is freed by a writer appearing; that counts as failure.
    auto load = std::async(std::launch::async, [&] { helper.loadPreferences(); });
    if (load.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "loading the settings hangs";
      int fd = open(file.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) close(fd);
      load.wait();
    }
    Settings seen = Read(helper);
    bool readable = std::string(c.what) == "a file without permissions" && geteuid() == 0;
    if (readable)
      EXPECT_EQ(seen, kSecond);
    else
      EXPECT_TRUE(seen == kDefaults || seen == kFirst) << Describe(seen);
    fs::remove_all(file);
  }
}

class ScriptFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    home.installScript("forward-extra-script", "echo ready");
    ASSERT_EQ(RunExtraScript("forward-extra-script"), std::optional<std::string>("ready"));
    fs::remove(home.scriptsDirectory() / "forward-extra-script");
    backend.programs.spawned.clear();
  }

  // A press of button `button` through the filter: whether it was swallowed and how many
  // events were posted.
  std::pair<bool, size_t> Press(CorvasselHelper &helper, int64_t button) {
    CGEventRef event = MakeButtonEvent(kCGEventOtherMouseDown, button);
    CGEventRef result = MouseEventCallback(nullptr, kCGEventOtherMouseDown, event, &helper);
    size_t posts = backend.testInput.posted.size();
    backend.testInput.clearPosted();
    CFRelease(event);
    return {result == nullptr, posts};
  }

  TestBackend backend;
  ScratchHome home{backend};
};

// Scripts that misbehave: the helper returns what the script printed (its exit status is not
// examined) once the script has ended, and handles the next event as usual.
constexpr size_t k8MiB = size_t{8} << 20;
struct ScriptCase {
  const char *what;
  const char *body;
  std::string output;
  size_t length;
  bool text = true;
} const kScriptCases[] = {
    {"killed by a signal after printing", "printf 'partial\\n'; kill -KILL $$; echo never",
     "partial", 7},
    {"killed by a signal before printing", "kill -SEGV $$", "", 0},
    {"closes its output and runs on", "printf ' early \\n'; exec >&-; sleep 1; echo late >&2",
     "early", 5},
    // 8 MiB of text is already far beyond a pipe's buffer; decoding 64 MiB of it takes too long in
    // the sanitizer build, so the 64 MiB case below is not text.
    {"writes 8 MiB of text", "head -c 8388608 /dev/zero | tr '\\000' x", "", k8MiB},
    // Not text: nothing comes back, but only once all of it has been read and the script ended.
    {"writes 64 MiB that are not UTF-8", "head -c 67108864 /dev/zero | tr '\\000' '\\377'", "", 0,
     false},
};

class MisbehavingScripts : public ScriptFaults, public ::testing::WithParamInterface<size_t> {};

// One test per case: the 64 MiB ones take a while in the sanitizer build.
TEST_P(MisbehavingScripts, EndWithTheirOutputAndTheNextEventIsNormal) {
  {
    const ScriptCase &c = kScriptCases[GetParam()];
    SCOPED_TRACE(c.what);
    home.installScript("back-extra-script", c.body);
    std::optional<std::string> output = RunExtraScript("back-extra-script");
    if (!c.text) {
      EXPECT_FALSE(output.has_value());
    } else {
      ASSERT_TRUE(output.has_value());
      ASSERT_EQ(output->size(), c.length);
      if (c.length == k8MiB)
        EXPECT_EQ(output->find_first_not_of('x'), std::string::npos);
      else
        EXPECT_EQ(*output, c.output);
    }
    output.reset();
    EXPECT_TRUE(backend.logged.empty());

    CorvasselHelper helper;
    helper.setEnabled(true);
    helper.setBackButton(3);
    helper.setForwardButton(4);
    const long baseline = platform::liveObjectCount();
    EXPECT_EQ(Press(helper, 4), std::make_pair(true, size_t{2})) << "the next event";
    EXPECT_EQ(Press(helper, 5), std::make_pair(false, size_t{0})) << "an unmapped button";
    EXPECT_EQ(platform::liveObjectCount(), baseline);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, MisbehavingScripts,
                         ::testing::Range(size_t{0}, std::size(kScriptCases)));

long ResidentBytes() {
  FILE *statm = fopen("/proc/self/statm", "r");
  long size = 0, resident = 0;
  if (!statm) return 0;
  if (fscanf(statm, "%ld %ld", &size, &resident) != 2) resident = 0;
  fclose(statm);
  return resident * sysconf(_SC_PAGESIZE);
}

// A million button events, mostly passed and swallowed releases with a swipe now and then:
// no object outlives its event and the resident memory stays where it was after warming up.
TEST(EventFlood, MillionButtonEventsDoNotGrowMemory) {
  TestBackend backend;
  ScratchHome home{backend};
  CorvasselHelper helper;
  helper.setEnabled(true);
  helper.setBackButton(3);
  helper.setForwardButton(4);
  struct Kind {
    CGEventType type;
    int64_t button;
  } const kinds[] = {{kCGEventRightMouseDown, 1}, {kCGEventRightMouseUp, 1},
                     {kCGEventOtherMouseDown, 2}, {kCGEventOtherMouseUp, 2},
                     {kCGEventOtherMouseUp, 3},   {kCGEventOtherMouseUp, 4},
                     {kCGEventOtherMouseDown, 7}, {kCGEventOtherMouseUp, 7}};
  CGEventRef events[8];
  for (int i = 0; i < 8; i++) events[i] = MakeButtonEvent(kinds[i].type, kinds[i].button);
  CGEventRef press = MakeButtonEvent(kCGEventOtherMouseDown, 3);

  const long objects = platform::liveObjectCount();
  long warm = 0;
  size_t swallowed = 0, swipes = 0;
  for (int i = 0; i < 1000000; i++) {
    if (i % 50000 == 49999) {
      EXPECT_EQ(MouseEventCallback(nullptr, kCGEventOtherMouseDown, press, &helper), nullptr);
      swipes += backend.testInput.posted.size() / 2;
      backend.testInput.clearPosted();
    } else {
      const int k = i % 8;
      backend.testInput.pressed = (i % 1000 == 0) ? 0b100 : 0;  // now and then, passthrough held
      if (!MouseEventCallback(nullptr, kinds[k].type, events[k], &helper)) swallowed++;
    }
    if (i == 100000) warm = ResidentBytes();
    if (i % 100000 == 0) {
      ASSERT_EQ(platform::liveObjectCount(), objects) << "after " << i;
    }
  }
  long end = ResidentBytes();
  EXPECT_EQ(platform::liveObjectCount(), objects);
  EXPECT_EQ(swipes, 20u);
  EXPECT_GT(swallowed, 200000u);
  EXPECT_TRUE(backend.testInput.posted.empty());
  EXPECT_LT(end - warm, 4L << 20) << "resident memory grew from " << warm << " to " << end;
  for (CGEventRef event : events) CFRelease(event);
  CFRelease(press);
}

}  // namespace
