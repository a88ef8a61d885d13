// Numbers, dictionaries keyed by numbers and growable byte strings.
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <thread>
#include <type_traits>

#include "EventTestSupport.h"

namespace {

using CoreFoundationTest = EventTest;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ConversionCase {
  const char *name;
  Num source;
  CFNumberType target;
  int64_t integer;  // expected, for integer targets
  double real;      // expected, for floating targets (NaN: expect NaN)
  bool exact;
};

const std::vector<ConversionCase> kConversions = {
    // Integers keep the low bits of the asked width.
    ConversionCase{"Int64ToInt32LowBits", int64_t{0x100000005}, kCFNumberSInt32Type, 5, 0, false},
    ConversionCase{"Int32ToInt8LowBits", 300, kCFNumberSInt8Type, 44, 0, false},
    ConversionCase{"Int32ToInt8Negative", -129, kCFNumberSInt8Type, 127, 0, false},
    ConversionCase{"Int64ToInt16Fits", int64_t{-32768}, kCFNumberSInt16Type, -32768, 0, true},
    ConversionCase{"Int32ToInt64", -1, kCFNumberSInt64Type, -1, 0, true},
    ConversionCase{"Int32AsCFIndex", 7, kCFNumberCFIndexType, 7, 0, true},
    ConversionCase{"Int64ToIntType", int64_t{1} << 32, kCFNumberIntType, 0, 0, false},
    // Floating values truncate toward zero and saturate.
    ConversionCase{"DoubleToInt32Down", 2.9, kCFNumberSInt32Type, 2, 0, false},
    ConversionCase{"DoubleToInt32TowardZero", -2.9, kCFNumberSInt32Type, -2, 0, false},
    ConversionCase{"DoubleToInt32Whole", 3.0, kCFNumberSInt32Type, 3, 0, true},
    ConversionCase{"NegativeZero", -0.0, kCFNumberSInt32Type, 0, 0, true},
    ConversionCase{"NaNToInt32", kNaN, kCFNumberSInt32Type, 0, 0, false},
    ConversionCase{"InfinityToInt32", kInf, kCFNumberSInt32Type, INT32_MAX, 0, false},
    ConversionCase{"MinusInfinityToInt32", -kInf, kCFNumberSInt32Type, INT32_MIN, 0, false},
    ConversionCase{"TwoTo31ToInt32", 2147483648.0, kCFNumberSInt32Type, INT32_MAX, 0, false},
    ConversionCase{"MinusTwoTo31ToInt32", -2147483648.0, kCFNumberSInt32Type, INT32_MIN, 0, true},
    ConversionCase{"HugeToInt64", 1e300, kCFNumberSInt64Type, INT64_MAX, 0, false},
    ConversionCase{"TwoTo63ToInt64", 9223372036854775808.0, kCFNumberSInt64Type, INT64_MAX, 0,
                   false},
    ConversionCase{"MinusTwoTo63ToInt64", -9223372036854775808.0, kCFNumberSInt64Type, INT64_MIN, 0,
                   true},
    ConversionCase{"FloatToInt8", 200.5f, kCFNumberSInt8Type, 127, 0, false},
    // To floating types.
    ConversionCase{"HugeDoubleToFloat", 1e300, kCFNumberFloat32Type, 0, kInf, false},
    ConversionCase{"TenthToFloat", 0.1, kCFNumberFloat32Type, 0, 0.1, false},
    ConversionCase{"HalfToFloat", 0.5, kCFNumberFloat32Type, 0, 0.5, true},
    ConversionCase{"NaNToFloat", kNaN, kCFNumberFloat32Type, 0, kNaN, true},
    ConversionCase{"FloatToDouble", 1.5f, kCFNumberDoubleType, 0, 1.5, true},
    ConversionCase{"Int64TwoTo53ToDouble", int64_t{1} << 53, kCFNumberDoubleType, 0,
                   9007199254740992.0, true},
    ConversionCase{"Int64TwoTo53PlusOneToDouble", (int64_t{1} << 53) + 1, kCFNumberDoubleType, 0,
                   9007199254740992.0, false},
    ConversionCase{"Int64MaxToDouble", INT64_MAX, kCFNumberFloat64Type, 0, 9223372036854775808.0,
                   false},
    ConversionCase{"Int32ToFloatInexact", 16777217, kCFNumberFloat32Type, 0, 16777216.0, false}};

// Checks the value written as a T against the case; returns how many bytes it took.
template <typename T>
size_t CheckStored(const unsigned char *value, const ConversionCase &c) {
  T v;
  memcpy(&v, value, sizeof v);
  if constexpr (std::is_integral_v<T>)
    EXPECT_EQ(v, c.integer);
  else
    EXPECT_TRUE(std::isnan(c.real) ? std::isnan(v) : v == static_cast<T>(c.real)) << v;
  return sizeof v;
}
const std::map<CFNumberType, size_t (*)(const unsigned char *, const ConversionCase &)> kCheckAs = {
    {kCFNumberSInt8Type, CheckStored<int8_t>},   {kCFNumberSInt16Type, CheckStored<int16_t>},
    {kCFNumberSInt32Type, CheckStored<int32_t>}, {kCFNumberIntType, CheckStored<int32_t>},
    {kCFNumberSInt64Type, CheckStored<int64_t>}, {kCFNumberCFIndexType, CheckStored<int64_t>},
    {kCFNumberFloat32Type, CheckStored<float>},  {kCFNumberFloat64Type, CheckStored<double>},
    {kCFNumberDoubleType, CheckStored<double>}};

TEST_F(CoreFoundationTest, ConvertsLikeCoreFoundation) {
  for (const ConversionCase &c : kConversions) {
    SCOPED_TRACE(c.name);
    CFPtr<CFNumberRef> number(c.source.create());
    ASSERT_TRUE(number);
    // Surrounding guard bytes catch writes wider than the asked type.
    unsigned char buffer[24];
    memset(buffer, 0xCC, sizeof buffer);
    unsigned char *value = buffer + 8;
    EXPECT_EQ(static_cast<bool>(CFNumberGetValue(number.get(), c.target, value)), c.exact);
    const size_t width = kCheckAs.at(c.target)(value, c);
    for (size_t i = 0; i < sizeof buffer; i++)
      if (i < 8 || i >= 8 + width) {
        EXPECT_EQ(buffer[i], 0xCC) << "wrote outside at " << i;
      }
  }
}

TEST_F(CoreFoundationTest, NumbersOfEqualValueAreOneDictionaryKey) {
  const struct {
    std::vector<Num> sameKey;
  } groups[] = {
      {{int32_t{4}, int64_t{4}, 4.0, 4.0f}},
      {{int32_t{0}, 0.0, -0.0, -0.0f}},
      {{int64_t{1} << 53, 9007199254740992.0}},
      {{kNaN, std::numeric_limits<float>::quiet_NaN()}},
      {{-1.5, -1.5f}},
  };
  for (const auto &group : groups) {
    CFPtr<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    for (const Num &key : group.sameKey) {
      CFPtr<CFNumberRef> number(key.create());
      CFDictionarySetValue(dictionary.get(), number.get(), kCFBooleanTrue);
    }
    EXPECT_EQ(CFDictionaryGetCount(dictionary.get()), 1);
    for (const Num &key : group.sameKey) {
      CFPtr<CFNumberRef> number(key.create());
      EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), number.get()), kCFBooleanTrue);
    }
  }
}

