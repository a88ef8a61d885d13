// Run loops, their sources and one-shot timers.
//
// One iteration serves signalled sources (descriptors are served from inside the driver's wait),
// then performed work in FIFO order, then due timers by deadline and creation order, and then
// blocks until the nearest deadline. The order is what makes a simulated run deterministic:
// input that arrived at time T is handled before the loop's own timers due at T. The earliest
// run-loop timer is armed on the driver, the other deadlines are waited for.
#include <platform/Backend.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "Installed.h"
#include "cf/CFRuntime.h"
#include "runloop/RunLoopInternal.h"

const CFRunLoopMode kCFRunLoopDefaultMode = CFSTR("kCFRunLoopDefaultMode");
const CFStringRef kCFRunLoopCommonModes = CFSTR("kCFRunLoopCommonModes");

namespace platform {

namespace {

// Guards the scheduling state of every loop, source and timer. Callbacks, drivers and the
// backend are never called with it held.
std::mutex gLock;
std::atomic<uint64_t> gSequence{0};

class Source;
class Timer;

struct Key {
  uint64_t deadline;
  uint64_t sequence;
  bool operator<(const Key &o) const {
    return deadline != o.deadline ? deadline < o.deadline : sequence < o.sequence;
  }
};

struct Scheduled {
  Timer *timer = nullptr;      // retained by the loop while it is pending
  std::function<void()> task;  // when there is no timer
};

uint64_t SaturatingAdd(uint64_t a, uint64_t b) {
  return a > kForever - b ? kForever : a + b;
}

// Run loops live as long as their thread (or the backend in use) and are not counted as live
// objects.
class RunLoop final : public Object {
 public:
  explicit RunLoop(pid_t thread)
      : Object(kTypeIDRunLoop, /*immortal=*/true),
        time(&backend().time()),
        driver(time->makeRunLoopDriver()),
        thread(thread),
        process(getpid()) {}

  TimeSource *const time;
  const std::unique_ptr<RunLoopDriver> driver;
  const pid_t thread;
  const pid_t process;

  // Under gLock.
  std::vector<Source *> sources;  // retained; by order, then by addition
  std::deque<std::function<void()>> work;
  std::map<Key, Scheduled> scheduled;
  uint64_t armedTimer = kForever;  // what the driver's timer is armed for
  int depth = 0;
  bool stopRequested = false;

  // Arms the driver's timer for the earliest pending timer, when that changed.
  void rearmLocked() {
    uint64_t earliest = kForever;
    for (const auto &[key, entry] : scheduled) {
      if (entry.timer) {
        earliest = key.deadline;
        break;
      }
    }
    if (earliest == armedTimer) return;
    armedTimer = earliest;
    driver->armTimer(earliest);
  }

  void wakeFromElsewhere() {
    if (gettid() != thread) driver->wake();
  }
};

class Source final : public Object {
 public:
  Source(CFIndex order, const CFRunLoopSourceContext &context)
      : Object(kTypeIDRunLoopSource), order(order), sequence(gSequence++), context(context) {
    if (context.retain) this->context.info = const_cast<void *>(context.retain(context.info));
  }
  ~Source() override {
    if (context.release) context.release(context.info);
  }

  const CFIndex order;
  const uint64_t sequence;
  CFRunLoopSourceContext context;
  std::atomic<bool> signalled{false};
  // Under gLock.
  bool valid = true;
  std::vector<RunLoop *> loops;
};

class Timer final : public Object {
 public:
  Timer(CFAbsoluteTime fireDate, CFTimeInterval interval, CFIndex order)
      : Object(kTypeIDRunLoopTimer),
        fireDate(fireDate),
        interval(interval),
        order(order),
        sequence(gSequence++) {}
  ~Timer() override {
    if (context.release) context.release(context.info);
  }

