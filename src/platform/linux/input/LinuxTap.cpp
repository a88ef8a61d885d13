#include "linux/input/LinuxTap.h"

#include <algorithm>
#include <cerrno>
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

}  // namespace

void Tap::Link::answer(uint64_t serial, bool pass) {
  std::lock_guard lock(mutex);
  if (Tap *t = tap) t->loop_->post([t, serial, pass] { t->onAnswer(serial, pass); });
}

std::unique_ptr<Tap> Tap::create(const Context &context, Kernel &kernel, const TapRequest &request,
                                 TapClient &client, TapOptions options,
                                 std::unique_ptr<InputLoop> loop, int &error) {
  std::unique_ptr<Tap> tap(new Tap(context, kernel, request, client, options, std::move(loop)));
  if (!tap->begin(error)) return nullptr;
  return tap;
}

Tap::Tap(const Context &context, Kernel &kernel, const TapRequest &request, TapClient &client,
         TapOptions options, std::unique_ptr<InputLoop> loop)
    : context_(context),
      kernel_(kernel),
      client_(client),
      options_(options),
      loop_(std::move(loop)),
      devices_(context, kernel, *loop_, options.devices, *this),
      filter_(request.eventsOfInterest, request.options == kCGEventTapOptionListenOnly),
      watchdog_(options.graceNanos, options.callbackTimeoutNanos) {
  link_->tap = this;
  readEvents_.reserve(kMaxEventsPerRound + kEventsPerRead);
}

bool Tap::begin(int &error) {
  bool made = false;
  loop_->call([&] {
    // Without outputs every mouse would stay with the desktop: no tap, and nothing opened.
    if ((error = kernel_.canMakeOutputs())) return;
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
  {
    std::lock_guard lock(link_->mutex);
    link_->tap = nullptr;  // answers still on their way are dropped
  }
  loop_->call([this] {
    disable(kCGEventNull);
    if (deadline_) loop_->unwatch(deadline_->fd());
    loop_->setRoundEnd(nullptr);
  });
}

void Tap::setEnabled(bool enabled) {
  loop_->call([&] {
    // An output that refused a write would leave its mouse grabbed and dead.
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
    letGo();
    devices_.stop();
  });
}

void Tap::resume() {
  loop_->call([this] {
    // An output that refused a write keeps the tap off until the helper starts again.
    if (!suspended_ || shutDown_ || writeFailed_) return;
    suspended_ = false;
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
    filter_.click(code);
    flush();
  });
}

void Tap::shutdown() {
  loop_->call([this] {
    disable(kCGEventNull);
    shutDown_ = true;
  });
}

// ---- devices -------------------------------------------------------------------------------

int Tap::deviceGrabbed(uint32_t id, Device &device, const std::string &node) {
  int error = 0;
  std::unique_ptr<Output> output = kernel_.createOutput(
      outputSpecFor(device.identity(), device.capabilities(), node), device, error);
  if (!output) return error ? error : EIO;
  outputs_.emplace_back(id, std::move(output));
  return 0;
}

Output *Tap::outputOf(uint32_t id) {
  for (auto &[device, output] : outputs_)
    if (device == id) return output.get();
  return nullptr;
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
  context_.say("corvassel-helper: the kernel dropped events of " + devices_.describe(id) +
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
      context_.say(
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
  FilterOutput &out = filter_.output();
  if (out.empty()) return;
  if (writeFailed_) {
    out.clear();
    return;
  }
  for (size_t run = 0; run < out.runs.size(); ++run) {
    const size_t begin = out.runs[run].begin, end = out.end(run);
    Output *output = begin < end ? outputOf(out.runs[run].device) : nullptr;
    if (!output) continue;  // nothing to write, or its mouse went
    const int error = output->write(out.events.data() + begin, end - begin);
    if (!error) continue;
    // The mice stay grabbed only while what they do reaches the desktop.
    writeFailed_ = true;
    out.clear();
    const std::string devnode = output->devnode();
    context_.say("corvassel-helper: cannot write to the output device" +
                 (devnode.empty() ? std::string() : " " + devnode) + ": " + strerror(error) +
                 "; every mouse is given back and remapping stays off until the helper starts "
                 "again");
    disable(kCGEventTapDisabledByUserInput);
    return;
  }
  // A mouse that went has released what it held on its output: the output goes too.
  for (uint32_t id : out.finished) {
    auto it = std::find_if(outputs_.begin(), outputs_.end(),
                           [&](const auto &entry) { return entry.first == id; });
    if (it != outputs_.end()) outputs_.erase(it);
  }
  out.clear();
}

void Tap::letGo() {
  filter_.reset();  // what went out is released; what waits is dropped, never sent late
  flush();
  // Every mouse back to the desktop at once, and meanwhile the outputs go, their releases
  // written (a desktop that has not read them when an output goes releases what it held on it).
  devices_.letGo([this] { outputs_.clear(); });
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
  letGo();
  devices_.stop();
  if (notice) client_.submit(TapEvent{notice, 0}, [](bool) {});
}

}  // namespace platform::evdev
