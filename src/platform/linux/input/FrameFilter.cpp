#include "linux/input/FrameFilter.h"

#include <algorithm>
#include <iterator>

namespace platform::evdev {

namespace {

uint32_t bit(int number) {
  return number >= 0 && number < 32 ? uint32_t{1} << number : 0;
}

bool isSynReport(const Event &ev) {
  return ev.type == EV_SYN && ev.code == SYN_REPORT;
}

constexpr Event kSynReport{EV_SYN, SYN_REPORT, 0};

}  // namespace

FrameFilter::FrameFilter(CGEventMask subscribed, bool listenOnly)
    : subscribed_(subscribed), listenOnly_(listenOnly) {
  out_.events.reserve(256);
}

bool FrameFilter::subscribed(CGEventType type) const {
  return type < 64 && (subscribed_ & (CGEventMask{1} << type)) != 0;
}

FrameFilter::DeviceState &FrameFilter::state(uint32_t device) {
  for (DeviceState &d : devices_)
    if (d.id == device) return d;
  devices_.push_back(DeviceState{device});
  return devices_.back();
}

uint32_t FrameFilter::held() const {
  uint32_t held = 0;
  for (const DeviceState &d : devices_) held |= d.held;
  return held;
}

void FrameFilter::openNewRun(uint32_t device) {
  std::vector<FilterOutput::Run> &runs = out_.runs;
  if (!runs.empty() && runs.back().begin == out_.events.size())
    runs.back().device = device;  // an empty run is taken over
  else
    runs.push_back({device, out_.events.size()});
}

void FrameFilter::truncate(size_t size) {
  out_.events.resize(size);
  while (!out_.runs.empty() && out_.runs.back().begin >= size) out_.runs.pop_back();
}

void FrameFilter::frame(uint32_t device, const Event *events, size_t count) {
  if (count == 0) return;
  if (question_) {
    if (!overtaking_) {
      waiting_.push_back(Waiting{false, device, std::vector<Event>(events, events + count), 0});
      return;
    }
    std::vector<Event> buttons;
    splitOut(device, events, count, buttons);
    if (!buttons.empty()) waiting_.push_back(Waiting{false, device, std::move(buttons), 0});
    return;
  }
  const size_t frameStart = out_.events.size();
  size_t stoppedAt = 0;
  if (process(state(device), events, count, 0, stoppedAt)) return;
  // A question stopped the frame: what it put out so far waits with the rest of it.
  current_.assign(out_.events.begin() + static_cast<std::ptrdiff_t>(frameStart), out_.events.end());
  truncate(frameStart);
  waiting_.push_back(Waiting{false, device, std::vector<Event>(events, events + count), stoppedAt});
}

bool FrameFilter::process(DeviceState &device, const Event *events, size_t count, size_t from,
                          size_t &stoppedAt) {
  openRun(device.id);
  std::vector<Event> &out = out_.events;
  for (size_t i = from; i < count; ++i) {
    const Event &ev = events[i];
    const int number = ev.type == EV_KEY ? buttonNumber(ev.code) : -1;
    if (number < 0) {
      out.push_back(ev);
      continue;
    }
    if (ev.value == 2) {  // autorepeat follows the press's fate
      if (device.passed & bit(number)) out.push_back(ev);
      continue;
    }
    const bool down = ev.value != 0;
    const CGEventType type = number == 1 ? (down ? kCGEventRightMouseDown : kCGEventRightMouseUp)
                                         : (down ? kCGEventOtherMouseDown : kCGEventOtherMouseUp);
    if (number != 0 && subscribed(type)) {
      question_ = Question{type, number, held()};
      lastJudged_ = device.id;
      stoppedAt = i;
      return false;
    }
    decide(device, ev, number, true);
  }
  return true;
}

void FrameFilter::decide(DeviceState &device, const Event &ev, int number, bool pass) {
  const uint32_t b = bit(number);
  if (ev.value != 0) {
    if (pass) {
      out_.events.push_back(ev);
      device.passed |= b;
    }
    device.held |= b;
    return;
  }
  // A release whose press went out always follows it, or the button would stay down; one
  // whose press was swallowed never does.
  if ((device.passed & b) || (pass && !(device.held & b))) out_.events.push_back(ev);
  device.held &= ~b;
  device.passed &= ~b;
}

void FrameFilter::answer(bool pass) {
  if (!question_) return;
  question_.reset();
  overtaking_ = false;
  Waiting &w = waiting_.front();
  const Event ev = w.events[w.next++];
  // The answered event joins its frame's output so far.
  const size_t frameStart = out_.events.size();
  openRun(w.device);
  out_.events.insert(out_.events.end(), current_.begin(), current_.end());
  decide(state(w.device), ev, buttonNumber(ev.code), pass || listenOnly_);
  current_.assign(out_.events.begin() + static_cast<std::ptrdiff_t>(frameStart), out_.events.end());
  truncate(frameStart);
  run();
}

void FrameFilter::run() {
  while (!question_ && !waiting_.empty()) {
    Waiting &w = waiting_.front();
    if (w.gone) {
      const uint32_t device = w.device;
      waiting_.pop_front();
      gone(device);
      continue;
    }
    const size_t frameStart = out_.events.size();
    openRun(w.device);
    out_.events.insert(out_.events.end(), current_.begin(), current_.end());
    current_.clear();
    size_t stoppedAt = 0;
    if (!process(state(w.device), w.events.data(), w.events.size(), w.next, stoppedAt)) {
      current_.assign(out_.events.begin() + static_cast<std::ptrdiff_t>(frameStart),
                      out_.events.end());
      truncate(frameStart);
      w.next = stoppedAt;
      return;
    }
    // The frame is whole: clicks posted while it waited follow it.
    if (!afterFrame_.empty()) {
      openRun(afterFrameDevice_);
      out_.events.insert(out_.events.end(), afterFrame_.begin(), afterFrame_.end());
      afterFrame_.clear();
    }
    waiting_.pop_front();
  }
}

void FrameFilter::overtake() {
  if (!question_ || overtaking_) return;
  overtaking_ = true;
  // What the stopped frame put out before its question goes now, as a frame of its own.
  if (!current_.empty()) {
    openRun(waiting_.front().device);
    out_.events.insert(out_.events.end(), current_.begin(), current_.end());
    out_.events.push_back(kSynReport);
    current_.clear();
  }
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    if (it->gone) {
      ++it;
      continue;
    }
    std::vector<Event> buttons;
    splitOut(it->device, it->events.data() + it->next, it->events.size() - it->next, buttons);
    it->events = std::move(buttons);
    it->next = 0;
    // The question's own frame always keeps its button.
    if (it->events.empty())
      it = waiting_.erase(it);
    else
      ++it;
  }
}

