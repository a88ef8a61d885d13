// Motion never waits for the main thread: while a back script runs or a burst of change
// notifications keeps the main thread busy, frames from every mouse reach its output
// about as fast as from an idle helper; and with quick callbacks, frames of several mice come out
// in exactly the order they went in.
#include "KernelSupport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <mutex>
#include <random>
#include <thread>

using namespace kcheck;
using Frames = std::vector<Frame>;

namespace {

uint64_t Now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// A mouse and the reader of its output.
struct Forwarding {
  SourceDevice *mouse;
  Reader *out;
};

// Motion frames written on the mice in turn for `span`, each until it comes back: their latencies.
std::vector<uint64_t> MotionLatencies(const std::vector<Forwarding> &mice, Millis span) {
  std::vector<uint64_t> latencies;
  const uint64_t end = Now() + static_cast<uint64_t>(span.count()) * 1000000u;
  for (size_t i = 0; Now() < end; ++i) {
    const uint64_t start = Now();
    const Forwarding &next = mice[i % mice.size()];
    next.mouse->frame({Rel(REL_X, i % 2 ? 1 : -1)});
    if (next.out->waitFrames(1, Millis(1000)).empty()) break;
    latencies.push_back(Now() - start);
    std::this_thread::sleep_for(Millis(5));
  }
  return latencies;
}

uint64_t Median(std::vector<uint64_t> values) {
  if (values.empty()) return UINT64_MAX;
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// Every mouse forwarded and udev done with the new devices, so that what is measured is the
// helper and not the machine settling (udev runs once a check has started it).
void Settle(const std::vector<Forwarding> &mice) {
  SettleUdev();
  for (const Forwarding &each : mice) EXPECT_TRUE(Forwarded(*each.mouse, *each.out, Millis(3000)));
  for (const Forwarding &each : mice) each.out->frames(Millis(100));
}

void Append(std::vector<uint64_t> &to, const std::vector<uint64_t> &more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Idle and busy take turns this many times, each going first in every other turn. The machine's
// speed drifts by a third within a second under emulation; fewer turns let that drift decide.
constexpr int kTurns = 8;

// The back script, run by the helper or (as the baseline's share of the machine) by the check.
constexpr const char *kScript = "sleep 0.3";

TEST(Latency, MotionOfEveryMouseDoesNotWaitForARunningScript) {
  SourceDevice a("check mouse a"), b("check mouse b");
  Home home;
  home.script("back-extra-script", kScript);
  Running run(home, {&a, &b});
  Reader outA(run.output(a)), outB(run.output(b));
  const std::vector<Forwarding> mice = {{&a, &outA}, {&b, &outB}};
  Settle(mice);
  MotionLatencies(mice, Millis(100));  // warm up

  // In turns, so that the machine's drift falls on both: the same script run by the check, the
  // helper idle; then the helper running it for 300 ms before it answers the back press.
  std::vector<uint64_t> idle, busy;
  auto measureIdle = [&] {
    pid_t script = fork();
    if (script == 0) {
      execl("/bin/sh", "sh", "-c", kScript, static_cast<char *>(nullptr));
      _exit(127);
    }
    Append(idle, MotionLatencies(mice, Millis(250)));
    waitpid(script, nullptr, 0);
  };
  auto measureBusy = [&] {
    a.press(BTN_BACK);
    Append(busy, MotionLatencies(mice, Millis(250)));
    EXPECT_EQ(outA.waitFrames(2), (Frames{{Key(BTN_SIDE, 1)}, {Key(BTN_SIDE, 0)}}))
        << "the click once the script is done";
    a.release(BTN_BACK);
  };
  for (int turn = 0; turn < kTurns; ++turn) {
    const bool idleFirst = turn % 2 == 0;
    for (bool helperIdle : {idleFirst, !idleFirst}) helperIdle ? measureIdle() : measureBusy();
  }
  EXPECT_LT(Median(busy), Median(idle) * 12 / 10)
      << "median latency, ns: idle " << Median(idle) << ", busy " << Median(busy);
}

// A private session bus for the helper, and a connection of the check's own to post on it.
class SessionBus {
 public:
  SessionBus() {
    address_ = ShellOutput("dbus-daemon --session --fork --print-address=1 --print-pid=1");
    const auto newline = address_.find('\n');
    pid_ = std::atoi(address_.substr(newline + 1).c_str());
    address_.resize(newline);
    if (sd_bus_new(&bus_) < 0 || sd_bus_set_address(bus_, address_.c_str()) < 0 ||
        sd_bus_set_bus_client(bus_, 1) < 0 || sd_bus_start(bus_) < 0)
      ADD_FAILURE() << "no session bus at " << address_;
  }
  ~SessionBus() {
    if (bus_) sd_bus_flush_close_unref(bus_);
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  const std::string &address() const { return address_; }
  // A change notification, or (elsewhere) the same signal under a member nobody listens to.
  void post(const char *name, bool elsewhere = false) {
    sd_bus_emit_signal(bus_, "/org/corvassel/DistributedNotifications",
                       "org.corvassel.DistributedNotifications", elsewhere ? "Elsewhere" : "Posted",
                       "s", name);
  }
  void flush() { sd_bus_flush(bus_); }

 private:
  std::string address_;
  pid_t pid_ = -1;
  sd_bus *bus_ = nullptr;
};

TEST(Latency, MotionDoesNotWaitForABurstOfChangeNotifications) {
  SessionBus bus;
  SourceDevice a("check mouse a"), b("check mouse b");
  Home home;
  Helper::Options options;
  options.env = {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()};
  Running run(home, {&a, &b}, options);
  Reader outA(run.output(a)), outB(run.output(b));
  const std::vector<Forwarding> mice = {{&a, &outA}, {&b, &outB}};
  Settle(mice);
  MotionLatencies(mice, Millis(100));  // warm up
  // Motion while 1000 signals are posted: for the baseline under a member the helper does not
  // listen to (the bus and the poster cost the machine the same), then as change notifications.
  auto during = [&](bool elsewhere) {
    std::atomic<bool> posting{true};
    std::thread poster([&] {
      for (int i = 0; i < 1000; ++i) {
        bus.post("Quendrith.tavrel.prefsChanged", elsewhere);
        if (i % 50 == 49) bus.flush();
      }
      bus.flush();
      posting = false;
    });
    std::vector<uint64_t> latencies;
    while (posting) {
      auto some = MotionLatencies(mice, Millis(20));
      latencies.insert(latencies.end(), some.begin(), some.end());
    }
    poster.join();
    return latencies;
  };
  std::vector<uint64_t> idle, busy;
  for (int turn = 0; turn < kTurns; ++turn) {
    const bool baselineFirst = turn % 2 == 0;
    for (bool baseline : {baselineFirst, !baselineFirst})
      Append(baseline ? idle : busy, during(baseline));
  }
  EXPECT_LT(Median(busy), Median(idle) * 12 / 10)
      << "median latency, ns: idle " << Median(idle) << ", busy " << Median(busy);
  a.press(BTN_BACK);
  EXPECT_EQ(outA.waitFrames(2), (Frames{{Key(BTN_SIDE, 1)}, {Key(BTN_SIDE, 0)}}))
      << "still remapping after the burst";
  a.release(BTN_BACK);
}

// Each mouse's frames come out of its own output in its order, and across the outputs they were
// written in the order they happened: the kernel's stamps on the outputs never go back.
TEST(Order, FramesOfSeveralMiceWithQuickCallbacksComeOutInTheirOrder) {
  SourceDevice a("check mouse a"), b("check mouse b"), c("check mouse c");
  SourceDevice *mice[] = {&a, &b, &c};
  Home home;
  Running run(home, {&a, &b, &c});
  {
    // The first callback runs code the machine has not run yet (TCG translates it then).
    Reader outA(run.output(a)), outB(run.output(b)), outC(run.output(c));
    Settle({{&a, &outA}, {&b, &outB}, {&c, &outC}});
    a.press(BTN_RIGHT);
    a.release(BTN_RIGHT);
    outA.waitFrames(2);
  }
  std::mt19937 draw(7);
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    // Right clicks, left drags and motion, the mice taking turns at random.
    Frames sent;
    std::vector<size_t> from;  // which mouse sent each frame
    for (int step = 0; step < 30; ++step) {
      const size_t mouse = draw() % 3;
      const int32_t dx = static_cast<int32_t>(draw() % 5) + 1;
      switch (draw() % 3) {
        case 0:
          sent.insert(sent.end(), {{Key(BTN_RIGHT, 1)}, {Key(BTN_RIGHT, 0)}});
          break;
        case 1:
          sent.insert(sent.end(),
                      {{Key(BTN_LEFT, 1)}, {Rel(REL_X, dx), Rel(REL_Y, -dx)}, {Key(BTN_LEFT, 0)}});
          break;
        default:
          sent.push_back({Rel(REL_Y, dx)});
      }
      from.resize(sent.size(), mouse);
    }
    std::vector<std::unique_ptr<Collector>> collectors;
    for (SourceDevice *mouse : mice)
      collectors.push_back(std::make_unique<Collector>(run.output(*mouse)));
    for (size_t i = 0; i < sent.size(); ++i) {
      mice[from[i]]->frame(sent[i]);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(Millis(300));
    std::vector<std::vector<TimedFrame>> got;
    for (auto &collector : collectors) {
      got.push_back(collector->finish());
      // A reader that fell behind loses frames to the kernel, whatever the helper did.
      ASSERT_EQ(collector->drops(), 0u) << "the check's reader of an output fell behind";
    }
    std::vector<size_t> next(3, 0);
    uint64_t last = 0;
    for (size_t i = 0; i < sent.size(); ++i) {
      const size_t mouse = from[i];
      ASSERT_LT(next[mouse], got[mouse].size()) << "frame " << i << " did not come out";
      const TimedFrame &out = got[mouse][next[mouse]++];
      ASSERT_EQ(out.frame, sent[i]) << "frame " << i << " of mouse " << mouse;
      EXPECT_GE(out.micros, last) << "frame " << i << " came out before an earlier one";
      last = out.micros;
    }
    for (size_t mouse = 0; mouse < 3; ++mouse)
      EXPECT_EQ(next[mouse], got[mouse].size()) << "more came out of mouse " << mouse;
  }
}

}  // namespace