  const CFAbsoluteTime fireDate;
  const CFTimeInterval interval;
  const CFIndex order;
  const uint64_t sequence;
  CFRunLoopTimerCallBack callout = nullptr;
  CFRunLoopTimerContext context{};
  // Under gLock.
  bool valid = true;
  RunLoop *loop = nullptr;  // set while pending
  Key key{};
};

RunLoop *AsLoop(CFRunLoopRef rl) {
  RunLoop *loop = reinterpret_cast<RunLoop *>(rl);
  if (loop && loop->typeID() != kTypeIDRunLoop) CFFatal("CFRunLoop", "not a run loop");
  return loop;
}
Source *AsSource(CFRunLoopSourceRef s) {
  Source *source = reinterpret_cast<Source *>(s);
  if (source && source->typeID() != kTypeIDRunLoopSource)
    CFFatal("CFRunLoopSource", "not a source");
  return source;
}
Timer *AsTimer(CFRunLoopTimerRef t) {
  Timer *timer = reinterpret_cast<Timer *>(t);
  if (timer && timer->typeID() != kTypeIDRunLoopTimer) CFFatal("CFRunLoopTimer", "not a timer");
  return timer;
}
CFRunLoopRef Ref(RunLoop *loop) {
  return reinterpret_cast<CFRunLoopRef>(loop);
}

bool InsertSorted(std::vector<Source *> &sources, Source *source) {
  if (std::find(sources.begin(), sources.end(), source) != sources.end()) return false;
  auto at = std::upper_bound(sources.begin(), sources.end(), source, [](Source *a, Source *b) {
    return a->order != b->order ? a->order < b->order : a->sequence < b->sequence;
  });
  sources.insert(at, source);
  return true;
}

// Everything the loop holds goes: sources are cancelled, pending timers and tasks are dropped.
void DestroyLoop(RunLoop *loop) {
  std::vector<Source *> sources;
  std::map<Key, Scheduled> scheduled;
  std::deque<std::function<void()>> work;
  {
    std::lock_guard lock(gLock);
    sources.swap(loop->sources);
    scheduled.swap(loop->scheduled);
    work.swap(loop->work);
    for (Source *source : sources) std::erase(source->loops, loop);
    for (auto &[key, entry] : scheduled)
      if (entry.timer) entry.timer->loop = nullptr;
  }
  for (Source *source : sources) {
    if (source->context.cancel)
      source->context.cancel(source->context.info, Ref(loop), kCFRunLoopDefaultMode);
    source->release();
  }
  for (auto &[key, entry] : scheduled)
    if (entry.timer) entry.timer->release();
  scheduled.clear();
  work.clear();
  delete loop;
}

// Loops a forked child inherited share descriptors with the parent; they are left alone (and
// kept reachable) rather than torn down.
void Abandon(RunLoop *loop) {
  static std::vector<RunLoop *> *abandoned = new std::vector<RunLoop *>;
  abandoned->push_back(loop);
}

std::mutex gMainLock;
RunLoop *gMain = nullptr;

struct ThreadLoop {
  RunLoop *loop = nullptr;
  ~ThreadLoop() {
    if (loop && loop->process == getpid()) DestroyLoop(loop);
  }
};
thread_local ThreadLoop tCurrent;

RunLoop *MainLoop() {
  std::lock_guard lock(gMainLock);
  if (gMain && gMain->process != getpid()) {
    Abandon(gMain);
    gMain = nullptr;
  }
  if (!gMain) gMain = new RunLoop(getpid());
  return gMain;
}

RunLoop *CurrentLoop() {
  if (gettid() == getpid()) return MainLoop();
  RunLoop *&loop = tCurrent.loop;
  if (loop && loop->process != getpid()) {
    Abandon(loop);
    loop = nullptr;
  }
  if (!loop) loop = new RunLoop(gettid());
  return loop;
}

bool ServeSources(RunLoop *loop) {
  std::vector<Source *> ready;
  {
    std::lock_guard lock(gLock);
    for (Source *source : loop->sources) {
      if (source->valid && source->signalled.exchange(false)) {
        source->retain();
        ready.push_back(source);
      }
    }
  }
  for (Source *source : ready) {
    if (source->context.perform) source->context.perform(source->context.info);
    source->release();
  }
  return !ready.empty();
}

// Runs the tasks queued when it started, one at a time so that a nested run keeps FIFO order.
bool ServeWork(RunLoop *loop) {
  size_t count;
  {
    std::lock_guard lock(gLock);
    count = loop->work.size();
  }
  size_t ran = 0;
  for (; ran < count; ++ran) {
    std::function<void()> task;
    {
      std::lock_guard lock(gLock);
      if (loop->work.empty()) break;
      task = std::move(loop->work.front());
      loop->work.pop_front();
    }
    task();
  }
  return ran > 0;
}

void FireTimer(Timer *timer) {
  if (timer->callout)
    timer->callout(reinterpret_cast<CFRunLoopTimerRef>(timer), timer->context.info);
}

void ServeTimers(RunLoop *loop) {
  const uint64_t now = loop->time->upTimeNanos();
  for (;;) {
    Scheduled entry;
    {
      std::lock_guard lock(gLock);
      if (loop->scheduled.empty() || loop->scheduled.begin()->first.deadline > now) return;
      auto first = loop->scheduled.begin();
      entry = std::move(first->second);
      loop->scheduled.erase(first);
      if (entry.timer) {
        // A one-shot timer that fired is spent.
        entry.timer->loop = nullptr;
        entry.timer->valid = false;
        loop->rearmLocked();
      }
    }
    if (entry.timer) {
      FireTimer(entry.timer);
      entry.timer->release();
    } else {
      entry.task();
    }
  }
}

CFRunLoopRunResult Run(RunLoop *loop, uint64_t until, bool returnAfterSourceHandled) {
  bool outerStop;
  {
    std::lock_guard lock(gLock);
    ++loop->depth;
    outerStop = loop->stopRequested;
    loop->stopRequested = false;
  }
  CFRunLoopRunResult result;
  for (;;) {
    bool handled = ServeSources(loop);
    handled = ServeWork(loop) || handled;
    ServeTimers(loop);

    bool stop, pending = false;
    uint64_t nearest = kForever;  // of the tasks; the driver's timer is armed for the timers
    {
      std::lock_guard lock(gLock);
      stop = loop->stopRequested;
      pending = !loop->work.empty();
      for (Source *source : loop->sources) pending = pending || source->signalled.load();
      for (const auto &[key, entry] : loop->scheduled) {
        if (!entry.timer) {
          nearest = key.deadline;
          break;
        }
      }
    }
    if (stop) {
      result = kCFRunLoopRunStopped;
      break;
    }
    if (returnAfterSourceHandled && handled) {
      result = kCFRunLoopRunHandledSource;
      break;
    }
    if (until != kForever && loop->time->upTimeNanos() >= until) {
      result = kCFRunLoopRunTimedOut;
      break;
    }
    if (!pending) loop->driver->wait(std::min(nearest, until));
  }
  {
    std::lock_guard lock(gLock);
    --loop->depth;
    loop->stopRequested = outerStop;
  }
  return result;
}

void Schedule(RunLoop *loop, Key key, Scheduled entry) {
  {
    std::lock_guard lock(gLock);
    loop->scheduled.emplace(key, std::move(entry));
  }
  loop->wakeFromElsewhere();
}

}  // namespace

uint64_t NanosFromSeconds(double seconds) {
  if (!(seconds > 0)) return 0;           // also NaN
  if (seconds >= 9.0e9) return kForever;  // beyond two centuries: never
  return static_cast<uint64_t>(std::llround(seconds * 1e9));
}

// The loops were built on the backend that goes (its clock, its driver): they go while it still
// lives, and the next backend's are built on first use.
void runLoopsEnd() {
  RunLoop *main = nullptr;
  {
    std::lock_guard lock(gMainLock);
    std::swap(main, gMain);
  }
  if (main) main->process == getpid() ? DestroyLoop(main) : Abandon(main);
  if (RunLoop *own = std::exchange(tCurrent.loop, nullptr))
    own->process == getpid() ? DestroyLoop(own) : Abandon(own);
}

void runLoopPerform(CFRunLoopRef rl, std::function<void()> work) {
  RunLoop *loop = AsLoop(rl);
  if (!loop || !work) return;
  {
    std::lock_guard lock(gLock);
    loop->work.push_back(std::move(work));
  }
  loop->wakeFromElsewhere();
}

void runLoopPerformAt(CFRunLoopRef rl, uint64_t deadline, std::function<void()> task) {
  RunLoop *loop = AsLoop(rl);
  if (!loop || !task || deadline == kForever) return;
  Scheduled entry;
  entry.task = std::move(task);
  Schedule(loop, Key{deadline, gSequence++}, std::move(entry));
}

bool runLoopWatch(CFRunLoopRef rl, int fd, uint32_t events,
                  std::function<void(uint32_t revents)> onReady) {
  RunLoop *loop = AsLoop(rl);
  return loop && loop->driver->watch(fd, events, std::move(onReady));
}

void runLoopUnwatch(CFRunLoopRef rl, int fd) {
  if (RunLoop *loop = AsLoop(rl)) loop->driver->unwatch(fd);
}

}  // namespace platform

