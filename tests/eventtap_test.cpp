#include <ApplicationServices/ApplicationServices.h>
#include <gtest/gtest.h>

#include <vector>

#include "Descriptions.h"
#include "ManualTimeBackend.h"

namespace {

struct Seen {
  std::vector<CGEventType> types;
  CGEventTapProxy proxy = nullptr;
};

CGEventRef Swallow(CGEventTapProxy proxy, CGEventType type, CGEventRef event, void *userInfo) {
  auto *seen = static_cast<Seen *>(userInfo);
  seen->types.push_back(type);
  seen->proxy = proxy;
  return nullptr;
}

class EventTapTest : public ::testing::Test {
 protected:
  void SetUp() override { liveBefore = platform::liveObjectCount(); }
  void TearDown() override {
    world.reset();
    EXPECT_EQ(platform::liveObjectCount(), liveBefore);
  }
  // A tap whose source is in the current run loop; the loop holds the port.
  CFMachPortRef attachedTap(CGEventTapCallBack callback, void *info) {
    CFMachPortRef tap = CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap,
                                         kCGEventTapOptionDefault, kButtonEvents, callback, info);
    CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(nullptr, tap, 0);
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
    CFRelease(source);
    return tap;
  }
  // Runs the loop until what is signalled has been served.
  static void serve() { CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, true); }

  long liveBefore = 0;
  std::unique_ptr<ManualTimeBackend> world = std::make_unique<ManualTimeBackend>();
};

TEST_F(EventTapTest, DeliversOnlyMaskedEventsAndAlwaysTheDisabledNotices) {
  Seen seen;
  CFMachPortRef tap = attachedTap(Swallow, &seen);
  ASSERT_NE(tap, nullptr);
  platform::TapClient &client = *world->tapInput.taps.lastClient;
  struct Case {
    CGEventType type;
    bool delivered;
  };
  const Case cases[] = {
      {kCGEventRightMouseDown, true},
      {kCGEventRightMouseUp, true},
      {kCGEventOtherMouseDown, true},
      {kCGEventOtherMouseUp, true},
      {kCGEventLeftMouseDown, false},
      {kCGEventMouseMoved, false},
      {kCGEventOtherMouseDragged, false},
      {kCGEventNull, false},
      {static_cast<CGEventType>(63), false},
      {static_cast<CGEventType>(64), false},
      {static_cast<CGEventType>(0x7FFFFFFF), false},
      {kCGEventTapDisabledByTimeout, true},
      {kCGEventTapDisabledByUserInput, true},
  };
  for (const Case &c : cases) {
    seen.types.clear();
    std::vector<bool> answers;
    client.submit({c.type, 3}, [&](bool pass) { answers.push_back(pass); });
    serve();
    EXPECT_EQ(seen.types,
              c.delivered ? std::vector<CGEventType>{c.type} : std::vector<CGEventType>{})
        << "type " << c.type;
    // Delivered ones were swallowed by the callback; the rest pass untouched.
    EXPECT_EQ(answers, std::vector<bool>{!c.delivered}) << "type " << c.type;
  }
  EXPECT_NE(seen.proxy, nullptr);
  CFMachPortInvalidate(tap);
  CFRelease(tap);
}

// What a callback may do to its own tap while it runs.
struct SelfHarm {
  CFMachPortRef tap = nullptr;
  enum { SwitchOff, Invalidate, ReleaseLast } what;
  int calls = 0;
};

CGEventRef HarmOwnTap(CGEventTapProxy, CGEventType, CGEventRef event, void *userInfo) {
  auto *harm = static_cast<SelfHarm *>(userInfo);
  ++harm->calls;
  switch (harm->what) {
    case SelfHarm::SwitchOff:
      CGEventTapEnable(harm->tap, false);
      break;
    case SelfHarm::Invalidate:
      CFMachPortInvalidate(harm->tap);
      break;
    case SelfHarm::ReleaseLast: {
      CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(nullptr, harm->tap, 0);
      CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
      CFRelease(source);
      CFRelease(harm->tap);  // with the source's, the last references
      break;
    }
  }
  return event;
}

TEST_F(EventTapTest, ACallbackMaySwitchOffInvalidateOrReleaseItsOwnTap) {
  for (auto what : {SelfHarm::SwitchOff, SelfHarm::Invalidate, SelfHarm::ReleaseLast}) {
    SelfHarm harm;
    harm.what = what;
    harm.tap = attachedTap(HarmOwnTap, &harm);
    platform::TapClient &client = *world->tapInput.taps.lastClient;
    std::vector<bool> answers;
    client.submit({kCGEventOtherMouseDown, 3}, [&](bool pass) { answers.push_back(pass); });
    client.submit({kCGEventOtherMouseUp, 3}, [&](bool pass) { answers.push_back(pass); });
    serve();
    EXPECT_EQ(answers.front(), true) << "the event it was judging is answered";
    if (what != SelfHarm::SwitchOff) {
      EXPECT_EQ(harm.calls, 1) << "nothing more reaches a gone tap";
      if (what == SelfHarm::Invalidate) CFRelease(harm.tap);
    } else {
      CFMachPortInvalidate(harm.tap);
      CFRelease(harm.tap);
    }
  }
  EXPECT_EQ(world->tapInput.taps.destroyed, world->tapInput.taps.created);
}

