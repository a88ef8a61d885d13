// Events as the platform keeps them: fields, serialization, rebuilding from bytes, posting and
// the up-time clock.
#include <cmath>
#include <limits>

#include "EventTestSupport.h"

namespace {

using EventsTest = EventTest;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const Bytes kHeader = Hex("43 56 45 56 01 00 00 00");

TEST_F(EventsTest, CreatedEventCarriesTypeFlagsTimestampThenTheLocationLast) {
  CFPtr<CGEventRef> event(CGEventCreate(nullptr));
  ASSERT_TRUE(event);
  EXPECT_EQ(CFGetTypeID(event.get()), CGEventGetTypeID());
  EXPECT_EQ(CGEventGetType(event.get()), kCGEventNull);
  EXPECT_EQ(CGEventGetFlags(event.get()), 0u);
  EXPECT_EQ(CGEventGetTimestamp(event.get()), backend.manualTime.now);
  Bytes bytes = EventBytes(event.get());
  EXPECT_EQ(bytes, Concat({kHeader, Hex("00 01 80 F0"), Zeros(8), Hex("00 01 80 F1"), Zeros(8),
                           Hex("00 01 80 F2 00 00 00 01 23 45 67 89"), Hex("00 01 E0 F3"), Zeros(8),
                           Hex("00 01 E0 F4"), Zeros(8)}));
}

// New fields go ahead of the location, so the last 24 bytes stay cuttable.
TEST_F(EventsTest, FieldsAddedLaterKeepTheLocationLast) {
  CFPtr<CGEventRef> event(CGEventCreate(nullptr));
  Bytes before = EventBytes(event.get());
  CGEventSetIntegerValueField(event.get(), kCGMouseEventButtonNumber, 3);
  CGEventSetDoubleValueField(event.get(), kCGMouseEventPressure, 0.5);
  Bytes after = EventBytes(event.get());
  ASSERT_EQ(after.size(), before.size() + 24);
  EXPECT_EQ(Slice(after, after.size() - 24, 24), Slice(before, before.size() - 24, 24));
  EXPECT_EQ(Slice(after, 44, 24), Concat({Hex("00 01 80 03 00 00 00 00 00 00 00 03"),
                                          Hex("00 01 E0 02 3F E0 00 00 00 00 00 00")}));
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), kCGMouseEventButtonNumber), 3);
  EXPECT_EQ(CGEventGetDoubleValueField(event.get(), kCGMouseEventPressure), 0.5);
  // Setting again changes the value in place.
  CGEventSetIntegerValueField(event.get(), kCGMouseEventButtonNumber, -7);
  EXPECT_EQ(EventBytes(event.get()).size(), after.size());
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), kCGMouseEventButtonNumber), -7);
  CFPtr<CGEventRef> rebuilt = EventFromBytes(EventBytes(event.get()));
  ASSERT_TRUE(rebuilt);
  EXPECT_EQ(CGEventGetIntegerValueField(rebuilt.get(), kCGMouseEventButtonNumber), -7);
}

TEST_F(EventsTest, TypeFlagsAndTimestampKeepAllTheirBits) {
  CFPtr<CGEventRef> event(CGEventCreate(nullptr));
  const struct {
    CGEventType type;
    CGEventFlags flags;
    CGEventTimestamp timestamp;
  } cases[] = {{EventType(29), 0x100, 258},
               {kCGEventTapDisabledByUserInput, UINT64_MAX, UINT64_MAX},
               {kCGEventNull, uint64_t{1} << 63, uint64_t{1} << 63}};
  for (const auto &c : cases) {
    CGEventSetType(event.get(), c.type);
    CGEventSetFlags(event.get(), c.flags);
    CGEventSetTimestamp(event.get(), c.timestamp);
    CFPtr<CGEventRef> rebuilt = EventFromBytes(EventBytes(event.get()));
    ASSERT_TRUE(rebuilt);
    for (CGEventRef e : {event.get(), rebuilt.get()}) {
      EXPECT_EQ(CGEventGetType(e), c.type);
      EXPECT_EQ(CGEventGetFlags(e), c.flags);
      EXPECT_EQ(CGEventGetTimestamp(e), c.timestamp);
    }
  }
}