using namespace platform;

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
  return backend().time().absoluteTime();
}

CFTypeID CFRunLoopGetTypeID(void) {
  return kTypeIDRunLoop;
}
CFTypeID CFRunLoopSourceGetTypeID(void) {
  return kTypeIDRunLoopSource;
}
CFTypeID CFRunLoopTimerGetTypeID(void) {
  return kTypeIDRunLoopTimer;
}

CFRunLoopRef CFRunLoopGetCurrent(void) {
  return Ref(CurrentLoop());
}
CFRunLoopRef CFRunLoopGetMain(void) {
  return Ref(MainLoop());
}

void CFRunLoopRun(void) {
  while (Run(CurrentLoop(), kForever, false) != kCFRunLoopRunStopped) {
  }
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, CFTimeInterval seconds,
                                      Boolean returnAfterSourceHandled) {
  RunLoop *loop = CurrentLoop();
  uint64_t span = NanosFromSeconds(seconds);
  uint64_t until = span == kForever ? kForever : SaturatingAdd(loop->time->upTimeNanos(), span);
  return Run(loop, until, returnAfterSourceHandled);
}

void CFRunLoopStop(CFRunLoopRef rl) {
  RunLoop *loop = AsLoop(rl);
  if (!loop) return;
  {
    std::lock_guard lock(gLock);
    if (loop->depth == 0) return;  // only a running loop can be stopped
    loop->stopRequested = true;
  }
  loop->wakeFromElsewhere();
}

