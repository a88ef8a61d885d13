// Motion frames through the Linux tap's frame filter alone, and through the whole tap (read,
// merge, filter, write) on a scripted mouse whose virtual device discards, each beside a loop
// that only copies the same frames. What the tap costs end to end on a real kernel is
// measured by corvassel_kernel_bench (scripts/bench).
#include <benchmark/benchmark.h>

#include "BenchDoubles.h"
#include "linux/FrameFilter.h"
#include "linux/LinuxTap.h"

#include <algorithm>
#include <functional>
#include <map>
#include <vector>

namespace {

using platform::evdev::Event;

constexpr size_t kFramesPerWake = 170;  // 510 events, under the tap's per-round bound

std::vector<Event> motionFrames(size_t frames) {
  std::vector<Event> events;
  for (size_t i = 0; i < frames; ++i) {
    events.push_back({EV_REL, REL_X, static_cast<int32_t>(i % 7) - 3});
    events.push_back({EV_REL, REL_Y, 1});
    events.push_back({EV_SYN, SYN_REPORT, 0});
  }
  return events;
}

// The least a pass-through can do with frames: copy each one to the output.
void BM_FrameFilterPassThrough_Baseline(benchmark::State &state) {
  const std::vector<Event> source = motionFrames(kFramesPerWake);
  std::vector<Event> out;
  out.reserve(source.size());
  for (auto _ : state) {
    for (size_t at = 0; at < source.size(); at += 3)
      out.insert(out.end(), source.data() + at, source.data() + at + 3);
    benchmark::DoNotOptimize(out.data());
    out.clear();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_FrameFilterPassThrough_Baseline);

void BM_FrameFilterPassThrough(benchmark::State &state) {
  const std::vector<Event> source = motionFrames(kFramesPerWake);
  platform::evdev::FrameFilter filter(
      CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp), false);
  for (auto _ : state) {
    for (size_t at = 0; at < source.size(); at += 3) filter.frame(0, source.data() + at, 3);
    benchmark::DoNotOptimize(filter.output().data());
    filter.output().clear();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_FrameFilterPassThrough);

// A mouse that hands out one batch of events per wake-up, then has nothing more.
class Mouse : public platform::evdev::Device {
 public:
  int fd() const override { return 7; }
  const std::string &name() const override { return name_; }
  const platform::evdev::Capabilities &capabilities() const override { return caps_; }
  int grab(bool) override { return 0; }
  bool keysDown() const override { return false; }
  platform::evdev::ReadStatus next(Event &ev, uint64_t &time) override {
    if (pos_ == batch.size()) return platform::evdev::ReadStatus::Again;
    ev = batch[pos_++];
    time = pos_;
    return platform::evdev::ReadStatus::Event;
  }
  size_t read(Event *out, uint64_t *times, size_t max,
              platform::evdev::ReadStatus &status) override {
    const size_t count = std::min(max, batch.size() - pos_);
    std::copy_n(batch.data() + pos_, count, out);
    std::fill_n(times, count, pos_);
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
    benchmark::DoNotOptimize(events);
    return 0;
  }
  std::string devnode() const override { return ""; }
  size_t written = 0;
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
  uint64_t eventTimeNow() override { return UINT64_MAX; }  // every frame is older than now
  void keepReadable(std::vector<int> &) override {}

  std::unique_ptr<Mouse> mouse = std::make_unique<Mouse>();
  Sink *sink = nullptr;
};

// The tap's loop, turned by hand: a wake-up serves the mouse, then ends the round.
class Loop : public platform::evdev::InputLoop {
 public:
  bool watch(int fd, std::function<void()> onReady) override {
    handlers[fd] = std::move(onReady);
    return true;
  }
  void unwatch(int fd) override { handlers.erase(fd); }
  void setRoundEnd(std::function<void()> onRoundEnd) override { roundEnd = std::move(onRoundEnd); }
  void post(std::function<void()> work) override { work(); }
  void call(const std::function<void()> &work) override { work(); }
  uint64_t now() override { return 0; }
  void wake() {
    handlers.at(7)();
    roundEnd();
  }
  std::map<int, std::function<void()>> handlers;
  std::function<void()> roundEnd;
};

struct PassAll : platform::TapClient {
  void submit(platform::TapEvent, std::function<void(bool)> answer) override { answer(true); }
};

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
  BenchBackend backend;
  Kernel kernel;
  PassAll client;
  Mouse *mouse = kernel.mouse.get();
  auto made = std::make_unique<Loop>();
  Loop *loop = made.get();
  platform::TapRequest request{kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                               CGEventMaskBit(kCGEventOtherMouseDown)};
  int error = 0;
  auto tap = platform::evdev::Tap::create(kernel, request, client, {}, std::move(made), error);
  mouse->batch = motionFrames(kFramesPerWake);
  for (auto _ : state) {
    mouse->rewind();
    loop->wake();
  }
  if (kernel.sink->written != state.iterations() * mouse->batch.size())
    state.SkipWithError("events lost");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * mouse->batch.size()));
}
BENCHMARK(BM_TapPassThrough);

}  // namespace
