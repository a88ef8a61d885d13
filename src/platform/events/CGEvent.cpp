// Events: a CF object that holds its own serialization, so that serializing is a copy and an
// event built from bytes gives back exactly those bytes.
#include <CoreGraphics/CoreGraphics.h>

#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <platform/Backend.h>
#include <platform/Host.h>

#include "cf/CFRuntime.h"
#include "cf/SmallBytes.h"
#include "events/EventFormat.h"

namespace platform::events {
namespace {

// Big-endian values of 4 or 8 bytes.
uint64_t GetBE(const UInt8 *p, size_t width) {
  if (width == 4) {
    uint32_t value;
    memcpy(&value, p, 4);
    return __builtin_bswap32(value);
  }
  uint64_t value;
  memcpy(&value, p, 8);
  return __builtin_bswap64(value);
}

void PutBE(UInt8 *p, size_t width, uint64_t value) {
  if (width == 4) {
    const uint32_t swapped = __builtin_bswap32(static_cast<uint32_t>(value));
    memcpy(p, &swapped, 4);
    return;
  }
  value = __builtin_bswap64(value);
  memcpy(p, &value, 8);
}

// Truncates toward zero into [min, max]; NaN gives 0.
int64_t SaturateToInteger(double value, int64_t min, int64_t max) {
  if (std::isnan(value)) return 0;
  // Both bounds convert exactly or round up to a power of two, so what lies strictly between
  // them converts without overflow.
  if (value >= static_cast<double>(max)) return max;
  if (value <= static_cast<double>(min)) return min;
  return static_cast<int64_t>(value);
}

float NarrowToFloat(double value) {
  if (std::isnan(value)) return NAN;
  if (value > FLT_MAX) return INFINITY;
  if (value < -FLT_MAX) return -INFINITY;
  return static_cast<float>(value);
}

struct Field {
  UInt8 number;
  UInt8 kind;
  UInt16 count;
  uint32_t offset;  // of the payload within the event's bytes
};

Field FieldAt(const UInt8 *bytes, size_t pos) {
  return Field{bytes[pos + 3], bytes[pos + 2],
               static_cast<UInt16>(bytes[pos] << 8 | bytes[pos + 1]),
               static_cast<uint32_t>(pos + kFieldHeaderSize)};
}

size_t PayloadSize(const Field &field) {
  return field.count * ElementSize(field.kind);
}

// True for well-formed bytes only.
bool IsWellFormed(const UInt8 *bytes, size_t length) {
  if (length < kHeaderSize || memcmp(bytes, kHeader, kHeaderSize) != 0) return false;
  if (length > UINT32_MAX) return false;
  uint64_t seen[4] = {0, 0, 0, 0};
  size_t pos = kHeaderSize;
  while (pos < length) {
    if (length - pos < kFieldHeaderSize) return false;
    const Field field = FieldAt(bytes, pos);
    const uint64_t bit = uint64_t{1} << (field.number & 63);
    uint64_t &word = seen[field.number >> 6];
    if (ElementSize(field.kind) == 0 || (word & bit)) return false;
    word |= bit;
    const size_t payload = PayloadSize(field);
    if (length - pos - kFieldHeaderSize < payload) return false;
    pos += kFieldHeaderSize + payload;
  }
  return true;
}

class Event final : public Object {
 public:
  Event() : Object(kTypeIDEvent) {}

  SmallBytes<384> bytes;  // always well-formed; a gesture event fits inline

  // Fields are few, so walking their headers beats keeping an index up to date; the last field
  // found is remembered, since a filter asks for the same one (the button) again and again.
  bool find(UInt8 number, Field &out) const {
    if (hasLastFound_ && lastFound_.number == number) {
      out = lastFound_;
      return true;
    }
    return walkTo(number, out);
  }

