#include "linux/LinuxTap.h"

#include "linux/TapRegistry.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iterator>

namespace platform::evdev {

const char *const kVirtualDeviceName = "corvassel virtual pointer";

int buttonNumber(uint16_t code) {
  // The mouse range runs BTN_LEFT, RIGHT, MIDDLE, SIDE, EXTRA, FORWARD, BACK, TASK, then
  // eight unnamed codes up to BTN_JOYSTICK.
  if (code >= BTN_MOUSE && code < BTN_JOYSTICK) return code - BTN_MOUSE;
  return -1;
}

namespace {

constexpr size_t kMaxEventsPerWake = 512;  // then the loop serves others before reading on
constexpr size_t kEventsPerRead = 64;

bool isPointer(const Capabilities &caps) {
  return caps.has(EV_REL, REL_X) && caps.has(EV_REL, REL_Y) && caps.has(EV_KEY, BTN_LEFT);
}

// What the virtual device carries besides the mice present at creation, so that the common
// mice plugged in later find their events there, and the buttons posted for back and forward.
Capabilities baseline() {
  Capabilities caps;
  for (uint16_t rel : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
    caps.codes.insert({EV_REL, rel});
  for (uint16_t btn = BTN_LEFT; btn <= BTN_TASK; ++btn) caps.codes.insert({EV_KEY, btn});
  caps.codes.insert({EV_MSC, MSC_SCAN});
  return caps;
}

uint32_t bit(int number) {
  return number >= 0 && number < 32 ? uint32_t{1} << number : 0;
}

class RunLoopWatcher : public Watcher {
 public:
  explicit RunLoopWatcher(CFRunLoopRef rl) : rl_(rl) {}
  bool watch(int fd, std::function<void()> onReady) override {
    return runLoopWatch(rl_, fd, EPOLLIN, [onReady = std::move(onReady)](uint32_t) { onReady(); });
  }
  void unwatch(int fd) override { runLoopUnwatch(rl_, fd); }

 private:
  CFRunLoopRef rl_;
};

}  // namespace

std::unique_ptr<Tap> Tap::create(Kernel &kernel, const TapRequest &request, TapClient &client,
                                 TapOptions options) {
  std::unique_ptr<Tap> tap(new Tap(kernel, request, client, options));
  std::lock_guard<std::mutex> lock(tap->mutex_);
  // Open the mice first: the virtual device carries the union of what they can do.
  std::vector<std::pair<std::string, std::unique_ptr<Device>>> mice;
  Capabilities caps = baseline();
  for (const std::string &node : kernel.eventNodes()) {
    int error = 0;
    std::unique_ptr<Device> dev = kernel.open(kernel.inputDirectory() + "/" + node, error);
    if (!dev) {
      if (error == EACCES || error == EPERM) tap->pending_[node] = options.retryAttempts;
      continue;
    }
    if (!isPointer(dev->capabilities()) || dev->name() == kVirtualDeviceName) {
      tap->ignored_.insert(node);
      continue;
    }
    caps.merge(dev->capabilities());
    mice.emplace_back(node, std::move(dev));
  }
  tap->out_ = kernel.createOutput(kVirtualDeviceName, caps);
  if (!tap->out_) return nullptr;
  std::string devnode = tap->out_->devnode();
  if (auto slash = devnode.rfind('/'); slash != std::string::npos)
    tap->outNode_ = devnode.substr(slash + 1);
  for (auto &[node, dev] : mice) {
    if (!dev->grab(true)) {
      tap->ignored_.insert(node);  // someone else holds it: we would read nothing
      continue;
    }
    auto open = std::make_unique<Open>();
    open->node = node;
    open->device = std::move(dev);
    tap->devices_[node] = std::move(open);
  }
  tap->dirWatch_ = kernel.watchDirectory();
  tap->retryTimer_ = kernel.makeTimer();
  tap->rearmRetryLocked();
  backend().time().threadWillStart();
  tap->watchdog_ = std::thread([t = tap.get()] { t->watchdogMain(); });
  registerTap(tap.get());
  return tap;
}

Tap::Tap(Kernel &kernel, const TapRequest &request, TapClient &client, TapOptions options)
    : kernel_(kernel), request_(request), client_(client), options_(options) {
  buffer_.reserve(64);
}

Tap::~Tap() {
  unregisterTap(this);
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    stopWatchdog_ = true;
  }
  watchCv_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  closeDevicesLocked();
  if (watcher_) {
    if (dirWatch_) watcher_->unwatch(dirWatch_->fd());
    if (retryTimer_) watcher_->unwatch(retryTimer_->fd());
  }
  dirWatch_.reset();
  retryTimer_.reset();
  out_.reset();
}

void Tap::attach(CFRunLoopRef rl) {
  attachWatcher(std::make_unique<RunLoopWatcher>(rl));
}

void Tap::attachWatcher(std::unique_ptr<Watcher> watcher) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (watcher_ || shutDown_) return;
  watcher_ = std::move(watcher);
  // A grabbed mouse nobody reads would be a dead mouse: keep only those that can be served.
  for (auto it = devices_.begin(); it != devices_.end();) {
    const std::string node = it->first;
    if (watcher_->watch(it->second->device->fd(), [this, node] { onDeviceReady(node); })) {
      ++it;
    } else {
      it->second->device->grab(false);
      it = devices_.erase(it);
    }
  }
  if (dirWatch_) watcher_->watch(dirWatch_->fd(), [this] { onDirectoryReady(); });
  if (retryTimer_) watcher_->watch(retryTimer_->fd(), [this] { onTimer(); });
}

