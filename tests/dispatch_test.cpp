#include <dispatch/dispatch.h>
#include <platform/LinuxMachine.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CallbackSupport.h"
#include "ManualTimeBackend.h"

namespace {

bool OnMainThread() {
  return gettid() == getpid();
}

// The real clock, with the thread announcements counted.
class CountingBackend : public TestBackend {
 public:
  CountingBackend() {
    manualTime.real = true;
    clock = &manualTime;
  }
};

TEST(Dispatch, MainQueueTasksRunOnTheMainThreadInOrder) {
  CountingBackend backend;
  std::vector<std::pair<int, bool>> ran;
  DispatchAsync(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0), [&ran] {
    for (int i = 0; i < 20; ++i)
      DispatchAsync(dispatch_get_main_queue(), [&ran, i] { ran.emplace_back(i, OnMainThread()); });
    DispatchAsync(dispatch_get_main_queue(), [] { CFRunLoopStop(CFRunLoopGetMain()); });
  });
  CFRunLoopRun();
  ASSERT_EQ(ran.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(ran[i].first, i);
    EXPECT_TRUE(ran[i].second) << "task " << i;
  }
  backend.manualTime.awaitAllExited();
  EXPECT_GE(backend.manualTime.started, 1);
}

TEST(Dispatch, GlobalQueueRunsTasksConcurrentlyOffTheMainThread) {
  CountingBackend backend;
  auto global = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0);
  std::promise<void> released;
  std::shared_future<void> gate = released.get_future().share();
  std::promise<bool> firstOnMain;
  std::promise<void> done;
  // The first task blocks until the second runs: one worker alone would deadlock.
  DispatchAsync(global, [gate, &firstOnMain, &done] {
    firstOnMain.set_value(OnMainThread());
    gate.wait();
    done.set_value();
  });
  DispatchAsync(global, [&released] { released.set_value(); });
  done.get_future().wait();
  EXPECT_FALSE(firstOnMain.get_future().get());
  backend.manualTime.awaitAllExited();  // idle workers end rather than wait
  EXPECT_EQ(backend.manualTime.started, 2);
}

TEST(Dispatch, DelayedGlobalTaskRunsOffTheMainThread) {
  CountingBackend backend;
  std::promise<bool> onMain;
  DispatchAfter(dispatch_time(DISPATCH_TIME_NOW, 5 * NSEC_PER_MSEC),
                dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0),
                [&onMain] { onMain.set_value(OnMainThread()); });
  EXPECT_FALSE(onMain.get_future().get());
  backend.manualTime.awaitAllExited();
  EXPECT_EQ(backend.manualTime.waiters.load(), 1);
}

void RecordNever(void *ran) {
  static_cast<std::vector<std::string> *>(ran)->push_back("never");
}

TEST(Dispatch, MainQueueAfterRunsInDeadlineOrderWithoutArmingATimer) {
  ManualTimeBackend world;
  std::vector<std::string> ran;
  auto main = dispatch_get_main_queue();
  DispatchAfter(dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC), main,
                [&] { ran.push_back("2s first"); });
  DispatchAfter(dispatch_time(DISPATCH_TIME_NOW, 1 * NSEC_PER_SEC), main,
                [&] { ran.push_back("1s"); });
  DispatchAfter(dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC), main,
                [&] { ran.push_back("2s second"); });
  dispatch_after_f(DISPATCH_TIME_FOREVER, main, &ran, RecordNever);
  DispatchAfter(DISPATCH_TIME_NOW, main, [&] { ran.push_back("now"); });
  CFRunLoopRun();
  EXPECT_EQ(ran, (std::vector<std::string>{"now", "1s", "2s first", "2s second"}));
  EXPECT_DOUBLE_EQ(world.manualTime.seconds(), 2.0);
  EXPECT_TRUE(world.manualTime.armed.empty());
}

TEST(Dispatch, TimesSaturateInsteadOfWrapping) {
  ManualTimeBackend world;
  world.manualTime.now = 5 * NSEC_PER_SEC;
  struct Case {
    dispatch_time_t when;
    int64_t delta;
    dispatch_time_t expected;
  };
  const Case cases[] = {
      {DISPATCH_TIME_NOW, 0, 5 * NSEC_PER_SEC},
      {DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC, 7 * NSEC_PER_SEC},
      {DISPATCH_TIME_NOW, -2 * static_cast<int64_t>(NSEC_PER_SEC), 3 * NSEC_PER_SEC},
      {DISPATCH_TIME_NOW, -9 * static_cast<int64_t>(NSEC_PER_SEC), 1},
      {DISPATCH_TIME_NOW, INT64_MIN, 1},
      {DISPATCH_TIME_NOW, INT64_MAX, 5 * NSEC_PER_SEC + INT64_MAX},
      {UINT64_MAX - 10, 11, DISPATCH_TIME_FOREVER},
      {UINT64_MAX - 10, INT64_MAX, DISPATCH_TIME_FOREVER},
      {DISPATCH_TIME_FOREVER, -5, DISPATCH_TIME_FOREVER},
      {100, 1, 101},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(dispatch_time(c.when, c.delta), c.expected) << c.when << " + " << c.delta;
  }
}

