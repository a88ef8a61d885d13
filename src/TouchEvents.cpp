// The gesture event encoder. The platform supplies a serialized base event; everything after its
// last 24 bytes is written here: one record field (record-set header, gesture record, touch
// records, device record; little-endian inside) and then the scalar fields (big-endian).
#include "TouchEvents.h"

#include <CoreServices/CoreServices.h>

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int32_t kIOHIDEventTypeDigitizer = 11;
// Not one of CGEventType's named values: the gesture type is the window server's own.
constexpr CGEventType kGestureEventType = static_cast<CGEventType>(29);
constexpr CGEventFlags kGestureEventFlags = 0x100;

constexpr CFIndex kBaseSuffixLength = 24;  // the part of the base serialization replaced here
constexpr size_t kFieldHeaderSize = 4;
constexpr size_t kRecordSetHeaderSize = 24;
constexpr size_t kDigitizerRecordSize = 96;
constexpr size_t kDeviceRecordSize = 72;
constexpr size_t kScalarFieldSize = 8;
constexpr size_t kMaxScalarFields = 8;
// The record field's element count is 16 bits wide.
constexpr size_t kMaxTouchRecords =
    (UINT16_MAX - kRecordSetHeaderSize - kDigitizerRecordSize - kDeviceRecordSize) /
    kDigitizerRecordSize;
static_assert(kMaxTouchRecords == 680);

constexpr UInt8 kKindBytes = 0x10;
constexpr UInt8 kKindSInt32 = 0x40;
constexpr UInt8 kKindFloat32 = 0xC0;

constexpr uint32_t kGroupFirstBit = 0x20000;
constexpr uint32_t kGroupSecondBit = 0x10000;

// The message names fixed lines so that it stays the same when code around it moves.
[[noreturn]] void AssertionFailed(const char *condition, int line) {
  fprintf(stderr, "Assertion failed: (%s), function %s, file %s, line %d.\n", condition,
          "tl_CGEventCreateFromGesture", "src/TouchEvents", line);
  fflush(stderr);
  abort();
}

// Active in every build type.
#define TL_REQUIRE(condition, line)                      \
  do {                                                   \
    if (!(condition)) AssertionFailed(#condition, line); \
  } while (0)

// One store each, in the byte order asked for whatever the host's.
template <std::endian order, typename T>
void Put(UInt8 *p, T v) {
  if constexpr (std::endian::native != order) {
    if constexpr (sizeof v == 2) v = __builtin_bswap16(v);
    if constexpr (sizeof v == 4) v = __builtin_bswap32(v);
    if constexpr (sizeof v == 8) v = __builtin_bswap64(v);
  }
  memcpy(p, &v, sizeof v);
}
void PutLE16(UInt8 *p, uint16_t v) {
  Put<std::endian::little>(p, v);
}
void PutLE32(UInt8 *p, uint32_t v) {
  Put<std::endian::little>(p, v);
}
void PutLE64(UInt8 *p, uint64_t v) {
  Put<std::endian::little>(p, v);
}
void PutBE16(UInt8 *p, uint16_t v) {
  Put<std::endian::big>(p, v);
}
void PutBE32(UInt8 *p, uint32_t v) {
  Put<std::endian::big>(p, v);
}

// Event time stamps count nanoseconds of up-time (time awake since boot), which is what UpTime
// and AbsoluteToNanoseconds give in one call. Their successor, mach_absolute_time, counts in the
// machine's own time base and would need mach_timebase_info's conversion here as well. The pair
// is deprecated but still shipped, so its warning is silenced for this one use.
uint64_t UpTimeNanoseconds() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return UnsignedWideToUInt64(AbsoluteToNanoseconds(UpTime()));
#pragma GCC diagnostic pop
}

