#include "linux/LinuxTap.h"

#include "linux/TapRegistry.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <system_error>

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
  void perform(std::function<void()> work) override { runLoopPerform(rl_, std::move(work)); }

 private:
  CFRunLoopRef rl_;
};

// What the tap's port owns. Dropping it retires the tap; the tap itself lives on while a
// dispatch still runs in it.
class TapHandle final : public TapDriver {
 public:
  explicit TapHandle(std::shared_ptr<Tap> tap) : tap_(std::move(tap)) {}
  ~TapHandle() override { tap_->retire(); }
  void attach(CFRunLoopRef rl) override { tap_->attach(rl); }
  void setEnabled(bool enabled) override { tap_->setEnabled(enabled); }
  bool isEnabled() override { return tap_->isEnabled(); }

 private:
  std::shared_ptr<Tap> tap_;
};

std::string describe(int error) {
  return strerror(error);
}

}  // namespace

std::shared_ptr<Tap> Tap::create(Kernel &kernel, const TapRequest &request, TapClient &client,
                                 TapOptions options, int &error) {
  std::shared_ptr<Tap> tap(new Tap(kernel, request, client, options));
  std::lock_guard<std::mutex> lock(tap->mutex_);
  // Open the mice first: the virtual device carries the union of what they can do.
  std::vector<std::pair<std::string, std::unique_ptr<Device>>> mice;
  Capabilities caps = baseline();
  for (const std::string &node : kernel.eventNodes()) {
    const Admission admission = options.admit ? options.admit(node) : Admission::Yes;
    if (admission == Admission::No) continue;
    int openError = 0;
    std::unique_ptr<Device> dev = admission == Admission::Yes
                                      ? kernel.open(kernel.inputDirectory() + "/" + node, openError)
                                      : nullptr;
    if (!dev) {
      if (admission == Admission::NotYet || openError == EACCES || openError == EPERM)
        tap->pending_[node] = {options.retryAttempts - 1, options.retryIntervalNanos,
                               options.retryIntervalNanos, false};
      continue;
    }
    if (!isPointer(dev->capabilities()) || dev->name() == kVirtualDeviceName) {
      tap->ignored_.insert(node);
      continue;
    }
    caps.merge(dev->capabilities());
    mice.emplace_back(node, std::move(dev));
  }
  std::erase_if(tap->pending_, [](const auto &entry) { return entry.second.attemptsLeft < 1; });
  tap->out_ = kernel.createOutput(kVirtualDeviceName, caps, error);
  if (!tap->out_) return nullptr;
  tap->outCaps_ = caps;
  std::string devnode = tap->out_->devnode();
  if (auto slash = devnode.rfind('/'); slash != std::string::npos)
    tap->outNode_ = devnode.substr(slash + 1);
  for (auto &[node, dev] : mice) tap->admitLocked(node, std::move(dev));
  tap->dirWatch_ = kernel.watchDirectory();
  tap->retryTimer_ = kernel.makeTimer();
  tap->rearmRetryLocked();
  backend().time().threadWillStart();
  tap->watchdog_ = std::thread([t = tap.get()] { t->watchdogMain(); });
  registerTap(tap.get());
  return tap;
}

std::unique_ptr<TapDriver> Tap::driverFor(std::shared_ptr<Tap> tap) {
  return std::make_unique<TapHandle>(std::move(tap));
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
  if (watcher_ || shutDown_ || retired_) return;
  watcher_ = std::move(watcher);
  // A grabbed mouse nobody reads would be a dead mouse: keep only those that can be served.
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (watchLocked(*it->second)) {
      ++it;
    } else {
      if (it->second->grabbed) it->second->device->grab(false);
      it = devices_.erase(it);
    }
  }
  std::weak_ptr<Tap> weak = weak_from_this();
  auto serve = [weak](void (Tap::*handler)()) {
    return [weak, handler] {
      if (auto self = weak.lock()) ((*self).*handler)();
    };
  };
  if (dirWatch_) watcher_->watch(dirWatch_->fd(), serve(&Tap::onDirectoryReady));
  if (retryTimer_) watcher_->watch(retryTimer_->fd(), serve(&Tap::onTimer));
}

void Tap::setEnabled(bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A virtual device that refused a write would leave every mouse grabbed and dead.
  if (shutDown_ || retired_ || writeFailed_ || enabled == enabled_) return;
  enabled_ = enabled;
  if (enabled) {
    scanLocked();
  } else {
    closeDevicesLocked();
  }
}

bool Tap::isEnabled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return enabled_;
}

