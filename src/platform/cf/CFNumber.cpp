#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>

#include "cf/CFRuntime.h"

namespace platform {
namespace {

constexpr double kTwo63 = 9223372036854775808.0;  // 2^63, exact in a double

// The double as an int64 when it is a whole number within range.
bool ExactInt64(double value, int64_t *out) {
  if (!(value >= -kTwo63 && value < kTwo63)) return false;  // NaN fails too
  int64_t whole = static_cast<int64_t>(value);
  if (static_cast<double>(whole) != value) return false;
  *out = whole;
  return true;
}

class Number final : public Object {
 public:
  Number(CFNumberType type, int64_t integer)
      : Object(kTypeIDNumber), type_(type), integer_(integer) {}
  Number(CFNumberType type, double real)
      : Object(kTypeIDNumber), type_(type), isFloat_(true), real_(real) {}

  CFNumberType type() const { return type_; }
  bool isFloat() const { return isFloat_; }
  int64_t integer() const { return integer_; }
  double real() const { return real_; }

  bool equals(const Object &other) const override {
    if (other.typeID() != kTypeIDNumber) return false;
    const Number &that = static_cast<const Number &>(other);
    if (!isFloat_ && !that.isFloat_) return integer_ == that.integer_;
    if (isFloat_ && that.isFloat_)
      return real_ == that.real_ || (std::isnan(real_) && std::isnan(that.real_));
    const Number &real = isFloat_ ? *this : that;
    const Number &integer = isFloat_ ? that : *this;
    int64_t whole;
    return ExactInt64(real.real_, &whole) && whole == integer.integer_;
  }

  // Equal values hash alike whatever their stored type.
  CFHashCode hash() const override {
    int64_t whole = integer_;
    if (!isFloat_ || ExactInt64(real_, &whole)) return std::hash<int64_t>()(whole);
    if (std::isnan(real_)) return 0x7ff8;
    return std::hash<double>()(real_);
  }

  std::string describe() const override {
    char text[40];
    if (isFloat_)
      snprintf(text, sizeof text, "%.17g", real_);
    else
      snprintf(text, sizeof text, "%" PRId64, integer_);
    return text;
  }

 private:
  CFNumberType type_;
  bool isFloat_ = false;
  int64_t integer_ = 0;
  double real_ = 0;
};

// The canonical stored type for a requested type, 0 when unknown.
CFNumberType Canonical(CFNumberType type) {
  switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType:
      return kCFNumberSInt8Type;
    case kCFNumberSInt16Type:
    case kCFNumberShortType:
      return kCFNumberSInt16Type;
    case kCFNumberSInt32Type:
    case kCFNumberIntType:
      return kCFNumberSInt32Type;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType:
      return kCFNumberSInt64Type;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType:
      return kCFNumberFloat32Type;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType:
      return kCFNumberFloat64Type;
    default:
      return static_cast<CFNumberType>(0);
  }
}

int IntegerBits(CFNumberType canonical) {
  switch (canonical) {
    case kCFNumberSInt8Type:
      return 8;
    case kCFNumberSInt16Type:
      return 16;
    case kCFNumberSInt32Type:
      return 32;
    default:
      return 64;
  }
}

// Keeps the low bits of value for a signed integer of the given width.
int64_t LowBits(int64_t value, int bits) {
  if (bits == 64) return value;
  uint64_t mask = (uint64_t{1} << bits) - 1;
  uint64_t low = static_cast<uint64_t>(value) & mask;
  uint64_t sign = uint64_t{1} << (bits - 1);
  // Sign-extend without relying on implementation-defined conversions.
  return (low & sign) ? -static_cast<int64_t>((~low & mask) + 1) : static_cast<int64_t>(low);
}

void StoreInteger(int64_t value, int bits, void *out) {
  switch (bits) {
    case 8: {
      int8_t v = static_cast<int8_t>(value);
      memcpy(out, &v, sizeof v);
      break;
    }
    case 16: {
      int16_t v = static_cast<int16_t>(value);
      memcpy(out, &v, sizeof v);
      break;
    }
    case 32: {
      int32_t v = static_cast<int32_t>(value);
      memcpy(out, &v, sizeof v);
      break;
    }
    default:
      memcpy(out, &value, sizeof value);
  }
}

// Truncates toward zero, saturating at the width's range; NaN gives 0.
int64_t TruncateReal(double value, int bits) {
  if (std::isnan(value)) return 0;
  double max = static_cast<double>(uint64_t{1} << (bits - 1));  // exact power of two
  // INT64_MAX has no exact double, so the 64-bit ceiling is given as an integer.
  if (value >= max) return bits == 64 ? INT64_MAX : static_cast<int64_t>(max) - 1;
  if (value < -max) return bits == 64 ? INT64_MIN : -static_cast<int64_t>(max);
  return static_cast<int64_t>(value);
}

// A double narrowed to float, with out-of-range values going to infinity instead of UB.
float NarrowToFloat(double value) {
  if (std::isnan(value) || std::isinf(value)) return static_cast<float>(value);
  if (value > FLT_MAX) return INFINITY;
  if (value < -FLT_MAX) return -INFINITY;
  return static_cast<float>(value);
}

}  // namespace
}  // namespace platform

using platform::Number;

CFTypeID CFNumberGetTypeID(void) {
  return platform::kTypeIDNumber;
}

