// Shared by the invariant and fault tests: a small seeded generator, and readers for what a
// posted gesture carries.
#pragma once

#include <CoreGraphics/CoreGraphics.h>
#include <gtest/gtest.h>
#include <platform/Backend.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "TestBackend.h"

// Portable draws from a seeded std::mt19937 (the standard's distributions differ between
// libraries; these do not).
class Draw {
 public:
  explicit Draw(uint32_t seed) : engine_(seed) {}
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(engine_() % n); }
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(below(static_cast<uint32_t>(high - low + 1)));
  }
  bool chance(uint32_t percent) { return below(100) < percent; }

 private:
  std::mt19937 engine_;
};

// A button event as the tap delivers it; the caller releases it.
inline CGEventRef MakeButtonEvent(CGEventType type, int64_t button) {
  CGEventRef event = CGEventCreate(nullptr);
  if (!event) return nullptr;
  CGEventSetType(event, type);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, button);
  return event;
}

// The value of a signed 32-bit scalar field of a gesture event, read from its bytes (the
// scalar fields close the event); nothing when the event has no such field.
inline std::optional<int32_t> GestureScalar(CGEventRef event, uint8_t field) {
  CFDataRef data = CGEventCreateData(nullptr, event);
  if (!data) return std::nullopt;
  const UInt8 *bytes = CFDataGetBytePtr(data);
  CFIndex length = CFDataGetLength(data);
  std::optional<int32_t> value;
  for (CFIndex at = length - 8; at >= 0 && at >= length - 64; at -= 8) {
    if (bytes[at] == 0 && bytes[at + 1] == 1 && bytes[at + 2] == 0x40 && bytes[at + 3] == field) {
      uint32_t v = (uint32_t{bytes[at + 4]} << 24) | (uint32_t{bytes[at + 5]} << 16) |
                   (uint32_t{bytes[at + 6]} << 8) | bytes[at + 7];
      value = static_cast<int32_t>(v);
      break;
    }
  }
  CFRelease(data);
  return value;
}

constexpr uint8_t kPhaseField = 0x84;
constexpr uint8_t kSwipeDirectionField = 0x73;
