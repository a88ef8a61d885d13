// How an event looks as bytes on this machine (HostEventBytes); a backend may stand in for a
// platform that lays them out differently or refuses events (EventBytes).
//
// Layout: an 8-byte header ("CVEV", version, three zero bytes), then fields back to back until
// the end. The header holds no length or field count, so bytes may be cut from and appended to
// a serialization without touching it. Each field is a 4-byte header (element count, u16
// big-endian; kind byte; field number byte) followed by count elements, each big-endian:
//
//   kind 0x10  byte string      1 byte per element
//   kind 0x40  signed 32-bit    4 bytes
//   kind 0x80  signed 64-bit    8 bytes
//   kind 0xC0  IEEE-754 float   4 bytes
//   kind 0xE0  IEEE-754 double  8 bytes
//
// A field number occurs at most once. CGEventCreate's event holds type, flags and timestamp
// (signed 64-bit) and then the two location coordinates (doubles, 12 bytes each) last, so the
// last 24 bytes of its serialization are the location alone.
#pragma once

#include <CoreGraphics/CoreGraphics.h>

#include <cstddef>

namespace platform::events {

constexpr UInt8 kHeader[8] = {'C', 'V', 'E', 'V', 1, 0, 0, 0};
constexpr size_t kHeaderSize = sizeof kHeader;
constexpr size_t kFieldHeaderSize = 4;

enum Kind : UInt8 {
  kKindBytes = 0x10,
  kKindSInt32 = 0x40,
  kKindSInt64 = 0x80,
  kKindFloat32 = 0xC0,
  kKindFloat64 = 0xE0,
};

// Bytes per element of a kind; 0 for an unknown kind.
constexpr size_t ElementSize(UInt8 kind) {
  return kind == kKindBytes                              ? 1
         : (kind == kKindSInt32 || kind == kKindFloat32) ? 4
         : (kind == kKindSInt64 || kind == kKindFloat64) ? 8
                                                         : 0;
}

// Fields every created event carries, numbered clear of the event fields callers use.
enum : UInt8 {
  kFieldType = 0xF0,
  kFieldFlags = 0xF1,
  kFieldTimestamp = 0xF2,
  kFieldLocationX = 0xF3,
  kFieldLocationY = 0xF4,
};

// Fields of a gesture event that say what a posted swipe means.
// The phase: 4 when the gesture ended.
constexpr CGEventField kFieldGesturePhase = static_cast<CGEventField>(0x84);
// The direction: 4 back, 8 forward.
constexpr CGEventField kFieldSwipeDirection = static_cast<CGEventField>(0x73);

}  // namespace platform::events