void Tap::setEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shutDown_ || enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled) {
    timedOut_ = false;
    scanLocked();
  } else {
    closeDevicesLocked();
  }
}

bool Tap::isEnabled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_;
}

NSUInteger Tap::pressedButtons() {
  std::lock_guard<std::mutex> lock(mutex_);
  uint32_t held = 0;
  for (auto &[node, open] : devices_) held |= open->held;
  return held;
}

void Tap::click(uint16_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_) return;
  const Event frames[] = {
      {EV_KEY, code, 1}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, code, 0}, {EV_SYN, SYN_REPORT, 0}};
  // Posted from the callback, mid-frame: the click follows the frame rather than split it.
  if (!buffer_.empty()) {
    afterFrame_.insert(afterFrame_.end(), std::begin(frames), std::end(frames));
    return;
  }
  out_->write(frames, 4);
}

void Tap::shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  closeDevicesLocked();
  enabled_ = false;
  shutDown_ = true;
  out_.reset();
}

// ---- event path -----------------------------------------------------------------------------

void Tap::onDeviceReady(const std::string &node) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = devices_.find(node);
  if (it == devices_.end() || !enabled_) return;
  bool gone = false;
  Outcome outcome = readDevice(*it->second, lock, gone);
  if (outcome == Outcome::TimedOut) {
    // The watchdog has ungrabbed everything and released what we held on the virtual device;
    // whatever we read before that is dropped rather than sent after the fact.
    buffer_.clear();
    closeDevicesLocked();
    lock.unlock();
    deliverTapDisabled();
    return;
  }
  flushLocked();
  if (gone) removeDeviceLocked(node);
}

Tap::Outcome Tap::readDevice(Open &open, std::unique_lock<std::mutex> &lock, bool &gone) {
  Event run[kEventsPerRead];
  for (size_t total = 0; total < kMaxEventsPerWake;) {
    ReadStatus status = ReadStatus::Event;
    const size_t count =
        open.device->read(run, std::min(kEventsPerRead, kMaxEventsPerWake - total), status);
    for (size_t i = 0; i < count; ++i) {
      const Event &ev = run[i];
      int number = ev.type == EV_KEY ? buttonNumber(ev.code) : -1;
      if (number < 0) {
        emitLocked(ev);
        continue;
      }
      if (handleButton(open, ev, number, lock) == Outcome::TimedOut) return Outcome::TimedOut;
    }
    total += count;
    if (status == ReadStatus::Gone) gone = true;
    if (status != ReadStatus::Event) break;
  }
  return Outcome::Continue;
}

