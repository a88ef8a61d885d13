#include <gtest/gtest.h>

#include <vector>

#include "ManualTimeBackend.h"
#include "helper/CorvasselHelper.h"

namespace {

enum Step { Start, Stop, Schedule, TapsFail };

struct Case {
  const char *name;
  std::vector<Step> steps;
  int tapRequests;
  std::vector<bool> enables;
  size_t timersArmed;
  int timersInvalidated;
  bool tapInstalled;
};

const Case kCases[] = {
    {"start twice: one tap, one timer", {Start, Start}, 1, {true}, 1, 0, true},
    {"failing tap: no tap, no timer", {TapsFail, Start}, 1, {}, 0, 0, false},
    {"stop without a tap does nothing", {Stop}, 0, {}, 0, 0, false},
    {"stop, then start: a new tap and a new timer",
     {Start, Stop, Start},
     2,
     {true, false, true},
     2,
     1,
     true},
    {"stop twice disables once", {Start, Stop, Stop}, 1, {true, false}, 1, 0, false},
    {"scheduling again replaces the pending timer", {Start, Schedule}, 1, {true}, 2, 1, true},
};

TEST(HelperLifecycle, TapAndTimer) {
  for (const Case &c : kCases) {
    SCOPED_TRACE(c.name);
    {
      ManualTimeBackend warm;
      delete new CorvasselHelper;  // the process-wide swipe table exists from now on
    }
    long liveBefore = platform::liveObjectCount();
    {
      ManualTimeBackend world;
      auto *helper = new CorvasselHelper;
      for (Step step : c.steps) {
        if (step == Start) helper->start();
        if (step == Stop) helper->stop();
        if (step == Schedule) helper->scheduleRestart();
        if (step == TapsFail) world.tapInput.tapsFail = true;
      }
      EXPECT_EQ(world.tapInput.tapRequests, c.tapRequests);
      EXPECT_EQ(world.tapInput.taps.enables, c.enables);
      EXPECT_EQ(world.manualTime.armed.size(), c.timersArmed);
      for (CFTimeInterval interval : world.manualTime.armed) EXPECT_DOUBLE_EQ(interval, 1800.0);
      EXPECT_EQ(world.manualTime.invalidated, c.timersInvalidated);
      EXPECT_EQ(helper->eventTap() != nullptr, c.tapInstalled);
      EXPECT_EQ(helper->restartTimer() != nullptr, c.timersArmed > 0);
      // Every tap's source went to the main loop.
      for (CFRunLoopRef rl : world.tapInput.taps.attachedTo) EXPECT_EQ(rl, CFRunLoopGetMain());
      EXPECT_EQ(world.tapInput.taps.attachedTo.size(), world.tapInput.taps.created);
      if (c.tapInstalled) {
        EXPECT_TRUE(CGEventTapIsEnabled(helper->eventTap()));
        EXPECT_EQ(world.tapInput.taps.lastRequest.eventsOfInterest, 0x6000018u);
      }
      delete helper;  // the tear-down leaves no timer pending and disables the tap
      if (c.tapInstalled) {
        EXPECT_FALSE(world.tapInput.taps.enables.back());
      }
    }
    EXPECT_EQ(platform::liveObjectCount(), liveBefore);
  }
}

// The restart timer ends the process; which timer fired shows in the time of the exit.
struct RestartCase {
  const char *name;
  std::vector<std::pair<double, Step>> steps;  // at a time on the manual clock
  const char *exitLine;
};

const RestartCase kRestartCases[] = {
    {"FiresAfterHalfAnHour", {{0, Start}}, "exit 42 at 1800\\.000 taps 1 armed 1 invalidated 0"},
    {"OnlyTheNewestFires",
     {{0, Start}, {100, Schedule}},
     "exit 42 at 1900\\.000 taps 1 armed 2 invalidated 1"},
    {"RestartingTheTapRestartsTheTimer",
     {{0, Start}, {600, Stop}, {600, Start}},
     "exit 42 at 2400\\.000 taps 2 armed 2 invalidated 1"},
};

TEST(HelperRestart, ExitsWith42) {
  UseFreshProcessForDeathTests();
  for (const RestartCase &c : kRestartCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          ManualTimeBackend world;
          auto *helper = new CorvasselHelper;
          for (auto [at, step] : c.steps) {
            world.manualTime.now = static_cast<uint64_t>(at * 1e9);
            if (step == Start) helper->start();
            if (step == Stop) helper->stop();
            if (step == Schedule) helper->scheduleRestart();
          }
          CFRunLoopRun();
          fprintf(stderr, "the run loop returned\n");
          _exit(1);
        },
        ::testing::ExitedWithCode(42), c.exitLine);
  }
}

}  // namespace