// Fields of every kind, read and written as integers and as doubles.
Bytes FieldsOfEveryKind() {
  return Concat({kHeader, Hex("00 01 40 10 FF FF FF FE"),            // int32 -2
                 Hex("00 01 80 11 80 00 00 00 00 00 00 00"),         // int64 min
                 Hex("00 01 C0 12 BF C0 00 00"),                     // float -1.5
                 Hex("00 01 E0 13 40 04 00 00 00 00 00 00"),         // double 2.5
                 Hex("00 03 10 14 01 02 03"), Hex("00 00 40 15")});  // bytes; empty
}

struct ReadCase {
  uint32_t field;
  int64_t integer;
  double real;
};

TEST_F(EventsTest, ReadsEveryKindAsIntegerAndDouble) {
  CFPtr<CGEventRef> event = EventFromBytes(FieldsOfEveryKind());
  ASSERT_TRUE(event);
  const ReadCase cases[] = {{0x10, -2, -2.0}, {0x11, INT64_MIN, -9223372036854775808.0},
                            {0x12, -1, -1.5}, {0x13, 2, 2.5},
                            {0x14, 0, 0.0},   {0x15, 0, 0.0},
                            {0x16, 0, 0.0},    // absent
                            {0x110, 0, 0.0}};  // no such field number
  for (const ReadCase &c : cases) {
    EXPECT_EQ(CGEventGetIntegerValueField(event.get(), Field(c.field)), c.integer) << c.field;
    EXPECT_EQ(CGEventGetDoubleValueField(event.get(), Field(c.field)), c.real) << c.field;
  }
}

struct WriteCase {
  const char *name;
  uint32_t field;
  bool asDouble;
  int64_t integer;
  double real;
  Bytes written;  // the field's payload afterwards
};

// Writes keep each field's kind and size; values that do not fit saturate (NaN gives 0).
const std::vector<WriteCase> kWriteCases = {
    WriteCase{"Int32KeepsLowBits", 0x10, false, 0x100000005, 0, Hex("00 00 00 05")},
    WriteCase{"Int32FromHugeDouble", 0x10, true, 0, 1e300, Hex("7F FF FF FF")},
    WriteCase{"Int32FromMinusInfinity", 0x10, true, 0, -kInf, Hex("80 00 00 00")},
    WriteCase{"Int32FromNaN", 0x10, true, 0, kNaN, Hex("00 00 00 00")},
    WriteCase{"Int32FromDoubleTowardZero", 0x10, true, 0, -2.9, Hex("FF FF FF FE")},
    WriteCase{"Int64FromHugeDouble", 0x11, true, 0, 1e19, Hex("7F FF FF FF FF FF FF FF")},
    WriteCase{"Int64FromTwoToThe63", 0x11, true, 0, 9223372036854775808.0,
              Hex("7F FF FF FF FF FF FF FF")},
    WriteCase{"Int64FromMinusTwoToThe63", 0x11, true, 0, -9223372036854775808.0,
              Hex("80 00 00 00 00 00 00 00")},
    WriteCase{"FloatFromHugeDouble", 0x12, true, 0, 1e300, Hex("7F 80 00 00")},
    WriteCase{"FloatFromInteger", 0x12, false, 3, 0, Hex("40 40 00 00")},
    WriteCase{"DoubleFromInteger", 0x13, false, INT64_MAX, 0, Hex("43 E0 00 00 00 00 00 00")},
    WriteCase{"BytesAreLeftAlone", 0x14, false, 9, 0, Hex("01 02 03")}};

