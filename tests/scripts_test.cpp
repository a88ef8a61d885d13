#include <corvassel/Foundation.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pwd.h>
#include <sys/wait.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "ScriptWorld.h"
#include "scripts/ExtraScripts.h"

namespace {

const char *const kLogPrefix = "CorvasselHelper: Failed to run script: ";

// Runs the back script and checks that the call neither leaked CF objects nor spawned more than
// once.
std::optional<std::string> RunBack(ScriptWorld &world) {
  long before = platform::liveObjectCount();
  std::optional<std::string> result = RunExtraScript("back-extra-script");
  EXPECT_EQ(platform::liveObjectCount(), before);
  EXPECT_LE(world.backend.programs.spawned.size(), 1u);
  return result;
}

void KillRecorded(const std::string &pidFile) {
  std::ifstream in(pidFile);
  pid_t pid = 0;
  if (in >> pid && pid > 0) kill(pid, SIGKILL);
}

// What a script prints is decoded and trimmed; output that is not UTF-8 gives nothing.
TEST(Scripts, OutputIsDecodedAndTrimmed) {
  const struct {
    const char *label;
    const char *commands;
    std::optional<std::string> expected;
  } cases[] = {{"Padded", "printf '   complete\\n'", "complete"},
               {"NonZeroExit", "echo complete; exit 1", "complete"},
               {"KilledBySignal", "printf complete; kill -KILL $$", "complete"},
               {"NoOutput", "true", ""},
               {"OnlyWhitespace", "printf ' \\t\\r\\n\\v\\f'", ""},
               {"InnerSpaceKept", "printf ' com plete\\n'", "com plete"},
               // U+00A0, U+2003, U+0085, U+2028, U+2029, tabs.
               {"UnicodeSpaces",
                "printf '\\302\\240\\t\\342\\200\\203complete\\302\\205\\342\\200\\250\\342\\200"
                "\\251\\t\\n'",
                "complete"},
               // Non-breaking space inside is text, not trimmed.
               {"UnicodeInside", "printf 'a\\302\\240b'",
                "a\xC2\xA0"
                "b"},
               {"Overlong", "printf 'complete\\300\\257'", std::nullopt},
               {"OverlongThreeBytes", "printf '\\340\\200\\257'", std::nullopt},
               {"Surrogate", "printf 'complete\\355\\240\\200'", std::nullopt},
               {"Truncated", "printf 'complete\\342\\202'", std::nullopt},
               {"AboveUnicode", "printf '\\364\\220\\200\\200'", std::nullopt},
               {"LoneContinuation", "printf '\\200complete'", std::nullopt}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ScriptWorld world;
    world.shell(ScriptWorld::kUser, "back-extra-script", c.commands);
    EXPECT_EQ(RunBack(world), c.expected);
    EXPECT_TRUE(world.backend.logged.empty());
  }
}

// A script that cannot run is said in one line without its path, and gives nothing.
TEST(Scripts, FailureLogsOneLineWithoutThePathAndGivesNothing) {
  const struct {
    const char *label;
    std::function<void(ScriptWorld &)> make;  // the thing at the script path
  } cases[] = {
      {"NotExecutable",
       [](ScriptWorld &w) {
         w.write(ScriptWorld::kUser, "back-extra-script", "#!/bin/sh\necho complete\n", 0644);
       }},
      {"Directory",
       [](ScriptWorld &w) {
         std::filesystem::create_directories(w.realPath(ScriptWorld::kUser, "back-extra-script"));
       }},
      {"MissingInterpreter",
       [](ScriptWorld &w) {
         w.write(ScriptWorld::kUser, "back-extra-script",
                 "#!/nonexistent/interpreter\necho complete\n");
       }},
      {"NotAProgram", [](ScriptWorld &w) {
         w.write(ScriptWorld::kUser, "back-extra-script",
                 "\x7f"
                 "ELF garbage");
       }}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ScriptWorld world;
    c.make(world);
    EXPECT_EQ(RunBack(world), std::nullopt);
    ASSERT_EQ(world.backend.logged.size(), 1u);
    const std::string &line = world.backend.logged[0];
    EXPECT_EQ(line.rfind(kLogPrefix, 0), 0u) << line;
    EXPECT_GT(line.size(), strlen(kLogPrefix)) << "the reason is missing";
    EXPECT_EQ(line.find(world.root()), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    ASSERT_EQ(world.backend.programs.spawned.size(), 1u);
    EXPECT_EQ(world.backend.programs.spawned[0],
              world.namedPath(ScriptWorld::kUser, "back-extra-script"));
  }
}

TEST(Scripts, UserCopyComesFirst) {
  using W = ScriptWorld;
  const struct {
    const char *label;
    bool user, system;
    std::optional<std::string> expected;
    std::optional<ScriptWorld::Where> spawned;
  } cases[] = {{"Both", true, true, "user", W::kUser},
               {"SystemOnly", false, true, "system", W::kSystem},
               {"UserOnly", true, false, "user", W::kUser},
               {"Neither", false, false, std::nullopt, std::nullopt}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.label);
    ScriptWorld world;
    if (c.user) world.shell(W::kUser, "back-extra-script", "echo user");
    if (c.system) world.shell(W::kSystem, "back-extra-script", "echo system");
    // The other action's script never runs in its place.
    world.shell(W::kUser, "forward-extra-script", "echo forward");
    EXPECT_EQ(RunBack(world), c.expected);
    EXPECT_TRUE(world.backend.logged.empty());
    std::vector<std::string> spawned;
    if (c.spawned) spawned.push_back(world.namedPath(*c.spawned, "back-extra-script"));
    EXPECT_EQ(world.backend.programs.spawned, spawned);
  }
}

TEST(Scripts, HomeWithTrailingSlashFindsTheUserCopy) {
  ScriptWorld world;
  setenv("HOME", (world.root() + "/home/").c_str(), 1);
  world.shell(ScriptWorld::kUser, "back-extra-script", "echo user");
  EXPECT_EQ(RunBack(world), "user");
}

// Both ways of noticing that the script has exited: its pidfd, and looking now and then (where
// the platform gives no pidfd).
class ScriptExit : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override { world.backend.programs.exitDescriptors = GetParam(); }
  ScriptWorld world;
};

