#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Descriptions.h"
#include "ScriptWorld.h"
#include "TouchEvents.h"
#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

namespace {

constexpr CGEventType kRightDown = kCGEventRightMouseDown;
constexpr CGEventType kRightUp = kCGEventRightMouseUp;
constexpr CGEventType kOtherDown = kCGEventOtherMouseDown;
constexpr CGEventType kOtherUp = kCGEventOtherMouseUp;
constexpr platform::NSUInteger kAllHeld = ~platform::NSUInteger{0};

struct FilterCase {
  const char *label;
  bool enabled;
  int64_t back, forward, passthrough;
  platform::NSUInteger held;
  CGEventType type;
  int64_t buttonField;
  bool passes;
  uint32_t swipe;  // 0: none posted
  // Output of the action scripts; nullopt: no script installed.
  std::optional<std::string> backOutput = std::nullopt;
  std::optional<std::string> forwardOutput = std::nullopt;
  std::vector<std::string> scriptsRun = {};
};

using Bytes = std::vector<UInt8>;

Bytes Serialize(CGEventRef event) {
  CFDataRef data = CGEventCreateData(nullptr, event);
  if (!data) return {};
  Bytes bytes(CFDataGetBytePtr(data), CFDataGetBytePtr(data) + CFDataGetLength(data));
  CFRelease(data);
  return bytes;
}

// A swipe table whose events carry fixed timestamps, so every posted event can be matched byte
// for byte with the description it came from.
class FixedSwipeTable {
 public:
  FixedSwipeTable() : saved_(swipeInfo) {
    swipeInfo = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                          &kCFTypeDictionaryValueCallBacks);
    for (int64_t code : {4, 8}) {
      CFTypeRef pair[2] = {
          CreateDescription(
              {{"gestureSubtype", 16}, {"gesturePhase", 1}, {"timestamp", code * 10 + 1}}),
          CreateDescription({{"gestureSubtype", 16},
                             {"swipeDirection", code},
                             {"gesturePhase", 4},
                             {"timestamp", code * 10 + 2}})};
      CFArrayRef array = CFArrayCreate(nullptr, pair, 2, &kCFTypeArrayCallBacks);
      CFNumberRef key = CFNumberCreate(nullptr, kCFNumberSInt64Type, &code);
      CFDictionarySetValue(swipeInfo, key, array);
      for (int half = 0; half < 2; half++) {
        CGEventRef event =
            tl_CGEventCreateFromGesture(static_cast<CFDictionaryRef>(pair[half]), nullArray);
        expected_[code].push_back(event ? Serialize(event) : Bytes{});
        if (event) CFRelease(event);
      }
      CFRelease(key);
      CFRelease(array);
      CFRelease(pair[0]);
      CFRelease(pair[1]);
    }
  }
  ~FixedSwipeTable() {
    CFRelease(swipeInfo);
    swipeInfo = saved_;
  }
  // The events one swipe posts, in order; none for code 0.
  std::vector<Bytes> expected(uint32_t code) const {
    return code ? expected_.at(code) : std::vector<Bytes>{};
  }

 private:
  CFMutableDictionaryRef saved_;
  std::map<int64_t, std::vector<Bytes>> expected_;
};

void PrintTo(const FilterCase &c, std::ostream *os) {
  *os << c.label;
}

class Filter : public testing::TestWithParam<FilterCase> {};

