// The simulated world's clock: time moves only when every helper thread waits, and the order of
// wake-ups is fixed, so that simulated runs are repeatable.
#include <platform/LiveObjects.h>
#include <platform/VirtualWorld.h>

#include <gtest/gtest.h>

#include <ApplicationServices/ApplicationServices.h>
#include <corvassel/AppKit.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Descriptions.h"

namespace {

using platform::VirtualWorld;

constexpr uint64_t kSecond = 1000000000ull;

class Recorder : public VirtualWorld::Observer {
 public:
  void trustChecked(bool prompt, bool trusted) override {
    add(std::string("trust ") + (prompt ? "prompt " : "") + (trusted ? "yes" : "no"));
  }
  void tapCreated(bool ok) override { add(ok ? "tap ok" : "tap failed"); }
  void tapEnabled(bool enabled) override { add(enabled ? "enable" : "disable"); }
  void logged(const std::string &line) override { add("log " + line); }
  void spawned(const std::string &path) override { add("spawn " + path); }
  void exited(int status) override { add("exit " + std::to_string(status)); }
  void add(const std::string &line) {
    std::lock_guard<std::mutex> lock(mutex);
    lines.push_back(line);
  }
  std::mutex mutex;
  std::vector<std::string> lines;
};

// Appends "name@seconds" from any thread.
class Log {
 public:
  explicit Log(VirtualWorld &world) : world_(world) {}
  void mark(const std::string &name) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(name + "@" + std::to_string(world_.nowNanos() / (kSecond / 1000)));
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  VirtualWorld &world_;
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

// A helper thread as the platform starts one: announced by its creator, gone as its last act.
std::thread HelperThread(VirtualWorld &world, std::function<void()> body) {
  world.time().threadWillStart();
  return std::thread([&world, body] {
    body();
    world.time().threadDidExit();
  });
}

void SleepUntil(VirtualWorld &world, uint64_t deadline) {
  world.time().makeWaiter()->waitUntil(deadline);
}

struct Sleeper {
  const char *name;
  uint64_t deadline;
};

struct OrderCase {
  const char *title;
  std::vector<Sleeper> sleepers;  // started in this order, each waiting before the next starts
  std::vector<double> actions;    // world actions named "a<index>"
  std::vector<std::string> expected;
};

const OrderCase kOrderCases[] = {
    {"earliest deadline first",
     {{"A", 3 * kSecond}, {"B", 2 * kSecond}},
     {},
     {"B@2000", "A@3000", "main@100000"}},
    {"same deadline: earliest wait first",
     {{"A", 5 * kSecond}, {"B", 5 * kSecond}, {"C", 5 * kSecond}},
     {},
     {"A@5000", "B@5000", "C@5000", "main@100000"}},
    {"world actions at a time run before threads due then",
     {{"A", 2 * kSecond}},
     {2.0, 1.5, 2.0},
     {"a1@1500", "a0@2000", "a2@2000", "A@2000", "main@100000"}},
    {"actions after the last sleeper still run", {}, {50.25}, {"a0@50250", "main@100000"}}};

TEST(VirtualWorld, WakesInDeadlineThenWaitOrderWithWorldFirst) {
  for (const OrderCase &c : kOrderCases) {
    SCOPED_TRACE(c.title);
    VirtualWorld world;
    platform::UseBackend running(world);
    Log log(world);
    for (size_t i = 0; i < c.actions.size(); ++i) {
      std::string name = "a" + std::to_string(i);
      world.at(c.actions[i], [&log, name] { log.mark(name); });
    }
    world.run(
        [&] {
          std::vector<std::thread> threads;
          for (const Sleeper &s : c.sleepers) {
            threads.push_back(HelperThread(world, [&world, &log, s] {
              SleepUntil(world, s.deadline);
              log.mark(s.name);
            }));
            // Let this sleeper wait before the next one starts: the main thread's own short
            // virtual sleep can only end once the sleeper waits too.
            SleepUntil(world, world.nowNanos());
          }
          // A real join would block outside the clock's sight; by 100 s every sleeper is done.
          SleepUntil(world, 100 * kSecond);
          log.mark("main");
          for (auto &t : threads) t.join();
          return 0;
        },
        1000);
    EXPECT_EQ(log.lines(), c.expected);
  }
}

TEST(VirtualWorld, NotifiedThreadCountsAsRunningAtOnce) {
  // The woken thread takes real time before it acts; the clock must not move meanwhile.
  VirtualWorld world;
  platform::UseBackend running(world);
  Log log(world);
  std::unique_ptr<platform::Waiter> waiter = world.time().makeWaiter();
  world.run(
      [&] {
        std::thread t = HelperThread(world, [&] {
          waiter->waitUntil(platform::kForever);
          std::this_thread::sleep_for(std::chrono::milliseconds(30));
          log.mark("woken");
        });
        SleepUntil(world, 0);  // the thread now waits
        waiter->notify();
        SleepUntil(world, 7 * kSecond);
        log.mark("main");
        t.join();
        return 0;
      },
      1000);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"woken@0", "main@7000"}));
}

