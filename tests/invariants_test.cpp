// Properties of the event filter that must hold for every sequence of button events, held
// buttons and settings changes. The sequences are random but seeded, so a failure repeats.
#include <corvassel/AppKit.h>
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "HostileSupport.h"
#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

namespace {

struct Pending {
  uint64_t settingsVersion;
  uint64_t heldVersion;
};

class FilterInvariants : public ::testing::TestWithParam<uint32_t> {
 protected:
  TestBackend backend;
  ScratchHome home{backend};
};

bool IsDown(CGEventType type) {
  return type == kCGEventRightMouseDown || type == kCGEventOtherMouseDown;
}

TEST_P(FilterInvariants, HoldForRandomSequences) {
  Draw draw(GetParam());
  CorvasselHelper helper;  // no stored settings: defaults, then changed below
  TestInput &input = backend.testInput;
  const long baseline = platform::liveObjectCount();

  uint64_t settingsVersion = 0;
  uint64_t heldVersion = 0;
  std::map<int64_t, Pending> swallowedPresses;  // by the button the filter sees
  helper.setEnabled(true);
  helper.setBackButton(3);
  helper.setForwardButton(4);
  int swipes = 0, passedReleases = 0, swallowedReleases = 0;

  for (int step = 0; step < 3000; step++) {
    std::ostringstream where;
    where << "seed " << GetParam() << " step " << step;
    SCOPED_TRACE(where.str());

    uint32_t what = draw.below(100);
    if (what < 4) {
      helper.setEnabled(draw.chance(75));
      settingsVersion++;
      continue;
    }
    if (what < 10) {
      int64_t value = draw.between(-1, 5);
      switch (draw.below(3)) {
        case 0:
          helper.setBackButton(value);
          break;
        case 1:
          helper.setForwardButton(value);
          break;
        default:
          helper.setPassthroughButton(value);
      }
      settingsVersion++;
      continue;
    }
    if (what < 16) {
      input.pressed = draw.chance(60) ? 0 : platform::NSUInteger{1} << draw.below(6);
      heldVersion++;
      continue;
    }

    static const CGEventType kTypes[] = {kCGEventRightMouseDown, kCGEventRightMouseUp,
                                         kCGEventOtherMouseDown, kCGEventOtherMouseUp};
    CGEventType type = kTypes[draw.below(4)];
    int64_t field = draw.between(0, 5);
    int64_t button = (type == kCGEventRightMouseDown || type == kCGEventRightMouseUp) ? 1 : field;
    CGEventRef event = MakeButtonEvent(type, field);
    ASSERT_NE(event, nullptr);

    const bool enabled = helper.enabled();
    const int64_t back = helper.backButton();
    const int64_t forward = helper.forwardButton();
    CGEventRef result = MouseEventCallback(nullptr, type, event, &helper);
    const size_t posts = input.posted.size();

    ASSERT_TRUE(result == event || result == nullptr);
    if (!enabled) {
      EXPECT_EQ(result, event) << "switched off, yet an event was swallowed";
      EXPECT_EQ(posts, 0u);
    }

    // A swipe: only for a swallowed press of a mapped button, opening then closing.
    ASSERT_TRUE(posts == 0 || posts == 2) << posts << " events posted";
    if (posts == 2) {
      swipes++;
      EXPECT_EQ(result, nullptr);
      EXPECT_TRUE(IsDown(type));
      bool isBack = back > 0 && button == back;
      bool isForward = !isBack && forward > 0 && button == forward;
      EXPECT_TRUE(isBack || isForward) << "swipe for an unmapped button " << button;
      EXPECT_EQ(GestureScalar(input.posted[0], kPhaseField), 1);
      EXPECT_EQ(GestureScalar(input.posted[1], kPhaseField), 4);
      EXPECT_EQ(GestureScalar(input.posted[1], kSwipeDirectionField), isBack ? 4 : 8);
      for (CGEventTapLocation location : input.postLocations) EXPECT_EQ(location, kCGHIDEventTap);
    }

    // A swallowed press's release is swallowed too, unless something changed in between.
    if (IsDown(type)) {
      if (result == nullptr)
        swallowedPresses[button] = {settingsVersion, heldVersion};
      else
        swallowedPresses.erase(button);
    } else {
      EXPECT_EQ(posts, 0u) << "a release posted a swipe";
      auto press = swallowedPresses.find(button);
      if (press != swallowedPresses.end()) {
        if (press->second.settingsVersion == settingsVersion &&
            press->second.heldVersion == heldVersion) {
          EXPECT_EQ(result, nullptr)
              << "release of a swallowed press of button " << button << " let through";
        }
        (result ? passedReleases : swallowedReleases)++;
        swallowedPresses.erase(press);
      }
    }

    CFRelease(event);
    input.clearPosted();
    ASSERT_EQ(platform::liveObjectCount(), baseline) << "objects leaked";
  }
  // The sequence must have exercised what it checks.
  EXPECT_GT(swipes, 20);
  EXPECT_GT(swallowedReleases, 20);
  EXPECT_GT(passedReleases, 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FilterInvariants, ::testing::Values(1u, 2u, 3u, 42u, 2026u));

// Switched off, the filter lets every kind of event through untouched, whatever the other
// settings and held buttons say.
TEST(FilterInvariantsOff, EveryEventPassesWhenSwitchedOff) {
  TestBackend backend;
  ScratchHome home{backend};
  CorvasselHelper helper;
  helper.setEnabled(false);
  Draw draw(7);
  const long baseline = platform::liveObjectCount();
  for (int step = 0; step < 2000; step++) {
    helper.setBackButton(draw.between(-1, 5));
    helper.setForwardButton(draw.between(-1, 5));
    helper.setPassthroughButton(draw.between(-1, 5));
    backend.testInput.pressed = draw.below(64);
    CGEventType type = draw.chance(90) ? static_cast<CGEventType>(draw.between(0, 30))
                                       : kCGEventTapDisabledByTimeout;
    CGEventRef event = MakeButtonEvent(type, draw.between(0, 5));
    ASSERT_EQ(MouseEventCallback(nullptr, type, event, &helper), event) << "step " << step;
    CFRelease(event);
  }
  EXPECT_TRUE(backend.testInput.posted.empty());
  EXPECT_TRUE(backend.programs.spawned.empty());
  EXPECT_EQ(platform::liveObjectCount(), baseline);
}

}  // namespace