void FrameFilter::splitOut(uint32_t device, const Event *events, size_t count,
                           std::vector<Event> &buttons) {
  openRun(device);
  const size_t frameStart = out_.events.size();
  for (size_t i = 0; i < count; ++i) {
    const Event &ev = events[i];
    if (isSynReport(ev)) continue;
    if (ev.type == EV_KEY && buttonNumber(ev.code) >= 0)
      buttons.push_back(ev);
    else
      out_.events.push_back(ev);
  }
  if (out_.events.size() != frameStart) out_.events.push_back(kSynReport);
  if (!buttons.empty()) buttons.push_back(kSynReport);
}

void FrameFilter::click(uint16_t code) {
  const Event frames[] = {{EV_KEY, code, 1}, kSynReport, {EV_KEY, code, 0}, kSynReport};
  if (question_) {
    afterFrameDevice_ = waiting_.front().device;
    afterFrame_.insert(afterFrame_.end(), std::begin(frames), std::end(frames));
    return;
  }
  if (!lastJudged_) return;  // nothing judged yet, or its device went
  openRun(*lastJudged_);
  out_.events.insert(out_.events.end(), std::begin(frames), std::end(frames));
}

void FrameFilter::deviceGone(uint32_t device) {
  if (question_ || !waiting_.empty())
    waiting_.push_back(Waiting{true, device, {}, 0});
  else
    gone(device);
}

// Releases what went out on the device's own output, then finishes that output.
void FrameFilter::gone(uint32_t device) {
  auto it = std::find_if(devices_.begin(), devices_.end(),
                         [&](const DeviceState &d) { return d.id == device; });
  if (it != devices_.end()) {
    const uint32_t release = it->passed;
    devices_.erase(it);
    if (release) {
      openRun(device);
      for (int n = 0; n < 32; ++n)
        if (release & bit(n))
          out_.events.push_back({EV_KEY, static_cast<uint16_t>(BTN_MOUSE + n), 0});
      out_.events.push_back(kSynReport);
    }
  }
  if (lastJudged_ == device) lastJudged_.reset();
  out_.finished.push_back(device);
}

void FrameFilter::reset() {
  question_.reset();
  lastJudged_.reset();
  overtaking_ = false;
  waiting_.clear();
  current_.clear();
  // Clicks the client posted still go out; what was read but not sent is dropped.
  if (!afterFrame_.empty()) {
    openRun(afterFrameDevice_);
    out_.events.insert(out_.events.end(), afterFrame_.begin(), afterFrame_.end());
    afterFrame_.clear();
  }
  for (const DeviceState &d : devices_) {
    if (!d.passed) continue;
    openRun(d.id);
    for (int n = 0; n < 32; ++n)
      if (d.passed & bit(n))
        out_.events.push_back({EV_KEY, static_cast<uint16_t>(BTN_MOUSE + n), 0});
    out_.events.push_back(kSynReport);
  }
  devices_.clear();
}

}  // namespace platform::evdev
