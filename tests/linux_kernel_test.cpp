// The real kernel side of the Linux input tap, as far as a machine without input devices allows:
// descriptors are close-on-exec, refusals leak nothing, hotplug notices arrive. What needs input
// devices and /dev/uinput is checked on a real kernel by the kernel suite (tests/kernel).
#include "FakeInputKernel.h"
#include "TestBackend.h"
#include "ToolRunSupport.h"

#include "linux/input/EvdevKernel.h"
#include "linux/input/InputLoop.h"
#include "linux/input/LinuxInput.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <set>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace {

namespace fs = std::filesystem;

// The machine's own ways, with the input directory, uinput and the broker in an empty folder.
class LinuxKernel : public ::testing::Test {
 protected:
  ScratchHome scratch;
  const std::string dir = scratch.root.string();
  std::unique_ptr<platform::evdev::Kernel> kernel =
      platform::evdev::makeRealKernel(dir, dir + "/uinput", "/sys/class/input", dir + "/broker");
};

TEST_F(LinuxKernel, HotplugWatchAndRetryTimerWorkAndReachNoStartedProgram) {
  auto watch = kernel->watchDirectory();
  auto timer = kernel->makeTimer();
  ASSERT_TRUE(watch);
  ASSERT_TRUE(timer);
  // Neither is left open in a program started from the helper.
  const std::string open = RunTool("/bin/ls", {"-l", "/proc/self/fd"}, scratch.home).out;
  ASSERT_NE(open.find("/proc/"), std::string::npos) << "the child listed its descriptors";
  EXPECT_EQ(open.find("inotify"), std::string::npos) << open;
  EXPECT_EQ(open.find("timerfd"), std::string::npos) << open;

  std::ofstream(dir + "/event4").put('x');
  fs::permissions(dir + "/event4", fs::perms::owner_read, fs::perm_options::replace);
  fs::remove(dir + "/event4");
  using Change = platform::evdev::DirectoryWatch::Change;
  std::vector<std::pair<std::string, Change>> expected = {{"event4", Change::Created},
                                                          {"event4", Change::AttributesChanged},
                                                          {"event4", Change::Deleted}};
  auto seen = watch->read();
  // Writing the file may add attribute notices of its own; what matters is the order.
  seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(watch->read().empty());

  timer->arm(1000);  // a microsecond
  pollfd p{timer->fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 5000), 1);
  timer->acknowledge();
  p.revents = 0;
  EXPECT_EQ(poll(&p, 1, 0), 0) << "quiet once acknowledged";
  timer->arm(1000000000);
  timer->disarm();
  EXPECT_EQ(poll(&p, 1, 0), 0);
}

