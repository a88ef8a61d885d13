#include <platform/Host.h>
#include <platform/VirtualWorld.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace platform {

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000ull;

uint64_t SecondsToNanos(double seconds) {
  if (!(seconds > 0)) return 0;                // also catches NaN
  if (seconds >= 1.8e10) return kForever - 1;  // beyond any run; keeps the cast in range
  return static_cast<uint64_t>(std::llround(seconds * 1e9));
}

// One blocked (or about to block) thread. A slot belongs to one Waiter or RunLoopDriver.
struct WaitSlot {
  uint64_t deadline = kForever;
  uint64_t seq = 0;
  bool waiting = false;
  bool woken = false;
  bool pending = false;  // a notify() that came while not waiting
  std::condition_variable cv;
};

struct TapState {
  TapRequest request{};
  TapClient *client = nullptr;
  bool attached = false;  // its source is in a run loop
  bool enabled = true;
  bool alive = true;
};

struct WorldCore : std::enable_shared_from_this<WorldCore> {
  using Observer = VirtualWorld::Observer;

  // Everything below is guarded by mutex.
  std::mutex mutex;
  std::condition_variable coordinatorCv;
  int running = 1;  // the thread that calls run()/runUntil() counts from the start
  std::atomic<uint64_t> now{0};
  uint64_t nextSeq = 0;
  std::vector<WaitSlot *> waiting;
  std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> actions;
  bool stopRequested = false;
  uint64_t endNanos = kForever;
  bool exitAtEnd = false;

  // While the actions of one time run, nothing the helper does may start: wakes wait here.
  bool inActions = false;
  std::vector<WaitSlot *> deferred;

  bool trusted = true;
  bool tapCreationFails = false;
  NSUInteger held = 0;          // what the helper sees
  NSUInteger heldAfterAll = 0;  // once every button change made so far has been seen
  std::vector<std::shared_ptr<TapState>> taps;
  std::function<void(const std::string &)> deliverNotification;
  std::string systemRoot;

  std::mutex observerMutex;  // observer calls come one at a time
  Observer *observer = nullptr;

  std::thread coordinator;

  template <typename F>
  void observe(F &&f) {
    std::lock_guard<std::mutex> lock(observerMutex);
    if (observer) f(*observer);
  }

  void wait(WaitSlot &slot, uint64_t deadline) {
    std::unique_lock<std::mutex> lock(mutex);
    if (slot.pending) {
      slot.pending = false;
      return;
    }
    slot.deadline = deadline;
    slot.seq = nextSeq++;
    slot.waiting = true;
    slot.woken = false;
    waiting.push_back(&slot);
    --running;
    coordinatorCv.notify_all();
    slot.cv.wait(lock, [&] { return slot.woken; });
    slot.waiting = false;
  }

  // Counts the thread as running before the lock is released, so that the coordinator never
  // sees a moment in which the notifier waits and the notified thread does not yet run.
  void wakeLocked(WaitSlot &slot) {
    slot.woken = true;
    for (auto it = waiting.begin(); it != waiting.end(); ++it) {
      if (*it == &slot) {
        waiting.erase(it);
        break;
      }
    }
    ++running;
    slot.cv.notify_one();
  }

  void notify(WaitSlot &slot) {
    std::lock_guard<std::mutex> lock(mutex);
    if (slot.waiting && !slot.woken) {
      if (inActions) {
        if (std::find(deferred.begin(), deferred.end(), &slot) == deferred.end())
          deferred.push_back(&slot);
        return;
      }
      wakeLocked(slot);
    } else {
      slot.pending = true;
    }
  }

  void threadStarted() {
    std::lock_guard<std::mutex> lock(mutex);
    ++running;
  }
  void threadEnded() {
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    coordinatorCv.notify_all();
  }

  void coordinate() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      coordinatorCv.wait(lock, [&] { return stopRequested || running <= 0; });
      if (stopRequested) return;