TEST_P(ScriptExit, LargeOutputIsReadWhileTheScriptRuns) {
  // 200 KB, several pipe buffers, then a marker that shows nothing was lost at the end.
  world.shell(ScriptWorld::kUser, "back-extra-script",
              "head -c 204800 /dev/zero | tr '\\0' x; echo END");
  std::optional<std::string> result = RunBack(world);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->size(), 204800u + 3);
  EXPECT_EQ(result->find_first_not_of('x'), 204800u);
  EXPECT_EQ(result->substr(204800), "END");
}

TEST_P(ScriptExit, BackgroundChildHoldingOutputDoesNotHoldTheCall) {
  std::string pidFile = world.root() + "/sleeper.pid";
  world.shell(ScriptWorld::kUser, "back-extra-script",
              "echo complete\nsleep 600 &\necho $! > '" + pidFile + "'");
  EXPECT_EQ(RunBack(world), "complete");
  KillRecorded(pidFile);
}

TEST_P(ScriptExit, BackgroundChildThatNeverStopsWritingDoesNotHoldTheCall) {
  std::string pidFile = world.root() + "/writer.pid";
  world.shell(ScriptWorld::kUser, "back-extra-script",
              "echo complete\n(while :; do echo more; done) &\necho $! > '" + pidFile + "'");
  std::optional<std::string> result = RunBack(world);
  KillRecorded(pidFile);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->rfind("complete", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptExit, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool> &info) {
                           return info.param ? "Pidfd" : "Polling";
                         });

TEST(Scripts, ScriptSeesOnlyStandardDescriptors) {
  ScriptWorld world;
  // Descriptors a library might leave open without close-on-exec; they must not reach it either.
  int file = open("/dev/null", O_RDONLY);
  int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(file, 0);
  ASSERT_GE(sock, 0);
  // ls's own handle on the directory is the lowest free one: 3, when nothing else came along.
  world.shell(ScriptWorld::kUser, "back-extra-script", "exec ls /proc/self/fd");
  std::optional<std::string> result = RunBack(world);
  close(file);
  close(sock);
  EXPECT_EQ(result, "0\n1\n2\n3");
}

TEST(Scripts, ScriptStartsWithDefaultSignalsAndNoneBlocked) {
  ScriptWorld world;
  struct sigaction ignore = {}, oldInt = {}, oldPipe = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGINT, &ignore, &oldInt);
  sigaction(SIGPIPE, &ignore, &oldPipe);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR2);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &oldMask);

  world.shell(ScriptWorld::kUser, "back-extra-script",
              "exec sed -n 's/^Sig\\(Blk\\|Ign\\):[[:space:]]*//p' /proc/self/status");
  std::optional<std::string> result = RunBack(world);

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
  ASSERT_TRUE(result);
  unsigned long long blocked = 0, ignored = 0;
  ASSERT_EQ(sscanf(result->c_str(), "%llx %llx", &blocked, &ignored), 2) << *result;
  EXPECT_EQ(blocked, 0u);
  // Signals 32 and 33 are the C library's own: its spawn leaves them ignored in the child and no
  // program may change them.
  EXPECT_EQ(ignored & ~0x180000000ull, 0u);
}

TEST(Scripts, EnvironmentAndWorkingDirectoryAreInherited) {
  ScriptWorld world;
  setenv("CORVASSEL_TEST_MARK", "inherited", 1);
  world.shell(ScriptWorld::kUser, "back-extra-script", "echo \"$CORVASSEL_TEST_MARK $(pwd)\"");
  std::optional<std::string> result = RunBack(world);
  unsetenv("CORVASSEL_TEST_MARK");
  EXPECT_EQ(result, "inherited " + std::filesystem::current_path().string());
}

TEST(Scripts, ScriptExitsAreReaped) {
  ScriptWorld world;
  world.shell(ScriptWorld::kUser, "back-extra-script", "echo done");
  for (int i = 0; i < 3; i++) {
    world.backend.programs.spawned.clear();
    EXPECT_EQ(RunBack(world), "done");
  }
  // No child of ours is left, zombie or not.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

}  // namespace
