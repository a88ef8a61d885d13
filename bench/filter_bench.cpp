// The filter's decision for a button it does not map, against a callback that does nothing:
// the cost the helper adds to every right/other button event it lets through.
#include <benchmark/benchmark.h>
#include <platform/Backend.h>

#include "BenchDoubles.h"
#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

namespace {

// What the tap would call if the helper wanted nothing.
__attribute__((noinline)) CGEventRef EmptyCallback(CGEventTapProxy, CGEventType, CGEventRef event,
                                                   void *) {
  benchmark::ClobberMemory();
  return event;
}

// Both are called as the tap calls them: through a pointer it cannot see into.
void RunCallback(benchmark::State &state, CGEventTapCallBack callback) {
  BenchBackend backend;
  CorvasselHelper helper;
  helper.setEnabled(true);
  helper.setBackButton(3);
  helper.setForwardButton(4);
  helper.setPassthroughButton(2);
  CGEventRef event = CGEventCreate(nullptr);
  CGEventSetType(event, kCGEventOtherMouseDown);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, 7);
  CGEventTapCallBack volatile target = callback;
  for (auto _ : state) {
    CGEventRef result = target(nullptr, kCGEventOtherMouseDown, event, &helper);
    benchmark::DoNotOptimize(result);
  }
  CFRelease(event);
}

void BM_FilterPassThrough(benchmark::State &state) {
  RunCallback(state, MouseEventCallback);
}
BENCHMARK(BM_FilterPassThrough);

void BM_FilterPassThrough_Baseline(benchmark::State &state) {
  RunCallback(state, EmptyCallback);
}
BENCHMARK(BM_FilterPassThrough_Baseline);

}  // namespace