      uint64_t actionTime = actions.empty() ? kForever : actions.begin()->first.first;
      WaitSlot *due = nullptr;
      for (WaitSlot *slot : waiting) {
        if (slot->deadline == kForever) continue;
        if (!due || slot->deadline < due->deadline ||
            (slot->deadline == due->deadline && slot->seq < due->seq))
          due = slot;
      }
      uint64_t waiterTime = due ? due->deadline : kForever;

      if (actionTime != kForever && actionTime <= endNanos && actionTime <= waiterTime) {
        if (actionTime > now) now = actionTime;
        // Every action of this time runs, in order, before anything the helper does at it.
        inActions = true;
        ++running;  // the actions count as a running thread until they return
        while (!actions.empty() && actions.begin()->first.first == actionTime) {
          auto first = actions.begin();
          std::function<void()> action = std::move(first->second);
          actions.erase(first);
          lock.unlock();
          action();
          lock.lock();
        }
        inActions = false;
        --running;
        std::vector<WaitSlot *> woken;
        woken.swap(deferred);
        for (WaitSlot *slot : woken)
          if (slot->waiting && !slot->woken) wakeLocked(*slot);
        continue;
      }
      if (due && (endNanos == kForever || waiterTime < endNanos)) {
        if (waiterTime > now) now = waiterTime;
        wakeLocked(*due);
        continue;
      }
      if (endNanos == kForever) {
        // Nothing will ever happen again; wait to be stopped.
        coordinatorCv.wait(lock, [&] { return stopRequested; });
        return;
      }
      if (endNanos > now) now = endNanos;
      if (exitAtEnd) {
        lock.unlock();
        std::lock_guard<std::mutex> observing(observerMutex);
        if (observer) observer->ended();
        fflush(nullptr);
        _exit(0);
      }
      // runUntil: the caller's run loop returns by its own deadline; nothing more to do.
      coordinatorCv.wait(lock, [&] { return stopRequested; });
      return;
    }
  }

  void startCoordinator(uint64_t end, bool exit) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      endNanos = end;
      exitAtEnd = exit;
      stopRequested = false;
    }
    coordinator = std::thread([this] { coordinate(); });
  }

  void stopCoordinator() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopRequested = true;
      coordinatorCv.notify_all();
    }
    if (coordinator.joinable()) coordinator.join();
  }

  // Hands the event to targets[index] and, unless it is swallowed, on to the next.
  void deliverButton(CGEventType type, int64_t button, NSUInteger heldAfter,
                     std::vector<std::shared_ptr<TapState>> targets, size_t index);
};

class VirtualWaiter : public Waiter {
 public:
  explicit VirtualWaiter(std::shared_ptr<WorldCore> state) : state_(std::move(state)) {}
  void waitUntil(uint64_t deadline) override { state_->wait(slot_, deadline); }
  void notify() override { state_->notify(slot_); }

 private:
  std::shared_ptr<WorldCore> state_;
  WaitSlot slot_;
};

// A run loop's wait; the timer its loop arms is what the world reports of the helper's timers.
class VirtualDriver : public RunLoopDriver {
 public:
  explicit VirtualDriver(std::shared_ptr<WorldCore> state) : state_(std::move(state)) {}
  bool watch(int, uint32_t, std::function<void(uint32_t)>) override { return false; }
  void unwatch(int) override {}
  void armTimer(uint64_t deadline) override {
    const uint64_t now = state_->now;
    const uint64_t was = timerDue_.exchange(deadline);
    if (deadline != kForever) {
      const double interval = static_cast<double>(deadline - std::min(deadline, now)) /
                              static_cast<double>(kNanosPerSecond);
      state_->observe([&](VirtualWorld::Observer &o) { o.timerArmed(interval); });
    } else if (was != kForever && was > now) {  // gone before it was due: not fired
      state_->observe([&](VirtualWorld::Observer &o) { o.timerInvalidated(); });
    }
  }
  void wait(uint64_t deadline) override {
    state_->wait(slot_, std::min(deadline, timerDue_.load()));
  }
  void wake() override { state_->notify(slot_); }

