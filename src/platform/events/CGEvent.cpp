// Events: a CF object holding its own serialization plus an index of the fields in it, so that
// serializing is a copy and an event built from bytes gives back exactly those bytes.
#include <CoreGraphics/CoreGraphics.h>

#include <bitset>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include <platform/Backend.h>

#include "cf/CFRuntime.h"
#include "events/EventFormat.h"

namespace platform::events {
namespace {

Hooks gHooks;

uint64_t GetBE(const UInt8 *p, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; i++) value = (value << 8) | p[i];
  return value;
}

void PutBE(UInt8 *p, size_t width, uint64_t value) {
  for (size_t i = width; i-- > 0;) {
    p[i] = static_cast<UInt8>(value);
    value >>= 8;
  }
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

// Indexes well-formed bytes into fields; false for anything else.
bool Parse(const UInt8 *bytes, size_t length, std::vector<Field> &fields) {
  if (length < kHeaderSize || memcmp(bytes, kHeader, kHeaderSize) != 0) return false;
  if (length > UINT32_MAX) return false;
  std::bitset<256> seen;
  size_t pos = kHeaderSize;
  while (pos < length) {
    if (length - pos < kFieldHeaderSize) return false;
    const UInt16 count = static_cast<UInt16>(GetBE(bytes + pos, 2));
    const UInt8 kind = bytes[pos + 2];
    const UInt8 number = bytes[pos + 3];
    const size_t elementSize = ElementSize(kind);
    if (elementSize == 0 || seen.test(number)) return false;
    const size_t payload = count * elementSize;
    if (length - pos - kFieldHeaderSize < payload) return false;
    seen.set(number);
    fields.push_back({number, kind, count, static_cast<uint32_t>(pos + kFieldHeaderSize)});
    pos += kFieldHeaderSize + payload;
  }
  return true;
}

class Event final : public Object {
 public:
  Event() : Object(kTypeIDEvent) {}

  std::vector<UInt8> bytes;
  std::vector<Field> fields;

  const Field *find(UInt8 number) const {
    for (const Field &field : fields)
      if (field.number == number) return &field;
    return nullptr;
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
      case kKindFloat64: {
        double real;
        readDouble(field, real);
        out = SaturateToInteger(real, INT64_MIN, INT64_MAX);
        return true;
      }
      default:
        return false;
    }
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
  const Field &add(UInt8 number, UInt8 kind) {
    size_t index = fields.size();
    for (size_t i = 0; i < fields.size(); i++)
      if (fields[i].number == kFieldLocationX) index = i;
    const size_t size = ElementSize(kind);
    const size_t at =
        index < fields.size() ? fields[index].offset - kFieldHeaderSize : bytes.size();
    UInt8 header[kFieldHeaderSize] = {0, 1, kind, number};
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), kFieldHeaderSize + size, 0);
    memcpy(bytes.data() + at, header, sizeof header);
    for (size_t i = index; i < fields.size(); i++)
      fields[i].offset += static_cast<uint32_t>(kFieldHeaderSize + size);
    fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(index),
                  Field{number, kind, 1, static_cast<uint32_t>(at + kFieldHeaderSize)});
    return fields[index];
  }

  bool equals(const Object &other) const override {
    return other.typeID() == kTypeIDEvent && static_cast<const Event &>(other).bytes == bytes;
  }
  CFHashCode hash() const override { return bytes.size(); }
  std::string describe() const override {
    int64_t type = 0;
    if (const Field *field = find(kFieldType)) readInteger(*field, type);
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
  if (!event) return 0;
  if (const Field *field = event->find(number)) event->readInteger(*field, value);
  return value;
}

void SetInteger(CGEventRef ref, UInt8 number, int64_t value, const char *function) {
  Event *event = AsEvent(ref, function);
  if (!event) return;
  const Field *field = event->find(number);
  event->writeInteger(field ? *field : event->add(number, kKindSInt64), value);
}