TEST_F(CoreFoundationTest, NumbersOfDifferentValueAreDifferentKeys) {
  const std::vector<Num> keys = {int64_t{4},
                                 4.5,
                                 int64_t{INT64_MAX},
                                 9223372036854775808.0,
                                 (int64_t{1} << 53) + 1,
                                 9007199254740992.0,
                                 kInf,
                                 -kInf};
  CFPtr<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  for (const Num &key : keys) {
    CFPtr<CFNumberRef> number(key.create());
    CFDictionarySetValue(dictionary.get(), number.get(), number.get());
  }
  EXPECT_EQ(CFDictionaryGetCount(dictionary.get()), static_cast<CFIndex>(keys.size()));
}

TEST_F(CoreFoundationTest, GrowableByteStrings) {
  const UInt8 start[] = {1, 2, 3, 4, 5};
  CFPtr<CFDataRef> data(CFDataCreate(kCFAllocatorDefault, start, sizeof start));
  CFPtr<CFMutableDataRef> copy(CFDataCreateMutableCopy(kCFAllocatorDefault, 64, data.get()));
  const UInt8 more[] = {6, 7};
  CFDataAppendBytes(copy.get(), more, sizeof more);
  CFDataDeleteBytes(copy.get(), CFRangeMake(1, 2));
  EXPECT_EQ(DataBytes(copy.get()), (Bytes{1, 4, 5, 6, 7}));
  EXPECT_EQ(DataBytes(data.get()), (Bytes{1, 2, 3, 4, 5}));  // the original is untouched
  CFDataDeleteBytes(copy.get(), CFRangeMake(5, 0));
  CFDataDeleteBytes(copy.get(), CFRangeMake(0, 5));
  EXPECT_EQ(CFDataGetLength(copy.get()), 0);

  CFPtr<CFMutableDataRef> empty(CFDataCreateMutable(kCFAllocatorDefault, 0));
  CFDataAppendBytes(empty.get(), start, 0);
  EXPECT_EQ(CFDataGetLength(empty.get()), 0);
}