 private:
  std::shared_ptr<WorldCore> state_;
  WaitSlot slot_;
  std::atomic<uint64_t> timerDue_{kForever};
};

class VirtualTime : public TimeSource {
 public:
  explicit VirtualTime(std::shared_ptr<WorldCore> state) : state_(std::move(state)) {}
  uint64_t upTimeNanos() override { return state_->now; }
  // The virtual epoch is the reference date itself, so whole seconds stay exact.
  CFAbsoluteTime absoluteTime() override {
    return static_cast<double>(state_->now.load()) / static_cast<double>(kNanosPerSecond);
  }
  std::unique_ptr<Waiter> makeWaiter() override { return std::make_unique<VirtualWaiter>(state_); }
  std::unique_ptr<RunLoopDriver> makeRunLoopDriver() override {
    return std::make_unique<VirtualDriver>(state_);
  }
  void threadWillStart() override { state_->threadStarted(); }
  void threadDidExit() override { state_->threadEnded(); }

 private:
  std::shared_ptr<WorldCore> state_;
};

class VirtualTap : public TapDriver {
 public:
  VirtualTap(std::shared_ptr<WorldCore> core, std::shared_ptr<TapState> tap)
      : core_(std::move(core)), state_(*core_), tap_(std::move(tap)) {}
  ~VirtualTap() override {
    std::lock_guard<std::mutex> lock(state_.mutex);
    tap_->alive = false;
    auto &taps = state_.taps;
    for (auto it = taps.begin(); it != taps.end(); ++it) {
      if (*it == tap_) {
        taps.erase(it);
        break;
      }
    }
  }
  void attach(CFRunLoopRef) override {
    std::lock_guard<std::mutex> lock(state_.mutex);
    tap_->attached = true;
  }
  void setEnabled(bool enabled) override {
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      tap_->enabled = enabled;
    }
    state_.observe([&](Observer &o) { o.tapEnabled(enabled); });
  }
  bool isEnabled() override {
    std::lock_guard<std::mutex> lock(state_.mutex);
    return tap_->enabled;
  }

 private:
  using Observer = VirtualWorld::Observer;
  std::shared_ptr<WorldCore> core_;
  WorldCore &state_;
  std::shared_ptr<TapState> tap_;
};

class VirtualInput : public InputBackend {
 public:
  explicit VirtualInput(WorldCore &state) : state_(state) {}
  bool isProcessTrusted(bool prompt) override {
    bool trusted;
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      trusted = state_.trusted;
    }
    state_.observe([&](VirtualWorld::Observer &o) { o.trustChecked(prompt, trusted); });
    return trusted;
  }
  std::unique_ptr<TapDriver> createTap(const TapRequest &request, TapClient &client) override {
    std::unique_ptr<TapDriver> driver;
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      // As on the real system, only a trusted process may tap input.
      if (!state_.tapCreationFails && state_.trusted) {
        auto tap = std::make_shared<TapState>();
        tap->request = request;
        tap->client = &client;
        state_.taps.push_back(tap);
        driver = std::make_unique<VirtualTap>(state_.shared_from_this(), tap);
      }
    }
    bool ok = driver != nullptr;
    state_.observe([&](VirtualWorld::Observer &o) { o.tapCreated(ok); });
    return driver;
  }
  NSUInteger pressedMouseButtons() override {
    std::lock_guard<std::mutex> lock(state_.mutex);
    return state_.held;
  }
  void post(CGEventTapLocation, const PostedEvent &posted) override {
    state_.observe([&](VirtualWorld::Observer &o) { o.posted(posted.event); });
  }

 private:
  WorldCore &state_;
};

class VirtualNotifications : public NotificationTransport {
 public:
  explicit VirtualNotifications(WorldCore &state) : state_(state) {}
  void start(std::function<void(const std::string &)> deliver) override {
    std::lock_guard<std::mutex> lock(state_.mutex);
    if (!state_.deliverNotification) state_.deliverNotification = std::move(deliver);
  }
  void post(const std::string &name) override {
    std::function<void(const std::string &)> deliver;
    {
      std::lock_guard<std::mutex> lock(state_.mutex);
      deliver = state_.deliverNotification;
    }
    if (deliver) deliver(name);  // nobody listens yet otherwise
  }