void AppendField(std::vector<UInt8> &bytes, UInt8 number, UInt8 kind, uint64_t value) {
  const UInt8 header[kFieldHeaderSize] = {0, 1, kind, number};
  bytes.insert(bytes.end(), header, header + sizeof header);
  const size_t at = bytes.size();
  bytes.resize(at + ElementSize(kind));
  PutBE(bytes.data() + at, ElementSize(kind), value);
}

// Event field numbers are one byte wide; larger ones name no field.
bool FieldNumber(CGEventField field, UInt8 &number) {
  if (field > 0xFF) return false;
  number = static_cast<UInt8>(field);
  return true;
}

}  // namespace

void setHooksForTesting(Hooks hooks) {
  gHooks = std::move(hooks);
}

}  // namespace platform::events

using namespace platform::events;

CFTypeID CGEventGetTypeID(void) {
  return platform::kTypeIDEvent;
}

CGEventRef CGEventCreate(CGEventSourceRef source) {
  if (gHooks.create && !gHooks.create()) return nullptr;
  Event *event = new Event();
  event->bytes.reserve(kHeaderSize + 5 * (kFieldHeaderSize + 8));
  event->bytes.assign(kHeader, kHeader + kHeaderSize);
  const uint64_t now = platform::backend().time().upTimeNanos();
  AppendField(event->bytes, kFieldType, kKindSInt64, kCGEventNull);
  AppendField(event->bytes, kFieldFlags, kKindSInt64, 0);
  AppendField(event->bytes, kFieldTimestamp, kKindSInt64, now);
  AppendField(event->bytes, kFieldLocationX, kKindFloat64, 0);  // +0.0 is all zero bits
  AppendField(event->bytes, kFieldLocationY, kKindFloat64, 0);
  event->fields.reserve(8);
  Parse(event->bytes.data(), event->bytes.size(), event->fields);
  return reinterpret_cast<CGEventRef>(event);
}

CFDataRef CGEventCreateData(CFAllocatorRef allocator, CGEventRef ref) {
  const Event *event = AsEvent(ref, "CGEventCreateData");
  if (!event) return nullptr;
  if (gHooks.serialize) {
    std::vector<UInt8> bytes = event->bytes;
    if (!gHooks.serialize(bytes)) return nullptr;
    return CFDataCreate(allocator, bytes.data(), static_cast<CFIndex>(bytes.size()));
  }
  return CFDataCreate(allocator, event->bytes.data(), static_cast<CFIndex>(event->bytes.size()));
}

CGEventRef CGEventCreateFromData(CFAllocatorRef allocator, CFDataRef data) {
  if (!data || CFGetTypeID(data) != CFDataGetTypeID()) return nullptr;
  const UInt8 *bytes = CFDataGetBytePtr(data);
  const size_t length = static_cast<size_t>(CFDataGetLength(data));
  if (gHooks.admit && !gHooks.admit(bytes, length)) return nullptr;
  std::vector<Field> fields;
  fields.reserve(16);
  if (!Parse(bytes, length, fields)) return nullptr;
  Event *event = new Event();
  event->bytes.assign(bytes, bytes + length);
  event->fields = std::move(fields);
  return reinterpret_cast<CGEventRef>(event);
}

CGEventRef CGEventCreateCopy(CGEventRef ref) {
  const Event *event = AsEvent(ref, "CGEventCreateCopy");
  if (!event) return nullptr;
  Event *copy = new Event();
  copy->bytes = event->bytes;
  copy->fields = event->fields;
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
  if (const Field *found = event->find(number)) event->readDouble(*found, value);
  return value;
}

void CGEventSetDoubleValueField(CGEventRef ref, CGEventField field, double value) {
  Event *event = AsEvent(ref, "CGEventSetDoubleValueField");
  UInt8 number;
  if (!event || !FieldNumber(field, number)) return;
  const Field *found = event->find(number);
  event->writeDouble(found ? *found : event->add(number, kKindFloat64), value);
}

void CGEventPost(CGEventTapLocation tap, CGEventRef event) {
  if (!AsEvent(event, "CGEventPost")) return;
  platform::backend().input().post(tap, event);
}
