// The gesture encoder: the exact bytes after the platform's base prefix, the touch path, the
// failures it turns into NULL and the assertions that stop the process.
#include <cmath>
#include <limits>

#include "EventTestSupport.h"
#include "TouchEvents.h"

namespace {

constexpr uint64_t kClock = 0x0000000123456789;  // FakeTime's reading

// The record field for an empty touch list, with the given timestamp (8 bytes, little-endian)
// and device identifier (8 bytes, little-endian).
Bytes RecordField(const char *timestamp, const char *deviceID = "00 00 00 00 00 00 00 00") {
  return Concat({Hex("00 C0 10 6D"),                                                // header
                 Hex(timestamp), Zeros(8), Hex("02 00 00 00"), Hex("02 00 00 00"),  // set
                 Hex("60 00 00 00 0B 00 00 00"), Hex(timestamp), Hex("02 00 00 00"), Zeros(16),
                 Hex("23 00 00 00"), Zeros(56),  // gesture record
                 Hex("48 00 00 00 01 00 00 00"), Zeros(12),
                 Hex("00 FF 77 17 01 00 00 00 28 00 00 00"), Hex(deviceID), Zeros(32)});
}

constexpr const char *kTs258 = "02 01 00 00 00 00 00 00";
const char *const kClockLE = "89 67 45 23 01 00 00 00";
const char *const kNoField6 = "";

Bytes Scalars(const char *subtype, const char *phase, const char *field6) {
  return Concat({Hex(std::string("00 01 40 6E ") + subtype), Hex("00 01 40 6F 00 00 00 00"),
                 Hex("00 01 40 70 00 00 00 00"), Hex(std::string("00 01 40 84 ") + phase),
                 Hex("00 01 40 85 00 00 00 00"), Hex(field6), Hex("00 01 C0 8B 00 00 00 00"),
                 Hex("00 01 C0 8C 00 00 00 00")});
}

// The closing event of swipe code 4 with timestamp 258.
const Bytes kClosingSwipeTail =
    Concat({RecordField(kTs258), Scalars("00 00 00 10", "00 00 00 04", "00 01 40 73 00 00 00 04")});

const Entries kClosingSwipe = {{"gestureSubtype", 16},
                               {"swipeDirection", 4},
                               {"gesturePhase", 4},
                               {"timestamp", int64_t{258}}};

class EncoderTest : public EventTest {
 protected:
  // The platform's own base prefix for a gesture event with this timestamp.
  Bytes basePrefix(uint64_t timestamp) {
    CFPtr<CGEventRef> base(CGEventCreate(nullptr));
    CGEventSetType(base.get(), EventType(29));
    CGEventSetFlags(base.get(), 0x100);
    CGEventSetTimestamp(base.get(), timestamp);
    Bytes bytes = EventBytes(base.get());
    bytes.resize(bytes.size() - 24);
    return bytes;
  }

  CFPtr<CGEventRef> encode(const Entries &info, const std::vector<Entries> &touches = {}) {
    CFPtr<CFDictionaryRef> description(CreateDescription(info));
    CFPtr<CFArrayRef> list(CreateTouchList(touches));
    return CFPtr<CGEventRef>(tl_CGEventCreateFromGesture(description.get(), list.get()));
  }

  // The encoded event's bytes after the base prefix, which is checked on the way.
  Bytes encodeTail(const Entries &info, const std::vector<Entries> &touches = {}) {
    CFPtr<CGEventRef> event = encode(info, touches);
    if (!event) {
      ADD_FAILURE() << "the encoder returned NULL";
      return {};
    }
    Bytes bytes = EventBytes(event.get());
    Bytes prefix = basePrefix(CGEventGetTimestamp(event.get()));
    if (bytes.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), bytes.begin())) {
      ADD_FAILURE() << "the event does not start with the base prefix";
      return {};
    }
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(prefix.size()), bytes.end());
  }
};

struct TailCase {
  const char *name;
  Entries info;
  Bytes tail;
};