TEST(VirtualWorld, NotifyBeforeWaitReturnsAtOnce) {
  VirtualWorld world;
  platform::UseBackend running(world);
  uint64_t after = 1;
  world.run(
      [&] {
        std::unique_ptr<platform::Waiter> waiter = world.time().makeWaiter();
        waiter->notify();
        waiter->waitUntil(50 * kSecond);
        after = world.nowNanos();
        return 0;
      },
      1000);
  EXPECT_EQ(after, 0u);
}

TEST(VirtualWorld, ActionsCanWakeWaitersAndScheduleMore) {
  VirtualWorld world;
  platform::UseBackend running(world);
  Log log(world);
  std::unique_ptr<platform::Waiter> waiter = world.time().makeWaiter();
  world.at(2, [&] {
    log.mark("first");
    world.at(1, [&] {
      log.mark("late");  // never before the current time
    });
    waiter->notify();
  });
  world.run(
      [&] {
        waiter->waitUntil(platform::kForever);
        log.mark("main");
        SleepUntil(world, world.nowNanos() + kSecond);
        return 0;
      },
      1000);
  // Every action of a time runs before anything the helper does at that time.
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"first@2000", "late@2000", "main@2000"}));
}

TEST(VirtualWorld, ActionsAtTheStartComeBeforeTheEntry) {
  VirtualWorld world;
  platform::UseBackend running(world);
  Log log(world);
  world.at(0, [&] { log.mark("world"); });
  world.run(
      [&] {
        log.mark("entry");
        return 0;
      },
      1000);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"world@0", "entry@0"}));
}

// The run ends the process: with 0 when the clock reaches the end, with what exit is given.
TEST(VirtualWorldDeathTest, EndsWhenTheClockReachesTheEndOrOnExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (int status : {0, 42}) {
    auto body = [status] {
      VirtualWorld world;
      Recorder recorder;
      world.setObserver(&recorder);
      platform::UseBackend running(world);
      if (status) world.at(4, [&] { world.exitProcess(status); });
      world.run(
          [&] {
            SleepUntil(world, platform::kForever);
            return 3;
          },
          10);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(status), "") << status;
  }
}

TEST(VirtualWorld, TrustAndTapCreationAreObserved) {
  VirtualWorld world;
  Recorder recorder;
  world.setObserver(&recorder);
  struct NoClient : platform::TapClient {
    void submit(platform::TapEvent, std::function<void(bool)> answer) override { answer(true); }
  } client;
  platform::TapRequest request{kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                               CGEventMaskBit(kCGEventOtherMouseDown)};

  world.setTrusted(false);
  EXPECT_FALSE(world.input().isProcessTrusted(true));
  EXPECT_EQ(world.input().createTap(request, client), nullptr);  // untrusted: no tap
  world.setTrusted(true);
  EXPECT_TRUE(world.input().isProcessTrusted(false));
  world.setTapCreationFails(true);
  EXPECT_EQ(world.input().createTap(request, client), nullptr);
  world.setTapCreationFails(false);
  auto tap = world.input().createTap(request, client);
  ASSERT_NE(tap, nullptr);
  tap->setEnabled(false);
  EXPECT_FALSE(tap->isEnabled());
  tap->setEnabled(true);
  EXPECT_EQ(recorder.lines,
            (std::vector<std::string>{"trust prompt no", "tap failed", "trust yes", "tap failed",
                                      "tap ok", "disable", "enable"}));
}

TEST(VirtualWorld, HeldButtonsChangeWithoutATap) {
  VirtualWorld world;
  world.pressButton(0);
  world.pressButton(4);
  EXPECT_EQ(world.input().pressedMouseButtons(), 0x11u);
  world.releaseButton(0);
  world.releaseButton(9);  // never pressed
  EXPECT_EQ(world.input().pressedMouseButtons(), 0x10u);
  world.pressButton(64);  // outside the mask: ignored, not undefined
  world.pressButton(-1);
  EXPECT_EQ(world.input().pressedMouseButtons(), 0x10u);
}

