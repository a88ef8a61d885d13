// Shared by the event, encoder and swipe tests: a fixture on a manual clock that checks every
// object made is released, and small builders for byte strings.
#pragma once

#include <CoreServices/CoreServices.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "Descriptions.h"
#include "TestBackend.h"
#include "events/EventFormat.h"

// Serves the platform from a backend on a manual clock; after the test, drops what was posted,
// restores the machine's event layout and checks that the live-object count is back where it
// started.
class EventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend.clock = &backend.manualTime;
    backend.manualTime.now = 0x0000000123456789;
    liveBefore_ = platform::liveObjectCount();
  }
  void TearDown() override {
    backend.testInput.clearPosted();
    backend.eventBytes.hooks = {};
    EXPECT_EQ(platform::liveObjectCount(), liveBefore_) << "objects leaked or over-released";
  }
  void resetLiveCount() { liveBefore_ = platform::liveObjectCount(); }

  TestBackend backend;

 private:
  long liveBefore_ = 0;
};

// Event types and field numbers the enums do not name, as the enums take them.
constexpr CGEventType EventType(uint32_t number) {
  return static_cast<CGEventType>(number);
}
constexpr CGEventField Field(uint32_t number) {
  return static_cast<CGEventField>(number);
}

using Bytes = std::vector<uint8_t>;

// "00 C0 10 6D" -> bytes; spaces are ignored.
inline Bytes Hex(const std::string &text) {
  Bytes bytes;
  std::string digits;
  for (char c : text)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return bytes;
}

inline Bytes Zeros(size_t count) {
  return Bytes(count, 0);
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes DataBytes(CFDataRef data) {
  const uint8_t *p = CFDataGetBytePtr(data);
  return Bytes(p, p + CFDataGetLength(data));
}

inline Bytes EventBytes(CGEventRef event) {
  CFPtr<CFDataRef> data(CGEventCreateData(kCFAllocatorDefault, event));
  return data ? DataBytes(data.get()) : Bytes{};
}

inline CFPtr<CGEventRef> EventFromBytes(const Bytes &bytes) {
  CFPtr<CFDataRef> data(
      CFDataCreate(kCFAllocatorDefault, bytes.data(), static_cast<CFIndex>(bytes.size())));
  return CFPtr<CGEventRef>(CGEventCreateFromData(kCFAllocatorDefault, data.get()));
}

inline uint32_t LE32(const Bytes &bytes, size_t offset) {
  return static_cast<uint32_t>(bytes.at(offset)) |
         static_cast<uint32_t>(bytes.at(offset + 1)) << 8 |
         static_cast<uint32_t>(bytes.at(offset + 2)) << 16 |
         static_cast<uint32_t>(bytes.at(offset + 3)) << 24;
}

inline uint64_t LE64(const Bytes &bytes, size_t offset) {
  return LE32(bytes, offset) | static_cast<uint64_t>(LE32(bytes, offset + 4)) << 32;
}

inline Bytes Slice(const Bytes &bytes, size_t offset, size_t length) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

// Counts base events made, so a test can tell whether the encoder ran at all.
inline void CountEventCreations(TestBackend &backend, int &counter) {
  backend.eventBytes.hooks.create = [&counter] {
    counter++;
    return true;
  };
}