  // Kept out of line, so that the remembered case above stays small enough to inline.
  [[gnu::noinline]] bool walkTo(UInt8 number, Field &out) const {
    for (size_t pos = kHeaderSize; pos < bytes.size();) {
      out = FieldAt(bytes.data(), pos);
      if (out.number == number) {
        lastFound_ = out;
        hasLastFound_ = true;
        return true;
      }
      pos = out.offset + PayloadSize(out);
    }
    return false;
  }

  // The field's first element; false when it has none or holds bytes.
  bool readInteger(const Field &field, int64_t &out) const {
    if (field.count == 0) return false;
    const UInt8 *p = bytes.data() + field.offset;
    switch (field.kind) {
      case kKindSInt32:
        out = static_cast<int32_t>(static_cast<uint32_t>(GetBE(p, 4)));
        return true;
      case kKindSInt64:
        out = static_cast<int64_t>(GetBE(p, 8));
        return true;
      case kKindFloat32:
      case kKindFloat64:
        out = readRealAsInteger(field);
        return true;
      default:
        return false;
    }
  }

  [[gnu::noinline]] int64_t readRealAsInteger(const Field &field) const {
    double real = 0;
    readDouble(field, real);
    return SaturateToInteger(real, INT64_MIN, INT64_MAX);
  }

  bool readDouble(const Field &field, double &out) const {
    if (field.count == 0) return false;
    const UInt8 *p = bytes.data() + field.offset;
    switch (field.kind) {
      case kKindFloat32: {
        const uint32_t bits = static_cast<uint32_t>(GetBE(p, 4));
        float value;
        memcpy(&value, &bits, sizeof value);
        out = value;
        return true;
      }
      case kKindFloat64: {
        const uint64_t bits = GetBE(p, 8);
        memcpy(&out, &bits, sizeof out);
        return true;
      }
      case kKindSInt32:
      case kKindSInt64: {
        int64_t integer = 0;
        readInteger(field, integer);
        out = static_cast<double>(integer);
        return true;
      }
      default:
        return false;
    }
  }

  void writeInteger(const Field &field, int64_t value) {
    if (field.count == 0) return;
    UInt8 *p = bytes.data() + field.offset;
    switch (field.kind) {
      case kKindSInt32:  // keeps the low 32 bits, as a narrowing integer conversion does
      case kKindSInt64:
        PutBE(p, ElementSize(field.kind), static_cast<uint64_t>(value));
        break;
      case kKindFloat32:
      case kKindFloat64:
        writeDouble(field, static_cast<double>(value));
        break;
      default:
        break;
    }
  }

  void writeDouble(const Field &field, double value) {
    if (field.count == 0) return;
    UInt8 *p = bytes.data() + field.offset;
    switch (field.kind) {
      case kKindFloat32: {
        const float narrow = NarrowToFloat(value);
        uint32_t bits;
        memcpy(&bits, &narrow, sizeof bits);
        PutBE(p, 4, bits);
        break;
      }
      case kKindFloat64: {
        uint64_t bits;
        memcpy(&bits, &value, sizeof bits);
        PutBE(p, 8, bits);
        break;
      }
      case kKindSInt32:
        PutBE(p, 4, static_cast<uint64_t>(SaturateToInteger(value, INT32_MIN, INT32_MAX)));
        break;
      case kKindSInt64:
        PutBE(p, 8, static_cast<uint64_t>(SaturateToInteger(value, INT64_MIN, INT64_MAX)));
        break;
      default:
        break;
    }
  }

  // Adds a one-element field ahead of the location, which stays last, and returns it.
  Field add(UInt8 number, UInt8 kind) {
    Field location;
    const size_t at =
        find(kFieldLocationX, location) ? location.offset - kFieldHeaderSize : bytes.size();
    const UInt8 header[kFieldHeaderSize] = {0, 1, kind, number};
    hasLastFound_ = false;  // fields after the insertion move
    bytes.insert(bytes.begin() + at, kFieldHeaderSize + ElementSize(kind), UInt8{0});
    memcpy(bytes.data() + at, header, sizeof header);
    return FieldAt(bytes.data(), at);
  }