const std::vector<TailCase> kTailCases = {
    TailCase{"ClosingSwipe", kClosingSwipe, kClosingSwipeTail},
    TailCase{"ClosingSwipeFromOtherNumberTypes",
             {{"gestureSubtype", 16.0},
              {"swipeDirection", int64_t{4}},
              {"gesturePhase", 4.9f},
              {"timestamp", 258.0}},
             kClosingSwipeTail},
    TailCase{"OpeningSwipe",
             {{"gestureSubtype", 16}, {"gesturePhase", 1}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 10", "00 00 00 01", "00 01 40 73 00 00 00 00")})},
    TailCase{"EmptyDescription",
             {},
             Concat({RecordField(kClockLE), Scalars("00 00 00 0B", "00 00 00 00", kNoField6)})},
    TailCase{"Rotation",
             {{"gestureSubtype", 5}, {"rotation", 1.5}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 05", "00 00 00 00", "00 01 C0 72 3F C0 00 00")})},
    TailCase{"RotationFromAnInteger",
             {{"gestureSubtype", 5}, {"rotation", 2}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 05", "00 00 00 00", "00 01 C0 72 40 00 00 00")})},
    TailCase{"MagnificationAbsent",
             {{"gestureSubtype", 8}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 08", "00 00 00 00", "00 01 C0 71 00 00 00 00")})},
    TailCase{"Magnification",
             {{"gestureSubtype", 8}, {"magnification", -0.25f}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 08", "00 00 00 00", "00 01 C0 71 BE 80 00 00")})},
    TailCase{"Subtype60",
             {{"gestureSubtype", 60}, {"nextSubtype", 7}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258), Scalars("00 00 00 3C", "00 00 00 00", kNoField6)})},
    TailCase{"Subtype61",
             {{"gestureSubtype", 61}, {"nextSubtype", 7}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 3D", "00 00 00 00", "00 01 40 75 00 00 00 07")})},
    TailCase{"Subtype62",
             {{"gestureSubtype", 62}, {"nextSubtype", -2}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 3E", "00 00 00 00", "00 01 40 75 FF FF FF FE")})},
    TailCase{"Subtype62WithoutNextSubtype",
             {{"gestureSubtype", 62}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 3E", "00 00 00 00", "00 01 40 75 00 00 00 00")})},
    TailCase{"Subtype63",
             {{"gestureSubtype", 63}, {"nextSubtype", 7}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258), Scalars("00 00 00 3F", "00 00 00 00", kNoField6)})},
    TailCase{"OtherSubtypesKeysAreIgnored",
             {{"gestureSubtype", 16},
              {"rotation", 1.5},
              {"magnification", 2.0},
              {"nextSubtype", 3},
              {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258),
                     Scalars("00 00 00 10", "00 00 00 00", "00 01 40 73 00 00 00 00")})},
    TailCase{"PhaseMinusOne",
             {{"gesturePhase", -1}, {"timestamp", int64_t{258}}},
             Concat({RecordField(kTs258), Scalars("00 00 00 0B", "FF FF FF FF", kNoField6)})},
    TailCase{"DeviceIDAndNegativeTimestamp",
             {{"deviceID", int64_t{0x0102030405060708}}, {"timestamp", int64_t{-2}}},
             Concat({RecordField("FE FF FF FF FF FF FF FF", "08 07 06 05 04 03 02 01"),
                     Scalars("00 00 00 0B", "00 00 00 00", kNoField6)})}};

TEST_F(EncoderTest, WritesTheseBytesAfterTheBasePrefix) {
  for (const TailCase &c : kTailCases) {
    SCOPED_TRACE(c.name);
    Bytes tail = encodeTail(c.info);
    EXPECT_EQ(tail.size(), c.tail.size());
    EXPECT_EQ(tail, c.tail);
  }
}

TEST_F(EncoderTest, EventReadsBackThroughTheEventFields) {
  CFPtr<CGEventRef> closing = encode(kClosingSwipe);
  ASSERT_TRUE(closing);
  EXPECT_EQ(CGEventGetType(closing.get()), 29u);
  EXPECT_EQ(CGEventGetFlags(closing.get()), 0x100u);
  EXPECT_EQ(CGEventGetTimestamp(closing.get()), 258u);
  struct {
    uint32_t field;
    int64_t value;
  } const integers[] = {{0x6E, 16}, {0x6F, 0}, {0x70, 0}, {0x84, 4}, {0x85, 0}, {0x73, 4}};
  for (const auto &expected : integers)
    EXPECT_EQ(CGEventGetIntegerValueField(closing.get(), Field(expected.field)), expected.value)
        << "field " << expected.field;

  CFPtr<CGEventRef> rotation =
      encode({{"gestureSubtype", 5}, {"rotation", 1.5}, {"gesturePhase", -1}});
  ASSERT_TRUE(rotation);
  EXPECT_EQ(CGEventGetDoubleValueField(rotation.get(), Field(0x72)), 1.5);
  EXPECT_EQ(CGEventGetIntegerValueField(rotation.get(), Field(0x84)), -1);
  EXPECT_EQ(CGEventGetDoubleValueField(rotation.get(), Field(0x8C)), 0.0);
  EXPECT_EQ(CGEventGetTimestamp(rotation.get()), kClock);  // stamped with the up-time
}

TEST_F(EncoderTest, ValuesThatAreNotNumbersCountAsAbsent) {
  CFMutableDictionaryRef info = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(info, CFSTR("gestureSubtype"), CFSTR("sixteen"));
  CFDictionarySetValue(info, CFSTR("gesturePhase"), kCFBooleanTrue);
  CFMutableDictionaryRef touch = CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
  CFDictionarySetValue(touch, CFSTR("type"), CFSTR("11"));
  const void *entries[] = {touch, CFSTR("not a touch")};
  CFArrayRef touches = CFArrayCreate(kCFAllocatorDefault, entries, 2, &kCFTypeArrayCallBacks);

  CFPtr<CGEventRef> event(tl_CGEventCreateFromGesture(info, touches));
  ASSERT_TRUE(event);
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), Field(0x6E)), 11);
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), Field(0x84)), 0);
  Bytes bytes = EventBytes(event.get());
  Bytes prefix = basePrefix(kClock);
  EXPECT_EQ(Slice(bytes, prefix.size(), 4), Hex("00 C0 10 6D"));  // no touch record
  CFRelease(touches);
  CFRelease(touch);
  CFRelease(info);
}

// ---- Touches ----

constexpr size_t kSetHeader = 4;
constexpr size_t kGesture = 28;
constexpr size_t kFirstTouch = 124;

TEST_F(EncoderTest, OneTouchWithItsRecord) {
  Bytes tail = encodeTail({{"timestamp", int64_t{258}}}, {{{"type", 11},
                                                           {"options", 0x20000},
                                                           {"identity", 1},
                                                           {"eventMask", 4},
                                                           {"position.x", 0.5},
                                                           {"position.y", -0.5}}});
  ASSERT_EQ(tail.size(), 4 + 288 + 56u);
  EXPECT_EQ(Slice(tail, 0, 4), Hex("01 20 10 6D"));
  EXPECT_EQ(LE32(tail, kSetHeader + 0x10), 0x20002u);  // set header: options
  EXPECT_EQ(LE32(tail, kSetHeader + 0x14), 3u);        // set header: record count
  EXPECT_EQ(LE32(tail, kGesture + 0x10), 0x20002u);
  EXPECT_EQ(LE32(tail, kGesture + 0x30), 4u);  // touch event mask
  EXPECT_EQ(Slice(tail, kGesture + 0x14, 8), Hex("00 80 00 00 00 80 FF FF"));
  EXPECT_EQ(Slice(tail, kFirstTouch, 16), Hex("60 00 00 00 0B 00 00 00 00 00 00 00 00 00 00 00"));
  EXPECT_EQ(LE32(tail, kFirstTouch + 0x10), 0x20000u);
  EXPECT_EQ(Slice(tail, kFirstTouch + 0x14, 8), Hex("00 80 00 00 00 80 FF FF"));
  EXPECT_EQ(LE32(tail, kFirstTouch + 0x28), 1u);
  EXPECT_EQ(LE32(tail, kFirstTouch + 0x2C), 4u);
  EXPECT_EQ(LE32(tail, kFirstTouch + 0x30), 0u);
  EXPECT_EQ(LE32(tail, kFirstTouch + 0x44), 2u);
  EXPECT_EQ(Slice(tail, kFirstTouch + 96, 8), Hex("48 00 00 00 01 00 00 00"));  // device record
}

TEST_F(EncoderTest, UnidentifiedTouchAddsItsEventMaskButNotItsOptions) {
  Bytes tail =
      encodeTail({}, {{{"type", 11}, {"options", 0x20000}, {"identity", 0}, {"eventMask", 4}}});
  ASSERT_GE(tail.size(), kFirstTouch + 96);
  EXPECT_EQ(LE32(tail, kSetHeader + 0x10), 2u);
  EXPECT_EQ(LE32(tail, kGesture + 0x10), 2u);
  EXPECT_EQ(LE32(tail, kGesture + 0x30), 4u);
}

TEST_F(EncoderTest, EveryTouchKeyLandsAtItsOffset) {
  Bytes tail = encodeTail({}, {{{"type", 11},
                                {"timestamp", int64_t{0x1122334455667788}},
                                {"options", 3},
                                {"position.x", 1.0},
                                {"position.y", 2.0},
                                {"position.z", 3.0},
                                {"transducerIndex", 5},
                                {"transducerType", 6},
                                {"identity", 7},
                                {"eventMask", 8},
                                {"buttonMask", 9},
                                {"tipPressure", 10.0},
                                {"barrelPressure", 11.0},
                                {"twist", 12.0},
                                {"quality", 13.0},
                                {"density", 14.0},
                                {"irregularity", 15.0},
                                {"majorRadius", 16.0},
                                {"minorRadius", 17.0}}});
  ASSERT_GE(tail.size(), kFirstTouch + 96);
  const size_t t = kFirstTouch;
  EXPECT_EQ(LE64(tail, t + 0x08), 0x1122334455667788u);
  struct {
    size_t offset;
    uint32_t value;
  } const expected[] = {
      {0x00, 96},       {0x04, 11},       {0x10, 3},        {0x14, 1 << 16},  {0x18, 2 << 16},
      {0x1C, 3 << 16},  {0x20, 5},        {0x24, 6},        {0x28, 7},        {0x2C, 8},
      {0x30, 0},        {0x34, 9},        {0x38, 10 << 16}, {0x3C, 11 << 16}, {0x40, 12 << 16},
      {0x44, 2},        {0x48, 13 << 16}, {0x4C, 14 << 16}, {0x50, 15 << 16}, {0x54, 16 << 16},
      {0x58, 17 << 16}, {0x5C, 0},
  };
  for (const auto &field : expected)
    EXPECT_EQ(LE32(tail, t + field.offset), field.value) << "offset " << field.offset;
  // The gesture record takes the position of the only group with a touch.
  EXPECT_EQ(LE32(tail, kGesture + 0x14), 1u << 16);
  EXPECT_EQ(LE32(tail, kGesture + 0x1C), 3u << 16);
  EXPECT_EQ(LE32(tail, kGesture + 0x10), 3u);  // identified: 2 | 3
}

struct FixedCase {
  double value;
  int32_t fixed;
};

const std::vector<FixedCase> kFixedCases = {
    FixedCase{0.5, 32768},
    FixedCase{-0.5, -32768},
    FixedCase{0.00001, 0},
    FixedCase{-0.00001, 0},
    FixedCase{32768.0, INT32_MIN},
    FixedCase{-32768.0, INT32_MIN},
    FixedCase{32767.999995, 2147483647},
    FixedCase{-32768.00002, INT32_MIN},
    FixedCase{1e300, INT32_MIN},
    FixedCase{-1e300, INT32_MIN},
    FixedCase{std::numeric_limits<double>::infinity(), INT32_MIN},
    FixedCase{-std::numeric_limits<double>::infinity(), INT32_MIN},
    FixedCase{std::numeric_limits<double>::quiet_NaN(), INT32_MIN}};

TEST_F(EncoderTest, PositionIsSixteenSixteenTruncatedTowardZero) {
  for (const FixedCase &c : kFixedCases) {
    SCOPED_TRACE(c.value);
    Bytes tail = encodeTail({}, {{{"type", 11}, {"position.x", c.value}}});
    ASSERT_GE(tail.size(), kFirstTouch + 96);
    EXPECT_EQ(static_cast<int32_t>(LE32(tail, kFirstTouch + 0x14)), c.fixed);
  }
}

TEST_F(EncoderTest, OnlyTheFirstNonEmptyGroupGivesThePosition) {
  Bytes tail = encodeTail({}, {{{"type", 11}, {"options", 0x10000}, {"position.x", 3.0}},
                               {{"type", 11}, {"options", 0x20000}, {"position.x", 1.0}}});
  ASSERT_GE(tail.size(), kGesture + 0x18);
  EXPECT_EQ(LE32(tail, kGesture + 0x14), 65536u);

  Bytes both = encodeTail({}, {{{"type", 11}, {"position.x", 5.0}},
                               {{"type", 11}, {"options", 0x30000}, {"position.x", 2.0}}});
  ASSERT_GE(both.size(), kGesture + 0x18);
  EXPECT_EQ(LE32(both, kGesture + 0x14), 2u << 16);  // both bits: the first group

  Bytes third =
      encodeTail({}, {{{"type", 11}, {"position.y", 1.0}}, {{"type", 11}, {"position.y", 2.0}}});
  ASSERT_GE(third.size(), kGesture + 0x18);
  EXPECT_EQ(LE32(third, kGesture + 0x18), 98304u);  // mean of 1.0 and 2.0
}

TEST_F(EncoderTest, MeanPositionTruncatesTowardZero) {
  const double minusThree = -3.0 / 65536.0;  // a fixed-point field of -3
  Bytes tail = encodeTail(
      {}, {{{"type", 11}, {"position.x", minusThree}}, {{"type", 11}, {"position.x", 0.0}}});
  ASSERT_GE(tail.size(), kGesture + 0x18);
  EXPECT_EQ(static_cast<int32_t>(LE32(tail, kGesture + 0x14)), -1);
}

// A touch description without "type" writes no record, and the counts say so.
TEST_F(EncoderTest, CountsFollowTheTouchRecordsWritten) {
  Bytes none = encodeTail(kClosingSwipe, {{{"options", 0x20000}, {"identity", 1}}});
  EXPECT_EQ(none, kClosingSwipeTail);

  Bytes one =
      encodeTail({}, {{{"eventMask", 1}}, {{"type", 11}, {"eventMask", 2}}, {{"position.x", 7.0}}});
  ASSERT_EQ(one.size(), 4 + 288 + 56u);
  EXPECT_EQ(Slice(one, 0, 4), Hex("01 20 10 6D"));
  EXPECT_EQ(LE32(one, kSetHeader + 0x14), 3u);
  EXPECT_EQ(LE32(one, kGesture + 0x30), 2u);
  EXPECT_EQ(LE32(one, kGesture + 0x14), 0u);
  CFPtr<CGEventRef> event = encode({}, {{{"eventMask", 1}}, {{"type", 11}}});
  EXPECT_TRUE(event) << "the platform must accept what the counts describe";
}

TEST_F(EncoderTest, SixHundredEightyTouchesFitTheCountAndOneMoreGivesNull) {
  std::vector<Entries> touches(680, Entries{{"type", 11}});
  Bytes tail = encodeTail({}, touches);
  ASSERT_EQ(tail.size(), 4 + 65472 + 56u);
  EXPECT_EQ(Slice(tail, 0, 4), Hex("FF C0 10 6D"));
  EXPECT_EQ(LE32(tail, kSetHeader + 0x14), 682u);

  // One more is refused before any event bytes reach the platform.
  int handed = 0;
  TestEventBytes::Hooks hooks;
  hooks.admit = [&handed](const UInt8 *, size_t) {
    handed++;
    return true;
  };
  backend.eventBytes.hooks = std::move(hooks);
  touches.push_back({{"type", 11}});
  EXPECT_FALSE(encode({}, touches));
  EXPECT_EQ(handed, 0);
  touches.back() = Entries{{"identity", 1}};  // no record: still fits
  EXPECT_TRUE(encode({}, touches));
}

// ---- The base prefix and platform failures ----

struct PrefixCase {
  const char *name;
  size_t baseLength;
  size_t prefixLength;
};

// The base serialization is cut or padded to baseLength; the bytes handed to the platform
// are observed directly, since a cut-down prefix is no longer an event the platform accepts.
const std::vector<PrefixCase> kPrefixCases = {
    PrefixCase{"Hundred", 100, 76}, PrefixCase{"TwentyFour", 24, 0},
    PrefixCase{"TwentyThree", 23, 23}, PrefixCase{"Empty", 0, 0}};

TEST_F(EncoderTest, CutsTheLastTwentyFourBytesOfTheBaseOnly) {
  for (const PrefixCase &c : kPrefixCases) {
    SCOPED_TRACE(c.name);
    Bytes base;
    Bytes handed;
    TestEventBytes::Hooks hooks;
    hooks.serialize = [&](std::vector<UInt8> &bytes) {
      bytes.resize(c.baseLength);
      for (size_t i = 0; i < bytes.size(); i++) bytes[i] = static_cast<UInt8>(0xA0 + i);
      base = bytes;
      return true;
    };
    hooks.admit = [&](const UInt8 *bytes, size_t length) {
      handed.assign(bytes, bytes + length);
      return true;
    };
    backend.eventBytes.hooks = std::move(hooks);
    CFPtr<CGEventRef> event = encode(kClosingSwipe);
    EXPECT_FALSE(event);  // the filler is no event
    ASSERT_EQ(base.size(), c.baseLength);
    EXPECT_EQ(handed, Concat({Slice(base, 0, c.prefixLength), kClosingSwipeTail}));
  }
}

// A longer base whose prefix is still a well-formed event gives an event with that prefix.
TEST_F(EncoderTest, LongerBaseCarriesOverItsPrefix) {
  Bytes filler = Concat({Hex("00 1C 10 01"), Zeros(28)});
  TestEventBytes::Hooks hooks;
  hooks.serialize = [&](std::vector<UInt8> &bytes) {
    bytes.insert(bytes.end() - 24, filler.begin(), filler.end());
    return true;
  };
  backend.eventBytes.hooks = std::move(hooks);
  CFPtr<CGEventRef> event = encode(kClosingSwipe);
  backend.eventBytes.hooks = {};
  ASSERT_TRUE(event);
  EXPECT_EQ(EventBytes(event.get()), Concat({basePrefix(258), filler, kClosingSwipeTail}));
}

struct FailureCase {
  const char *name;
  TestEventBytes::Hooks hooks;
};

const std::vector<FailureCase> kFailureCases = {
    FailureCase{"BaseEventNotCreated", {[] { return false; }, {}, {}}},
    FailureCase{"BaseEventNotSerialized", {{}, [](std::vector<UInt8> &) { return false; }, {}}},
    FailureCase{"EventBytesRefused", {{}, {}, [](const UInt8 *, size_t) { return false; }}}};

TEST_F(EncoderTest, PlatformFailuresGiveNullAndReleaseEverything) {
  for (const FailureCase &c : kFailureCases) {
    SCOPED_TRACE(c.name);
    backend.eventBytes.hooks = c.hooks;
    const long live = platform::liveObjectCount();
    EXPECT_FALSE(encode(kClosingSwipe, {{{"type", 11}}}));
    EXPECT_EQ(platform::liveObjectCount(), live);
  }
}

// ---- Assertions ----

using EncoderDeathTest = EncoderTest;

TEST_F(EncoderDeathTest, AssertionsNameFunctionSourceLineAndCondition) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  CFPtr<CFArrayRef> empty(CreateTouchList({}));
  CFPtr<CFDictionaryRef> info(CreateDescription({}));
  CFPtr<CFArrayRef> wrongType(CreateTouchList({{{"type", 11}}, {{"type", 12}}}));
  struct {
    CFDictionaryRef info;
    CFArrayRef touches;
    const char *message;
  } const cases[] = {
      {nullptr, empty.get(),
       R"(Assertion failed: \(info != NULL\), function tl_CGEventCreateFromGesture, )"
       R"(file src/TouchEvents, line 200\.)"},
      {info.get(), nullptr,
       R"(Assertion failed: \(touches != NULL\), function tl_CGEventCreateFromGesture, )"
       R"(file src/TouchEvents, line 201\.)"},
      {info.get(), wrongType.get(),
       R"(Assertion failed: \(type == kIOHIDEventTypeDigitizer\), function )"
       R"(tl_CGEventCreateFromGesture, file src/TouchEvents, line 238\.)"},
  };
  for (const auto &c : cases)
    EXPECT_DEATH(tl_CGEventCreateFromGesture(c.info, c.touches), c.message);
}

}  // namespace
