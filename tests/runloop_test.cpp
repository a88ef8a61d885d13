#include <CoreFoundation/CoreFoundation.h>
#include <dispatch/dispatch.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <dirent.h>
#include <future>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CallbackSupport.h"
#include "ManualTimeBackend.h"
#include "runloop/RunLoopInternal.h"

namespace {

std::vector<std::string> gTrace;

CFRunLoopTimerRef AddTimer(double offset, std::string name) {
  CFRunLoopTimerRef timer = CreateTimer(CFAbsoluteTimeGetCurrent() + offset,
                                        [name](CFRunLoopTimerRef) { gTrace.push_back(name); });
  CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
  return timer;
}

// A signalled source on the current loop that adds its name to the trace when performed.
void AddSignalledSource(const char *name, CFIndex order = 0) {
  CFRunLoopSourceContext context{};
  context.info = const_cast<char *>(name);
  context.perform = [](void *info) { gTrace.push_back(static_cast<const char *>(info)); };
  CFRunLoopSourceRef source = CFRunLoopSourceCreate(nullptr, order, &context);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
  CFRunLoopSourceSignal(source);
  CFRelease(source);
}

struct SourceLog {
  std::vector<CFRunLoopRef> scheduled;
  std::vector<CFRunLoopRef> cancelled;
  int performed = 0;
};

CFRunLoopSourceRef MakeSource(SourceLog &log, CFIndex order = 0) {
  CFRunLoopSourceContext context{};
  context.info = &log;
  context.schedule = [](void *info, CFRunLoopRef rl, CFRunLoopMode) {
    static_cast<SourceLog *>(info)->scheduled.push_back(rl);
  };
  context.cancel = [](void *info, CFRunLoopRef rl, CFRunLoopMode) {
    static_cast<SourceLog *>(info)->cancelled.push_back(rl);
  };
  context.perform = [](void *info) { ++static_cast<SourceLog *>(info)->performed; };
  return CFRunLoopSourceCreate(nullptr, order, &context);
}

class RunLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gTrace.clear();
    liveBefore = platform::liveObjectCount();
    renew();
  }
  // A backend replaces the one before only after that one is gone (it uninstalls itself).
  void renew() {
    world.reset();
    world = std::make_unique<ManualTimeBackend>();
  }
  void TearDown() override {
    world.reset();  // the loop and whatever it still holds go with the backend
    EXPECT_EQ(platform::liveObjectCount(), liveBefore);
  }
  long liveBefore = 0;
  std::unique_ptr<ManualTimeBackend> world;
};

TEST_F(RunLoopTest, OneIterationServesSourcesThenWorkThenDueTimers) {
  CFRunLoopRef rl = CFRunLoopGetCurrent();
  CFRunLoopTimerRef due = AddTimer(0, "timer");
  CFRelease(due);
  platform::runLoopPerform(rl, [] { gTrace.push_back("work 1"); });
  platform::runLoopPerform(rl, [] { gTrace.push_back("work 2"); });
  AddSignalledSource("source");

  CFRunLoopRun();  // ends when nothing is left to wait for
  EXPECT_EQ(gTrace, (std::vector<std::string>{"source", "work 1", "work 2", "timer"}));
}

TEST_F(RunLoopTest, TimersFireByDeadlineThenCreationOrder) {
  struct Case {
    std::vector<std::pair<double, std::string>> timers;  // in creation order
    std::vector<std::string> expected;
    double endsAt;
  };
  const Case cases[] = {
      {{{3, "a"}, {1, "b"}, {2, "c"}}, {"b", "c", "a"}, 3},
      {{{5, "first"}, {5, "second"}, {5, "third"}}, {"first", "second", "third"}, 5},
      {{{1800, "late"}, {0, "now"}, {-10, "past"}}, {"now", "past", "late"}, 1800},
  };
  for (const Case &c : cases) {
    renew();
    gTrace.clear();
    for (const auto &[offset, name] : c.timers) CFRelease(AddTimer(offset, name));
    CFRunLoopRun();
    EXPECT_EQ(gTrace, c.expected);
    EXPECT_DOUBLE_EQ(world->manualTime.seconds(), c.endsAt);
  }
}

