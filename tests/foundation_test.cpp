#include <corvassel/Foundation.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <thread>

#include "ScriptWorld.h"

namespace {

using namespace corvassel::ns;

// On a clock that jumps to whatever deadline a sleep asks for.
class ClockBackend : public TestBackend {
 public:
  ClockBackend() { clock = &manualTime; }
  [[noreturn]] void exitProcess(int status) override { throw status; }
};

TEST(Foundation, SleepWaitsOnThePlatformClock) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr uint64_t kForever = platform::kForever;
  const struct {
    const char *label;
    uint64_t now;
    double seconds;
    std::vector<uint64_t> waits;
  } cases[] = {{"OneSecond", 5, 1.0, {1000000005}},
               {"Fraction", 0, 0.25, {250000000}},
               {"Zero", 7, 0.0, {}},
               {"Negative", 7, -1.0, {}},
               {"NaN", 7, std::nan(""), {}},
               {"Infinite", 7, kInf, {kForever}},
               {"BeyondSixtyFourBits", 7, 1e30, {kForever}},
               {"SumOverflows", kForever - 10, 1.0, {kForever}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ClockBackend backend;
    backend.manualTime.now = c.now;
    NSThread::sleepForTimeInterval(c.seconds);
    EXPECT_EQ(backend.manualTime.sleeps, c.waits);
  }
}

TEST(Foundation, ExitGoesThroughTheBackend) {
  ClockBackend backend;
  EXPECT_THROW(
      try { sys::exit(42); } catch (int status) {
        EXPECT_EQ(status, 42);
        throw;
      },
      int);
}

TEST(Foundation, OnlyTheFirstThreadIsMain) {
  EXPECT_TRUE(NSThread::isMainThread());
  bool other = true;
  std::thread([&] { other = NSThread::isMainThread(); }).join();
  EXPECT_FALSE(other);
}

TEST(Process, PlatformDescriptorsAreCloseOnExec) {
  TestBackend backend;
  NSPipe pipe;
  EXPECT_TRUE(fcntl(pipe.fileHandleForReading().fileDescriptor(), F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(pipe.fileHandleForWriting().fileDescriptor(), F_GETFD) & FD_CLOEXEC);
  NSTask task;
  task.setLaunchPath("/bin/true");
  task.launch();
  if (task.exitDescriptor() >= 0) {
    EXPECT_TRUE(fcntl(task.exitDescriptor(), F_GETFD) & FD_CLOEXEC);
  }
  task.waitUntilExit();
  EXPECT_FALSE(task.isRunning());
}

TEST(Process, LaunchTwiceOrUnsetIsRefused) {
  TestBackend backend;
  NSTask unset;
  EXPECT_THROW(unset.launch(), NSException);
  NSTask task;
  task.setLaunchPath("/bin/true");
  task.launch();
  EXPECT_THROW(task.launch(), NSException);
  task.waitUntilExit();
  EXPECT_EQ(task.terminationStatus(), 0);
}

TEST(Process, ExceptionsShareTheirDescription) {
  long before = platform::liveObjectCount();
  {
    NSException first(NSInvalidArgumentException, "launch path not accessible: \xFF");
    NSException second = first;
    NSException third("x", "y");
    third = second;
    EXPECT_TRUE(CFEqual(third.description(), first.description()));
    EXPECT_EQ(third.reason(), first.reason());
  }
  EXPECT_EQ(platform::liveObjectCount(), before);
}

TEST(Log, FormatsObjectsAndHandsTheLineToTheBackend) {
  TestBackend backend;
  CFStringRef word = CFSTR("reason");
  NSLog(CFSTR("CorvasselHelper: Failed to run script: %@ (%d)"), word, 7);
  EXPECT_EQ(backend.logged,
            std::vector<std::string>{"CorvasselHelper: Failed to run script: reason (7)"});
}

TEST(Paths, TildeExpansionUsesHomeThenPasswordDatabase) {
  const struct {
    const char *home;  // nullptr: unset
    const char *path;
    const char *expected;  // nullptr: the password database's home + rest of path
  } cases[] = {{"/h", "~/Library", "/h/Library"},
               {"/h/", "~/Library", "/h/Library"},
               {"/h", "~", "/h"},
               {"/", "~/Library", "/Library"},
               {"/h", "/Library/x", "/Library/x"},
               {"/h", "a/~/b", "a/~/b"},
               {"/h", "~other/x", "~other/x"},
               {"", "~/Library", nullptr},
               {nullptr, "~/Library", nullptr}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.home ? c.home : "(unset)") + " " + c.path);
    std::string result, fromDatabase;
    {
      EnvGuard home("HOME");
      if (c.home)
        setenv("HOME", c.home, 1);
      else
        unsetenv("HOME");
      result = NSStringByExpandingTildeInPath(c.path);
      fromDatabase = NSHomeDirectory();
    }
    if (c.expected) {
      EXPECT_EQ(result, c.expected);
      continue;
    }
    struct passwd *entry = getpwuid(getuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(fromDatabase, entry->pw_dir);
    EXPECT_EQ(result.rfind(entry->pw_dir, 0), 0u);
  }
}

TEST(Paths, AppendingComponentUsesOneSeparator) {
  EXPECT_EQ(NSStringByAppendingPathComponent("/a", "b/c"), "/a/b/c");
  EXPECT_EQ(NSStringByAppendingPathComponent("/a/", "/b"), "/a/b");
  EXPECT_EQ(NSStringByAppendingPathComponent("/", "b"), "/b");
  EXPECT_EQ(NSStringByAppendingPathComponent("", "b"), "b");
}

TEST(Paths, ExistenceFollowsLinksAndTheBackendsMapping) {
  ScriptWorld world;
  std::string dir = world.root() + "/system/Library/x";
  std::filesystem::create_directories(dir);
  std::ofstream(dir + "/file") << "";
  symlink((dir + "/file").c_str(), (dir + "/link").c_str());
  symlink((dir + "/nowhere").c_str(), (dir + "/dangling").c_str());
  NSFileManager &files = NSFileManager::defaultManager();
  EXPECT_TRUE(files.fileExistsAtPath("/Library/x"));
  EXPECT_TRUE(files.fileExistsAtPath("/Library/x/file"));
  EXPECT_TRUE(files.fileExistsAtPath("/Library/x/link"));
  EXPECT_FALSE(files.fileExistsAtPath("/Library/x/dangling"));
  EXPECT_FALSE(files.fileExistsAtPath("/Library/x/missing"));
  EXPECT_FALSE(files.fileExistsAtPath(""));
}
}  // namespace