Tap::Outcome Tap::handleButton(Open &open, const Event &ev, int number,
                               std::unique_lock<std::mutex> &lock) {
  const uint32_t b = bit(number);
  if (ev.value == 2) {  // autorepeat follows the press's fate
    if (open.passed & b) emitLocked(ev);
    return Outcome::Continue;
  }
  const bool down = ev.value != 0;
  CGEventType type = number == 1 ? (down ? kCGEventRightMouseDown : kCGEventRightMouseUp)
                                 : (down ? kCGEventOtherMouseDown : kCGEventOtherMouseUp);
  bool pass = true;
  if (number != 0 && subscribed(type)) {
    pass = deliver(type, number, lock) || request_.options == kCGEventTapOptionListenOnly;
    if (timedOut_) return Outcome::TimedOut;
  }
  if (down) {
    if (pass) {
      emitLocked(ev);
      open.passed |= b;
    }
    open.held |= b;
  } else {
    // A release whose press went out always follows it, or the button would stay down; one
    // whose press was swallowed never does, or it could lift another mouse's press.
    if ((open.passed & b) || (pass && !(open.held & b))) emitLocked(ev);
    open.held &= ~b;
    open.passed &= ~b;
  }
  return Outcome::Continue;
}

bool Tap::subscribed(CGEventType type) const {
  return type < 64 && (request_.eventsOfInterest & CGEventMaskBit(type)) != 0;
}

bool Tap::deliver(CGEventType type, int number, std::unique_lock<std::mutex> &lock) {
  CGEventRef event = CGEventCreate(nullptr);
  if (!event) return true;  // without an event to show, the button behaves as untapped
  CGEventSetType(event, type);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, number);
  lock.unlock();
  callbackBegan();
  CGEventRef result = client_.deliver(type, event);
  callbackEnded();
  lock.lock();
  if (result && result != event) CFRelease(result);
  CFRelease(event);
  return result != nullptr;
}

void Tap::deliverTapDisabled() {
  CGEventRef event = CGEventCreate(nullptr);
  if (!event) return;
  CGEventSetType(event, kCGEventTapDisabledByTimeout);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, 0);
  CGEventRef result = client_.deliver(kCGEventTapDisabledByTimeout, event);
  if (result && result != event) CFRelease(result);
  CFRelease(event);
}

void Tap::emitLocked(const Event &ev) {
  buffer_.push_back(ev);
  if (ev.type == EV_SYN && ev.code == SYN_REPORT) flushLocked();
}

void Tap::flushLocked() {
  if (buffer_.empty() && afterFrame_.empty()) return;
  if (!afterFrame_.empty()) {
    buffer_.insert(buffer_.end(), afterFrame_.begin(), afterFrame_.end());
    afterFrame_.clear();
  }
  if (out_) out_->write(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void Tap::releasePassedLocked(uint32_t buttons, const Open *except) {
  for (auto &[node, open] : devices_)
    if (open.get() != except) buttons &= ~open->passed;  // still held through another mouse
  if (!buttons || !out_) return;
  flushLocked();
  std::vector<Event> events;
  for (int n = 0; n < 32; ++n)
    if (buttons & bit(n)) events.push_back({EV_KEY, static_cast<uint16_t>(BTN_MOUSE + n), 0});
  events.push_back({EV_SYN, SYN_REPORT, 0});
  out_->write(events.data(), events.size());
}

// ---- devices --------------------------------------------------------------------------------

void Tap::scanLocked() {
  for (const std::string &node : kernel_.eventNodes())
    openOrScheduleLocked(node, options_.retryAttempts);
  rearmRetryLocked();
}

int Tap::tryOpenLocked(const std::string &node) {
  if (devices_.count(node) || ignored_.count(node) || node == outNode_) return 0;
  int error = 0;
  std::unique_ptr<Device> dev = kernel_.open(kernel_.inputDirectory() + "/" + node, error);
  if (!dev) return error ? error : EIO;
  if (!isPointer(dev->capabilities()) || dev->name() == kVirtualDeviceName || !dev->grab(true)) {
    ignored_.insert(node);
    return 0;
  }
  if (watcher_ && !watcher_->watch(dev->fd(), [this, node] { onDeviceReady(node); })) {
    dev->grab(false);
    return 0;
  }
  auto open = std::make_unique<Open>();
  open->node = node;
  open->device = std::move(dev);
  devices_[node] = std::move(open);
  return 0;
}

void Tap::openOrScheduleLocked(const std::string &node, int attempts) {
  pending_.erase(node);
  int error = tryOpenLocked(node);
  // udev sets a new node's owner and mode just after it appears: ask again shortly.
  if ((error == EACCES || error == EPERM) && attempts > 1) pending_[node] = attempts - 1;
}

void Tap::rearmRetryLocked() {
  if (!retryTimer_) return;
  if (pending_.empty() || !enabled_)
    retryTimer_->disarm();
  else
    retryTimer_->arm(options_.retryIntervalNanos);
}

void Tap::onTimer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!retryTimer_) return;
  retryTimer_->acknowledge();
  if (!enabled_) {
    pending_.clear();
    return;
  }
  std::map<std::string, int> due;
  due.swap(pending_);
  for (const auto &[node, attempts] : due) openOrScheduleLocked(node, attempts);
  rearmRetryLocked();
}