 private:
  WorldCore &state_;
};

}  // namespace

void WorldCore::deliverButton(CGEventType type, int64_t button, NSUInteger heldAfter,
                              std::vector<std::shared_ptr<TapState>> targets, size_t index) {
  const bool notice =
      type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
  TapClient *client = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (; index < targets.size(); ++index) {
      const auto &tap = targets[index];
      if (tap->alive && (tap->enabled || notice)) {
        client = tap->client;
        break;
      }
    }
    if (!client) {
      if (!notice) held = heldAfter;  // the mask changes once the event has been seen
      return;
    }
  }
  std::shared_ptr<WorldCore> self = shared_from_this();
  client->submit(TapEvent{type, button},
                 [self, type, button, heldAfter, targets, index, notice](bool passed) {
                   self->observe([&](Observer &o) { o.eventFiltered(type, button, passed); });
                   if (passed) {
                     self->deliverButton(type, button, heldAfter, targets, index + 1);
                   } else if (!notice) {  // a swallowed event reaches no later tap
                     std::lock_guard<std::mutex> lock(self->mutex);
                     self->held = heldAfter;
                   }
                 });
}

// The machine's own files and programs, with the world's /Library; every start observed.
class VirtualLauncher : public Launcher {
 public:
  VirtualLauncher(WorldCore &state, VirtualWorld &world) : state_(state), world_(world) {}
  bool exists(const std::string &path) override { return host_.exists(world_.mapPath(path)); }
  Started launch(const std::string &path, int output) override {
    state_.observe([&](VirtualWorld::Observer &o) { o.spawned(path); });
    return host_.launch(world_.mapPath(path), output);
  }

 private:
  WorldCore &state_;
  VirtualWorld &world_;
  HostLauncher host_;
};

struct VirtualWorld::State {
  State(std::shared_ptr<WorldCore> c, VirtualWorld &world)
      : core(std::move(c)),
        time(core),
        input(*core),
        notifications(*core),
        launcher(*core, world) {}
  std::shared_ptr<WorldCore> core;
  VirtualTime time;
  VirtualInput input;
  VirtualNotifications notifications;
  VirtualLauncher launcher;
  HostEventBytes events;
};

VirtualWorld::VirtualWorld()
    : state_(std::make_unique<State>(std::make_shared<WorldCore>(), *this)) {}

VirtualWorld::~VirtualWorld() {
  state_->core->stopCoordinator();
  // Waiters and taps may outlive the world; they must not report to a gone observer.
  std::lock_guard<std::mutex> lock(state_->core->observerMutex);
  state_->core->observer = nullptr;
}

void VirtualWorld::setObserver(Observer *observer) {
  std::lock_guard<std::mutex> lock(state_->core->observerMutex);
  state_->core->observer = observer;
}

void VirtualWorld::setTrusted(bool trusted) {
  std::lock_guard<std::mutex> lock(state_->core->mutex);
  state_->core->trusted = trusted;
}

void VirtualWorld::setTapCreationFails(bool fails) {
  std::lock_guard<std::mutex> lock(state_->core->mutex);
  state_->core->tapCreationFails = fails;
}

void VirtualWorld::setSystemRoot(const std::string &directory) {
  std::lock_guard<std::mutex> lock(state_->core->mutex);
  state_->core->systemRoot = directory;
}

void VirtualWorld::at(double seconds, std::function<void()> action) {
  atNanos(SecondsToNanos(seconds), std::move(action));
}

void VirtualWorld::atNanos(uint64_t when, std::function<void()> action) {
  std::lock_guard<std::mutex> lock(state_->core->mutex);
  if (when < state_->core->now) when = state_->core->now;
  state_->core->actions.emplace(std::make_pair(when, state_->core->nextSeq++), std::move(action));
  state_->core->coordinatorCv.notify_all();
}

