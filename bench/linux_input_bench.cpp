// Events through the Linux input tap (read, filter, re-emit) on a scripted mouse whose virtual
// device discards, beside a baseline that only copies the same events; and the time the tap
// adds to one pass-through frame, at the median and the 99th percentile.
#include <benchmark/benchmark.h>

#include <platform/Backend.h>

#include "linux/LinuxTap.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <vector>

namespace {

using platform::evdev::Event;
using Clock = std::chrono::steady_clock;

class QuietTime : public platform::TimeSource {
 public:
  uint64_t upTimeNanos() override { return 0; }
  CFAbsoluteTime absoluteTime() override { return 0; }
  std::unique_ptr<platform::Waiter> makeWaiter() override { return nullptr; }
  std::unique_ptr<platform::RunLoopDriver> makeRunLoopDriver() override { return nullptr; }
};

class BenchBackend : public platform::Backend {
 public:
  BenchBackend() { platform::setBackend(this); }
  ~BenchBackend() override { platform::setBackend(nullptr); }
  platform::TimeSource &time() override { return quiet; }
  QuietTime quiet;
};

// A mouse that hands out one batch of events per wake-up, then has nothing more.
class Mouse : public platform::evdev::Device {
 public:
  int fd() const override { return 7; }
  const std::string &name() const override { return name_; }
  const platform::evdev::Capabilities &capabilities() const override { return caps_; }
  int grab(bool) override { return 0; }
  bool keysDown() const override { return false; }
  platform::evdev::ReadStatus next(Event &ev) override {
    if (pos_ == batch.size()) return platform::evdev::ReadStatus::Again;
    ev = batch[pos_++];
    return platform::evdev::ReadStatus::Event;
  }
  size_t read(Event *out, size_t max, platform::evdev::ReadStatus &status) override {
    const size_t count = std::min(max, batch.size() - pos_);
    std::copy_n(batch.data() + pos_, count, out);
    pos_ += count;
    status = count < max ? platform::evdev::ReadStatus::Again : platform::evdev::ReadStatus::Event;
    return count;
  }
  void rewind() { pos_ = 0; }
  std::vector<Event> batch;
  platform::evdev::Capabilities caps_;

 private:
  std::string name_ = "bench mouse";
  size_t pos_ = 0;
};

class Sink : public platform::evdev::Output {
 public:
  int write(const Event *events, size_t count) override {
    written += count;
    if (onWrite) onWrite();
    benchmark::DoNotOptimize(events);
    return 0;
  }
  std::string devnode() const override { return ""; }
  size_t written = 0;
  std::function<void()> onWrite;
};

class Kernel : public platform::evdev::Kernel {
 public:
  Kernel() {
    for (uint16_t c : {REL_X, REL_Y}) mouse->caps_.codes.insert({EV_REL, c});
    mouse->caps_.codes.insert({EV_KEY, BTN_LEFT});
  }
  std::vector<std::string> eventNodes() override { return {"event0"}; }
  std::unique_ptr<platform::evdev::Device> open(const std::string &, int &error) override {
    error = 0;
    return std::move(mouse);
  }
  std::unique_ptr<platform::evdev::Output> createOutput(const std::string &,
                                                        const platform::evdev::Capabilities &,
                                                        int &) override {
    auto s = std::make_unique<Sink>();
    sink = s.get();
    return s;
  }
  std::unique_ptr<platform::evdev::DirectoryWatch> watchDirectory() override { return nullptr; }
  std::unique_ptr<platform::evdev::Timer> makeTimer() override { return nullptr; }
  int mayAccess(const std::string &, int) override { return 0; }
  bool isPointerNode(const std::string &) override { return true; }