// Byte strings keep small contents inline and move them to the heap as they grow; appending a
// string to itself must survive that move.
TEST_F(CoreFoundationTest, ByteStringsGrowPastTheirInlineRoom) {
  for (size_t start : {size_t{0}, size_t{1}, size_t{200}, size_t{383}, size_t{384}, size_t{1000}}) {
    SCOPED_TRACE(start);
    Bytes expected(start);
    for (size_t i = 0; i < start; i++) expected[i] = static_cast<uint8_t>(i * 7);
    CFPtr<CFMutableDataRef> data(CFDataCreateMutable(kCFAllocatorDefault, 0));
    CFDataAppendBytes(data.get(), expected.data(), static_cast<CFIndex>(expected.size()));
    for (int round = 0; round < 3; round++) {  // doubles each time, from its own bytes
      CFDataAppendBytes(data.get(), CFDataGetBytePtr(data.get()), CFDataGetLength(data.get()));
      expected.insert(expected.end(), expected.begin(), expected.end());
    }
    EXPECT_EQ(DataBytes(data.get()), expected);
    CFPtr<CFMutableDataRef> copy(CFDataCreateMutableCopy(kCFAllocatorDefault, 0, data.get()));
    EXPECT_TRUE(CFEqual(copy.get(), data.get()));
    if (!expected.empty()) {
      CFDataDeleteBytes(copy.get(), CFRangeMake(0, CFDataGetLength(copy.get()) / 2));
      expected.erase(expected.begin(), expected.begin() + static_cast<long>(expected.size() / 2));
    }
    CFDataSetLength(copy.get(), static_cast<CFIndex>(expected.size() + 3));
    expected.resize(expected.size() + 3, 0);
    EXPECT_EQ(DataBytes(copy.get()), expected);
  }
}

// A string's hash follows its contents when it changes.
TEST_F(CoreFoundationTest, ChangedStringsFindTheirNewKey) {
  CFPtr<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
      kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
  CFDictionarySetValue(dictionary.get(), CFSTR("gesturePhase"), kCFBooleanTrue);
  CFPtr<CFMutableStringRef> key(
      CFStringCreateMutableCopy(kCFAllocatorDefault, 0, CFSTR("gesture")));
  EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), key.get()), nullptr);
  CFStringAppend(key.get(), CFSTR("Phase"));
  EXPECT_EQ(CFHash(key.get()), CFHash(CFSTR("gesturePhase")));
  EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), key.get()), kCFBooleanTrue);
  CFStringAppendCString(key.get(), "  ", kCFStringEncodingUTF8);
  CFStringTrimWhitespace(key.get());
  EXPECT_EQ(CFDictionaryGetValue(dictionary.get(), key.get()), kCFBooleanTrue);
}

TEST(CoreFoundationDeathTest, DeletingOutsideTheBytesStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const UInt8 start[] = {1, 2, 3};
  CFMutableDataRef data = CFDataCreateMutable(kCFAllocatorDefault, 0);
  CFDataAppendBytes(data, start, sizeof start);
  EXPECT_DEATH(CFDataDeleteBytes(data, CFRangeMake(2, 2)), "range out of bounds");
  EXPECT_DEATH(CFDataDeleteBytes(data, CFRangeMake(-1, 1)), "range out of bounds");
  CFRelease(data);
}

