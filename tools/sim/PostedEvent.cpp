#include "PostedEvent.h"

namespace corvassel::sim {

namespace {

constexpr uint8_t kKindBytes = 0x10;
constexpr uint8_t kKindInt32 = 0x40;
constexpr uint8_t kKindFloat32 = 0xC0;
// The platform's serialization of an event ends in a trailer of this length, which the encoder
// replaces by its fields.
constexpr size_t kBaseTrailerLength = 24;

std::optional<size_t> BasePrefixLength() {
  CGEventRef base = CGEventCreate(nullptr);
  if (!base) return std::nullopt;
  CFDataRef data = CGEventCreateData(kCFAllocatorDefault, base);
  CFRelease(base);
  if (!data) return std::nullopt;
  size_t length = static_cast<size_t>(CFDataGetLength(data));
  CFRelease(data);
  if (length < kBaseTrailerLength) return std::nullopt;
  return length - kBaseTrailerLength;
}

std::string Show(const std::optional<int32_t> &value) {
  return value ? std::to_string(*value) : "-";
}

}  // namespace

GestureFields DecodeGestureFields(const uint8_t *bytes, size_t length, size_t prefixLength) {
  GestureFields fields;
  size_t at = prefixLength;
  while (at <= length && length - at >= 4) {
    size_t count = (size_t{bytes[at]} << 8) | bytes[at + 1];
    uint8_t kind = bytes[at + 2];
    uint8_t number = bytes[at + 3];
    size_t size;
    if (kind == kKindBytes)
      size = count;
    else if (kind == kKindInt32 || kind == kKindFloat32)
      size = count * 4;
    else
      break;
    if (length - at - 4 < size) break;
    if (kind == kKindInt32 && count == 1) {
      const uint8_t *v = bytes + at + 4;
      uint32_t raw = (uint32_t{v[0]} << 24) | (uint32_t{v[1]} << 16) | (uint32_t{v[2]} << 8) | v[3];
      int32_t value = static_cast<int32_t>(raw);
      if (number == 0x6E) fields.subtype = value;
      if (number == 0x84) fields.phase = value;
      if (number == 0x73) fields.direction = value;
    }
    at += 4 + size;
  }
  return fields;
}

GestureFields DecodeGestureFields(CGEventRef event) {
  std::optional<size_t> prefix = BasePrefixLength();
  if (!event || !prefix) return {};
  CFDataRef data = CGEventCreateData(kCFAllocatorDefault, event);
  if (!data) return {};
  GestureFields fields = DecodeGestureFields(CFDataGetBytePtr(data),
                                             static_cast<size_t>(CFDataGetLength(data)), *prefix);
  CFRelease(data);
  return fields;
}

std::string DescribePosted(CGEventRef event) {
  GestureFields fields = DecodeGestureFields(event);
  return "subtype=" + Show(fields.subtype) + " phase=" + Show(fields.phase) +
         " direction=" + Show(fields.direction);
}

}  // namespace corvassel::sim
