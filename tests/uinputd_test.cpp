// corvassel-uinputd serving one connection, on a machine of the test's making (the kernel suite
// runs it on a real one): what it answers, what it logs, that it neither waits for ever nor
// keeps a descriptor, and that the device lives exactly as long as the client's connection. Then
// the client's side, and the broker's questions to logind (the stand-in, on a private bus).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "Broker.h"
#include "FakeInputKernel.h"
#include "SystemBus.h"
#include "SystemHost.h"
#include "TestBackend.h"
#include "linux/input/BrokerLink.h"
#include "linux/input/EvdevKernel.h"
#include "linux/input/OutputRequest.h"

namespace {

using namespace platform::evdev;
using platform::UniqueFd;
using uinputd::Client;
using Clock = std::chrono::steady_clock;

constexpr int kRequestMillis = 200;

Capabilities Mouse() {
  Capabilities caps;
  for (uint16_t rel : {REL_X, REL_Y}) caps.codes.insert({EV_REL, rel});
  for (uint16_t button = BTN_LEFT; button <= BTN_MIDDLE; ++button)
    caps.codes.insert({EV_KEY, button});
  return caps;
}

OutputSpec MouseOutput() {
  Capabilities caps = Mouse();
  caps.codes.insert({EV_KEY, BTN_SIDE});
  return {{"Test Mouse", BUS_USB, 1, 2, 3}, std::string(kOutputPhysPrefix) + "test", caps};
}

// A machine whose answers the test sets. Its device is a pipe: what is written to the handed-over
// end comes out of `output`, and `output` sees the end of the pipe when the device goes.
class FakeHost : public uinputd::Host {
 public:
  std::string seatRefusal(uid_t) override {
    ++seatQuestions;
    return seat;
  }
  bool describe(int, DeviceIdentity &identity, Capabilities &capabilities,
                std::string &why) override {
    identity = MouseOutput().identity;
    capabilities = source;
    why = describeProblem;
    return why.empty();
  }
  bool create(const OutputSpec &, UniqueFd &keep, UniqueFd &handOver, std::string &devnode,
              std::string &why) override {
    why = createProblem;
    if (!why.empty()) return false;
    int toOutput[2], alive[2];
    if (pipe2(toOutput, O_CLOEXEC) != 0 || pipe2(alive, O_CLOEXEC) != 0) return false;
    handOver.reset(toOutput[1]);
    output.reset(toOutput[0]);
    keep.reset(alive[1]);
    device.reset(alive[0]);
    devnode = "/dev/input/event99";
    return true;
  }

  std::string seat, describeProblem, createProblem;
  Capabilities source = Mouse();
  int seatQuestions = 0;
  UniqueFd output, device;  // device: readable (at its end) once the device is gone
};

bool Readable(int fd, int millis) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, millis) > 0;
}

// One connection served on a thread, its client end kept by the test.
struct Served {
  explicit Served(FakeHost &host) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return;
    client.reset(ends[0]);
    broker.reset(ends[1]);
    thread = std::thread([this, &host] {
      uinputd::Serve(broker.get(), Client{1234, 1000}, host, kRequestMillis,
                     [this](const std::string &line) { log += line + "\n"; });
      finished = Clock::now();
    });
  }
  ~Served() { end(); }
  void end() {
    if (thread.joinable()) thread.join();
  }
  std::optional<OutputAnswer> answer(std::vector<UniqueFd> &fds) {
    std::vector<uint8_t> bytes;
    if (ReceiveDatagram(client.get(), bytes, fds, 5000) != 0) return std::nullopt;
    return ParseOutputAnswer(bytes.data(), bytes.size());
  }
  UniqueFd client, broker;
  std::thread thread;
  std::string log;
  Clock::time_point finished;
};