CFNumberRef CFNumberCreate(CFAllocatorRef allocator, CFNumberType theType, const void *valuePtr) {
  if (!valuePtr) return nullptr;
  CFNumberType canonical = platform::Canonical(theType);
  switch (canonical) {
    case kCFNumberSInt8Type: {
      int8_t v;
      memcpy(&v, valuePtr, sizeof v);
      return reinterpret_cast<CFNumberRef>(new Number(canonical, int64_t{v}));
    }
    case kCFNumberSInt16Type: {
      int16_t v;
      memcpy(&v, valuePtr, sizeof v);
      return reinterpret_cast<CFNumberRef>(new Number(canonical, int64_t{v}));
    }
    case kCFNumberSInt32Type: {
      int32_t v;
      memcpy(&v, valuePtr, sizeof v);
      return reinterpret_cast<CFNumberRef>(new Number(canonical, int64_t{v}));
    }
    case kCFNumberSInt64Type: {
      int64_t v;
      memcpy(&v, valuePtr, sizeof v);
      return reinterpret_cast<CFNumberRef>(new Number(canonical, v));
    }
    case kCFNumberFloat32Type: {
      float v;
      memcpy(&v, valuePtr, sizeof v);
      return reinterpret_cast<CFNumberRef>(new Number(canonical, double{v}));
    }
    case kCFNumberFloat64Type: {
      double v;
      memcpy(&v, valuePtr, sizeof v);
      return reinterpret_cast<CFNumberRef>(new Number(canonical, v));
    }
    default:
      return nullptr;
  }
}

static const Number &AsNumber(CFNumberRef number, const char *function) {
  if (!number || CFGetTypeID(number) != platform::kTypeIDNumber)
    platform::CFFatal(function, "not a CFNumber");
  return *reinterpret_cast<const Number *>(number);
}

CFNumberType CFNumberGetType(CFNumberRef number) {
  return AsNumber(number, "CFNumberGetType").type();
}

CFIndex CFNumberGetByteSize(CFNumberRef number) {
  switch (AsNumber(number, "CFNumberGetByteSize").type()) {
    case kCFNumberSInt8Type:
      return 1;
    case kCFNumberSInt16Type:
      return 2;
    case kCFNumberSInt32Type:
    case kCFNumberFloat32Type:
      return 4;
    default:
      return 8;
  }
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  return AsNumber(number, "CFNumberIsFloatType").isFloat();
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr) {
  const Number &n = AsNumber(number, "CFNumberGetValue");
  CFNumberType wanted = platform::Canonical(theType);
  if (!wanted || !valuePtr) return false;

  if (wanted == kCFNumberFloat64Type) {
    double out;
    bool exact = true;
    if (n.isFloat()) {
      out = n.real();
    } else {
      out = static_cast<double>(n.integer());
      int64_t back;
      exact = platform::ExactInt64(out, &back) && back == n.integer();
    }
    memcpy(valuePtr, &out, sizeof out);
    return exact;
  }
  if (wanted == kCFNumberFloat32Type) {
    float out;
    bool exact;
    if (n.isFloat()) {
      out = platform::NarrowToFloat(n.real());
      exact = static_cast<double>(out) == n.real() || (std::isnan(out) && std::isnan(n.real()));
    } else {
      out = static_cast<float>(n.integer());
      int64_t back;
      exact = platform::ExactInt64(static_cast<double>(out), &back) && back == n.integer();
    }
    memcpy(valuePtr, &out, sizeof out);
    return exact;
  }

  int bits = platform::IntegerBits(wanted);
  int64_t out;
  bool exact;
  if (n.isFloat()) {
    out = platform::TruncateReal(n.real(), bits);
    // Exact only for a whole number inside the width's range: comparing against the saturated
    // result as a double would call 2^63 exact, since INT64_MAX rounds up to it.
    int64_t whole;
    exact = platform::ExactInt64(n.real(), &whole) && whole == out;
  } else {
    out = platform::LowBits(n.integer(), bits);
    exact = out == n.integer();
  }
  platform::StoreInteger(out, bits, valuePtr);
  return exact;
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void *context) {
  const Number &a = AsNumber(number, "CFNumberCompare");
  const Number &b = AsNumber(otherNumber, "CFNumberCompare");
  if (a.equals(b)) return kCFCompareEqualTo;
  if (!a.isFloat() && !b.isFloat())
    return a.integer() < b.integer() ? kCFCompareLessThan : kCFCompareGreaterThan;
  double x = a.isFloat() ? a.real() : static_cast<double>(a.integer());
  double y = b.isFloat() ? b.real() : static_cast<double>(b.integer());
  return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
}

// ---- Booleans ----

namespace platform {
namespace {
class BooleanObject final : public Object {
 public:
  explicit BooleanObject(bool value) : Object(kTypeIDBoolean, true), value_(value) {}
  bool value() const { return value_; }
  CFHashCode hash() const override { return value_ ? 1 : 0; }
  std::string describe() const override { return value_ ? "true" : "false"; }

 private:
  bool value_;
};

const BooleanObject gTrue(true);
const BooleanObject gFalse(false);
}  // namespace
}  // namespace platform

const CFBooleanRef kCFBooleanTrue = reinterpret_cast<CFBooleanRef>(&platform::gTrue);
const CFBooleanRef kCFBooleanFalse = reinterpret_cast<CFBooleanRef>(&platform::gFalse);

CFTypeID CFBooleanGetTypeID(void) {
  return platform::kTypeIDBoolean;
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  if (!boolean || CFGetTypeID(boolean) != platform::kTypeIDBoolean)
    platform::CFFatal("CFBooleanGetValue", "not a CFBoolean");
  return reinterpret_cast<const platform::BooleanObject *>(boolean)->value();
}