// 16.16 fixed point, truncated toward zero; NaN and values whose truncation does not fit give
// the lone sign bit.
int32_t ToFixed(double value) {
  const double scaled = value * 65536.0;
  if (!(scaled > -2147483649.0 && scaled < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(scaled);
}

// A value present under key, converted to type. Anything but a number counts as absent.
bool Read(CFDictionaryRef dictionary, CFStringRef key, CFNumberType type, void *out) {
  CFTypeRef value = CFDictionaryGetValue(dictionary, key);
  if (!value || CFGetTypeID(value) != CFNumberGetTypeID()) return false;
  CFNumberGetValue(static_cast<CFNumberRef>(value), type, out);
  return true;
}

int32_t ReadSInt32(CFDictionaryRef dictionary, CFStringRef key, int32_t absent) {
  int32_t value = absent;
  return Read(dictionary, key, kCFNumberSInt32Type, &value) ? value : absent;
}

// The bit pattern of a 32-bit float, 0.0 when absent.
uint32_t ReadFloat32Bits(CFDictionaryRef dictionary, CFStringRef key) {
  float value = 0.0f;
  if (!Read(dictionary, key, kCFNumberFloat32Type, &value)) return 0;
  uint32_t bits;
  memcpy(&bits, &value, sizeof bits);
  return bits;
}

int32_t ReadFixed(CFDictionaryRef dictionary, CFStringRef key) {
  double value;
  return Read(dictionary, key, kCFNumberDoubleType, &value) ? ToFixed(value) : 0;
}

// The keys, made once: CFSTR looks its literal up on every use.
struct Keys {
  CFStringRef timestamp = CFSTR("timestamp");
  CFStringRef deviceID = CFSTR("deviceID");
  CFStringRef gestureSubtype = CFSTR("gestureSubtype");
  CFStringRef gesturePhase = CFSTR("gesturePhase");
  CFStringRef rotation = CFSTR("rotation");
  CFStringRef swipeDirection = CFSTR("swipeDirection");
  CFStringRef magnification = CFSTR("magnification");
  CFStringRef nextSubtype = CFSTR("nextSubtype");
  CFStringRef type = CFSTR("type");
  CFStringRef options = CFSTR("options");
  CFStringRef positionX = CFSTR("position.x");
  CFStringRef positionY = CFSTR("position.y");
  CFStringRef positionZ = CFSTR("position.z");
  CFStringRef transducerIndex = CFSTR("transducerIndex");
  CFStringRef transducerType = CFSTR("transducerType");
  CFStringRef identity = CFSTR("identity");
  CFStringRef eventMask = CFSTR("eventMask");
  CFStringRef buttonMask = CFSTR("buttonMask");
  CFStringRef tipPressure = CFSTR("tipPressure");
  CFStringRef barrelPressure = CFSTR("barrelPressure");
  CFStringRef twist = CFSTR("twist");
  CFStringRef quality = CFSTR("quality");
  CFStringRef density = CFSTR("density");
  CFStringRef irregularity = CFSTR("irregularity");
  CFStringRef majorRadius = CFSTR("majorRadius");
  CFStringRef minorRadius = CFSTR("minorRadius");
};

const Keys &K() {
  static const Keys keys;
  return keys;
}

// Offsets within a digitizer record.
enum : size_t {
  kDigSize = 0x00,
  kDigType = 0x04,
  kDigTimestamp = 0x08,
  kDigOptions = 0x10,
  kDigPositionX = 0x14,
  kDigPositionY = 0x18,
  kDigPositionZ = 0x1C,
  kDigTransducerIndex = 0x20,
  kDigTransducerType = 0x24,
  kDigIdentity = 0x28,
  kDigEventMask = 0x2C,
  kDigTouchEventMask = 0x30,
  kDigButtonMask = 0x34,
  kDigTipPressure = 0x38,
  kDigBarrelPressure = 0x3C,
  kDigTwist = 0x40,
  kDigConstant = 0x44,
  kDigQuality = 0x48,
  kDigDensity = 0x4C,
  kDigIrregularity = 0x50,
  kDigMajorRadius = 0x54,
  kDigMinorRadius = 0x58,
};

// What the gesture record takes from a touch record.
struct TouchFields {
  uint32_t options;
  uint32_t identity;
  uint32_t eventMask;
  int32_t position[3];
};

// Writes the touch record for one description into record (96 bytes, zeroed).
TouchFields WriteTouchRecord(CFDictionaryRef touch, UInt8 *record) {
  const Keys &k = K();
  PutLE32(record + kDigSize, kDigitizerRecordSize);
  PutLE32(record + kDigType, kIOHIDEventTypeDigitizer);
  PutLE32(record + kDigConstant, 2);

  int64_t timestamp = 0;
  Read(touch, k.timestamp, kCFNumberSInt64Type, &timestamp);
  PutLE64(record + kDigTimestamp, static_cast<uint64_t>(timestamp));

  TouchFields fields;
  fields.options = static_cast<uint32_t>(ReadSInt32(touch, k.options, 0));
  fields.identity = static_cast<uint32_t>(ReadSInt32(touch, k.identity, 0));
  fields.eventMask = static_cast<uint32_t>(ReadSInt32(touch, k.eventMask, 0));
  PutLE32(record + kDigOptions, fields.options);
  PutLE32(record + kDigIdentity, fields.identity);
  PutLE32(record + kDigEventMask, fields.eventMask);
  PutLE32(record + kDigTransducerIndex,
          static_cast<uint32_t>(ReadSInt32(touch, k.transducerIndex, 0)));
  PutLE32(record + kDigTransducerType,
          static_cast<uint32_t>(ReadSInt32(touch, k.transducerType, 0)));
  PutLE32(record + kDigButtonMask, static_cast<uint32_t>(ReadSInt32(touch, k.buttonMask, 0)));

  const CFStringRef positionKeys[3] = {k.positionX, k.positionY, k.positionZ};
  for (int axis = 0; axis < 3; axis++) {
    fields.position[axis] = ReadFixed(touch, positionKeys[axis]);
    PutLE32(record + kDigPositionX + 4 * axis, static_cast<uint32_t>(fields.position[axis]));
  }

  struct {
    CFStringRef key;
    size_t offset;
  } const fixed[] = {{k.tipPressure, kDigTipPressure},
                     {k.barrelPressure, kDigBarrelPressure},
                     {k.twist, kDigTwist},
                     {k.quality, kDigQuality},
                     {k.density, kDigDensity},
                     {k.irregularity, kDigIrregularity},
                     {k.majorRadius, kDigMajorRadius},
                     {k.minorRadius, kDigMinorRadius}};
  for (const auto &field : fixed)
    PutLE32(record + field.offset, static_cast<uint32_t>(ReadFixed(touch, field.key)));
  return fields;
}

struct Group {
  uint32_t count = 0;
  int64_t sum[3] = {0, 0, 0};
};

UInt8 *PutScalar(UInt8 *p, UInt8 kind, UInt8 number, uint32_t value) {
  PutBE16(p, 1);
  p[2] = kind;
  p[3] = number;
  PutBE32(p + 4, value);
  return p + kScalarFieldSize;
}

}  // namespace

CGEventRef tl_CGEventCreateFromGesture(CFDictionaryRef info, CFArrayRef touches) {
  TL_REQUIRE(info != NULL, 200);
  TL_REQUIRE(touches != NULL, 201);
  const Keys &k = K();

  uint64_t timestamp;
  int64_t given;
  if (Read(info, k.timestamp, kCFNumberSInt64Type, &given))
    timestamp = static_cast<uint64_t>(given);
  else
    timestamp = UpTimeNanoseconds();

  uint32_t gestureOptions = 2;
  uint32_t touchEventMask = 0;
  Group groups[3];

  std::vector<UInt8> touchRecords;  // stays unallocated for the usual empty list
  size_t touchCount = 0;
  const CFIndex listLength = CFArrayGetCount(touches);
  for (CFIndex i = 0; i < listLength; i++) {
    CFTypeRef entry = CFArrayGetValueAtIndex(touches, i);
    if (!entry || CFGetTypeID(entry) != CFDictionaryGetTypeID()) continue;
    CFDictionaryRef touch = static_cast<CFDictionaryRef>(entry);
    int32_t type;
    if (!Read(touch, k.type, kCFNumberSInt32Type, &type)) continue;
    TL_REQUIRE(type == kIOHIDEventTypeDigitizer, 238);

    if (touchCount == kMaxTouchRecords) return nullptr;  // one more would not fit the count
    touchRecords.resize(touchRecords.size() + kDigitizerRecordSize);
    const TouchFields fields =
        WriteTouchRecord(touch, touchRecords.data() + touchCount * kDigitizerRecordSize);
    touchCount++;

    if (fields.identity != 0) gestureOptions |= fields.options;
    touchEventMask |= fields.eventMask;
    Group &group = (fields.options & kGroupFirstBit)    ? groups[0]
                   : (fields.options & kGroupSecondBit) ? groups[1]
                                                        : groups[2];
    group.count++;
    for (int axis = 0; axis < 3; axis++) group.sum[axis] += fields.position[axis];
  }

  uint32_t meanPosition[3] = {0, 0, 0};
  for (const Group &group : groups) {
    if (group.count == 0) continue;
    for (int axis = 0; axis < 3; axis++)
      meanPosition[axis] = static_cast<uint32_t>(group.sum[axis] / int64_t{group.count});
    break;
  }

  int64_t deviceID = 0;
  Read(info, k.deviceID, kCFNumberSInt64Type, &deviceID);

  // The base event, reduced to its bytes.
  CGEventRef base = CGEventCreate(nullptr);
  if (!base) return nullptr;
  CGEventSetType(base, kGestureEventType);
  CGEventSetFlags(base, kGestureEventFlags);
  CGEventSetTimestamp(base, timestamp);
  CFDataRef serialization = CGEventCreateData(kCFAllocatorDefault, base);
  CFRelease(base);
  if (!serialization) return nullptr;

  const size_t payloadLength = kRecordSetHeaderSize + kDigitizerRecordSize +
                               touchCount * kDigitizerRecordSize + kDeviceRecordSize;
  const CFIndex capacity =
      CFDataGetLength(serialization) +
      static_cast<CFIndex>(kFieldHeaderSize + payloadLength + kMaxScalarFields * kScalarFieldSize);
  CFMutableDataRef bytes = CFDataCreateMutableCopy(kCFAllocatorDefault, capacity, serialization);
  CFRelease(serialization);
  const CFIndex baseLength = CFDataGetLength(bytes);
  if (baseLength >= kBaseSuffixLength)
    CFDataDeleteBytes(bytes, CFRangeMake(baseLength - kBaseSuffixLength, kBaseSuffixLength));

  // Record field header, record-set header and gesture record.
  UInt8 head[kFieldHeaderSize + kRecordSetHeaderSize + kDigitizerRecordSize] = {};
  PutBE16(head, static_cast<uint16_t>(payloadLength));
  head[2] = kKindBytes;
  head[3] = 0x6D;
  UInt8 *set = head + kFieldHeaderSize;
  PutLE64(set + 0x00, timestamp);
  PutLE32(set + 0x10, gestureOptions);
  PutLE32(set + 0x14, static_cast<uint32_t>(touchCount + 2));
  UInt8 *gesture = set + kRecordSetHeaderSize;
  PutLE32(gesture + kDigSize, kDigitizerRecordSize);
  PutLE32(gesture + kDigType, kIOHIDEventTypeDigitizer);
  PutLE64(gesture + kDigTimestamp, timestamp);
  PutLE32(gesture + kDigOptions, gestureOptions);
  PutLE32(gesture + kDigPositionX, meanPosition[0]);
  PutLE32(gesture + kDigPositionY, meanPosition[1]);
  PutLE32(gesture + kDigPositionZ, meanPosition[2]);
  PutLE32(gesture + kDigTransducerType, 35);
  PutLE32(gesture + kDigTouchEventMask, touchEventMask);
  CFDataAppendBytes(bytes, head, sizeof head);

  CFDataAppendBytes(bytes, touchRecords.data(), static_cast<CFIndex>(touchRecords.size()));

  UInt8 device[kDeviceRecordSize] = {};
  PutLE32(device + 0x00, kDeviceRecordSize);
  PutLE32(device + 0x04, 1);
  PutLE16(device + 0x14, 0xFF00);
  PutLE16(device + 0x16, 6007);
  PutLE32(device + 0x18, 1);
  PutLE32(device + 0x1C, kDeviceRecordSize - 0x20);
  PutLE64(device + 0x20, static_cast<uint64_t>(deviceID));
  CFDataAppendBytes(bytes, device, sizeof device);

  UInt8 scalars[kMaxScalarFields * kScalarFieldSize];
  const int32_t subtype = ReadSInt32(info, k.gestureSubtype, 11);
  UInt8 *p = scalars;
  p = PutScalar(p, kKindSInt32, 0x6E, static_cast<uint32_t>(subtype));
  p = PutScalar(p, kKindSInt32, 0x6F, 0);
  p = PutScalar(p, kKindSInt32, 0x70, 0);
  p = PutScalar(p, kKindSInt32, 0x84, static_cast<uint32_t>(ReadSInt32(info, k.gesturePhase, 0)));
  p = PutScalar(p, kKindSInt32, 0x85, 0);
  switch (subtype) {
    case 5:
      p = PutScalar(p, kKindFloat32, 0x72, ReadFloat32Bits(info, k.rotation));
      break;
    case 16:
      p = PutScalar(p, kKindSInt32, 0x73,
                    static_cast<uint32_t>(ReadSInt32(info, k.swipeDirection, 0)));
      break;
    case 8:
      p = PutScalar(p, kKindFloat32, 0x71, ReadFloat32Bits(info, k.magnification));
      break;
    case 61:
    case 62:
      p = PutScalar(p, kKindSInt32, 0x75,
                    static_cast<uint32_t>(ReadSInt32(info, k.nextSubtype, 0)));
      break;
    default:
      break;
  }
  p = PutScalar(p, kKindFloat32, 0x8B, 0);
  p = PutScalar(p, kKindFloat32, 0x8C, 0);
  CFDataAppendBytes(bytes, scalars, p - scalars);

  CGEventRef event = CGEventCreateFromData(kCFAllocatorDefault, bytes);
  CFRelease(bytes);
  return event;
}