  mutable bool hasLastFound_ = false;
  mutable Field lastFound_{};

  bool equals(const Object &other) const override {
    return other.typeID() == kTypeIDEvent && static_cast<const Event &>(other).bytes == bytes;
  }
  CFHashCode hash() const override { return bytes.size(); }
  std::string describe() const override {
    int64_t type = 0;
    Field field;
    if (find(kFieldType, field)) readInteger(field, type);
    char text[80];
    snprintf(text, sizeof text, "<CGEvent %p type=%" PRId64 ">", static_cast<const void *>(this),
             type);
    return text;
  }
};

Event *AsEvent(CGEventRef event, const char *function) {
  if (!event) return nullptr;
  if (CFGetTypeID(event) != kTypeIDEvent) CFFatal(function, "not a CGEvent");
  return reinterpret_cast<Event *>(event);
}

int64_t GetInteger(CGEventRef ref, UInt8 number, const char *function) {
  const Event *event = AsEvent(ref, function);
  int64_t value = 0;
  Field field;
  if (event && event->find(number, field)) event->readInteger(field, value);
  return value;
}

void SetInteger(CGEventRef ref, UInt8 number, int64_t value, const char *function) {
  Event *event = AsEvent(ref, function);
  if (!event) return;
  Field field;
  if (!event->find(number, field)) field = event->add(number, kKindSInt64);
  event->writeInteger(field, value);
}

// A created event: type, flags and timestamp, then the location (+0.0 is all zero bits).
// clang-format off
constexpr UInt8 kCreatedEvent[] = {
    'C', 'V', 'E', 'V', 1, 0, 0, 0,
    0, 1, kKindSInt64, kFieldType, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 1, kKindSInt64, kFieldFlags, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 1, kKindSInt64, kFieldTimestamp, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 1, kKindFloat64, kFieldLocationX, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 1, kKindFloat64, kFieldLocationY, 0, 0, 0, 0, 0, 0, 0, 0,
};
// clang-format on
constexpr size_t kCreatedTimestampOffset = kHeaderSize + 2 * 12 + kFieldHeaderSize;

// Event field numbers are one byte wide; larger ones name no field.
bool FieldNumber(CGEventField field, UInt8 &number) {
  if (field > 0xFF) return false;
  number = static_cast<UInt8>(field);
  return true;
}

}  // namespace

}  // namespace platform::events

using namespace platform::events;

size_t platform::HostEventBytes::create(uint64_t timestamp, UInt8 *out, size_t capacity) {
  if (capacity < sizeof kCreatedEvent) return 0;
  memcpy(out, kCreatedEvent, sizeof kCreatedEvent);
  PutBE(out + kCreatedTimestampOffset, 8, timestamp);
  return sizeof kCreatedEvent;
}

CFDataRef platform::HostEventBytes::write(CFAllocatorRef allocator, const UInt8 *bytes,
                                          size_t length) {
  return CFDataCreate(allocator, bytes, static_cast<CFIndex>(length));
}

bool platform::HostEventBytes::read(const UInt8 *bytes, size_t length) {
  return IsWellFormed(bytes, length);
}

CFTypeID CGEventGetTypeID(void) {
  return platform::kTypeIDEvent;
}

CGEventRef CGEventCreate(CGEventSourceRef source) {
  platform::Backend &platform = platform::backend();
  UInt8 created[128];
  const size_t length =
      platform.events().create(platform.time().upTimeNanos(), created, sizeof created);
  if (length == 0) return nullptr;
  Event *event = new Event();
  event->bytes.assign(created, created + length);
  return reinterpret_cast<CGEventRef>(event);
}