void VirtualWorld::pressButton(int button) {
  changeButton(button, true);
}

void VirtualWorld::releaseButton(int button) {
  changeButton(button, false);
}

// The held mask changes once the filter has seen the event (or at once, with no tap to see it).
void VirtualWorld::changeButton(int button, bool down) {
  if (button < 0 || button > 63) return;
  CGEventType type = button == 1 ? (down ? kCGEventRightMouseDown : kCGEventRightMouseUp)
                                 : (down ? kCGEventOtherMouseDown : kCGEventOtherMouseUp);
  std::vector<std::shared_ptr<TapState>> targets;
  NSUInteger heldAfter;
  {
    std::lock_guard<std::mutex> lock(state_->core->mutex);
    // Several changes at one time each build on the one before, seen by the helper or not.
    const NSUInteger bit = NSUInteger{1} << button;
    NSUInteger &after = state_->core->heldAfterAll;
    after = down ? after | bit : after & ~bit;
    heldAfter = after;
    if (button != 0) {
      for (const auto &tap : state_->core->taps)
        if (tap->attached && tap->enabled && (tap->request.eventsOfInterest & CGEventMaskBit(type)))
          targets.push_back(tap);
    }
    if (targets.empty()) {
      state_->core->held = heldAfter;
      return;
    }
  }
  state_->core->deliverButton(type, button, heldAfter, targets, 0);
}

void VirtualWorld::disableTap(CGEventType reason) {
  std::vector<std::shared_ptr<TapState>> targets;
  {
    std::lock_guard<std::mutex> lock(state_->core->mutex);
    for (const auto &tap : state_->core->taps) {
      if (!tap->attached || !tap->enabled) continue;
      tap->enabled = false;
      targets.push_back(tap);
    }
  }
  for (const auto &tap : targets) state_->core->deliverButton(reason, 0, 0, {tap}, 0);
}

void VirtualWorld::postNotification(const std::string &name) {
  notifications().post(name);
}

int VirtualWorld::run(std::function<int()> entry, double endSeconds) {
  state_->core->startCoordinator(SecondsToNanos(endSeconds), true);
  {
    // World actions at the start come before the helper's first step, as at any other time.
    WaitSlot start;
    state_->core->wait(start, state_->core->now);
  }
  int result = entry();
  state_->core->stopCoordinator();
  return result;
}

void VirtualWorld::runUntil(double seconds) {
  uint64_t target = SecondsToNanos(seconds);
  state_->core->startCoordinator(kForever, false);
  while (state_->core->now < target) {
    double left =
        static_cast<double>(target - state_->core->now) / static_cast<double>(kNanosPerSecond);
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, left, false);
  }
  state_->core->stopCoordinator();
}

uint64_t VirtualWorld::nowNanos() const {
  return state_->core->now;
}

double VirtualWorld::nowSeconds() const {
  return static_cast<double>(state_->core->now.load()) / static_cast<double>(kNanosPerSecond);
}

TimeSource &VirtualWorld::time() {
  return state_->time;
}
InputBackend &VirtualWorld::input() {
  return state_->input;
}
NotificationTransport &VirtualWorld::notifications() {
  return state_->notifications;
}
Launcher &VirtualWorld::launcher() {
  return state_->launcher;
}
EventBytes &VirtualWorld::events() {
  return state_->events;
}

void VirtualWorld::log(const std::string &line) {
  state_->core->observe([&](Observer &o) { o.logged(line); });
}

void VirtualWorld::exitProcess(int status) {
  std::lock_guard<std::mutex> lock(state_->core->observerMutex);
  if (state_->core->observer) state_->core->observer->exited(status);
  fflush(nullptr);
  _exit(status);
}

std::string VirtualWorld::mapPath(const std::string &path) {
  std::lock_guard<std::mutex> lock(state_->core->mutex);
  if (state_->core->systemRoot.empty()) return path;
  if (path == "/Library" || path.rfind("/Library/", 0) == 0) return state_->core->systemRoot + path;
  return path;
}

}  // namespace platform
