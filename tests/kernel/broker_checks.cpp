// corvassel-uinputd on a real kernel, run for the whole suite as systemd runs it: an instance per
// connection on its own socket (systemd-socket-activate), asking a stand-in logind on a private
// system bus, where uid 0 and 1000 sit at seat0 and uid 1002 is logged in over SSH. Every helper
// of the suite finds it there. These checks are its clients: what it refuses, that what it hands
// over can never become a keyboard, and that silence or garbage neither hangs nor crashes it.
#include "KernelSupport.h"
#include "SystemBus.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/uinput.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>

#include "linux/input/BrokerLink.h"
#include "linux/input/EvdevDescription.h"
#include "linux/input/OutputRequest.h"

extern char **environ;

using namespace kcheck;
using namespace platform::evdev;
using platform::UniqueFd;
using Frames = std::vector<Frame>;

namespace {

const char *const kBrokerLog = "/run/corvassel-checks-uinputd.log";

class BrokerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    bus_ = std::make_unique<SystemBus>();
    ASSERT_TRUE(bus_->ready());
    ASSERT_TRUE(bus_->session("1", 0, "seat0", "x11", true));
    ASSERT_TRUE(bus_->session("2", 1000, "seat0", "wayland", true));
    ASSERT_TRUE(bus_->session("3", 1002, "", "tty", true, true));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, kBrokerLog, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = {"systemd-socket-activate",
                                     "--accept",
                                     "--seqpacket",
                                     std::string("--listen=") + kBrokerSocket,
                                     "--setenv=" + bus_->env(),
                                     CORVASSEL_UINPUTD_EXE};
    std::vector<char *> argv;
    for (std::string &arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&activator_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      activator_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_GT(activator_, 0) << "systemd-socket-activate is missing";
    ASSERT_TRUE(Eventually([] { return access(kBrokerSocket, F_OK) == 0; }, Millis(5000)));
    chmod(kBrokerSocket, 0666);  // as SocketMode= makes it
  }
  void TearDown() override {
    if (activator_ > 0) {
      kill(activator_, SIGTERM);
      waitpid(activator_, nullptr, 0);
    }
    unlink(kBrokerSocket);
    bus_.reset();
  }

 private:
  std::unique_ptr<SystemBus> bus_;
  pid_t activator_ = -1;
};
const auto *const gBroker = ::testing::AddGlobalTestEnvironment(new BrokerEnvironment);

// What the broker's instances said, without the activator's own lines.
std::vector<std::string> BrokerLines() {
  std::vector<std::string> lines;
  std::istringstream all(ReadFile(kBrokerLog));
  for (std::string line; std::getline(all, line);)
    if (line.rfind("corvassel-uinputd: ", 0) == 0) lines.push_back(line);
  return lines;
}

