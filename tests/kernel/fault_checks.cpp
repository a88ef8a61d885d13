// Faults only a real kernel shows: a mouse held at start, a grab another program holds, an output
// that stops taking writes, lost directory notices, no uinput at all.
#include "KernelSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uinput.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

using namespace kcheck;
using Frames = std::vector<Frame>;

namespace {

size_t Lines(const std::string &text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST(Faults, AMouseHeldAtStartIsGrabbedOnlyOnceItsButtonIsLetGo) {
  SourceDevice mouse("check mouse");
  Reader desktop(mouse.node());
  mouse.press(BTN_LEFT);
  EXPECT_EQ(desktop.waitFrames(1), Frames{{Key(BTN_LEFT, 1)}});
  Home home;
  Running run(home, {});
  // The helper reads the held mouse to follow its buttons, and leaves it with the desktop.
  ASSERT_TRUE(Eventually([&] { return HoldsOpen(run.helper.pid(), mouse.node()); }, Millis(5000)));
  mouse.frame({Rel(REL_X, 2)});
  EXPECT_EQ(desktop.waitFrames(1), Frames{{Rel(REL_X, 2)}}) << "not grabbed while held";
  mouse.release(BTN_LEFT);
  EXPECT_EQ(desktop.waitFrames(1), Frames{{Key(BTN_LEFT, 0)}}) << "the desktop sees the release";
  EXPECT_FALSE(desktop.held(BTN_LEFT));
  const std::string output = OutputOf(mouse, Millis(1000));
  ASSERT_NE(output, "") << "grabbed once let go, and its output made";
  Reader out(output);
  EXPECT_TRUE(Forwarded(mouse, out, Millis(1000)));
  EXPECT_TRUE(GrabbedByAnother(mouse.node()));
}

TEST(Faults, AGrabAnotherProgramHeldIsAskedForAgain) {
  SourceDevice mouse("check mouse");
  int other = open(mouse.node().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(ioctl(other, EVIOCGRAB, 1), 0);
  Home home;
  Running run(home, {});
  ASSERT_TRUE(Eventually([&] { return run.helper.log().find(mouse.node()) != std::string::npos; },
                         Millis(5000)))
      << "its grab was refused";
  EXPECT_EQ(OutputNodes(), std::vector<std::string>{}) << "no output without the grab";
  ioctl(other, EVIOCGRAB, 0);
  close(other);
  const std::string output = OutputOf(mouse, Millis(3000));
  ASSERT_NE(output, "") << run.helper.log();
  Reader out(output);
  EXPECT_TRUE(Forwarded(mouse, out, Millis(1000))) << run.helper.log();
  EXPECT_TRUE(GrabbedByAnother(mouse.node()));
  const std::string said = run.helper.log();
  EXPECT_EQ(Lines(said), 1u) << said;
  EXPECT_NE(said.find(mouse.node()), std::string::npos) << said;
}

// A descriptor of the helper's, copied into this process.
int CopyDescriptor(pid_t pid, const std::string &target) {
  for (const auto &entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) != target) continue;
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    int fd = static_cast<int>(
        syscall(SYS_pidfd_getfd, pidfd, std::stoi(entry.path().filename().string()), 0));
    close(pidfd);
    return fd;
  }
  return -1;
}

// The processes of the uinput broker that hold a device.
std::vector<pid_t> BrokerInstances() {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    if (std::filesystem::read_symlink(entry.path() / "exe", ec) != CORVASSEL_UINPUTD_EXE) continue;
    if (HoldsOpen(std::stoi(pid), "/dev/uinput")) found.push_back(std::stoi(pid));
  }
  return found;
}

TEST(Faults, AnOutputThatRefusesWritesGivesEveryMouseBack) {
  struct Row {
    const char *what;
    bool broker;
    const char *error;
  };
  // Made by the broker, its instances end; made by the helper, a copy of one of its uinput
  // descriptors destroys an output under it. Either way every later write to it fails.
  const Row rows[] = {{"made by the broker", true, "No such device"},
                      {"made through /dev/uinput", false, "Invalid argument"}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    SourceDevice a("check mouse a"), b("check mouse b");
    Home home;
    Helper::Options options;
    options.noBroker = !row.broker;
    Running run(home, {&a, &b}, options);
    if (row.broker) {
      const std::vector<pid_t> instances = BrokerInstances();
      ASSERT_EQ(instances.size(), 2u);
      for (pid_t instance : instances) kill(instance, SIGKILL);
      ASSERT_TRUE(Eventually([] { return OutputNodes().empty(); }, Millis(2000)));
    } else {
      int uinput = CopyDescriptor(run.helper.pid(), "/dev/uinput");
      ASSERT_GE(uinput, 0);
      ASSERT_EQ(ioctl(uinput, UI_DEV_DESTROY), 0);
      close(uinput);
    }
    a.frame({Rel(REL_X, 1)});  // whichever output it was, one of these writes to it
    b.frame({Rel(REL_X, 1)});
    EXPECT_TRUE(Eventually(
        [&] { return !GrabbedByAnother(a.node()) && !GrabbedByAnother(b.node()); }, Millis(1000)));
    Reader desktop(a.node());
    a.frame({Rel(REL_Y, 2)});
    EXPECT_EQ(desktop.waitFrames(1), Frames{{Rel(REL_Y, 2)}});
    EXPECT_TRUE(run.helper.running());
    const std::string said = run.helper.log();
    EXPECT_EQ(Lines(said), 1u) << said;
    EXPECT_NE(said.find(row.error), std::string::npos) << said;
  }
}

TEST(Faults, LostDirectoryNoticesMakeTheHelperLookAgain) {
  const std::string limit = "/proc/sys/fs/inotify/max_queued_events";
  const std::string saved = ReadFile(limit);
  WriteFile(limit, "16\n");
  SourceDevice a("check mouse a");
  Home home;
  Running run(home, {&a});
  WriteFile(limit, saved);
  // While the helper cannot read, more devices come than its notices can hold. They stay, so
  // that the mouse's node is not one named in the notices that were kept.
  run.helper.signal(SIGSTOP);
  std::vector<std::unique_ptr<SourceDevice>> keyboards;
  for (int i = 0; i < 12; ++i)
    keyboards.push_back(std::make_unique<SourceDevice>("check keys", SourceDevice::Keyboard));
  SourceDevice b("check mouse b");
  run.helper.signal(SIGCONT);
  const std::string output = OutputOf(b, Millis(1500));
  ASSERT_NE(output, "");
  Reader out(output);
  EXPECT_TRUE(Forwarded(b, out, Millis(1000)));
}

TEST(Faults, WithoutUinputTheHelperSaysWhichNodeAndWhyAndWaits) {
  SourceDevice mouse("check mouse");
  Home home;
  Helper::Options devNull;
  devNull.uinputIsDevNull = true;
  devNull.noBroker = true;
  Helper helper(home, devNull);
  std::this_thread::sleep_for(Millis(2000));
  EXPECT_TRUE(helper.running()) << "it idles, it does not exit";
  EXPECT_FALSE(GrabbedByAnother(mouse.node()));
  EXPECT_FALSE(HoldsOpen(helper.pid(), mouse.node())) << "not even opened";
  const std::string said = helper.log();
  EXPECT_EQ(Lines(said), 1u) << said;
  EXPECT_NE(said.find("/dev/uinput"), std::string::npos) << said;
  EXPECT_NE(said.find("Inappropriate ioctl for device"), std::string::npos) << said;
}

}  // namespace
