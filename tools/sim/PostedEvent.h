// Reads the gesture fields back out of a posted event's bytes, independently of the encoder.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <cstdint>
#include <optional>
#include <string>

namespace corvassel::sim {

struct GestureFields {
  std::optional<int32_t> subtype;    // field 0x6E
  std::optional<int32_t> phase;      // field 0x84
  std::optional<int32_t> direction;  // field 0x73
};

// Walks the fields that follow the platform's base prefix in bytes. A field appears only when it
// is a well-formed single 32-bit integer; anything malformed ends the walk.
GestureFields DecodeGestureFields(const uint8_t *bytes, size_t length, size_t prefixLength);

// The same for an event, with the base prefix the platform uses for every event.
GestureFields DecodeGestureFields(CGEventRef event);

// "subtype=S phase=P direction=D", "-" for a field the event lacks.
std::string DescribePosted(CGEventRef event);

}  // namespace corvassel::sim