void CFRunLoopWakeUp(CFRunLoopRef rl) {
  if (RunLoop *loop = AsLoop(rl)) loop->driver->wake();
}

// The modes are not told apart: the one loop serves the default and the common modes alike.
void CFRunLoopAddSource(CFRunLoopRef rl, CFRunLoopSourceRef s, CFRunLoopMode mode) {
  RunLoop *loop = AsLoop(rl);
  Source *source = AsSource(s);
  if (!loop || !source) return;
  {
    std::lock_guard lock(gLock);
    if (!source->valid || !InsertSorted(loop->sources, source)) return;
    source->loops.push_back(loop);
    source->retain();
  }
  if (source->context.schedule)
    source->context.schedule(source->context.info, rl, mode ? mode : kCFRunLoopDefaultMode);
  // A source signalled before it was added must not wait for an unrelated wake-up.
  if (source->signalled.load()) loop->wakeFromElsewhere();
}

void CFRunLoopRemoveSource(CFRunLoopRef rl, CFRunLoopSourceRef s, CFRunLoopMode mode) {
  RunLoop *loop = AsLoop(rl);
  Source *source = AsSource(s);
  if (!loop || !source) return;
  {
    std::lock_guard lock(gLock);
    auto at = std::find(loop->sources.begin(), loop->sources.end(), source);
    if (at == loop->sources.end()) return;
    loop->sources.erase(at);
    std::erase(source->loops, loop);
  }
  if (source->context.cancel)
    source->context.cancel(source->context.info, rl, mode ? mode : kCFRunLoopDefaultMode);
  source->release();
}

Boolean CFRunLoopContainsSource(CFRunLoopRef rl, CFRunLoopSourceRef s, CFRunLoopMode mode) {
  RunLoop *loop = AsLoop(rl);
  Source *source = AsSource(s);
  if (!loop || !source) return false;
  std::lock_guard lock(gLock);
  return std::find(loop->sources.begin(), loop->sources.end(), source) != loop->sources.end();
}