  std::unique_ptr<Mouse> mouse = std::make_unique<Mouse>();
  Sink *sink = nullptr;
};

class Watcher : public platform::evdev::Watcher {
 public:
  bool watch(int fd, std::function<void()> onReady) override {
    handlers[fd] = onReady;
    return true;
  }
  void unwatch(int fd) override { handlers.erase(fd); }
  void perform(std::function<void()>) override {}
  std::map<int, std::function<void()>> handlers;
};

struct PassAll : platform::TapClient {
  CGEventRef deliver(CGEventType, CGEventRef event) override { return event; }
};

std::vector<Event> motionFrames(size_t frames) {
  std::vector<Event> events;
  for (size_t i = 0; i < frames; ++i) {
    events.push_back({EV_REL, REL_X, static_cast<int32_t>(i % 7) - 3});
    events.push_back({EV_REL, REL_Y, 1});
    events.push_back({EV_SYN, SYN_REPORT, 0});
  }
  return events;
}

// Everything a tap needs, wired to the scripted mouse.
struct Rig {
  Rig() {
    Mouse *m = kernel.mouse.get();
    platform::TapRequest request{kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                                 CGEventMaskBit(kCGEventOtherMouseDown)};
    int error = 0;
    tap = platform::evdev::Tap::create(kernel, request, client, {}, error);
    auto w = std::make_unique<Watcher>();
    watcher = w.get();
    tap->attachWatcher(std::move(w));
    mouse = m;
  }
  void wake() { watcher->handlers.at(7)(); }
  BenchBackend backend;
  Kernel kernel;
  PassAll client;
  std::shared_ptr<platform::evdev::Tap> tap;
  Watcher *watcher = nullptr;
  Mouse *mouse = nullptr;
};

constexpr size_t kFramesPerWake = 170;  // 510 events, under the tap's per-wake bound

// The least a pass-through can do: copy each frame and hand it to the same discarding device.
void BM_CopyBaseline(benchmark::State &state) {
  std::vector<Event> source = motionFrames(kFramesPerWake);
  std::vector<Event> frame;
  frame.reserve(64);
  Sink sink;
  platform::evdev::Output *out = &sink;
  benchmark::DoNotOptimize(out);  // reach it through the interface, as the tap does
  for (auto _ : state) {
    for (const Event &e : source) {
      frame.push_back(e);
      if (e.type == EV_SYN) {
        out->write(frame.data(), frame.size());
        frame.clear();
      }
    }
  }
  if (sink.written != state.iterations() * source.size()) state.SkipWithError("events lost");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_CopyBaseline);

void BM_TapPassThrough(benchmark::State &state) {
  Rig rig;
  rig.mouse->batch = motionFrames(kFramesPerWake);
  for (auto _ : state) {
    rig.mouse->rewind();
    rig.wake();
  }
  if (rig.kernel.sink->written != state.iterations() * rig.mouse->batch.size())
    state.SkipWithError("events lost");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * rig.mouse->batch.size()));
}
BENCHMARK(BM_TapPassThrough);

// One frame per wake-up, from the wake to its write on the virtual device, less the same
// frame's trip through the copy baseline.
void BM_TapAddedLatencyPerFrame(benchmark::State &state) {
  Rig rig;
  rig.mouse->batch = motionFrames(1);
  Clock::time_point wrote;
  rig.kernel.sink->onWrite = [&] { wrote = Clock::now(); };
  std::vector<double> tap, copy;
  std::vector<Event> frame;
  frame.reserve(8);
  for (auto _ : state) {
    rig.mouse->rewind();
    Clock::time_point start = Clock::now();
    rig.wake();
    tap.push_back(std::chrono::duration<double, std::nano>(wrote - start).count());

    start = Clock::now();
    for (const Event &e : rig.mouse->batch) frame.push_back(e);
    benchmark::DoNotOptimize(frame.data());
    frame.clear();
    copy.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
  }
  auto percentile = [](std::vector<double> v, double p) {
    if (v.empty()) return 0.0;
    size_t i = std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(i), v.end());
    return v[i];
  };
  state.counters["added_p50_ns"] = percentile(tap, 0.5) - percentile(copy, 0.5);
  state.counters["added_p99_ns"] = percentile(tap, 0.99) - percentile(copy, 0.99);
  state.counters["events_per_frame"] = 3;
}
BENCHMARK(BM_TapAddedLatencyPerFrame);

}  // namespace