TEST_P(Filter, PassesSwallowsOrActs) {
  const FilterCase &c = GetParam();
  ScriptWorld world;
  CorvasselHelper helper;  // defaults from an empty home; the case's settings follow
  helper.setEnabled(c.enabled);
  helper.setBackButton(c.back);
  helper.setForwardButton(c.forward);
  helper.setPassthroughButton(c.passthrough);
  FixedSwipeTable table;

  // Scripts print their text exactly, with no added newline.
  auto install = [&](const char *name, const std::optional<std::string> &output) {
    if (!output) return;
    std::string path = world.root() + "/" + name + ".out";
    std::ofstream(path, std::ios::binary) << *output;
    world.shell(ScriptWorld::kUser, name, "cat '" + path + "'");
  };
  install("back-extra-script", c.backOutput);
  install("forward-extra-script", c.forwardOutput);
  world.backend.testInput.pressed = c.held;

  CGEventRef event = CGEventCreate(nullptr);
  CGEventSetType(event, c.type);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, c.buttonField);
  Bytes before = Serialize(event);
  long live = platform::liveObjectCount();

  CGEventRef result = MouseEventCallback(nullptr, c.type, event, &helper);

  EXPECT_EQ(result, c.passes ? event : nullptr);
  EXPECT_EQ(Serialize(event), before) << "the filter changed the event";
  std::vector<Bytes> posted;
  for (CGEventRef sent : world.backend.testInput.posted) posted.push_back(Serialize(sent));
  EXPECT_EQ(posted, table.expected(c.swipe));
  for (CGEventTapLocation location : world.backend.testInput.postLocations)
    EXPECT_EQ(location, kCGHIDEventTap);
  world.backend.testInput.clearPosted();
  EXPECT_EQ(platform::liveObjectCount(), live);

  std::vector<std::string> ran;
  for (const std::string &path : world.backend.programs.spawned)
    ran.push_back(path.substr(path.rfind('/') + 1));
  EXPECT_EQ(ran, c.scriptsRun);
  EXPECT_TRUE(world.backend.logged.empty());
  CFRelease(event);
}

const std::vector<std::string> kBackRan = {"back-extra-script"};
const std::vector<std::string> kForwardRan = {"forward-extra-script"};

// label, enabled, back, forward, passthrough, held, type, field, passes, swipe, scripts...
INSTANTIATE_TEST_SUITE_P(
    Settings, Filter,
    testing::Values(
        FilterCase{"DisabledPassesMappedPress", false, 3, 4, 2, 0, kOtherDown, 3, true, 0, ""},
        FilterCase{"DisabledPassesMappedRelease", false, 3, 4, 2, 0, kOtherUp, 3, true, 0},
        FilterCase{"DisabledPassesRightButton", false, 1, 0, 2, 0, kRightDown, 0, true, 0},
        FilterCase{"BackPressSwipesBack", true, 3, 4, 2, 0, kOtherDown, 3, false, 4},
        FilterCase{"BackReleaseSwallowedWithoutAction", true, 3, 4, 2, 0, kOtherUp, 3, false, 0,
                   "complete"},
        FilterCase{"ForwardPressSwipesForward", true, 3, 4, 2, 0, kOtherDown, 4, false, 8},
        FilterCase{"ForwardReleaseSwallowed", true, 3, 4, 2, 0, kOtherUp, 4, false, 0},
        FilterCase{"UnmappedButtonPasses", true, 3, 4, 2, 0, kOtherDown, 5, true, 0},
        FilterCase{"UnmappedReleasePasses", true, 3, 4, 2, 0, kOtherUp, 5, true, 0},
        FilterCase{"PassthroughHeldPassesPress", true, 3, 4, 2, 1u << 2, kOtherDown, 3, true, 0},
        FilterCase{"PassthroughHeldPassesRelease", true, 3, 4, 2, 1u << 2, kOtherUp, 3, true, 0},
        FilterCase{"OtherButtonHeldIsNoPassthrough", true, 3, 4, 2, 1u << 5, kOtherDown, 3, false,
                   4},
        FilterCase{"PassthroughMinusOneNeverHeld", true, 3, 4, -1, kAllHeld, kOtherDown, 3, false,
                   4},
        FilterCase{"PassthroughZeroNeverHeld", true, 3, 4, 0, kAllHeld, kOtherDown, 3, false, 4},
        FilterCase{"PassthroughThirty", true, 3, 4, 30, 1u << 30, kOtherDown, 3, true, 0},
        FilterCase{"PassthroughThirtyOneNeverHeld", true, 3, 4, 31, kAllHeld, kOtherDown, 3, false,
                   4},
        FilterCase{"PassthroughSixtyThreeNeverHeld", true, 3, 4, 63, kAllHeld, kOtherDown, 3, false,
                   4},
        FilterCase{"PassthroughSixtyFourNeverHeld", true, 3, 4, 64, kAllHeld, kOtherDown, 3, false,
                   4},
        FilterCase{"PassthroughHugeNeverHeld", true, 3, 4, INT64_MAX, kAllHeld, kOtherUp, 3, false,
                   0},
        FilterCase{"SameButtonBackWins", true, 4, 4, 2, 0, kOtherDown, 4, false, 4},
        FilterCase{"RightButtonUnmappedPasses", true, 0, 0, 2, 0, kRightDown, 0, true, 0},
        FilterCase{"RightReleaseUnmappedPasses", true, 0, 0, 2, 0, kRightUp, 1, true, 0},
        FilterCase{"RightButtonMappedToBack", true, 1, 4, 2, 0, kRightDown, 0, false, 4},
        FilterCase{"RightReleaseMappedSwallowed", true, 1, 4, 2, 0, kRightUp, 7, false, 0},
        // A right-button event counts as button 1 whatever its field says.
        FilterCase{"RightButtonFieldIgnored", true, 5, 0, 2, 0, kRightDown, 5, true, 0},
        FilterCase{"OtherButtonOneIsRightButton", true, 0, 1, 2, 0, kOtherDown, 1, false, 8},
        FilterCase{"ButtonZeroNeverMapped", true, 0, 0, 2, 0, kOtherDown, 0, true, 0},
        FilterCase{"NegativeButtonNeverMapped", true, -1, -1, 2, 0, kOtherDown, -1, true, 0}),
    [](const testing::TestParamInfo<FilterCase> &info) { return info.param.label; });