TEST_F(EventTapTest, RequestReachesTheBackendAndFailureYieldsNull) {
  Seen seen;
  CFMachPortRef tap = CGEventTapCreate(kCGSessionEventTap, kCGTailAppendEventTap,
                                       kCGEventTapOptionListenOnly, kButtonEvents, Swallow, &seen);
  ASSERT_NE(tap, nullptr);
  const platform::TapRequest &request = world->tapInput.taps.lastRequest;
  EXPECT_EQ(request.location, kCGSessionEventTap);
  EXPECT_EQ(request.placement, kCGTailAppendEventTap);
  EXPECT_EQ(request.options, kCGEventTapOptionListenOnly);
  EXPECT_EQ(request.eventsOfInterest, kButtonEvents);
  EXPECT_EQ(CFGetTypeID(tap), CFMachPortGetTypeID());
  CFRelease(tap);

  world->tapInput.tapsFail = true;
  EXPECT_EQ(CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                             kButtonEvents, Swallow, &seen),
            nullptr);
  EXPECT_EQ(world->tapInput.tapRequests, 2);
}

TEST_F(EventTapTest, SourceAttachesTheTapToTheLoopAndKeepsItAlive) {
  Seen seen;
  const TapLog &log = world->tapInput.taps;
  CFMachPortRef tap = CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap,
                                       kCGEventTapOptionDefault, kButtonEvents, Swallow, &seen);
  CFRunLoopSourceRef source = CFMachPortCreateRunLoopSource(nullptr, tap, 0);
  ASSERT_NE(source, nullptr);
  EXPECT_TRUE(log.attachedTo.empty());  // not before the source is added
  CFRunLoopAddSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
  CFRelease(source);
  EXPECT_EQ(log.attachedTo, std::vector<CFRunLoopRef>{CFRunLoopGetCurrent()});

  CGEventTapEnable(tap, true);
  EXPECT_TRUE(CGEventTapIsEnabled(tap));
  CGEventTapEnable(tap, false);
  EXPECT_FALSE(CGEventTapIsEnabled(tap));
  EXPECT_EQ(log.enables, (std::vector<bool>{true, false}));

  CFRelease(tap);  // the loop's source still holds the port
  EXPECT_EQ(log.destroyed, 0);
  CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopCommonModes);
  EXPECT_EQ(log.destroyed, 1);  // the loop held the last reference
}

TEST_F(EventTapTest, InvalidatedOrMissingTapsAreHarmless) {
  Seen seen;
  CFMachPortRef tap = CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap,
                                       kCGEventTapOptionDefault, kButtonEvents, Swallow, &seen);
  CFMachPortInvalidate(tap);
  EXPECT_FALSE(CFMachPortIsValid(tap));
  EXPECT_EQ(world->tapInput.taps.destroyed, 1);
  CGEventTapEnable(tap, true);
  EXPECT_FALSE(CGEventTapIsEnabled(tap));
  CFRelease(tap);
  CGEventTapEnable(nullptr, true);
  EXPECT_FALSE(CGEventTapIsEnabled(nullptr));
  EXPECT_EQ(CFMachPortCreateRunLoopSource(nullptr, nullptr, 0), nullptr);
  EXPECT_EQ(CGEventTapCreate(kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                             kButtonEvents, nullptr, nullptr),
            nullptr);
}

TEST_F(EventTapTest, TrustPromptsOnlyWhenTheOptionIsTrue) {
  CFStringRef key = kAXTrustedCheckOptionPrompt;
  int32_t one = 1;
  CFNumberRef number = CFNumberCreate(nullptr, kCFNumberSInt32Type, &one);
  auto dictionary = [&](CFTypeRef value) {
    const void *keys[] = {key};
    const void *values[] = {value};
    return CFDictionaryCreate(nullptr, keys, values, 1, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
  };
  CFDictionaryRef promptTrue = dictionary(kCFBooleanTrue);
  CFDictionaryRef promptFalse = dictionary(kCFBooleanFalse);
  CFDictionaryRef promptNumber = dictionary(number);
  CFDictionaryRef empty =
      CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                         &kCFTypeDictionaryValueCallBacks);
  struct Case {
    CFDictionaryRef options;
    bool prompt;
  };
  const Case cases[] = {{promptTrue, true},    {promptFalse, false},
                        {promptNumber, false}, {empty, false},
                        {nullptr, false},      {reinterpret_cast<CFDictionaryRef>(number), false}};
  for (bool trusted : {true, false}) {
    world->tapInput.trusted = trusted;
    world->tapInput.trustChecks.clear();
    for (const Case &c : cases) EXPECT_EQ(AXIsProcessTrustedWithOptions(c.options), trusted);
    EXPECT_EQ(AXIsProcessTrusted(), trusted);
    std::vector<bool> expected;
    for (const Case &c : cases) expected.push_back(c.prompt);
    expected.push_back(false);
    EXPECT_EQ(world->tapInput.trustChecks, expected);
  }
  for (CFTypeRef cf : {(CFTypeRef)promptTrue, (CFTypeRef)promptFalse, (CFTypeRef)promptNumber,
                       (CFTypeRef)empty, (CFTypeRef)number})
    CFRelease(cf);
  EXPECT_TRUE(CFEqual(kAXTrustedCheckOptionPrompt, CFSTR("AXTrustedCheckOptionPrompt")));
}

}  // namespace