TEST_F(RunLoopTest, TimerObservationsAndValidity) {
  enum Step { Add, Invalidate, Run };
  struct Case {
    const char *name;
    std::vector<Step> steps;
    size_t armed;
    int invalidated;
    bool fired;
  };
  const Case cases[] = {
      {"added and fired", {Add, Run}, 1, 0, true},
      {"invalidated while pending", {Add, Invalidate, Run}, 1, 1, false},
      {"invalidated twice", {Add, Invalidate, Invalidate, Run}, 1, 1, false},
      {"invalidated before being added", {Invalidate, Add, Run}, 0, 0, false},
      {"added twice", {Add, Add, Run}, 1, 0, true},
      {"invalidated after firing", {Add, Run, Invalidate}, 1, 0, true},
      {"added again after firing", {Add, Run, Add, Run}, 1, 0, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    renew();
    int fired = 0;
    CFRunLoopTimerRef timer =
        CreateTimer(CFAbsoluteTimeGetCurrent() + 1800.0, [&fired](CFRunLoopTimerRef) { ++fired; });
    for (Step step : c.steps) {
      if (step == Add) CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
      if (step == Invalidate) CFRunLoopTimerInvalidate(timer);
      if (step == Run) CFRunLoopRun();
    }
    ASSERT_EQ(world->manualTime.armed.size(), c.armed);
    if (c.armed) {
      EXPECT_DOUBLE_EQ(world->manualTime.armed[0], 1800.0);
    }
    EXPECT_EQ(world->manualTime.invalidated, c.invalidated);
    EXPECT_EQ(fired, c.fired ? 1 : 0);
    EXPECT_FALSE(CFRunLoopTimerIsValid(timer));  // spent or invalidated, either way
    CFRelease(timer);
  }
}

TEST_F(RunLoopTest, InvalidatingFromItsOwnHandlerIsNotAnInvalidation) {
  CFRunLoopTimerRef timer = CreateTimer(CFAbsoluteTimeGetCurrent() + 1, [](CFRunLoopTimerRef self) {
    CFRunLoopTimerInvalidate(self);
  });
  CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
  CFRelease(timer);
  CFRunLoopRun();
  EXPECT_EQ(world->manualTime.invalidated, 0);
}

TEST_F(RunLoopTest, ReplacingAPendingTimerFiresOnlyTheNewest) {
  CFRunLoopTimerRef first = AddTimer(1800, "first");
  world->manualTime.advance(100);
  CFRunLoopTimerInvalidate(first);
  CFRelease(first);
  CFRelease(AddTimer(1800, "second"));
  CFRunLoopRun();
  EXPECT_EQ(gTrace, std::vector<std::string>{"second"});
  EXPECT_DOUBLE_EQ(world->manualTime.seconds(), 1900);
  EXPECT_EQ(world->manualTime.invalidated, 1);
}

TEST_F(RunLoopTest, OddFireDatesAreBounded) {
  struct Case {
    double fireDateOffset;
    bool fires;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const Case cases[] = {{-5, true},   {std::nan(""), true}, {-inf, true},
                        {inf, false}, {1e300, false},       {0.25, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fireDateOffset);
    renew();
    gTrace.clear();
    CFRelease(AddTimer(c.fireDateOffset, "fired"));
    CFRunLoopRun();
    EXPECT_EQ(gTrace.size(), c.fires ? 1u : 0u);
  }
}

TEST_F(RunLoopTest, RunInModeReturnsWhyItStopped) {
  struct Case {
    const char *name;
    std::function<void()> arrange;
    double seconds;
    bool returnAfterSource;
    SInt32 expected;
    double endsAt;
  };
  const Case cases[] = {
      {"times out on its clock", [] {}, 30, false, kCFRunLoopRunTimedOut, 30},
      {"zero seconds is one pass", [] {}, 0, false, kCFRunLoopRunTimedOut, 0},
      {"negative seconds is one pass", [] {}, -4, false, kCFRunLoopRunTimedOut, 0},
      {"stopped by a task",
       [] {
         platform::runLoopPerform(CFRunLoopGetCurrent(),
                                  [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
       },
       30, false, kCFRunLoopRunStopped, 0},
      {"stopped by a timer",
       [] {
         CFRunLoopTimerRef t = CreateTimer(CFAbsoluteTimeGetCurrent() + 7, [](CFRunLoopTimerRef) {
           CFRunLoopStop(CFRunLoopGetCurrent());
         });
         CFRunLoopAddTimer(CFRunLoopGetCurrent(), t, kCFRunLoopDefaultMode);
         CFRelease(t);
       },
       30, false, kCFRunLoopRunStopped, 7},
      {"returns after a task", [] { platform::runLoopPerform(CFRunLoopGetCurrent(), [] {}); }, 30,
       true, kCFRunLoopRunHandledSource, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    renew();
    c.arrange();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, c.seconds, c.returnAfterSource),
              c.expected);
    EXPECT_DOUBLE_EQ(world->manualTime.seconds(), c.endsAt);
  }
}

TEST_F(RunLoopTest, SourcesAreScheduledOnceRetainedAndPerformedOnlyWhenSignalled) {
  CFRunLoopRef rl = CFRunLoopGetCurrent();
  SourceLog log;
  CFRunLoopSourceRef source = MakeSource(log);
  CFRunLoopAddSource(rl, source, kCFRunLoopCommonModes);
  CFRunLoopAddSource(rl, source, kCFRunLoopDefaultMode);  // the same loop serves both modes
  EXPECT_EQ(log.scheduled, std::vector<CFRunLoopRef>{rl});
  EXPECT_TRUE(CFRunLoopContainsSource(rl, source, kCFRunLoopDefaultMode));
  CFRelease(source);  // the loop's reference keeps it

  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  EXPECT_EQ(log.performed, 0);
  CFRunLoopSourceSignal(source);
  CFRunLoopSourceSignal(source);  // signals do not queue up
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 10, true), kCFRunLoopRunHandledSource);
  EXPECT_EQ(log.performed, 1);

  CFRetain(source);
  CFRunLoopRemoveSource(rl, source, kCFRunLoopDefaultMode);
  EXPECT_EQ(log.cancelled, std::vector<CFRunLoopRef>{rl});
  CFRunLoopSourceSignal(source);
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  EXPECT_EQ(log.performed, 1);
  CFRelease(source);
}

TEST_F(RunLoopTest, InvalidatedSourceLeavesEveryLoopAndIsNotPerformed) {
  SourceLog log;
  CFRunLoopSourceRef source = MakeSource(log);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
  CFRunLoopSourceSignal(source);
  CFRunLoopSourceInvalidate(source);
  EXPECT_FALSE(CFRunLoopSourceIsValid(source));
  EXPECT_EQ(log.cancelled.size(), 1u);
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  EXPECT_EQ(log.performed, 0);
  CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
  EXPECT_EQ(log.scheduled.size(), 1u);
  CFRelease(source);
}

TEST_F(RunLoopTest, SignalledSourcesRunByOrder) {
  std::vector<std::pair<CFIndex, const char *>> sources = {
      {5, "five"}, {-1, "minus one"}, {5, "five again"}, {0, "zero"}};
  for (auto [order, name] : sources) AddSignalledSource(name, order);
  CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
  EXPECT_EQ(gTrace, (std::vector<std::string>{"minus one", "zero", "five", "five again"}));
}

TEST_F(RunLoopTest, TimerContextInfoIsRetainedForTheTimersLife) {
  static int retained = 0;
  CFRunLoopTimerContext context{};
  context.info = &retained;
  context.retain = [](const void *info) {
    ++*static_cast<int *>(const_cast<void *>(info));
    return info;
  };
  context.release = [](const void *info) { --*static_cast<int *>(const_cast<void *>(info)); };
  CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
      nullptr, CFAbsoluteTimeGetCurrent() + 2, 0, 0, 0,
      [](CFRunLoopTimerRef, void *info) {
        gTrace.push_back(std::to_string(*static_cast<int *>(info)));
      },
      &context);
  CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
  CFRelease(timer);
  EXPECT_EQ(retained, 1);
  CFRunLoopRun();
  EXPECT_EQ(gTrace, std::vector<std::string>{"1"});
  EXPECT_EQ(retained, 0);  // the spent timer is gone with its info
}

