// The swipe table and the poster: which descriptions each code has, and what a swipe posts.
#include <algorithm>
#include <memory>

#include "EventTestSupport.h"
#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

namespace {

void DropSwipeTable() {
  if (swipeInfo) CFRelease(swipeInfo);
  if (nullArray) CFRelease(nullArray);
  swipeInfo = nullptr;
  nullArray = nullptr;
}

class SwipeTest : public EventTest {
 protected:
  void SetUp() override {
    EventTest::SetUp();
    helper = std::make_unique<CorvasselHelper>();
    DropSwipeTable();
    resetLiveCount();  // whatever the helper keeps for its own life is not the swipe's
  }
  void TearDown() override {
    DropSwipeTable();
    EventTest::TearDown();
  }

  std::unique_ptr<CorvasselHelper> helper;
};

int64_t Value(CFDictionaryRef description, const char *key) {
  CFPtr<CFStringRef> name(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
  auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(description, name.get()));
  EXPECT_TRUE(number) << key;
  if (!number) return 0;
  EXPECT_EQ(CFNumberGetType(number), kCFNumberSInt32Type) << key;
  int64_t value = 0;
  CFNumberGetValue(number, kCFNumberSInt64Type, &value);
  return value;
}

CFArrayRef Entry(int64_t code) {
  CFPtr<CFNumberRef> key(CFNumberCreate(nullptr, kCFNumberSInt64Type, &code));
  return static_cast<CFArrayRef>(CFDictionaryGetValue(swipeInfo, key.get()));
}

TEST_F(SwipeTest, SettingUpTwiceLeavesOneTableOfFourEntries) {
  helper->setupSwipeInfo();
  const long afterFirst = platform::liveObjectCount();
  helper->setupSwipeInfo();
  EXPECT_EQ(platform::liveObjectCount(), afterFirst) << "the first table was not released";
  ASSERT_TRUE(swipeInfo);
  ASSERT_TRUE(nullArray);
  EXPECT_EQ(CFDictionaryGetCount(swipeInfo), 4);
  EXPECT_EQ(CFArrayGetCount(nullArray), 0);
  for (int64_t code : {1, 2, 4, 8}) {
    CFArrayRef pair = Entry(code);
    ASSERT_TRUE(pair) << code;
    ASSERT_EQ(CFArrayGetCount(pair), 2);
    auto opening = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(pair, 0));
    auto closing = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(pair, 1));
    EXPECT_EQ(CFDictionaryGetCount(opening), 2);
    EXPECT_EQ(Value(opening, "gestureSubtype"), 16);
    EXPECT_EQ(Value(opening, "gesturePhase"), 1);
    EXPECT_EQ(CFDictionaryGetCount(closing), 3);
    EXPECT_EQ(Value(closing, "gestureSubtype"), 16);
    EXPECT_EQ(Value(closing, "swipeDirection"), code);
    EXPECT_EQ(Value(closing, "gesturePhase"), 4);
  }
}

TEST_F(SwipeTest, PostsOpeningThenClosingAtTheHIDTap) {
  helper->setupSwipeInfo();
  backend.manualTime.step = 1000;
  int encoded = 0;
  CountEventCreations(backend, encoded);
  for (uint32_t code : {kSwipeBack, kSwipeForward, 1u, 2u}) {
    SCOPED_TRACE(code);
    encoded = 0;
    backend.testInput.clearPosted();
    TQXFakeSwipe(code);
    EXPECT_EQ(encoded, 2);
    const auto &posted = backend.testInput.posted;
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(backend.testInput.postLocations,
              (std::vector<CGEventTapLocation>{kCGHIDEventTap, kCGHIDEventTap}));
    const struct {
      int64_t phase;
      int64_t direction;
    } expected[] = {{1, 0}, {4, code}};
    for (size_t i = 0; i < 2; i++) {
      EXPECT_EQ(CGEventGetType(posted[i]), 29u);
      EXPECT_EQ(CGEventGetFlags(posted[i]), 0x100u);
      EXPECT_EQ(CGEventGetIntegerValueField(posted[i], Field(0x6E)), 16);
      EXPECT_EQ(CGEventGetIntegerValueField(posted[i], Field(0x84)), expected[i].phase) << i;
      EXPECT_EQ(CGEventGetIntegerValueField(posted[i], Field(0x73)), expected[i].direction) << i;
    }
    EXPECT_LT(CGEventGetTimestamp(posted[0]), CGEventGetTimestamp(posted[1]));
  }
}

TEST_F(SwipeTest, CodesWithoutAnEntryPostNothingAndEncodeNothing) {
  helper->setupSwipeInfo();
  int encoded = 0;
  CountEventCreations(backend, encoded);
  for (uint32_t code : {3u, 0u, 5u, 16u, 0xFFFFFFFFu}) {
    TQXFakeSwipe(code);
    EXPECT_EQ(encoded, 0) << code;
    EXPECT_TRUE(backend.testInput.posted.empty()) << code;
  }
}

TEST_F(SwipeTest, NothingHappensWithoutTheTable) {
  int encoded = 0;
  CountEventCreations(backend, encoded);
  TQXFakeSwipe(kSwipeBack);
  EXPECT_EQ(encoded, 0);
  EXPECT_TRUE(backend.testInput.posted.empty());
}

// The platform refuses the event bytes of one half (recognised by its phase field); the other
// half is still made, and released without being posted.
TEST_F(SwipeTest, OneRefusedHalfPostsNothing) {
  helper->setupSwipeInfo();
  for (const char *refused : {"00 01 40 84 00 00 00 04", "00 01 40 84 00 00 00 01"}) {
    SCOPED_TRACE(refused);
    const Bytes refusedPhase = Hex(refused);
    int encoded = 0;
    int admitted = 0;
    TestEventBytes::Hooks hooks;
    hooks.create = [&encoded] {
      encoded++;
      return true;
    };
    hooks.admit = [&](const UInt8 *bytes, size_t length) {
      const bool refuse = std::search(bytes, bytes + length, refusedPhase.begin(),
                                      refusedPhase.end()) != bytes + length;
      if (!refuse) admitted++;
      return !refuse;
    };
    backend.eventBytes.hooks = std::move(hooks);
    const long live = platform::liveObjectCount();
    TQXFakeSwipe(kSwipeForward);
    EXPECT_EQ(platform::liveObjectCount(), live) << "the half that was made was not released";
    EXPECT_EQ(encoded, 2);
    EXPECT_EQ(admitted, 1);
    EXPECT_TRUE(backend.testInput.posted.empty());
  }
}

}  // namespace
