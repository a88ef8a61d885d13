// The filter's decision for a button it does not map, against a callback that does nothing:
// the cost the helper adds to every right/other button event it lets through.
#include <benchmark/benchmark.h>
#include <platform/Backend.h>

#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

namespace {

class IdleInput : public platform::InputBackend {
 public:
  bool isProcessTrusted(bool) override { return true; }
  std::unique_ptr<platform::TapDriver> createTap(const platform::TapRequest &,
                                                 platform::TapClient &) override {
    return nullptr;
  }
  NSUInteger pressedMouseButtons() override { return 0; }
  void post(CGEventTapLocation, CGEventRef) override {}
};

class NoNotifications : public platform::NotificationTransport {
 public:
  void start(std::function<void(const std::string &)>) override {}
  void post(const std::string &) override {}
};

class FilterBackend : public platform::Backend {
 public:
  FilterBackend() { platform::setBackend(this); }
  ~FilterBackend() override { platform::setBackend(nullptr); }
  platform::InputBackend &input() override { return idle; }
  platform::NotificationTransport &notifications() override { return quiet; }
  IdleInput idle;
  NoNotifications quiet;
};

// What the tap would call if the helper wanted nothing.
__attribute__((noinline)) CGEventRef EmptyCallback(CGEventTapProxy, CGEventType, CGEventRef event,
                                                   void *) {
  benchmark::ClobberMemory();
  return event;
}

// Both are called as the tap calls them: through a pointer it cannot see into.
void RunCallback(benchmark::State &state, CGEventTapCallBack callback) {
  FilterBackend backend;
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