TEST(VirtualWorld, MapsOnlyTheSystemLibrary) {
  VirtualWorld world;
  EXPECT_EQ(world.mapPath("/Library/X"), "/Library/X");  // no stand-in yet
  world.setSystemRoot("/tmp/root");
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"/Library/PreferencePanes/A", "/tmp/root/Library/PreferencePanes/A"},
      {"/Library", "/tmp/root/Library"},
      {"/LibraryX/a", "/LibraryX/a"},
      {"/home/u/Library/a", "/home/u/Library/a"},
      {"Library/a", "Library/a"},
  };
  for (const Case &c : cases) EXPECT_EQ(world.mapPath(c.in), c.out) << c.in;
}

}  // namespace

namespace {

struct Delivery {
  CGEventType type;
  int64_t button;
  platform::NSUInteger held;  // as the callback saw it
  uint64_t millis;
  bool onMainThread;
  bool operator==(const Delivery &) const = default;
};

struct TapSeen {
  VirtualWorld *world;
  std::vector<Delivery> deliveries;
};

CGEventRef SwallowButton3(CGEventTapProxy, CGEventType type, CGEventRef event, void *info) {
  auto *seen = static_cast<TapSeen *>(info);
  int64_t button = CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber);
  seen->deliveries.push_back({type, button, corvassel::ns::NSEvent::pressedMouseButtons(),
                              seen->world->nowNanos() / 1000000, gettid() == getpid()});
  return button == 3 ? nullptr : event;
}

class FilterLog : public VirtualWorld::Observer {
 public:
  void eventFiltered(CGEventType type, int64_t button, bool passed) override {
    lines.push_back(std::to_string(type) + " " + std::to_string(button) +
                    (passed ? " pass" : " swallow"));
  }
  std::vector<std::string> lines;
};

// With the platform's real run loop and tap: events arrive on the main thread at their time,
// the held mask is the one from before each event, and a switched-off tap hears nothing more.
TEST(VirtualWorldTap, DeliversButtonsOnTheMainRunLoop) {
  long liveBefore = platform::liveObjectCount();
  {
    VirtualWorld world;
    FilterLog filtered;
    world.setObserver(&filtered);
    platform::UseBackend running(world);
    TapSeen seen{&world, {}};
    CFMachPortRef tap =
        CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                         kButtonEvents, SwallowButton3, &seen);
    ASSERT_NE(tap, nullptr);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(kCFAllocatorDefault, tap, 0);
    CFRunLoopAddSource(CFRunLoopGetMain(), source, kCFRunLoopCommonModes);
    CGEventTapEnable(tap, true);

    std::vector<std::string> notified;
    world.notifications().start([&](const std::string &name) {
      notified.push_back(name + "@" + std::to_string(world.nowNanos() / 1000000));
    });

    world.at(1, [&] { world.pressButton(2); });
    world.at(2, [&] { world.pressButton(3); });
    world.at(2.5, [&] { world.pressButton(0); });  // never reaches a tap
    world.at(3, [&] { world.releaseButton(3); });
    world.at(3, [&] { world.pressButton(1); });
    world.at(4, [&] { world.releaseButton(2); });
    world.at(5, [&] { world.disableTap(kCGEventTapDisabledByTimeout); });
    world.at(6, [&] { world.pressButton(4); });
    world.at(7, [&] { world.postNotification("changed"); });
    world.runUntil(10);

    const platform::NSUInteger b0 = 1, b1 = 2, b2 = 4, b3 = 8;
    EXPECT_EQ(seen.deliveries, (std::vector<Delivery>{
                                   {kCGEventOtherMouseDown, 2, 0, 1000, true},
                                   {kCGEventOtherMouseDown, 3, b2, 2000, true},
                                   {kCGEventOtherMouseUp, 3, b0 | b2 | b3, 3000, true},
                                   {kCGEventRightMouseDown, 1, b0 | b2, 3000, true},
                                   {kCGEventOtherMouseUp, 2, b0 | b1 | b2, 4000, true},
                                   {kCGEventTapDisabledByTimeout, 0, b0 | b1, 5000, true},
                               }));
    EXPECT_EQ(filtered.lines,
              (std::vector<std::string>{"25 2 pass", "25 3 swallow", "26 3 swallow", "3 1 pass",
                                        "26 2 pass", "4294967294 0 pass"}));
    EXPECT_EQ(world.input().pressedMouseButtons(), b0 | b1 | (platform::NSUInteger{1} << 4));
    EXPECT_FALSE(CGEventTapIsEnabled(tap));
    EXPECT_EQ(notified, (std::vector<std::string>{"changed@7000"}));
    EXPECT_EQ(world.nowNanos(), 10 * kSecond);

    CFRunLoopRemoveSource(CFRunLoopGetMain(), source, kCFRunLoopCommonModes);
    CFRelease(source);
    CFMachPortInvalidate(tap);
    CFRelease(tap);
  }
  EXPECT_EQ(platform::liveObjectCount(), liveBefore);
}

}  // namespace