TEST(Uinputd, RefusesAnythingElseInOneLineNamingTheClientAndKeepsNoDescriptor) {
  int mouse[2];
  ASSERT_EQ(pipe2(mouse, O_CLOEXEC), 0);
  UniqueFd mouseRead(mouse[0]), mouseWrite(mouse[1]);
  const std::vector<uint8_t> good = EncodeOutputRequest(MouseOutput());
  OutputSpec typing = MouseOutput();
  typing.capabilities.codes.insert({EV_KEY, KEY_A});
  struct Row {
    const char *what;
    std::function<void(int client)> send;
    std::function<void(FakeHost &)> machine;
    OutputAnswer::Status status;
    std::string reason;
    bool seatAsked;
  };
  auto sends = [&](std::vector<uint8_t> bytes, std::vector<int> fds) {
    return [=](int client) { SendDatagram(client, bytes, fds); };
  };
  auto as = [](std::function<void(FakeHost &)> f) { return f; };
  const auto asIs = as([](FakeHost &) {});
  const Row rows[] = {
      {"nothing sent", [](int) {}, asIs, OutputAnswer::Refused, "sent nothing in time", false},
      {"an empty datagram", sends({}, {}), asIs, OutputAnswer::Refused, "hung up without a request",
       false},
      {"garbage", sends({'h', 'e', 'l', 'l', 'o'}, {mouse[0]}), asIs, OutputAnswer::Refused,
       "malformed request: not a request", false},
      {"too much", sends(std::vector<uint8_t>(kMaxOutputMessage + 1, 'x'), {}), asIs,
       OutputAnswer::Refused, "sent more than any request", false},
      {"no mouse", sends(good, {}), asIs, OutputAnswer::Refused, "it carries 0", false},
      {"two descriptors", sends(good, {mouse[0], mouse[1]}), asIs, OutputAnswer::Refused,
       "it carries 2", false},
      {"five descriptors", sends(good, {mouse[0], mouse[1], mouse[0], mouse[1], mouse[0]}), asIs,
       OutputAnswer::Refused, "too many descriptors", false},
      {"not a device", sends(good, {mouse[0]}),
       as([](FakeHost &h) { h.describeProblem = "the descriptor is not an input device's"; }),
       OutputAnswer::Refused, "not an input device's", false},
      {"a keyboard's descriptor", sends(good, {mouse[0]}), as([](FakeHost &h) {
         for (uint16_t key = KEY_ESC; key <= KEY_D; ++key) h.source.codes.insert({EV_KEY, key});
       }),
       OutputAnswer::Refused, "the source is a keyboard", false},
      {"a key the mouse lacks", sends(EncodeOutputRequest(typing), {mouse[0]}), asIs,
       OutputAnswer::Refused, "KEY_A", false},
      {"nobody at a seat", sends(good, {mouse[0]}),
       as([](FakeHost &h) { h.seat = "the user has no active session at a seat"; }),
       OutputAnswer::Refused, "no active session at a seat", true},
      {"uinput fails", sends(good, {mouse[0]}),
       as([](FakeHost &h) { h.createProblem = "UI_DEV_CREATE: No space left on device"; }),
       OutputAnswer::Failed, "UI_DEV_CREATE", true},
  };
  const std::set<int> open = OpenDescriptors();
  for (const Row &row : rows) {
    SCOPED_TRACE(row.what);
    FakeHost host;
    row.machine(host);
    const auto start = Clock::now();
    {
      Served served(host);
      row.send(served.client.get());
      std::vector<UniqueFd> fds;
      const auto answer = served.answer(fds);
      ASSERT_TRUE(answer);
      EXPECT_EQ(answer->status, row.status);
      EXPECT_NE(answer->text.find(row.reason), std::string::npos) << answer->text;
      EXPECT_TRUE(fds.empty());
      served.end();
      EXPECT_LT(served.finished - start, std::chrono::milliseconds(kRequestMillis + 1000));
      const std::string said = served.log;
      EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
      EXPECT_NE(said.find("pid 1234 uid 1000: "), std::string::npos) << said;
      EXPECT_NE(said.find(row.reason), std::string::npos) << said;
    }
    EXPECT_EQ(host.seatQuestions, row.seatAsked ? 1 : 0) << "logind is asked last";
    EXPECT_EQ(OpenDescriptors(), open) << "a descriptor left open";
  }
}