void Tap::onDirectoryReady() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dirWatch_) return;
  for (const auto &[node, change] : dirWatch_->read()) {
    if (node.rfind("event", 0) != 0) continue;
    if (change == DirectoryWatch::Deleted) {
      ignored_.erase(node);
      pending_.erase(node);
      removeDeviceLocked(node);
    } else if (enabled_) {
      // A fresh node may reuse a name we dismissed; a change of mode may admit us now.
      if (change == DirectoryWatch::Created) ignored_.erase(node);
      openOrScheduleLocked(node, options_.retryAttempts);
    }
  }
  rearmRetryLocked();
}

void Tap::removeDeviceLocked(const std::string &node) {
  auto it = devices_.find(node);
  if (it == devices_.end()) return;
  flushLocked();
  releasePassedLocked(it->second->passed, it->second.get());
  if (watcher_) watcher_->unwatch(it->second->device->fd());
  devices_.erase(it);
}

void Tap::closeDevicesLocked() {
  flushLocked();
  uint32_t passed = 0;
  for (auto &[node, open] : devices_) {
    passed |= open->passed;
    open->passed = 0;
  }
  releasePassedLocked(passed, nullptr);
  for (auto &[node, open] : devices_) {
    open->device->grab(false);
    if (watcher_) watcher_->unwatch(open->device->fd());
  }
  devices_.clear();
  pending_.clear();
  ignored_.clear();
  if (retryTimer_) retryTimer_->disarm();
}

// ---- watchdog -------------------------------------------------------------------------------

void Tap::callbackBegan() {
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    inCallback_ = true;
    ++callbackSerial_;
  }
  watchCv_.notify_one();
}

void Tap::callbackEnded() {
  {
    std::lock_guard<std::mutex> lock(watchMutex_);
    inCallback_ = false;
  }
  watchCv_.notify_one();
}

void Tap::watchdogMain() {
  std::unique_lock<std::mutex> lock(watchMutex_);
  for (;;) {
    // No callback running: sleep without a deadline.
    watchCv_.wait(lock, [this] { return stopWatchdog_ || inCallback_; });
    if (stopWatchdog_) break;
    const uint64_t serial = callbackSerial_;
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::nanoseconds(options_.callbackTimeoutNanos);
    auto finished = [&] { return stopWatchdog_ || !inCallback_ || callbackSerial_ != serial; };
    if (watchCv_.wait_until(lock, deadline, finished)) continue;
    lock.unlock();
    timedOut();
    lock.lock();
    watchCv_.wait(lock, finished);  // once per callback
  }
  lock.unlock();
  backend().time().threadDidExit();
}

void Tap::timedOut() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!enabled_ || shutDown_) return;
  enabled_ = false;
  timedOut_ = true;
  // Ungrab first so the desktop has the mouse at once; the main thread, still inside the
  // callback, closes the devices when it returns.
  for (auto &[node, open] : devices_) open->device->grab(false);
  buffer_.clear();  // read under the grab but not yet sent: dropped, never sent twice
  flushLocked();    // clicks the callback posted still go out
  uint32_t passed = 0;
  for (auto &[node, open] : devices_) {
    passed |= open->passed;
    open->passed = 0;
  }
  releasePassedLocked(passed, nullptr);
  pending_.clear();
}

}  // namespace platform::evdev