TEST_F(RunLoopTest, EachThreadHasItsOwnLoopAndSeesTheMainOne) {
  CFRunLoopRef main = CFRunLoopGetMain();
  EXPECT_EQ(CFRunLoopGetCurrent(), main);
  std::vector<CFRunLoopRef> seen;
  std::thread([&] {
    seen = {CFRunLoopGetCurrent(), CFRunLoopGetCurrent(), CFRunLoopGetMain()};
  }).join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_NE(seen[0], main);
  EXPECT_EQ(seen[2], main);
  EXPECT_EQ(CFGetTypeID(main), CFRunLoopGetTypeID());
}

TEST_F(RunLoopTest, ANewBackendGetsAFreshLoopWithoutTheOldTimers) {
  CFRelease(AddTimer(10, "old world"));
  renew();
  CFRelease(AddTimer(20, "new world"));
  CFRunLoopRun();
  EXPECT_EQ(gTrace, std::vector<std::string>{"new world"});
}

// ---- On the real clock: no timings are asserted, only that waits end for the right reason.

TEST(SystemRunLoop, WorkFromAnotherThreadWakesTheLoop) {
  TestBackend real;
  std::vector<int> order;
  std::thread poster([&] {
    for (int i = 0; i < 5; ++i)
      platform::runLoopPerform(CFRunLoopGetMain(), [&order, i] { order.push_back(i); });
    platform::runLoopPerform(CFRunLoopGetMain(), [] { CFRunLoopStop(CFRunLoopGetMain()); });
  });
  CFRunLoopRun();
  poster.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
}