void Tap::retire() {
  unregisterTap(this);
  std::lock_guard<std::mutex> lock(mutex_);
  if (retired_) return;
  retired_ = true;
  enabled_ = false;
  notice_ = 0;
  closeDevicesLocked();
  if (watcher_) {
    if (dirWatch_) watcher_->unwatch(dirWatch_->fd());
    if (retryTimer_) watcher_->unwatch(retryTimer_->fd());
  }
  out_.reset();
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
  writeLocked(frames, 4);
}

void Tap::shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  closeDevicesLocked();
  enabled_ = false;
  shutDown_ = true;
  out_.reset();
}

void Tap::suspend() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (suspended_ || shutDown_ || retired_) return;
  suspended_ = true;
  // What the desktop notices goes first: the releases, the mice, the virtual device.
  flushLocked();
  uint32_t passed = 0;
  for (auto &[node, open] : devices_) passed |= std::exchange(open->passed, 0);
  releasePassedLocked(passed, nullptr);
  // An ungrab frees the mouse at once but returns only after a kernel grace period (tens of
  // milliseconds): made side by side, the ungrabs share one, and the virtual device goes
  // meanwhile. The closes after them can take their time.
  std::vector<std::thread> ungrabs;
  for (auto &[node, open] : devices_) {
    if (!std::exchange(open->grabbed, false)) continue;
    Device *device = open->device.get();
    backend().time().threadWillStart();
    try {
      ungrabs.emplace_back([device] {
        device->grab(false);
        backend().time().threadDidExit();
      });
    } catch (const std::system_error &) {
      backend().time().threadDidExit();
      device->grab(false);
    }
  }
  out_.reset();
  for (std::thread &ungrab : ungrabs) ungrab.join();
  outNode_.clear();
  closeDevicesLocked();  // also stops the retry timer
}

void Tap::resume() {
  std::lock_guard<std::mutex> lock(mutex_);
  // A virtual device that refused a write keeps the tap off until the helper starts again.
  if (!suspended_ || shutDown_ || retired_ || writeFailed_) return;
  int error = 0;
  out_ = kernel_.createOutput(kVirtualDeviceName, outCaps_, error);
  if (!out_) {
    // Still suspended: the next resume tries again.
    backend().log("corvassel-helper: cannot make the virtual pointer again through " +
                  kernel_.uinputPath() + ": " + describe(error) + "; nothing is remapped");
    return;
  }
  suspended_ = false;
  const std::string devnode = out_->devnode();
  if (auto slash = devnode.rfind('/'); slash != std::string::npos)
    outNode_ = devnode.substr(slash + 1);
  if (enabled_) scanLocked();
}

// ---- event path -----------------------------------------------------------------------------

void Tap::onDeviceReady(const std::string &node) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = devices_.find(node);
  if (it == devices_.end()) return;
  if (!enabled_) {
    closeDevicesLocked();  // switched off from elsewhere: nothing more is read
    return;
  }
  const std::shared_ptr<Open> open = it->second;
  if (!open->grabbed) {
    // Read only to follow its buttons: the desktop has these events.
    Event ev;
    ReadStatus status;
    while ((status = open->device->next(ev)) == ReadStatus::Event) {
    }
    if (status == ReadStatus::Gone)
      removeDeviceLocked(node);
    else
      grabWhenNeutralLocked(*open);
    return;
  }
  bool gone = false;
  ++dispatching_;
  const Outcome outcome = readDevice(open, lock, gone);
  --dispatching_;
  if (outcome == Outcome::SwitchedOff) {
    // Whatever was read before the switch-off is dropped rather than sent after the fact.
    buffer_.clear();
    closeDevicesLocked();
  } else {
    flushLocked();
    if (gone) {
      removeDeviceLocked(node);
      attemptLocked(node, {options_.retryAttempts, 0, options_.retryIntervalNanos, false});
    }
  }
  const CGEventType notice = std::exchange(notice_, 0);
  const bool tell = notice != 0 && !retired_;
  lock.unlock();
  if (tell) deliverNotice(notice);
}