// A capacity other than 0 is a limit, as on macOS: reaching it is fine, passing it stops the
// process with a message naming the call, whichever call would pass it.
TEST(CoreFoundationDeathTest, FixedCapacityDataStopsAtItsCapacity) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const UInt8 five[] = {1, 2, 3, 4, 5};
  CFPtr<CFDataRef> source(CFDataCreate(kCFAllocatorDefault, five, sizeof five));
  CFPtr<CFMutableDataRef> fixed(CFDataCreateMutable(kCFAllocatorDefault, 4));
  CFDataAppendBytes(fixed.get(), five, 4);
  CFDataDeleteBytes(fixed.get(), CFRangeMake(0, 1));
  CFDataSetLength(fixed.get(), 4);
  EXPECT_EQ(CFDataGetLength(fixed.get()), 4);
  CFPtr<CFMutableDataRef> copy(CFDataCreateMutableCopy(kCFAllocatorDefault, 5, source.get()));
  EXPECT_EQ(CFDataGetLength(copy.get()), 5);

  const struct {
    const char *name;
    std::function<void()> grow;
    const char *message;
  } cases[] = {
      {"append", [&] { CFDataAppendBytes(fixed.get(), five, 1); },
       "CFDataAppendBytes: fixed-capacity data cannot grow to 5 bytes, past its capacity of 4"},
      {"set length", [&] { CFDataSetLength(fixed.get(), 5); },
       "CFDataSetLength: fixed-capacity data cannot grow to 5 bytes, past its capacity of 4"},
      {"append to a copy", [&] { CFDataAppendBytes(copy.get(), five, 1); },
       "CFDataAppendBytes: fixed-capacity data cannot grow to 6 bytes, past its capacity of 5"},
      {"copy into less room",
       [&] { CFDataCreateMutableCopy(kCFAllocatorDefault, 4, source.get()); },
       "CFDataCreateMutableCopy: fixed-capacity data cannot grow to 5 bytes, past its capacity of "
       "4"},
      {"negative capacity", [] { CFDataCreateMutable(kCFAllocatorDefault, -1); },
       "CFDataCreateMutable: negative capacity"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DEATH(c.grow(), c.message);
  }
}

// macOS may answer NULL for any string, so the layer answers NULL often enough that callers
// cannot come to rely on a pointer: whatever a C string could not carry as it is.
TEST(CoreFoundation, CStringPointerIsOnlyForPlainASCII) {
  const UInt8 withNul[] = {'a', 0, 'b'};
  CFPtr<CFStringRef> nul(
      CFStringCreateWithBytes(kCFAllocatorDefault, withNul, 3, kCFStringEncodingUTF8, false));
  const struct {
    CFStringRef string;
    CFStringEncoding encoding;
    const char *expected;  // NULL: no pointer
  } cases[] = {
      {CFSTR("back-extra-script"), kCFStringEncodingUTF8, "back-extra-script"},
      {CFSTR("complete"), kCFStringEncodingASCII, "complete"},
      {CFSTR(""), kCFStringEncodingUTF8, ""},
      {CFSTR("caf\xC3\xA9"), kCFStringEncodingUTF8, nullptr},
      {CFSTR("complete"), kCFStringEncodingMacRoman, nullptr},
      {nul.get(), kCFStringEncodingUTF8, nullptr},
  };
  for (const auto &c : cases) {
    const char *pointer = CFStringGetCStringPtr(c.string, c.encoding);
    if (!c.expected) {
      EXPECT_EQ(pointer, nullptr) << c.encoding;
      continue;
    }
    ASSERT_NE(pointer, nullptr) << c.expected;
    EXPECT_STREQ(pointer, c.expected);
  }
}

// Counts are kept per thread and blocks are reused per thread, so objects that change threads,
// and threads that end with blocks in hand, must still add up, and reused blocks hold only the
// new object.
TEST(CoreFoundation, LiveCountAddsUpAcrossThreads) {
  const long before = platform::liveObjectCount();
  auto makeNumber = [](int32_t value) {
    return CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
  };
  for (int round = 0; round < 3; round++) {
    CFNumberRef fromMain = makeNumber(1);
    CFNumberRef fromWorker = nullptr;
    std::thread worker([&] {
      CFRelease(fromMain);                                    // made on main, dies here
      for (int i = 0; i < 20; i++) CFRelease(makeNumber(i));  // leaves freed blocks behind
      fromWorker = makeNumber(42);
    });
    worker.join();
    int32_t value = 0;
    ASSERT_TRUE(CFNumberGetValue(fromWorker, kCFNumberSInt32Type, &value));
    EXPECT_EQ(value, 42);
    EXPECT_EQ(platform::liveObjectCount(), before + 1) << "round " << round;
    CFRelease(fromWorker);  // made on the ended thread, dies here
    EXPECT_EQ(platform::liveObjectCount(), before) << "round " << round;
  }
  std::vector<std::thread> crowd;
  for (int t = 0; t < 4; t++)
    crowd.emplace_back([&] {
      for (int i = 0; i < 1000; i++) CFRelease(makeNumber(i));
    });
  for (std::thread &thread : crowd) thread.join();
  EXPECT_EQ(platform::liveObjectCount(), before);
}

}  // namespace