TEST_F(EventsTest, WritesKeepTheKindAndSaturate) {
  for (const WriteCase &c : kWriteCases) {
    SCOPED_TRACE(c.name);
    Bytes original = FieldsOfEveryKind();
    CFPtr<CGEventRef> event = EventFromBytes(original);
    ASSERT_TRUE(event);
    if (c.asDouble)
      CGEventSetDoubleValueField(event.get(), Field(c.field), c.real);
    else
      CGEventSetIntegerValueField(event.get(), Field(c.field), c.integer);
    Bytes after = EventBytes(event.get());
    ASSERT_EQ(after.size(), original.size());
    // Locate the field's payload by its number in the original bytes.
    size_t pos = 8;
    while (original.at(pos + 3) != c.field) {
      const size_t count = original[pos] << 8 | original[pos + 1];
      const size_t size = original[pos + 2] == 0x10 ? 1 : (original[pos + 2] & 0x20) ? 8 : 4;
      pos += 4 + count * size;
    }
    EXPECT_EQ(Slice(after, pos + 4, c.written.size()), c.written);
    EXPECT_EQ(Slice(after, 0, pos), Slice(original, 0, pos));
  }
}

TEST_F(EventsTest, SaturatesWhenReadingHugeFloatsAsIntegers) {
  CFPtr<CGEventRef> event = EventFromBytes(
      Concat({kHeader, Hex("00 01 E0 01 7F F0 00 00 00 00 00 00"),
              Hex("00 01 E0 02 FF F0 00 00 00 00 00 00"),
              Hex("00 01 E0 03 7F F8 00 00 00 00 00 00"), Hex("00 01 C0 04 7F 7F FF FF")}));
  ASSERT_TRUE(event);
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), Field(1)), INT64_MAX);
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), Field(2)), INT64_MIN);
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), Field(3)), 0);
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), Field(4)), INT64_MAX);
}

struct MalformedCase {
  const char *name;
  Bytes bytes;
};

const std::vector<MalformedCase> kMalformedCases = {
    MalformedCase{"Empty", {}},
    MalformedCase{"ShortHeader", Hex("43 56 45 56 01 00 00")},
    MalformedCase{"WrongMagic", Hex("43 56 45 57 01 00 00 00")},
    MalformedCase{"OtherVersion", Hex("43 56 45 56 02 00 00 00")},
    MalformedCase{"ReservedNotZero", Hex("43 56 45 56 01 00 00 01")},
    MalformedCase{"CutFieldHeader", Concat({kHeader, Hex("00 01 40")})},
    MalformedCase{"CutPayload", Concat({kHeader, Hex("00 01 40 10 00 00 00")})},
    MalformedCase{"CountBeyondBytes", Concat({kHeader, Hex("00 02 40 10 00 00 00 01")})},
    MalformedCase{"UnknownKind", Concat({kHeader, Hex("00 01 20 10 00 00 00 01")})},
    MalformedCase{"TrailingByte", Concat({kHeader, Hex("00 01 40 10 00 00 00 01 00")})},
    MalformedCase{"RepeatedField",
                  Concat({kHeader, Hex("00 01 40 10 00 00 00 01 00 01 C0 10 00 00 00 00")})},
    MalformedCase{"RecordCountTooLarge", Concat({kHeader, Hex("00 C1 10 6D"), Zeros(192)})}};

TEST_F(EventsTest, IsRefused) {
  for (const MalformedCase &c : kMalformedCases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(EventFromBytes(c.bytes));
  }
}

TEST_F(EventsTest, AcceptedBytesSerializeBackUnchanged) {
  const Bytes accepted[] = {
      kHeader,
      FieldsOfEveryKind(),
      Concat({kHeader, Hex("FF FF 10 6D"), Zeros(65535)}),
      Concat({kHeader, Hex("00 00 10 00"), Hex("00 02 E0 FF"), Zeros(16)}),
  };
  for (const Bytes &bytes : accepted) {
    CFPtr<CGEventRef> event = EventFromBytes(bytes);
    ASSERT_TRUE(event) << bytes.size();
    EXPECT_EQ(EventBytes(event.get()), bytes);
    CFPtr<CGEventRef> copy(CGEventCreateCopy(event.get()));
    EXPECT_EQ(EventBytes(copy.get()), bytes);
    EXPECT_TRUE(CFEqual(copy.get(), event.get()));
  }
}

