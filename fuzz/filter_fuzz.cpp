// The mouse event filter on arbitrary sequences of button events, held buttons and settings
// changes. Whatever the sequence: an event is passed or swallowed, never replaced; nothing passes
// through changed; a swipe is two posted gesture events, only for a swallowed press; a switched
// off filter passes everything; nothing leaks.
#include <corvassel/AppKit.h>
#include <CoreGraphics/CoreGraphics.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>

#include "FuzzSupport.h"
#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

namespace {

struct Fixture {
  TestBackend backend;
  CorvasselHelper *helper = nullptr;
  Fixture() {
    UseScratchHome(backend);  // no scripts anywhere, no stored settings
    helper = new CorvasselHelper();
  }
};

int64_t ButtonSetting(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return in.ConsumeIntegral<int64_t>();
    case 1:
      return in.ConsumeIntegralInRange<int64_t>(-2, 70);
    default:
      return in.ConsumeIntegralInRange<int64_t>(0, 6);
  }
}

CGEventType EventType(FuzzedDataProvider &in) {
  static const CGEventType kTypes[] = {
      kCGEventRightMouseDown, kCGEventRightMouseUp,         kCGEventOtherMouseDown,
      kCGEventOtherMouseUp,   kCGEventTapDisabledByTimeout, kCGEventTapDisabledByUserInput};
  if (in.ConsumeIntegralInRange<int>(0, 15) == 0)
    return static_cast<CGEventType>(in.ConsumeIntegral<uint32_t>());
  return in.PickValueInArray(kTypes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Fixture fixture;
  CorvasselHelper &helper = *fixture.helper;
  TestInput &input = fixture.backend.testInput;
  FuzzedDataProvider in(data, size);
  long before = platform::liveObjectCount();

  helper.setEnabled(true);
  helper.setBackButton(3);
  helper.setForwardButton(4);
  helper.setPassthroughButton(2);
  input.pressed = 0;

  while (in.remaining_bytes() > 0) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        helper.setEnabled(in.ConsumeBool());
        break;
      case 1:
        helper.setBackButton(ButtonSetting(in));
        break;
      case 2:
        helper.setForwardButton(ButtonSetting(in));
        break;
      case 3:
        helper.setPassthroughButton(ButtonSetting(in));
        break;
      case 4:
        input.pressed = in.ConsumeBool()
                            ? in.ConsumeIntegral<platform::NSUInteger>()
                            : platform::NSUInteger{1} << in.ConsumeIntegralInRange<int>(0, 63);
        break;
      default: {
        CGEventType type = EventType(in);
        int64_t button = in.ConsumeBool() ? in.ConsumeIntegralInRange<int64_t>(0, 8)
                                          : in.ConsumeIntegral<int64_t>();
        CGEventRef event = CGEventCreate(nullptr);
        FUZZ_CHECK(event != nullptr);
        CGEventSetType(event, type);
        CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, button);
        CFDataRef original = CGEventCreateData(nullptr, event);

        size_t postedBefore = input.posted.size();
        CGEventRef result = MouseEventCallback(nullptr, type, event, &helper);
        size_t posts = input.posted.size() - postedBefore;

        FUZZ_CHECK(result == event || result == nullptr);
        if (!helper.enabled()) FUZZ_CHECK(result == event);
        FUZZ_CHECK(posts == 0 || posts == 2);
        if (posts == 2) {
          FUZZ_CHECK(result == nullptr);
          FUZZ_CHECK(type == kCGEventRightMouseDown || type == kCGEventOtherMouseDown);
          for (size_t i = postedBefore; i < input.posted.size(); i++) {
            FUZZ_CHECK(CGEventGetType(input.posted[i]) == 29);
            FUZZ_CHECK(input.postLocations[i] == kCGHIDEventTap);
          }
        }
        // The filter reads the event; it never edits it.
        CFDataRef after = CGEventCreateData(nullptr, event);
        FUZZ_CHECK(original && after && CFDataGetLength(original) == CFDataGetLength(after));
        FUZZ_CHECK(memcmp(CFDataGetBytePtr(original), CFDataGetBytePtr(after),
                          static_cast<size_t>(CFDataGetLength(after))) == 0);
        CFRelease(after);
        CFRelease(original);
        CFRelease(event);
        input.clearPosted();
        break;
      }
    }
  }
  FUZZ_CHECK(platform::liveObjectCount() == before);
  return 0;
}