Tap::Outcome Tap::readDevice(const std::shared_ptr<Open> &open, std::unique_lock<std::mutex> &lock,
                             bool &gone) {
  Event run[kEventsPerRead];
  for (size_t total = 0; total < kMaxEventsPerWake;) {
    ReadStatus status = ReadStatus::Event;
    const size_t count =
        open->device->read(run, std::min(kEventsPerRead, kMaxEventsPerWake - total), status);
    for (size_t i = 0; i < count; ++i) {
      const Event &ev = run[i];
      int number = ev.type == EV_KEY ? buttonNumber(ev.code) : -1;
      if (number < 0) {
        emitLocked(ev);
        continue;
      }
      if (handleButton(*open, ev, number, lock) == Outcome::SwitchedOff)
        return Outcome::SwitchedOff;
      // The callback may have dropped this device (switched off and on again): stop reading it.
      auto it = devices_.find(open->node);
      if (it == devices_.end() || it->second != open) return Outcome::Continue;
    }
    if (!enabled_) return Outcome::SwitchedOff;  // a write failed
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
    if (!enabled_) return Outcome::SwitchedOff;
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
  // The callback may switch the tap off or drop its port; the client is not touched after.
  CGEventRef result = client_.deliver(type, event);
  callbackEnded();
  lock.lock();
  if (result && result != event) CFRelease(result);
  CFRelease(event);
  return result != nullptr;
}

void Tap::deliverNotice(CGEventType notice) {
  CGEventRef event = CGEventCreate(nullptr);
  if (!event) return;
  CGEventSetType(event, notice);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, 0);
  CGEventRef result = client_.deliver(notice, event);
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
  writeLocked(buffer_.data(), buffer_.size());
  buffer_.clear();
}

void Tap::writeLocked(const Event *events, size_t count) {
  if (!out_ || writeFailed_) return;
  const int error = out_->write(events, count);
  if (!error) return;
  // The mice stay grabbed only while what they do reaches the desktop.
  writeFailed_ = true;
  const std::string devnode = out_->devnode();
  backend().log("corvassel-helper: cannot write to the virtual pointer" +
                (devnode.empty() ? std::string() : " " + devnode) + ": " + describe(error) +
                "; every mouse is given back and remapping stays off until the helper starts "
                "again");
  switchOffLocked(kCGEventTapDisabledByUserInput);
  if (!dispatching_ && watcher_) {
    // Not inside a read: close the devices and tell the client from the loop, later.
    std::weak_ptr<Tap> weak = weak_from_this();
    watcher_->perform([weak] {
      auto self = weak.lock();
      if (!self) return;
      std::unique_lock<std::mutex> lock(self->mutex_);
      self->closeDevicesLocked();
      const CGEventType notice = std::exchange(self->notice_, 0);
      const bool tell = notice != 0 && !self->retired_;
      lock.unlock();
      if (tell) self->deliverNotice(notice);
    });
  }
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
  writeLocked(events.data(), events.size());
}

