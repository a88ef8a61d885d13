// The gesture encoder on gesture descriptions and touch lists built from arbitrary bytes. Every
// value is a number, as the encoder's callers promise, but of any width and value: NaN,
// infinities and magnitudes far outside the fields. Any event it returns is a gesture event
// whose bytes after the base prefix have exactly the expected length.
#include <CoreGraphics/CoreGraphics.h>
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <limits>
#include <vector>

#include "FuzzSupport.h"
#include "TouchEvents.h"

namespace {

const char *const kGestureKeys[] = {"timestamp",     "deviceID",    "gestureSubtype",
                                    "gesturePhase",  "rotation",    "swipeDirection",
                                    "magnification", "nextSubtype", "unrelated"};
const char *const kTouchKeys[] = {
    "timestamp",       "options",        "position.x",  "position.y", "position.z",
    "transducerIndex", "transducerType", "identity",    "eventMask",  "buttonMask",
    "tipPressure",     "barrelPressure", "twist",       "quality",    "density",
    "irregularity",    "majorRadius",    "minorRadius", "unrelated"};
// Subtypes that select a sixth scalar field, and their neighbours.
const int32_t kSubtypes[] = {5, 8, 11, 16, 60, 61, 62, 63, 0, -1};

CFNumberRef MakeNumber(FuzzedDataProvider &in) {
  switch (in.ConsumeIntegralInRange<int>(0, 7)) {
    case 0: {
      int32_t v = in.ConsumeIntegral<int32_t>();
      return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
    }
    case 1: {
      int64_t v = in.ConsumeIntegral<int64_t>();
      return CFNumberCreate(nullptr, kCFNumberSInt64Type, &v);
    }
    case 2: {
      double v = in.ConsumeFloatingPoint<double>();
      return CFNumberCreate(nullptr, kCFNumberDoubleType, &v);
    }
    case 3: {
      float v = in.ConsumeFloatingPoint<float>();
      return CFNumberCreate(nullptr, kCFNumberFloat32Type, &v);
    }
    case 4: {
      static const double kSpecial[] = {std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        32768.0,
                                        -32768.0,
                                        32767.99999,
                                        -32768.00001,
                                        1e300,
                                        -1e300,
                                        9.3e18,
                                        -9.3e18,
                                        std::numeric_limits<double>::denorm_min(),
                                        -0.0};
      double v = in.PickValueInArray(kSpecial);
      return CFNumberCreate(nullptr, kCFNumberDoubleType, &v);
    }
    case 5: {
      int16_t v = in.ConsumeIntegral<int16_t>();
      return CFNumberCreate(nullptr, kCFNumberSInt16Type, &v);
    }
    case 6: {
      int8_t v = in.ConsumeIntegral<int8_t>();
      return CFNumberCreate(nullptr, kCFNumberSInt8Type, &v);
    }
    default: {
      int32_t v = in.PickValueInArray(kSubtypes);
      return CFNumberCreate(nullptr, kCFNumberSInt32Type, &v);
    }
  }
}

void SetNumber(CFMutableDictionaryRef dictionary, const char *key, CFNumberRef number) {
  CFStringRef name = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
  CFDictionarySetValue(dictionary, name, number);
  CFRelease(name);
  CFRelease(number);
}

CFMutableDictionaryRef NewDictionary() {
  return CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

// The subtype the encoder will read, for the expected length.
int32_t ReadSubtype(CFDictionaryRef info) {
  CFNumberRef subtype =
      static_cast<CFNumberRef>(CFDictionaryGetValue(info, CFSTR("gestureSubtype")));
  int32_t value = 11;
  if (subtype) CFNumberGetValue(subtype, kCFNumberSInt32Type, &value);
  return value;
}

size_t BasePrefixLength() {
  CGEventRef base = CGEventCreate(nullptr);
  FUZZ_CHECK(base != nullptr);
  CFDataRef bytes = CGEventCreateData(nullptr, base);
  FUZZ_CHECK(bytes != nullptr);
  size_t length = static_cast<size_t>(CFDataGetLength(bytes));
  CFRelease(bytes);
  CFRelease(base);
  return length >= 24 ? length - 24 : length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static TestBackend backend;
  FuzzedDataProvider in(data, size);
  long before = platform::liveObjectCount();

  CFMutableDictionaryRef info = NewDictionary();
  for (const char *key : kGestureKeys)
    if (in.ConsumeBool()) SetNumber(info, key, MakeNumber(in));

  // Mostly a few touches; now and then more than the record field's count can describe.
  size_t touchCount = in.ConsumeIntegralInRange<int>(0, 31) != 0
                          ? in.ConsumeIntegralInRange<size_t>(0, 6)
                          : in.ConsumeIntegralInRange<size_t>(0, 700);
  CFMutableArrayRef touches = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
  size_t typed = 0;
  for (size_t i = 0; i < touchCount; i++) {
    CFMutableDictionaryRef touch = NewDictionary();
    if (in.remaining_bytes() == 0 || in.ConsumeIntegralInRange<int>(0, 7) != 0) {
      // When present the type is a digitizer touch; the encoder stops the process otherwise.
      int32_t digitizer = 11;
      SetNumber(touch, "type", CFNumberCreate(nullptr, kCFNumberSInt32Type, &digitizer));
      typed++;
    }
    for (const char *key : kTouchKeys)
      if (in.remaining_bytes() > 0 && in.ConsumeBool()) SetNumber(touch, key, MakeNumber(in));
    CFArrayAppendValue(touches, touch);
    CFRelease(touch);
  }

  CGEventRef event = tl_CGEventCreateFromGesture(info, touches);
  if (event) {
    FUZZ_CHECK(CGEventGetType(event) == 29);
    int32_t subtype = ReadSubtype(info);
    bool sixth = subtype == 5 || subtype == 8 || subtype == 16 || subtype == 61 || subtype == 62;
    size_t expected = BasePrefixLength() + 4 + 24 + 96 + 96 * typed + 72 + 8 * (sixth ? 8 : 7);
    CFDataRef bytes = CGEventCreateData(nullptr, event);
    FUZZ_CHECK(bytes != nullptr);
    FUZZ_CHECK(static_cast<size_t>(CFDataGetLength(bytes)) == expected);
    CFRelease(bytes);
    CFRelease(event);
  }
  CFRelease(touches);
  CFRelease(info);
  FUZZ_CHECK(platform::liveObjectCount() == before);
  return 0;
}