// The helper's own kernel against a broker listening on a socket of its own: the broker first,
// uinput (none here) where the broker is not there after all, the broker's word otherwise.
TEST(Uinputd, TheHelperAsksTheBrokerFirstAndFallsBackOnlyWhereNoneListens) {
  char dir[] = "/tmp/corvassel-uinputd-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/socket";
  auto kernel = makeRealKernel(dir, std::string(dir) + "/uinput", "/sys/class/input", path);
  int mouse[2];
  ASSERT_EQ(pipe2(mouse, O_CLOEXEC), 0);
  UniqueFd mouseRead(mouse[0]), mouseWrite(mouse[1]);
  auto node = std::make_shared<fake::Node>();
  node->fd = mouse[0];
  const fake::Device source(node);
  int error = 0;
  EXPECT_EQ(kernel->createOutput(MouseOutput(), source, error), nullptr);
  EXPECT_EQ(error, ENOENT) << "no broker installed, and no uinput";
  EXPECT_EQ(kernel->outputsThrough(), std::string(dir) + "/uinput");

  UniqueFd listening(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(bind(listening.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  EXPECT_EQ(kernel->canMakeOutputs(), 0) << "the broker answers for itself";
  EXPECT_EQ(kernel->outputsThrough(), "corvassel-uinputd (" + path + ")");
  EXPECT_EQ(kernel->createOutput(MouseOutput(), source, error), nullptr);
  EXPECT_EQ(error, ENOENT) << "a socket left with nobody behind it: uinput after all";

  ASSERT_EQ(listen(listening.get(), 4), 0);
  for (bool seated : {true, false}) {
    SCOPED_TRACE(seated ? "seated" : "not seated");
    FakeHost host;
    if (!seated) host.seat = "the user has no active session at a seat";
    std::thread broker([&] {
      UniqueFd connection(accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
      Client client;
      ASSERT_TRUE(uinputd::PeerOf(connection.get(), client));
      EXPECT_EQ(client.pid, getpid());
      EXPECT_EQ(client.uid, getuid());
      uinputd::Serve(connection.get(), client, host, kRequestMillis, [](const std::string &) {});
    });
    std::unique_ptr<Output> output = kernel->createOutput(MouseOutput(), source, error);
    if (seated) {
      ASSERT_NE(output, nullptr) << strerror(error);
      EXPECT_EQ(output->devnode(), "/dev/input/event99");
      const Event click[] = {{EV_KEY, BTN_SIDE, 1}, {EV_SYN, SYN_REPORT, 0}};
      EXPECT_EQ(output->write(click, 2), 0);
      input_event written[2];
      EXPECT_EQ(read(host.output.get(), written, sizeof written),
                static_cast<ssize_t>(sizeof written));
      EXPECT_EQ(written[0].code, BTN_SIDE);
      EXPECT_FALSE(Readable(host.device.get(), 100)) << "the device stays while the output does";
      output.reset();
      EXPECT_TRUE(Readable(host.device.get(), 2000)) << "the device goes with the output";
    } else {
      EXPECT_EQ(output, nullptr);
      EXPECT_EQ(error, EPERM) << "refused: no fall back";
    }
    broker.join();
  }
  std::filesystem::remove_all(dir);
}

// The broker's own machine, as far as it can be without input devices.
TEST(Uinputd, TheSystemAsksLogindAndTakesOnlyInputDevices) {
  kcheck::SystemBus bus;
  ASSERT_TRUE(bus.ready());
  ASSERT_TRUE(bus.session("1", 1000, "seat0", "wayland", true));
  ASSERT_TRUE(bus.session("2", 1001, "", "tty", true, true));  // over SSH
  ASSERT_TRUE(bus.session("3", 1002, "seat0", "x11", false));  // another user's turn
  setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
  auto host = uinputd::makeSystemHost("/nonexistent/uinput");
  const std::pair<uid_t, bool> seated[] = {
      {1000, true}, {1001, false}, {1002, false}, {1003, false}};
  for (const auto &[uid, sits] : seated)
    EXPECT_EQ(host->seatRefusal(uid).empty(), sits) << uid << ": " << host->seatRefusal(uid);
  setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/run/corvassel-no-such-bus", 1);
  EXPECT_NE(host->seatRefusal(1000).find("cannot ask logind"), std::string::npos)
      << "no logind: nobody is let in";
  unsetenv("DBUS_SYSTEM_BUS_ADDRESS");

  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  UniqueFd read(ends[0]), write(ends[1]), null(open("/dev/null", O_RDONLY | O_CLOEXEC));
  DeviceIdentity identity;
  Capabilities caps;
  std::string why;
  for (int fd : {read.get(), null.get()}) {
    EXPECT_FALSE(host->describe(fd, identity, caps, why));
    EXPECT_EQ(why, "the descriptor is not an input device's");
  }
  UniqueFd keep, handOver;
  std::string devnode;
  EXPECT_FALSE(host->create(MouseOutput(), keep, handOver, devnode, why));
  EXPECT_EQ(why, "/nonexistent/uinput: No such file or directory");
}

}  // namespace