TEST(SystemRunLoop, WatchedDescriptorIsServedFromTheWait) {
  TestBackend real;
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  CFRunLoopRef rl = CFRunLoopGetCurrent();
  std::string got;
  ASSERT_TRUE(platform::runLoopWatch(rl, fds[0], 0x001 /* EPOLLIN */, [&](uint32_t) {
    char c;
    while (read(fds[0], &c, 1) == 1 && c != '\n') got += c;
    CFRunLoopStop(CFRunLoopGetCurrent());
  }));
  std::thread writer([&] { ASSERT_EQ(write(fds[1], "ok\n", 3), 3); });
  CFRunLoopRun();
  writer.join();
  EXPECT_EQ(got, "ok");
  platform::runLoopUnwatch(rl, fds[0]);
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.01, false), kCFRunLoopRunTimedOut);
  close(fds[0]);
  close(fds[1]);
}

// Two descriptors ready in one round; whichever handler runs first drops the other and watches
// a new descriptor under the same number, which is not ready. The old readiness must reach
// nobody: neither the dropped handler, freed meanwhile, nor the new one.
TEST(SystemRunLoop, AHandlerDroppedDuringARoundIsNotCalledNorIsItsSuccessor) {
  std::unique_ptr<platform::RunLoopDriver> driver = platform::SystemTime().makeRunLoopDriver();
  int first[2], second[2];
  ASSERT_EQ(pipe2(first, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(second, O_CLOEXEC), 0);
  const int fds[2] = {first[0], second[0]};
  std::vector<std::string> calls;
  auto handler = [&](int self) {
    return [&, self](uint32_t) {
      calls.push_back("ready " + std::to_string(self));
      const int other = fds[1 - self];
      driver->unwatch(other);
      int fresh[2];
      ASSERT_EQ(pipe2(fresh, O_CLOEXEC), 0);
      ASSERT_EQ(dup3(fresh[0], other, O_CLOEXEC), other);  // the same number, nothing to read
      close(fresh[0]);
      close(fresh[1]);
      driver->watch(other, 0x001 /* EPOLLIN */, [&](uint32_t) { calls.push_back("successor"); });
    };
  };
  for (int i : {0, 1}) ASSERT_TRUE(driver->watch(fds[i], 0x001, handler(i)));
  ASSERT_EQ(write(first[1], "x", 1), 1);
  ASSERT_EQ(write(second[1], "x", 1), 1);
  driver->wait(platform::kForever);
  ASSERT_EQ(calls.size(), 1u) << testing::PrintToString(calls);
  EXPECT_EQ(calls[0].rfind("ready ", 0), 0u);
  driver.reset();
  for (int fd : {first[0], first[1], second[0], second[1]}) close(fd);
}

TEST(SystemRunLoop, TimerOnTheRealClockFires) {
  TestBackend real;
  bool fired = false;
  CFRunLoopTimerRef timer = CreateTimer(CFAbsoluteTimeGetCurrent() + 0.02, [&](CFRunLoopTimerRef) {
    fired = true;
    CFRunLoopStop(CFRunLoopGetCurrent());
  });
  CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
  CFRelease(timer);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 60, false), kCFRunLoopRunStopped);
  EXPECT_TRUE(fired);
}

TEST(SystemRunLoop, DriverDescriptorsAreCloseOnExecAndClosedWithIt) {
  std::set<int> before = OpenDescriptors();
  auto driver = platform::SystemTime().makeRunLoopDriver();
  std::set<int> during = OpenDescriptors();
  int added = 0;
  for (int fd : during) {
    if (before.count(fd)) continue;
    ++added;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
  }
  EXPECT_EQ(added, 3);  // epoll, timerfd, eventfd
  driver.reset();
  EXPECT_EQ(OpenDescriptors(), before);
}

// A loop without its own descriptors could only spin or sleep for ever: it says why and stops.
TEST(SystemRunLoop, ADriverThatCannotSetItselfUpIsFatal) {
  UseFreshProcessForDeathTests();
  EXPECT_DEATH(
      {
        const rlimit none{};  // not a single descriptor more
        setrlimit(RLIMIT_NOFILE, &none);
        platform::SystemTime().makeRunLoopDriver();
      },
      "epoll_create1: Too many open files");
}

TEST(SystemRunLoop, WaiterReturnsOnNotifyEvenWhenItCameFirst) {
  platform::SystemTime clock;
  auto waiter = clock.makeWaiter();
  const uint64_t start = clock.upTimeNanos();
  const uint64_t minute = start + 60'000'000'000ull;
  waiter->notify();
  waiter->waitUntil(minute);  // would sleep the minute without the remembered notify
  std::thread notifier([&] { waiter->notify(); });
  waiter->waitUntil(minute);
  notifier.join();
  waiter->waitUntil(start);  // a deadline already passed returns at once
  EXPECT_LT(clock.upTimeNanos(), minute);
}

}  // namespace
