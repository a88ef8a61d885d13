// The gesture encoder and the swipe poster, each beside a baseline that writes the same bytes
// with plain stores into a stack buffer, so the ratio shows the cost of the platform objects.
#include <benchmark/benchmark.h>
#include <platform/Backend.h>

#include <cstring>
#include <memory>
#include <string>

#include "BenchDoubles.h"
#include "Descriptions.h"
#include "TouchEvents.h"
#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"

namespace {

// ---- Baseline: the same event bytes, stored field by field ----

inline void LE32(uint8_t *p, uint32_t v) {
  memcpy(p, &v, 4);
}  // x86-64 is little-endian
inline void LE64(uint8_t *p, uint64_t v) {
  memcpy(p, &v, 8);
}
inline void BE64(uint8_t *p, uint64_t v) {
  v = __builtin_bswap64(v), memcpy(p, &v, 8);
}
inline uint8_t *Scalar(uint8_t *p, uint8_t kind, uint8_t number, uint32_t value) {
  p[0] = 0, p[1] = 1, p[2] = kind, p[3] = number;
  value = __builtin_bswap32(value);
  memcpy(p + 4, &value, 4);
  return p + 8;
}

// Header and type, flags and timestamp fields of the base prefix, then the gesture fields.
size_t WriteGestureBytes(uint8_t *out, uint64_t timestamp, int touches, int32_t phase,
                         int32_t direction) {
  uint8_t *p = out;
  static const uint8_t header[8] = {'C', 'V', 'E', 'V', 1, 0, 0, 0};
  memcpy(p, header, 8);
  p += 8;
  const uint8_t fields[3] = {0xF0, 0xF1, 0xF2};
  const uint64_t values[3] = {29, 0x100, timestamp};
  for (int i = 0; i < 3; i++, p += 12) {
    p[0] = 0, p[1] = 1, p[2] = 0x80, p[3] = fields[i];
    BE64(p + 4, values[i]);
  }
  const uint32_t payload = 24 + 96 + 96 * touches + 72;
  p[0] = static_cast<uint8_t>(payload >> 8), p[1] = static_cast<uint8_t>(payload), p[2] = 0x10,
  p[3] = 0x6D;
  p += 4;
  memset(p, 0, payload);
  LE64(p, timestamp);
  LE32(p + 16, 2);
  LE32(p + 20, static_cast<uint32_t>(touches + 2));
  uint8_t *g = p + 24;
  LE32(g, 96), LE32(g + 4, 11), LE64(g + 8, timestamp), LE32(g + 16, 2), LE32(g + 36, 35);
  LE32(g + 0x14, static_cast<uint32_t>(touches * 1000));
  for (int t = 0; t < touches; t++) {
    uint8_t *r = g + 96 * (t + 1);
    LE32(r, 96), LE32(r + 4, 11), LE32(r + 0x14, static_cast<uint32_t>(t << 16)),
        LE32(r + 0x28, static_cast<uint32_t>(t + 1)), LE32(r + 0x44, 2);
  }
  uint8_t *d = g + 96 * (touches + 1);
  LE32(d, 72), LE32(d + 4, 1), LE32(d + 0x14, 0x1777FF00), LE32(d + 0x18, 1), LE32(d + 0x1C, 40);
  p += payload;
  p = Scalar(p, 0x40, 0x6E, 16);
  p = Scalar(p, 0x40, 0x6F, 0);
  p = Scalar(p, 0x40, 0x70, 0);
  p = Scalar(p, 0x40, 0x84, static_cast<uint32_t>(phase));
  p = Scalar(p, 0x40, 0x85, 0);
  p = Scalar(p, 0x40, 0x73, static_cast<uint32_t>(direction));
  p = Scalar(p, 0xC0, 0x8B, 0);
  p = Scalar(p, 0xC0, 0x8C, 0);
  return static_cast<size_t>(p - out);
}

// The swipe table's own closing description for code 4, as the poster encodes it.
void BM_EncodeClosingSwipe(benchmark::State &state) {
  BenchBackend backend(/*steppingClock=*/true);
  CorvasselHelper helper;  // builds the swipe table
  const int32_t code = 4;
  CFNumberRef key = CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &code);
  CFArrayRef pair = static_cast<CFArrayRef>(CFDictionaryGetValue(swipeInfo, key));
  CFRelease(key);
  CFDictionaryRef info = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(pair, 1));
  for (auto _ : state) {
    CGEventRef event = tl_CGEventCreateFromGesture(info, nullArray);
    benchmark::DoNotOptimize(event);
    CFRelease(event);
  }
}
BENCHMARK(BM_EncodeClosingSwipe);

void BM_EncodeClosingSwipe_Baseline(benchmark::State &state) {
  uint64_t timestamp = 1'000'000'000;
  for (auto _ : state) {
    uint8_t buffer[512];
    size_t length = WriteGestureBytes(buffer, timestamp += 1000, 0, 4, 4);
    benchmark::DoNotOptimize(buffer);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EncodeClosingSwipe_Baseline);

void BM_EncodeTenTouches(benchmark::State &state) {
  BenchBackend backend(/*steppingClock=*/true);
  CFDictionaryRef info =
      CreateDescription({{"gestureSubtype", 16.0}, {"swipeDirection", 4.0}, {"gesturePhase", 4.0}});
  CFMutableArrayRef touches = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
  for (int t = 0; t < 10; t++) {
    CFDictionaryRef touch = CreateDescription({{"type", 11.0},
                                               {"identity", t + 1.0},
                                               {"options", double{0x20000}},
                                               {"position.x", t * 0.5},
                                               {"position.y", -t * 0.25}});
    CFArrayAppendValue(touches, touch);
    CFRelease(touch);
  }
  for (auto _ : state) {
    CGEventRef event = tl_CGEventCreateFromGesture(info, touches);
    benchmark::DoNotOptimize(event);
    CFRelease(event);
  }
  CFRelease(touches);
  CFRelease(info);
}
BENCHMARK(BM_EncodeTenTouches);

void BM_EncodeTenTouches_Baseline(benchmark::State &state) {
  uint64_t timestamp = 1'000'000'000;
  for (auto _ : state) {
    uint8_t buffer[2048];
    size_t length = WriteGestureBytes(buffer, timestamp += 1000, 10, 4, 4);
    benchmark::DoNotOptimize(buffer);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_EncodeTenTouches_Baseline);

void BM_FakeSwipe(benchmark::State &state) {
  BenchBackend backend(/*steppingClock=*/true);
  CorvasselHelper helper;  // builds the swipe table
  for (auto _ : state) TQXFakeSwipe(kSwipeBack);
}
BENCHMARK(BM_FakeSwipe);

void BM_FakeSwipe_Baseline(benchmark::State &state) {
  uint64_t timestamp = 1'000'000'000;
  for (auto _ : state) {
    uint8_t opening[512];
    uint8_t closing[512];
    size_t a = WriteGestureBytes(opening, timestamp += 1000, 0, 1, 0);
    size_t b = WriteGestureBytes(closing, timestamp += 1000, 0, 4, 4);
    benchmark::DoNotOptimize(opening);
    benchmark::DoNotOptimize(closing);
    benchmark::DoNotOptimize(a + b);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FakeSwipe_Baseline);

}  // namespace
