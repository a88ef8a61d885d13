// Motion frames through the Linux tap's frame filter alone, and through the whole tap (read,
// merge, filter, write) on the tests' scripted mouse whose output only counts, each beside a
// loop that only copies the same frames. What the tap costs end to end on a real kernel is
// measured by corvassel_kernel_bench (scripts/bench).
#include <benchmark/benchmark.h>

#include "BenchDoubles.h"
#include "FakeInputKernel.h"
#include "linux/input/LinuxTap.h"

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
    benchmark::DoNotOptimize(filter.output().events.data());
    filter.output().clear();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_FrameFilterPassThrough);

// The least a pass-through can do: copy each frame and hand it to the same discarding device.
void BM_CopyBaseline(benchmark::State &state) {
  std::vector<Event> source = motionFrames(kFramesPerWake);
  std::vector<Event> frame;
  frame.reserve(64);
  size_t written = 0;
  fake::Output sink([&](const Event *, size_t count) {
    written += count;
    return 0;
  });
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
  if (written != state.iterations() * source.size()) state.SkipWithError("events lost");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_CopyBaseline);

// The tests' scripted mouse, its batch handed out again at each wake-up, into an output that
// only counts.
void BM_TapPassThrough(benchmark::State &state) {
  BenchBackend backend;
  fake::Kernel kernel;
  kernel.countOnly = true;
  kernel.eventTime = UINT64_MAX;  // every frame is older than now
  auto mouse = kernel.add("event0");
  const std::vector<Event> batch = motionFrames(kFramesPerWake);
  kernel.queue(*mouse, batch);
  fake::Client client;
  auto made = std::make_unique<fake::Loop>();
  fake::Loop *loop = made.get();
  platform::TapRequest request{kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                               CGEventMaskBit(kCGEventOtherMouseDown)};
  int error = 0;
  auto tap = platform::evdev::Tap::create(backend.inputContext(), kernel, request, client, {},
                                          std::move(made), error);
  if (!tap) {
    state.SkipWithError("no tap");
    return;
  }
  for (auto _ : state) {
    mouse->consumed = 0;
    loop->ready(mouse->fd);
  }
  if (kernel.counted != state.iterations() * batch.size()) state.SkipWithError("events lost");
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch.size()));
}
BENCHMARK(BM_TapPassThrough);

}  // namespace