TEST_F(LinuxKernel, NodesThatAreNotEventDevicesAreRefusedWithoutLeaks) {
  std::ofstream(dir + "/event0") << "not a device";
  std::ofstream(dir + "/mouse0") << "not an event node";
  EXPECT_EQ(kernel->eventNodes(), std::vector<std::string>{"event0"});
  const std::set<int> before = OpenDescriptors();
  for (const std::string &path : {dir + "/event0", dir + "/missing"}) {
    int error = 0;
    EXPECT_EQ(kernel->open(path, error), nullptr) << path;
    EXPECT_NE(error, 0) << path;
  }
  EXPECT_EQ(kernel->canMakeOutputs(), ENOENT) << "no uinput there";
  fake::Device source(std::make_shared<fake::Node>());
  int error = 0;
  EXPECT_EQ(kernel->createOutput({}, source, error), nullptr);
  EXPECT_EQ(error, ENOENT);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(LinuxKernel, NoTapWithoutUinputAndNothingLeftOpen) {
  TestBackend backend;
  platform::evdev::LinuxInput input(backend.inputContext(), *kernel);
  fake::Client client;
  const std::set<int> before = OpenDescriptors();
  platform::TapRequest request{kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                               CGEventMaskBit(kCGEventOtherMouseDown)};
  EXPECT_EQ(input.createTap(request, client), nullptr);
  EXPECT_FALSE(input.isProcessTrusted(false));
  EXPECT_EQ(OpenDescriptors(), before);
}

// Whether done() holds within five seconds.
bool Eventually(const std::function<bool()> &done) {
  for (int i = 0; i < 5000 && !done(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

// The tap's thread serves every descriptor that is ready and the work posted from other threads,
// and a handler may unwatch itself (as for a mouse found gone) and be watched again later.
TEST(ThreadLoop, ServesEveryDescriptorPostedWorkAndAHandlerThatUnwatchesItself) {
  TestBackend backend;
  int mouse[2], other[2];
  ASSERT_EQ(pipe2(mouse, O_NONBLOCK | O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(other, O_NONBLOCK | O_CLOEXEC), 0);
  std::atomic<int> mouseReads{0}, otherReads{0}, rounds{0};
  std::atomic<bool> posted{false};
  const auto readAll = [](int fd, std::atomic<int> &count) {
    char c = 0;
    for (char got; read(fd, &got, 1) == 1; c = got) ++count;
    return c;
  };
  {
    auto loop = platform::evdev::makeThreadLoop(backend.inputContext());
    ASSERT_TRUE(loop);
    // A 'q' read makes the handler unwatch its descriptor there and then.
    const auto watchMouse = [&] {
      loop->watch(mouse[0], [&] {
        if (readAll(mouse[0], mouseReads) == 'q') loop->unwatch(mouse[0]);
      });
    };
    loop->call([&] {
      watchMouse();
      loop->watch(other[0], [&] { readAll(other[0], otherReads); });
      loop->setRoundEnd([&] { ++rounds; });
    });
    struct Case {
      const char *what;
      std::function<void()> act;
      std::function<bool()> served;
    };
    const Case cases[] = {
        {"its own descriptor", [&] { EXPECT_EQ(write(mouse[1], "ab", 2), 2); },
         [&] { return mouseReads == 2; }},
        {"another descriptor", [&] { EXPECT_EQ(write(other[1], "x", 1), 1); },
         [&] { return otherReads == 1; }},
        {"work posted from another thread", [&] { loop->post([&] { posted = true; }); },
         [&] { return posted.load(); }},
        {"a handler that unwatches itself", [&] { EXPECT_EQ(write(mouse[1], "q", 1), 1); },
         [&] { return mouseReads == 3; }},
        {"the same descriptor watched again",
         [&] {
           loop->call(watchMouse);
           EXPECT_EQ(write(mouse[1], "c", 1), 1);
         },
         [&] { return mouseReads == 4; }},
    };
    for (const Case &c : cases) {
      c.act();
      EXPECT_TRUE(Eventually(c.served)) << c.what;
    }
    EXPECT_GE(rounds.load(), 4) << "each wake-up ends its round";
    // Unwatched, a descriptor is not served however much it has.
    loop->call([&] { loop->unwatch(mouse[0]); });
    ASSERT_EQ(write(mouse[1], "zz", 2), 2);
    loop->call([] {});  // a round trip through the loop
    EXPECT_EQ(mouseReads.load(), 4);
  }  // and the loop ends while it waits
  for (int fd : {mouse[0], mouse[1], other[0], other[1]}) close(fd);
}

// A loop that cannot be set up says so in one line and is not made, rather than spin.
TEST(ThreadLoop, ALoopThatCannotBeSetUpSaysWhyAndIsNotMade) {
  TestBackend backend;
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  // UBSan checks the object of a virtual call through a pipe, which no free descriptor would
  // allow; a call made before has its answer kept.
  platform::backend().time();
  // Not one more descriptor: the loop's epoll cannot be made.
  const int highest = *OpenDescriptors().rbegin();
  rlimit none = saved;
  none.rlim_cur = static_cast<rlim_t>(highest) + 1;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  std::vector<int> filler;  // every free number below the limit taken
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.push_back(fd);
  auto loop = platform::evdev::makeThreadLoop(backend.inputContext());
  for (int fd : filler) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(loop, nullptr);
  ASSERT_EQ(backend.logged.size(), 1u) << testing::PrintToString(backend.logged);
  EXPECT_NE(backend.logged[0].find("epoll_create1: " + std::string(strerror(EMFILE))),
            std::string::npos)
      << backend.logged[0];
}

}  // namespace