void Tap::switchOffLocked(CGEventType notice) {
  if (!enabled_) return;
  enabled_ = false;
  notice_ = notice;
  // Ungrab first so the desktop has the mouse at once; the devices are closed on the loop's
  // thread, once no read is under way.
  for (auto &[node, open] : devices_)
    if (open->grabbed) open->device->grab(false);
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

// ---- devices --------------------------------------------------------------------------------

void Tap::scanLocked() {
  for (const std::string &node : kernel_.eventNodes())
    attemptLocked(node, {options_.retryAttempts, 0, options_.retryIntervalNanos, false});
  rearmRetryLocked();
}

void Tap::attemptLocked(const std::string &node, Retry retry) {
  pending_.erase(node);
  if (devices_.count(node) || ignored_.count(node) || node == outNode_ || !enabled_ || suspended_)
    return;
  const Admission admission = options_.admit ? options_.admit(node) : Admission::Yes;
  if (admission == Admission::No) return;  // another seat's: not even opened
  int error = 0;
  std::unique_ptr<Device> dev = admission == Admission::Yes
                                    ? kernel_.open(kernel_.inputDirectory() + "/" + node, error)
                                    : nullptr;
  if (!dev) {
    // udev sets a new node's owner, mode and seat just after it appears: ask again shortly.
    if ((admission == Admission::NotYet || error == EACCES || error == EPERM) &&
        retry.attemptsLeft > 1) {
      if (retry.growing) retry = {options_.retryAttempts, 0, options_.retryIntervalNanos, false};
      pending_[node] = {retry.attemptsLeft - 1, retry.intervalNanos, retry.intervalNanos, false};
    }
    return;
  }
  if (!isPointer(dev->capabilities()) || dev->name() == kVirtualDeviceName) {
    ignored_.insert(node);
    return;
  }
  const bool again = retry.growing;
  admitLocked(node, std::move(dev));
  // A grab refused again goes on with the schedule it came with, one attempt spent.
  if (again && pending_.count(node)) {
    if (retry.attemptsLeft > 1)
      pending_[node] = {retry.attemptsLeft - 1, retry.intervalNanos * 2, retry.intervalNanos * 2,
                        true};
    else
      pending_.erase(node);
  }
}

void Tap::admitLocked(const std::string &node, std::unique_ptr<Device> device) {
  auto open = std::make_shared<Open>();
  open->node = node;
  open->device = std::move(device);
  devices_[node] = open;
  if (watcher_ && !watchLocked(*open)) {
    devices_.erase(node);  // nobody would read it: it must not stay grabbed
    return;
  }
  grabWhenNeutralLocked(*open);
}

bool Tap::watchLocked(const Open &open) {
  std::weak_ptr<Tap> weak = weak_from_this();
  return watcher_->watch(open.device->fd(), [weak, node = open.node] {
    if (auto self = weak.lock()) self->onDeviceReady(node);
  });
}

void Tap::grabWhenNeutralLocked(Open &open) {
  if (open.grabbed || !enabled_ || suspended_) return;
  // The desktop saw that press: grabbing now would keep its release from it.
  if (open.device->keysDown()) return;
  if (int error = open.device->grab(true)) {
    const std::string node = open.node, name = open.device->name();
    if (watcher_) watcher_->unwatch(open.device->fd());
    devices_.erase(node);
    refusedLocked(node, name, error,
                  {options_.grabRetryAttempts, options_.grabRetryFirstNanos,
                   options_.grabRetryFirstNanos, true});
    return;
  }
  // What is queued was read by the desktop too: dropped. A press that came in meanwhile
  // means letting go again, so that the desktop sees its release.
  Event ev;
  while (open.device->next(ev) == ReadStatus::Event) {
  }
  if (open.device->keysDown()) {
    open.device->grab(false);
    return;
  }
  open.grabbed = true;
  refusalLogged_.erase(open.node);
}

void Tap::refusedLocked(const std::string &node, const std::string &name, int error, Retry retry) {
  if (refusalLogged_.insert(node).second) {
    backend().log("corvassel-helper: cannot grab " + kernel_.inputDirectory() + "/" + node + " (" +
                  name + "): " + describe(error) +
                  (error == EBUSY ? " (another program holds it)" : "") +
                  "; it stays with the desktop and is asked for again");
  }
  if (retry.attemptsLeft > 0) pending_[node] = retry;
  rearmRetryLocked();
}

void Tap::rearmRetryLocked() {
  if (!retryTimer_) return;
  if (pending_.empty() || !enabled_) {
    retryTimer_->disarm();
    retryArmedNanos_ = 0;
    return;
  }
  uint64_t soonest = UINT64_MAX;
  for (const auto &[node, retry] : pending_) soonest = std::min(soonest, retry.waitNanos);
  retryArmedNanos_ = soonest;
  retryTimer_->arm(soonest);
}

void Tap::onTimer() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!retryTimer_) return;
  retryTimer_->acknowledge();
  if (!enabled_) {
    pending_.clear();
    return;
  }
  // Every wait shrinks by what the timer was armed with; those spent are due.
  std::vector<std::pair<std::string, Retry>> due;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.waitNanos <= retryArmedNanos_) {
      due.emplace_back(*it);
      it = pending_.erase(it);
    } else {
      it->second.waitNanos -= retryArmedNanos_;
      ++it;
    }
  }
  for (const auto &[node, retry] : due) attemptLocked(node, retry);
  rearmRetryLocked();
}

void Tap::onDirectoryReady() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!dirWatch_) return;
  const Retry fresh{options_.retryAttempts, 0, options_.retryIntervalNanos, false};
  for (const auto &[node, change] : dirWatch_->read()) {
    if (change == DirectoryWatch::Overflowed) {
      // Notices were lost: any node may be new. What went is found when it is read.
      ignored_.clear();
      if (enabled_) scanLocked();
      continue;
    }
    if (node.rfind("event", 0) != 0) continue;
    if (change == DirectoryWatch::Deleted) {
      ignored_.erase(node);
      pending_.erase(node);
      refusalLogged_.erase(node);
      removeDeviceLocked(node);
    } else if (enabled_) {
      // A fresh node may reuse a name we dismissed; a change of mode may admit us now, and a
      // mouse whose grab was refused is asked for again.
      if (change == DirectoryWatch::Created) ignored_.erase(node);
      auto it = pending_.find(node);
      attemptLocked(node,
                    it != pending_.end() && change != DirectoryWatch::Created ? it->second : fresh);
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
    if (open->grabbed) open->device->grab(false);
    if (watcher_) watcher_->unwatch(open->device->fd());
  }
  // A device being read right now stays open until that read is over.
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
  if (shutDown_ || retired_) return;
  switchOffLocked(kCGEventTapDisabledByTimeout);
}

}  // namespace platform::evdev