TEST_F(EventsTest, CopyIsIndependent) {
  CFPtr<CGEventRef> event(CGEventCreate(nullptr));
  CFPtr<CGEventRef> copy(CGEventCreateCopy(event.get()));
  CGEventSetType(copy.get(), kCGEventOtherMouseDown);
  CGEventSetIntegerValueField(copy.get(), kCGMouseEventButtonNumber, 4);
  EXPECT_EQ(CGEventGetType(event.get()), kCGEventNull);
  EXPECT_EQ(CGEventGetIntegerValueField(event.get(), kCGMouseEventButtonNumber), 0);
  EXPECT_EQ(CGEventGetIntegerValueField(copy.get(), kCGMouseEventButtonNumber), 4);
  EXPECT_FALSE(CFEqual(copy.get(), event.get()));
}

TEST_F(EventsTest, NullAndForeignArgumentsHaveDefinedOutcomes) {
  EXPECT_EQ(CGEventCreateFromData(nullptr, nullptr), nullptr);
  EXPECT_EQ(CGEventCreateFromData(nullptr, reinterpret_cast<CFDataRef>(CFSTR("bytes"))), nullptr);
  EXPECT_EQ(CGEventCreateData(nullptr, nullptr), nullptr);
  EXPECT_EQ(CGEventCreateCopy(nullptr), nullptr);
  EXPECT_EQ(CGEventGetType(nullptr), 0u);
  EXPECT_EQ(CGEventGetIntegerValueField(nullptr, Field(3)), 0);
  EXPECT_EQ(CGEventGetDoubleValueField(nullptr, Field(3)), 0.0);
  CGEventSetIntegerValueField(nullptr, Field(3), 1);
  CGEventPost(kCGHIDEventTap, nullptr);
  EXPECT_TRUE(backend.testInput.posted.empty());

  CFPtr<CGEventRef> event(CGEventCreate(nullptr));
  Bytes before = EventBytes(event.get());
  CGEventSetIntegerValueField(event.get(), Field(0x100), 1);  // beyond one byte: no field
  CGEventSetDoubleValueField(event.get(), Field(0x1FF), 1.0);
  EXPECT_EQ(EventBytes(event.get()), before);
}

TEST_F(EventsTest, PostGoesToTheBackendWithItsLocation) {
  CFPtr<CGEventRef> first(CGEventCreate(nullptr));
  CFPtr<CGEventRef> second(CGEventCreate(nullptr));
  CGEventPost(kCGHIDEventTap, first.get());
  CGEventPost(kCGSessionEventTap, second.get());
  ASSERT_EQ(backend.testInput.posted.size(), 2u);
  EXPECT_EQ(backend.testInput.posted[0], first.get());
  EXPECT_EQ(backend.testInput.posted[1], second.get());
  EXPECT_EQ(backend.testInput.postLocations,
            (std::vector<CGEventTapLocation>{kCGHIDEventTap, kCGSessionEventTap}));
}

// Deprecated on macOS, and still the layer's to provide: the encoder stamps gestures with it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
TEST_F(EventsTest, UpTimeIsTheBackendsClockInNanoseconds) {
  backend.manualTime.now = 0x0000000500000007;
  AbsoluteTime now = UpTime();
  EXPECT_EQ(now.hi, 5u);
  EXPECT_EQ(now.lo, 7u);
  EXPECT_EQ(UnsignedWideToUInt64(AbsoluteToNanoseconds(now)), 0x0000000500000007u);
}
#pragma GCC diagnostic pop

}  // namespace