CFDataRef CGEventCreateData(CFAllocatorRef allocator, CGEventRef ref) {
  const Event *event = AsEvent(ref, "CGEventCreateData");
  if (!event) return nullptr;
  return platform::backend().events().write(allocator, event->bytes.data(), event->bytes.size());
}

CGEventRef CGEventCreateFromData(CFAllocatorRef allocator, CFDataRef data) {
  if (!data || CFGetTypeID(data) != CFDataGetTypeID()) return nullptr;
  const UInt8 *bytes = CFDataGetBytePtr(data);
  const size_t length = static_cast<size_t>(CFDataGetLength(data));
  if (!platform::backend().events().read(bytes, length)) return nullptr;
  Event *event = new Event();
  event->bytes.assign(bytes, bytes + length);
  return reinterpret_cast<CGEventRef>(event);
}

CGEventRef CGEventCreateCopy(CGEventRef ref) {
  const Event *event = AsEvent(ref, "CGEventCreateCopy");
  if (!event) return nullptr;
  Event *copy = new Event();
  copy->bytes = event->bytes;
  return reinterpret_cast<CGEventRef>(copy);
}

CGEventType CGEventGetType(CGEventRef event) {
  return static_cast<CGEventType>(GetInteger(event, kFieldType, "CGEventGetType"));
}

void CGEventSetType(CGEventRef event, CGEventType type) {
  SetInteger(event, kFieldType, type, "CGEventSetType");
}

CGEventFlags CGEventGetFlags(CGEventRef event) {
  return static_cast<CGEventFlags>(GetInteger(event, kFieldFlags, "CGEventGetFlags"));
}

void CGEventSetFlags(CGEventRef event, CGEventFlags flags) {
  SetInteger(event, kFieldFlags, static_cast<int64_t>(flags), "CGEventSetFlags");
}

CGEventTimestamp CGEventGetTimestamp(CGEventRef event) {
  return static_cast<CGEventTimestamp>(GetInteger(event, kFieldTimestamp, "CGEventGetTimestamp"));
}

void CGEventSetTimestamp(CGEventRef event, CGEventTimestamp timestamp) {
  SetInteger(event, kFieldTimestamp, static_cast<int64_t>(timestamp), "CGEventSetTimestamp");
}

int64_t CGEventGetIntegerValueField(CGEventRef event, CGEventField field) {
  UInt8 number;
  if (!FieldNumber(field, number)) return 0;
  return GetInteger(event, number, "CGEventGetIntegerValueField");
}

void CGEventSetIntegerValueField(CGEventRef event, CGEventField field, int64_t value) {
  UInt8 number;
  if (FieldNumber(field, number)) SetInteger(event, number, value, "CGEventSetIntegerValueField");
}

double CGEventGetDoubleValueField(CGEventRef ref, CGEventField field) {
  const Event *event = AsEvent(ref, "CGEventGetDoubleValueField");
  UInt8 number;
  double value = 0;
  if (!event || !FieldNumber(field, number)) return 0;
  Field found;
  if (event->find(number, found)) event->readDouble(found, value);
  return value;
}

void CGEventSetDoubleValueField(CGEventRef ref, CGEventField field, double value) {
  Event *event = AsEvent(ref, "CGEventSetDoubleValueField");
  UInt8 number;
  if (!event || !FieldNumber(field, number)) return;
  Field found;
  if (!event->find(number, found)) found = event->add(number, kKindFloat64);
  event->writeDouble(found, value);
}

void CGEventPost(CGEventTapLocation tap, CGEventRef event) {
  if (!AsEvent(event, "CGEventPost")) return;
  // Read here once, so that a backend turning gestures into input needs no event object.
  const platform::PostedEvent posted{
      event, CGEventGetType(event),
      CGEventGetIntegerValueField(event, platform::events::kFieldGesturePhase),
      CGEventGetIntegerValueField(event, platform::events::kFieldSwipeDirection)};
  platform::backend().input().post(tap, posted);
}