CFRunLoopSourceRef CFRunLoopSourceCreate(CFAllocatorRef allocator, CFIndex order,
                                         CFRunLoopSourceContext *context) {
  if (!context || context->version != 0) return nullptr;  // only version-0 sources exist here
  return reinterpret_cast<CFRunLoopSourceRef>(new Source(order, *context));
}

void CFRunLoopSourceSignal(CFRunLoopSourceRef s) {
  if (Source *source = AsSource(s)) source->signalled.store(true);
}

void CFRunLoopSourceInvalidate(CFRunLoopSourceRef s) {
  Source *source = AsSource(s);
  if (!source) return;
  std::vector<RunLoop *> loops;
  {
    std::lock_guard lock(gLock);
    if (!source->valid) return;
    source->valid = false;
    loops.swap(source->loops);
    for (RunLoop *loop : loops) std::erase(loop->sources, source);
  }
  source->retain();  // the loops' references may be the last ones
  for (RunLoop *loop : loops) {
    if (source->context.cancel)
      source->context.cancel(source->context.info, Ref(loop), kCFRunLoopDefaultMode);
    source->release();
  }
  source->release();
}

Boolean CFRunLoopSourceIsValid(CFRunLoopSourceRef s) {
  Source *source = AsSource(s);
  if (!source) return false;
  std::lock_guard lock(gLock);
  return source->valid;
}

CFRunLoopTimerRef CFRunLoopTimerCreate(CFAllocatorRef allocator, CFAbsoluteTime fireDate,
                                       CFTimeInterval interval, CFOptionFlags flags, CFIndex order,
                                       CFRunLoopTimerCallBack callout,
                                       CFRunLoopTimerContext *context) {
  Timer *timer = new Timer(fireDate, interval, order);
  timer->callout = callout;
  if (context) {
    timer->context = *context;
    if (context->retain) timer->context.info = const_cast<void *>(context->retain(context->info));
  }
  return reinterpret_cast<CFRunLoopTimerRef>(timer);
}

// Timers are one-shot: the interval is kept for CFRunLoopTimerGetInterval but never repeats.
void CFRunLoopAddTimer(CFRunLoopRef rl, CFRunLoopTimerRef t, CFRunLoopMode mode) {
  RunLoop *loop = AsLoop(rl);
  Timer *timer = AsTimer(t);
  if (!loop || !timer) return;
  const CFTimeInterval interval = timer->fireDate - loop->time->absoluteTime();
  const uint64_t deadline = SaturatingAdd(loop->time->upTimeNanos(), NanosFromSeconds(interval));
  {
    std::lock_guard lock(gLock);
    // A spent or invalidated timer, or one already scheduled, is left as it is.
    if (!timer->valid || timer->loop) return;
    timer->loop = loop;
    timer->key = Key{deadline, timer->sequence};
    timer->retain();
    Scheduled entry;
    entry.timer = timer;
    loop->scheduled.emplace(timer->key, std::move(entry));
    loop->rearmLocked();
  }
  loop->wakeFromElsewhere();
}

void CFRunLoopTimerInvalidate(CFRunLoopTimerRef t) {
  Timer *timer = AsTimer(t);
  if (!timer) return;
  bool pending;
  {
    std::lock_guard lock(gLock);
    if (!timer->valid) return;
    timer->valid = false;
    pending = timer->loop != nullptr;
    if (pending) {
      timer->loop->scheduled.erase(timer->key);
      timer->loop->rearmLocked();
      timer->loop = nullptr;
    }
  }
  if (pending) timer->release();
}

Boolean CFRunLoopTimerIsValid(CFRunLoopTimerRef t) {
  Timer *timer = AsTimer(t);
  if (!timer) return false;
  std::lock_guard lock(gLock);
  return timer->valid;
}

CFAbsoluteTime CFRunLoopTimerGetNextFireDate(CFRunLoopTimerRef t) {
  Timer *timer = AsTimer(t);
  return timer ? timer->fireDate : 0;
}

CFTimeInterval CFRunLoopTimerGetInterval(CFRunLoopTimerRef t) {
  Timer *timer = AsTimer(t);
  return timer ? timer->interval : 0;
}