// The action's script decides whether the swipe is still posted.
INSTANTIATE_TEST_SUITE_P(
    Scripts, Filter,
    testing::Values(FilterCase{"BackComplete", true, 3, 4, 2, 0, kOtherDown, 3, false, 0,
                               "complete", std::nullopt, kBackRan},
                    FilterCase{"BackCompletePadded", true, 3, 4, 2, 0, kOtherDown, 3, false, 0,
                               "  complete\n", std::nullopt, kBackRan},
                    FilterCase{"BackCapitalised", true, 3, 4, 2, 0, kOtherDown, 3, false, 4,
                               "Complete", std::nullopt, kBackRan},
                    FilterCase{"BackFullStop", true, 3, 4, 2, 0, kOtherDown, 3, false, 4,
                               "complete.", std::nullopt, kBackRan},
                    FilterCase{"BackNoOutput", true, 3, 4, 2, 0, kOtherDown, 3, false, 4, "",
                               std::nullopt, kBackRan},
                    FilterCase{"BackNotUTF8", true, 3, 4, 2, 0, kOtherDown, 3, false, 4,
                               "complete\xC0\xAF", std::nullopt, kBackRan},
                    FilterCase{"ForwardComplete", true, 3, 4, 2, 0, kOtherDown, 4, false, 0,
                               "other", "complete", kForwardRan},
                    FilterCase{"ForwardOtherText", true, 3, 4, 2, 0, kOtherDown, 4, false, 8,
                               "complete", "done", kForwardRan},
                    FilterCase{"SameButtonRunsBackScriptOnly", true, 4, 4, 2, 0, kOtherDown, 4,
                               false, 4, "", "complete", kBackRan},
                    FilterCase{"ReleaseRunsNoScript", true, 3, 4, 2, 0, kOtherUp, 3, false, 0,
                               "complete", "complete"},
                    FilterCase{"PassthroughRunsNoScript", true, 3, 4, 2, 1u << 2, kOtherDown, 3,
                               true, 0, "complete", "complete"},
                    FilterCase{"DisabledRunsNoScript", false, 3, 4, 2, 0, kOtherDown, 3, true, 0,
                               "complete", "complete"}),
    [](const testing::TestParamInfo<FilterCase> &info) { return info.param.label; });

TEST(Filter, FailingScriptIsLoggedAndTheSwipeStillPosted) {
  ScriptWorld world;
  CGEventRef event = CGEventCreate(nullptr);
  ASSERT_NE(event, nullptr);
  CorvasselHelper helper;
  helper.setEnabled(true);
  helper.setBackButton(3);
  FixedSwipeTable table;
  world.write(ScriptWorld::kUser, "back-extra-script", "#!/bin/sh\necho complete\n", 0644);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, 3);

  EXPECT_EQ(MouseEventCallback(nullptr, kOtherDown, event, &helper), nullptr);
  EXPECT_EQ(world.backend.testInput.posted.size(), 2u);
  EXPECT_EQ(world.backend.logged.size(), 1u);
  CFRelease(event);
}

}  // namespace