// A connection to the broker made by a process of uid: the broker knows its client by the
// credentials of whoever connected. pid is that process's.
UniqueFd ConnectAs(uid_t uid, pid_t &pid) {
  int error = 0;
  if (uid == 0) {
    pid = getpid();
    return ConnectBroker(kBrokerSocket, error);
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return {};
  const std::string path = kBrokerSocket;
  const std::vector<uint8_t> bytes = {1};
  std::vector<int> fds(1);
  pid = fork();
  if (pid == 0) {
    if (setresgid(uid, uid, uid) != 0 || setresuid(uid, uid, uid) != 0) _exit(1);
    UniqueFd connection = ConnectBroker(path, error);
    fds[0] = connection.get();
    _exit(connection && SendDatagram(pair[1], bytes, fds) == 0 ? 0 : 1);
  }
  close(pair[1]);
  UniqueFd from(pair[0]);
  waitpid(pid, nullptr, 0);
  std::vector<uint8_t> got;
  std::vector<UniqueFd> passed;
  if (ReceiveDatagram(from.get(), got, passed, 2000) != 0 || passed.size() != 1) return {};
  return std::move(passed.front());
}

// A device opened for reading, as the client hands it over, and the output the helper would ask
// for it: its identity and capabilities, and the buttons clicked for back and forward.
struct Source {
  explicit Source(const std::string &node) : fd(open(node.c_str(), O_RDONLY | O_CLOEXEC)) {
    libevdev *dev = nullptr;
    if (!fd || libevdev_new_from_fd(fd.get(), &dev) != 0) {
      ADD_FAILURE() << "cannot describe " << node;
      return;
    }
    wanted = {DescribeIdentity(dev), std::string(platform::evdev::kOutputPhysPrefix) + "check",
              DescribeCapabilities(dev)};
    wanted.identity.name = FitOutputName(wanted.identity.name);
    wanted.capabilities.codes.insert({EV_KEY, BTN_SIDE});
    wanted.capabilities.codes.insert({EV_KEY, BTN_EXTRA});
    libevdev_free(dev);
  }
  UniqueFd fd;
  OutputSpec wanted;
};

BrokerOutput Ask(uid_t uid, const OutputSpec &wanted, int sourceFd, pid_t &pid) {
  UniqueFd connection = ConnectAs(uid, pid);
  if (!connection) {
    BrokerOutput none;
    none.why = "cannot connect to the broker";
    return none;
  }
  return RequestOutput(std::move(connection), wanted, sourceFd);
}

TEST(Broker, RefusesWhatTheMouseCannotDoAKeyboardAndWhoeverIsNotAtASeat) {
  SourceDevice mouse("check mouse"), keyboard("check keys", SourceDevice::Keyboard),
      both("check gaming mouse", SourceDevice::MouseThatTypes);
  struct Row {
    const char *what;
    uid_t uid;
    const SourceDevice &source;
    std::function<void(OutputSpec &)> change;
    std::string refusal;  // "" when made
  };
  const auto asIs = [](OutputSpec &) {};
  const Row rows[] = {
      {"its own mouse", 0, mouse, asIs, ""},
      {"another user at the seat", 1000, mouse, asIs, ""},
      {"a key the mouse lacks", 0, mouse,
       [](OutputSpec &s) {
         s.capabilities.codes.insert({EV_KEY, KEY_A});
       },
       "asks for KEY_A, which the source lacks"},
      {"a keyboard's descriptor", 0, keyboard, asIs, "the source is a keyboard"},
      {"a mouse that types", 0, both, asIs, "the source is a keyboard"},
      {"a user logged in over SSH only", 1002, mouse, asIs,
       "the user has no active session at a seat"},
      {"a user not logged in", 1001, mouse, asIs, "the user has no active session at a seat"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    Source source(row.source.node());
    row.change(source.wanted);
    const std::vector<std::string> nodes = InputNodes();
    const size_t said = BrokerLines().size();
    pid_t client = 0;
    BrokerOutput out = Ask(row.uid, source.wanted, source.fd.get(), client);
    if (row.refusal.empty()) {
      EXPECT_EQ(out.error, 0) << out.why;
      ASSERT_TRUE(out.device);
      char phys[64] = {};
      UniqueFd made(open(out.devnode.c_str(), O_RDONLY | O_CLOEXEC));
      EXPECT_GE(ioctl(made.get(), EVIOCGPHYS(sizeof phys - 1), phys), 0) << out.devnode;
      EXPECT_EQ(std::string(phys), std::string(platform::evdev::kOutputPhysPrefix) + "check");
      EXPECT_EQ(BrokerLines().size(), said) << "nothing to say";
      continue;
    }
    EXPECT_EQ(out.error, EPERM);
    EXPECT_EQ(out.why, row.refusal);
    EXPECT_FALSE(out.device);
    EXPECT_EQ(InputNodes(), nodes) << "no device appeared";
    const std::vector<std::string> lines = BrokerLines();
    ASSERT_EQ(lines.size(), said + 1);
    EXPECT_EQ(lines.back(), "corvassel-uinputd: refused pid " + std::to_string(client) + " uid " +
                                std::to_string(row.uid) + ": " + row.refusal);
  }
}

void Write(int fd, std::initializer_list<Ev> events) {
  std::vector<input_event> raw;
  for (const Ev &ev : events) raw.push_back(input_event{{}, ev.type, ev.code, ev.value});
  raw.push_back(input_event{{}, EV_SYN, SYN_REPORT, 0});
  const ssize_t size = static_cast<ssize_t>(raw.size() * sizeof(input_event));
  EXPECT_EQ(write(fd, raw.data(), static_cast<size_t>(size)), size);
}

TEST(Broker, WhatItHandsOverCanNeverBecomeAKeyboard) {
  SourceDevice mouse("check mouse");
  Source source(mouse.node());
  pid_t client = 0;
  BrokerOutput out = Ask(0, source.wanted, source.fd.get(), client);
  ASSERT_TRUE(out.device) << out.why;
  Reader desktop(out.devnode);
  EXPECT_LT(ioctl(out.device.get(), UI_SET_KEYBIT, KEY_A), 0) << "no key added after creation";
  EXPECT_LT(ioctl(out.device.get(), UI_DEV_DESTROY), 0) << "nor destroyed to be made again";
  EXPECT_EQ(access(out.devnode.c_str(), F_OK), 0);
  Write(out.device.get(), {Key(KEY_A, 1)});
  Write(out.device.get(), {Key(KEY_A, 0)});
  Write(out.device.get(), {Key(BTN_SIDE, 1)});
  Write(out.device.get(), {Key(BTN_SIDE, 0)});
  EXPECT_EQ(desktop.frames(Millis(200)), (Frames{{Key(BTN_SIDE, 1)}, {Key(BTN_SIDE, 0)}}))
      << "KEY_A reaches no reader";
  out.connection.reset();
  EXPECT_TRUE(Eventually([&] { return access(out.devnode.c_str(), F_OK) != 0; }, Millis(2000)))
      << "the device goes with the connection";
  const input_event late{{}, EV_KEY, BTN_SIDE, 1};
  EXPECT_LT(write(out.device.get(), &late, sizeof late), 0);
  EXPECT_EQ(errno, ENODEV);
}

TEST(Broker, SilenceAndGarbageNeitherHangNorCrashIt) {
  SourceDevice mouse("check mouse");
  Source source(mouse.node());
  pid_t client = 0;
  UniqueFd silent = ConnectAs(0, client), garbage = ConnectAs(0, client);
  ASSERT_TRUE(silent && garbage);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(SendDatagram(garbage.get(), {'h', 'e', 'l', 'l', 'o'}, {source.fd.get()}), 0);
  std::vector<uint8_t> bytes;
  std::vector<UniqueFd> fds;
  ASSERT_EQ(ReceiveDatagram(garbage.get(), bytes, fds, 1000), 0) << "garbage is answered at once";
  EXPECT_EQ(ParseOutputAnswer(bytes.data(), bytes.size()),
            (OutputAnswer{OutputAnswer::Refused, "malformed request: not a request"}));
  BrokerOutput out = Ask(0, source.wanted, source.fd.get(), client);
  EXPECT_TRUE(out.device) << "served meanwhile: " << out.why;
  ASSERT_EQ(ReceiveDatagram(silent.get(), bytes, fds, 4000), 0);
  EXPECT_EQ(ParseOutputAnswer(bytes.data(), bytes.size()),
            (OutputAnswer{OutputAnswer::Refused, "sent nothing in time"}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(3500));
  // Every instance that ended did so of its own accord: a crash ends one with its signal.
  std::istringstream all(ReadFile(kBrokerLog));
  for (std::string line; std::getline(all, line);) {
    if (line.find("died with code") != std::string::npos) {
      EXPECT_NE(line.find("died with code 0"), std::string::npos) << line;
    }
  }
}

}  // namespace