void MustNotRun(void *) {
  ADD_FAILURE() << "ran";
}

TEST(Dispatch, NullQueueOrFunctionIsIgnored) {
  ManualTimeBackend world;
  dispatch_async_f(nullptr, nullptr, MustNotRun);
  dispatch_async_f(dispatch_get_main_queue(), nullptr, nullptr);
  dispatch_after_f(DISPATCH_TIME_NOW, nullptr, nullptr, MustNotRun);
  dispatch_after_f(DISPATCH_TIME_NOW, dispatch_get_main_queue(), nullptr, nullptr);
  EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
  EXPECT_EQ(dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0),
            dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT, 0));
  EXPECT_NE(dispatch_get_main_queue(), dispatch_get_global_queue(0, 0));
}

struct SignalSeen {
  dispatch_source_t source = nullptr;
  std::vector<std::pair<uintptr_t, bool>> calls;  // data, on the main thread
};

void OnSignal(void *context) {
  auto *seen = static_cast<SignalSeen *>(context);
  seen->calls.emplace_back(dispatch_source_get_data(seen->source), OnMainThread());
  CFRunLoopStop(CFRunLoopGetMain());
}

// A SIGHUP sent to the process reaches the handler on the main thread, once per arrival, until
// the source is cancelled, when the program blocked it at start-up (as its machine does for the
// signals it takes through sources). Left unblocked, it would reach a source on this thread only,
// and another thread would take it by its disposition: the source stays quiet instead and the
// signal keeps its disposition (ignored here) on every thread alike.
TEST(Dispatch, ASignalSourceRunsItsHandlerOnTheMainQueueWhenItsSignalIsBlocked) {
  for (bool blocked : {true, false}) {
    SCOPED_TRACE(blocked ? "blocked at start-up" : "not blocked");
    TestBackend backend;
    signal(SIGHUP, SIG_IGN);
    sigset_t hangup;
    sigemptyset(&hangup);
    sigaddset(&hangup, SIGHUP);
    if (blocked) pthread_sigmask(SIG_BLOCK, &hangup, nullptr);
    SignalSeen seen;
    seen.source =
        dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGHUP, 0, dispatch_get_main_queue());
    ASSERT_NE(seen.source, nullptr);
    dispatch_set_context(seen.source, &seen);
    EXPECT_EQ(dispatch_get_context(seen.source), &seen);
    dispatch_source_set_event_handler_f(seen.source, OnSignal);
    dispatch_resume(seen.source);
    const size_t rounds = blocked ? 2 : 0;
    for (size_t round = 1; round <= 2; ++round) {
      kill(getpid(), SIGHUP);
      CFRunLoopRunInMode(kCFRunLoopDefaultMode, blocked ? 5 : 0.2, false);
      ASSERT_EQ(seen.calls.size(), std::min(round, rounds));
      if (blocked) {
        EXPECT_EQ(seen.calls.back(), std::make_pair(uintptr_t{1}, true));
      }
    }
    dispatch_source_cancel(seen.source);
    EXPECT_NE(dispatch_source_testcancel(seen.source), 0);
    kill(getpid(), SIGHUP);
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0.2, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(seen.calls.size(), rounds);
    dispatch_release(seen.source);
    // Back as it was: a signal left pending is dropped by ignoring it, then unblocked.
    pthread_sigmask(SIG_UNBLOCK, &hangup, nullptr);
    signal(SIGHUP, SIG_DFL);
  }
}

// So the machine a program makes first thing blocks them, for every thread started afterwards
// (a worker, the tap's), which would otherwise take SIGHUP by its default action: the end.
TEST(Dispatch, TheMachineBlocksTheProgramsSignalsForEveryLaterThread) {
  UseFreshProcessForDeathTests();
  EXPECT_EXIT(
      {
        platform::LinuxMachine machine({SIGHUP});
        bool blocked = false;
        std::thread([&] {
          sigset_t mask;
          pthread_sigmask(SIG_BLOCK, nullptr, &mask);
          blocked = sigismember(&mask, SIGHUP) && !sigismember(&mask, SIGTERM);
        }).join();
        _exit(blocked ? 7 : 1);
      },
      ::testing::ExitedWithCode(7), "");
}

TEST(Dispatch, SignalSourcesItCannotWatchAreRefused) {
  auto main = dispatch_get_main_queue();
  EXPECT_EQ(dispatch_source_create(nullptr, SIGHUP, 0, main), nullptr);
  EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGKILL, 0, main), nullptr);
  EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, 0, 0, main), nullptr);
  EXPECT_EQ(dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, 100000, 0, main), nullptr);
}

}  // namespace
