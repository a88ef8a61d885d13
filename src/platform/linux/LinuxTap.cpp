#include "linux/LinuxTap.h"

#include "linux/TapRegistry.h"

#include <algorithm>
#include <cstring>

namespace platform::evdev {

namespace {

constexpr size_t kEventsPerRead = 64;
constexpr size_t kMaxEventsPerRound = 512;
// A frame newer than the round waits at most for the next; one further ahead than this is on
// some other clock and is never held.
constexpr uint64_t kHoldNanos = 1000000000;  // per device; then the others are served first
// A dropping device is said once a minute at most.
constexpr uint64_t kDropLogIntervalNanos = 60000000000;

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

}  // namespace

void Tap::Link::answer(uint64_t serial, bool pass) {
  std::lock_guard lock(mutex);
  if (Tap *t = tap) t->loop_->post([t, serial, pass] { t->onAnswer(serial, pass); });
}

std::unique_ptr<Tap> Tap::create(Kernel &kernel, const TapRequest &request, TapClient &client,
                                 TapOptions options, std::unique_ptr<InputLoop> loop, int &error) {
  std::unique_ptr<Tap> tap(new Tap(kernel, request, client, options, std::move(loop)));
  if (!tap->begin(error)) return nullptr;
  registerTap(tap.get());
  return tap;
}

Tap::Tap(Kernel &kernel, const TapRequest &request, TapClient &client, TapOptions options,
         std::unique_ptr<InputLoop> loop)
    : kernel_(kernel),
      client_(client),
      options_(options),
      loop_(std::move(loop)),
      devices_(kernel, *loop_, options.devices, *this),
      filter_(request.eventsOfInterest, request.options == kCGEventTapOptionListenOnly),
      watchdog_(options.graceNanos, options.callbackTimeoutNanos) {
  link_->tap = this;
  readEvents_.reserve(kMaxEventsPerRound + kEventsPerRead);
}

bool Tap::begin(int &error) {
  bool made = false;
  loop_->call([&] {
    // The virtual device carries the union of what the mice present can do.
    Capabilities caps = baseline();
    caps.merge(devices_.openPresent());
    out_ = kernel_.createOutput(kVirtualDeviceName, caps, error);
    if (!out_) {
      devices_.stop();
      return;
    }
    outCaps_ = caps;
    const std::string devnode = out_->devnode();
    devices_.setOwnNode(devnode.substr(devnode.rfind('/') + 1));
    deadline_ = kernel_.makeTimer();
    if (deadline_) loop_->watch(deadline_->fd(), [this] { onDeadline(); });
    loop_->setRoundEnd([this] { serveRound(); });
    enabled_ = true;
    devices_.start();
    made = true;
  });
  return made;
}

Tap::~Tap() {
  unregisterTap(this);
  {
    std::lock_guard lock(link_->mutex);
    link_->tap = nullptr;  // answers still on their way are dropped
  }
  loop_->call([this] {
    disable(kCGEventNull);
    out_.reset();
    if (deadline_) loop_->unwatch(deadline_->fd());
    loop_->setRoundEnd(nullptr);
  });
}

void Tap::setEnabled(bool enabled) {
  loop_->call([&] {
    // A virtual device that refused a write would leave every mouse grabbed and dead.
    if (enabled == enabled_ || shutDown_ || writeFailed_) return;
    if (!enabled) {
      disable(kCGEventNull);
      return;
    }
    enabled_ = true;
    if (!suspended_) devices_.start();
  });
}

void Tap::suspend() {
  loop_->call([this] {
    if (suspended_ || shutDown_) return;
    suspended_ = true;
    // What the desktop notices goes first: the releases, the mice, the virtual device.
    letGo([this] { out_.reset(); });
    devices_.stop();
  });
}

void Tap::resume() {
  loop_->call([this] {
    // A virtual device that refused a write keeps the tap off until the helper starts again.
    if (!suspended_ || shutDown_ || writeFailed_) return;
    int error = 0;
    out_ = kernel_.createOutput(kVirtualDeviceName, outCaps_, error);
    if (!out_) {  // still suspended: the next resume tries again
      backend().log("corvassel-helper: cannot make the virtual pointer again through " +
                    kernel_.uinputPath() + ": " + strerror(error) + "; nothing is remapped");
      return;
    }
    suspended_ = false;
    const std::string devnode = out_->devnode();
    devices_.setOwnNode(devnode.substr(devnode.rfind('/') + 1));
    if (enabled_) devices_.start();
  });
}

bool Tap::isEnabled() {
  return enabled_;
}

NSUInteger Tap::pressedButtons() const {
  return judging_ ? judgedHeld_.load() : heldNow_.load();
}

void Tap::click(uint16_t code) {
  loop_->post([this, code] {
    if (!out_) return;
    filter_.click(code);
    flush();
  });
}

void Tap::shutdown() {
  loop_->call([this] {
    disable(kCGEventNull);
    shutDown_ = true;
    out_.reset();
  });
}

// ---- reading -------------------------------------------------------------------------------

void Tap::deviceReadable(uint32_t id, Device &device) {
  // A frame begun in an earlier read comes first.
  size_t frameBegin = readEvents_.size();
  if (auto it = partial_.find(id); it != partial_.end()) {
    readEvents_.insert(readEvents_.end(), it->second.begin(), it->second.end());
    partial_.erase(it);
  }
  uint64_t times[kEventsPerRead];
  ReadStatus status = ReadStatus::Event;
  for (size_t total = 0; total < kMaxEventsPerRound && status == ReadStatus::Event;) {
    const size_t at = readEvents_.size();
    readEvents_.resize(at + kEventsPerRead);
    Event *run = readEvents_.data() + at;
    const size_t count = device.read(run, times, kEventsPerRead, status);
    readEvents_.resize(at + count);
    for (size_t i = 0; i < count; ++i) {
      if (run[i].type != EV_SYN || run[i].code != SYN_REPORT) continue;
      reads_.push_back(Read{id, times[i], frameBegin, at + i + 1 - frameBegin});
      frameBegin = at + i + 1;
    }
    total += count;
  }
  if (frameBegin < readEvents_.size()) {
    partial_[id].assign(readEvents_.begin() + static_cast<std::ptrdiff_t>(frameBegin),
                        readEvents_.end());
    readEvents_.resize(frameBegin);
  }
  logDrops(id, device);
  if (status == ReadStatus::Gone) {
    partial_.erase(id);
    devices_.remove(id);
    lost_.push_back(id);
  }
}

void Tap::deviceLost(uint32_t id) {
  partial_.erase(id);
  drops_.erase(id);
  lost_.push_back(id);
}

void Tap::logDrops(uint32_t id, Device &device) {
  const uint64_t count = device.drops();
  if (count == 0) return;
  auto &[seen, quietUntil] = drops_[id];
  if (count == seen) return;
  seen = count;
  const uint64_t now = loop_->now();
  if (now < quietUntil) return;
  quietUntil = now + kDropLogIntervalNanos;
  backend().log("corvassel-helper: the kernel dropped events of " + devices_.describe(id) +
                "; its buttons were brought back in line");
}

void Tap::serveRound() {
  if (reads_.empty() && lost_.empty()) return;
  // The mice are read one after another, and one read early in the round may have had a frame
  // since that is older than one read later: with several mice, every frame up to now is read
  // before any goes out, and those newer than now wait for the next round.
  uint64_t cutoff = UINT64_MAX;
  if (!reads_.empty() && devices_.grabbedCount() > 1) {
    cutoff = kernel_.eventTimeNow();
    devices_.readWaiting();
  }
  const auto byTime = [](const Read &a, const Read &b) { return a.time < b.time; };
  if (!std::is_sorted(reads_.begin(), reads_.end(), byTime))
    std::stable_sort(reads_.begin(), reads_.end(), byTime);
  size_t due = reads_.size();
  // Not when a mouse went (what it held is released after its frames), nor for a time far
  // from now, which no clock of ours gave.
  const uint64_t newest = reads_.empty() ? 0 : reads_.back().time;
  if (cutoff != UINT64_MAX && lost_.empty() && newest > cutoff && newest - cutoff < kHoldNanos) {
    while (due > 0 && reads_[due - 1].time > cutoff) --due;
  }
  for (size_t i = 0; i < due; ++i)
    filter_.frame(reads_[i].device, readEvents_.data() + reads_[i].begin, reads_[i].count);
  for (uint32_t id : lost_) filter_.deviceGone(id);
  lost_.clear();
  if (due == reads_.size()) {
    reads_.clear();
    readEvents_.clear();
  } else {
    holdFrom(due);
    loop_->post([] {});  // another round at once, which lets them go
  }
  afterFilter();
}

void Tap::holdFrom(size_t first) {
  EventBuffer kept;
  for (size_t i = first; i < reads_.size(); ++i) {
    Read &read = reads_[i];
    const size_t begin = kept.size();
    kept.insert(kept.end(), readEvents_.begin() + static_cast<std::ptrdiff_t>(read.begin),
                readEvents_.begin() + static_cast<std::ptrdiff_t>(read.begin + read.count));
    read.begin = begin;
  }
  reads_.erase(reads_.begin(), reads_.begin() + static_cast<std::ptrdiff_t>(first));
  readEvents_.swap(kept);
}

// ---- the client ----------------------------------------------------------------------------

void Tap::afterFilter() {
  flush();
  heldNow_ = filter_.held();
  ask();
}

void Tap::ask() {
  if (asked_ || !enabled_) return;
  const std::optional<Question> &question = filter_.question();
  if (!question) return;
  asked_ = true;
  const uint64_t serial = ++serial_;
  judgedHeld_ = question->heldBefore;
  judging_ = true;
  watchdog_.handedOver(loop_->now());
  armDeadline();
  std::weak_ptr<Link> link = link_;
  client_.submit(TapEvent{question->type, question->button}, [link, serial](bool pass) {
    if (auto l = link.lock()) l->answer(serial, pass);
  });
}

void Tap::onAnswer(uint64_t serial, bool pass) {
  if (!asked_ || serial != serial_) return;  // for a question dropped meanwhile
  asked_ = false;
  judging_ = false;
  watchdog_.answered();
  armDeadline();
  filter_.answer(pass);
  afterFilter();
}

void Tap::armDeadline() {
  if (!deadline_) return;
  const uint64_t due = watchdog_.nextDeadline();
  if (due == UINT64_MAX) {
    deadline_->disarm();
    return;
  }
  const uint64_t now = loop_->now();
  deadline_->arm(due > now ? due - now : 1);
}

void Tap::onDeadline() {
  deadline_->acknowledge();
  switch (watchdog_.check(loop_->now())) {
    case Watchdog::Due::Overtake:
      filter_.overtake();
      flush();
      break;
    case Watchdog::Due::SwitchOff:
      backend().log(
          "corvassel-helper: the tap's callback did not answer within a second; every mouse is "
          "given back and remapping stays off until the helper starts again");
      disable(kCGEventTapDisabledByTimeout);
      return;
    case Watchdog::Due::Nothing:
      break;
  }
  armDeadline();
}

void Tap::flush() {
  std::vector<Event> &out = filter_.output();
  if (out.empty()) return;
  if (!out_ || writeFailed_) {
    out.clear();
    return;
  }
  const int error = out_->write(out.data(), out.size());
  out.clear();
  if (!error) return;
  // The mice stay grabbed only while what they do reaches the desktop.
  writeFailed_ = true;
  const std::string devnode = out_->devnode();
  backend().log("corvassel-helper: cannot write to the virtual pointer" +
                (devnode.empty() ? std::string() : " " + devnode) + ": " + strerror(error) +
                "; every mouse is given back and remapping stays off until the helper starts "
                "again");
  disable(kCGEventTapDisabledByUserInput);
}

void Tap::letGo(const std::function<void()> &meanwhile) {
  filter_.reset();  // what went out is released; what waits is dropped, never sent late
  flush();
  devices_.letGo(meanwhile);  // every mouse back to the desktop at once
  asked_ = false;
  judging_ = false;
  watchdog_.answered();
  armDeadline();
  reads_.clear();
  readEvents_.clear();
  lost_.clear();
  partial_.clear();
  heldNow_ = 0;
}

void Tap::disable(CGEventType notice) {
  if (!enabled_) return;
  enabled_ = false;
  letGo(nullptr);
  devices_.stop();
  if (notice) client_.submit(TapEvent{notice, 0}, [](bool) {});
}

}  // namespace platform::evdev
