#include <platform/BinaryPlist.h>

#include <cstring>

namespace platform {

namespace {

constexpr size_t kHeader = 8;
constexpr size_t kTrailer = 32;

void AppendUtf8(std::string &out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | code >> 6);
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | code >> 12);
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | code >> 18);
    out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
    out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

}  // namespace

uint64_t BinaryPlist::readBigEndian(size_t at, size_t width) const {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = value << 8 | static_cast<uint8_t>(bytes_[at + i]);
  return value;
}

bool BinaryPlist::open(std::string_view bytes) {
  if (bytes.size() < kHeader + kTrailer || !bytes.starts_with("bplist00")) return false;
  bytes_ = bytes;
  const size_t trailer = bytes.size() - kTrailer;
  offsetSize_ = static_cast<uint8_t>(bytes[trailer + 6]);
  refSize_ = static_cast<uint8_t>(bytes[trailer + 7]);
  count_ = readBigEndian(trailer + 8, 8);
  top_ = readBigEndian(trailer + 16, 8);
  const uint64_t table = readBigEndian(trailer + 24, 8);
  if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
  if (table < kHeader || table > trailer || count_ == 0 || top_ >= count_) return false;
  if (count_ > (trailer - table) / offsetSize_) return false;
  table_ = static_cast<size_t>(table);
  return true;
}

std::optional<BinaryPlist::Object> BinaryPlist::object(uint64_t index) const {
  if (index >= count_) return std::nullopt;
  const uint64_t offset =
      readBigEndian(table_ + static_cast<size_t>(index) * offsetSize_, offsetSize_);
  if (offset < kHeader || offset >= table_) return std::nullopt;
  Object object;
  object.begin = static_cast<size_t>(offset);
  const uint8_t marker = static_cast<uint8_t>(bytes_[object.begin]);
  object.type = marker >> 4;
  object.info = marker & 0xF;
  size_t at = object.begin + 1;
  // Objects whose low nibble counts their contents, 15 meaning an integer object follows.
  auto readCount = [&]() -> bool {
    object.count = object.info;
    if (object.info != 0xF) return true;
    if (at >= table_) return false;
    const uint8_t countMarker = static_cast<uint8_t>(bytes_[at]);
    if (countMarker >> 4 != kInteger || (countMarker & 0xF) > 3) return false;
    const size_t width = size_t{1} << (countMarker & 0xF);
    if (width > table_ - at - 1) return false;
    object.count = readBigEndian(at + 1, width);
    at += 1 + width;
    return true;
  };
  uint64_t length = 0;  // of the payload, in bytes
  switch (object.type) {
    case kSimple:
      if (object.info != 0x0 && object.info != 0x8 && object.info != 0x9 && object.info != 0xF)
        return std::nullopt;
      break;
    case kInteger:
      if (object.info > 4) return std::nullopt;
      length = uint64_t{1} << object.info;
      break;
    case kReal:
      if (object.info != 2 && object.info != 3) return std::nullopt;
      length = uint64_t{1} << object.info;
      break;
    case kDate:
      if (object.info != 3) return std::nullopt;
      length = 8;
      break;
    case kData:
    case kAscii:
    case kUtf16:
      if (!readCount()) return std::nullopt;
      length = object.count;
      if (object.type == kUtf16) {
        if (length > UINT64_MAX / 2) return std::nullopt;
        length *= 2;
      }
      break;
    case kUid:
      length = uint64_t{object.info} + 1;
      break;
    case kArray:
    case kSet:
    case kDictionary:
      if (!readCount()) return std::nullopt;
      if (object.count > (table_ - at) / refSize_ / (object.type == kDictionary ? 2 : 1))
        return std::nullopt;
      length = object.references() * refSize_;
      break;
    default:
      return std::nullopt;
  }
  object.payload = at;
  if (length > table_ - at) return std::nullopt;
  object.end = at + static_cast<size_t>(length);
  return object;
}

uint64_t BinaryPlist::reference(const Object &container, uint64_t i) const {
  return readBigEndian(container.payload + static_cast<size_t>(i) * refSize_, refSize_);
}

std::optional<int64_t> BinaryPlist::integer(const Object &object) const {
  if (object.type != kInteger) return std::nullopt;
  const size_t width = object.end - object.payload;
  // Of a 16-byte integer, the low half.
  const size_t low = width > 8 ? width - 8 : 0;
  return static_cast<int64_t>(readBigEndian(object.payload + low, width - low));
}

std::optional<double> BinaryPlist::real(const Object &object) const {
  if (object.type != kReal && object.type != kDate) return std::nullopt;
  const uint64_t bits = readBigEndian(object.payload, object.end - object.payload);
  if (object.end - object.payload == 4) {
    float value;
    const uint32_t narrow = static_cast<uint32_t>(bits);
    memcpy(&value, &narrow, sizeof value);
    return value;
  }
  double value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

std::optional<std::string> BinaryPlist::string(const Object &object) const {
  if (object.type == kAscii) return std::string(bytes_.substr(object.payload, object.count));
  if (object.type != kUtf16) return std::nullopt;
  std::string out;
  out.reserve(static_cast<size_t>(object.count));
  for (uint64_t i = 0; i < object.count; ++i) {
    uint32_t unit = static_cast<uint32_t>(readBigEndian(object.payload + 2 * i, 2));
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < object.count) {
      uint32_t next = static_cast<uint32_t>(readBigEndian(object.payload + 2 * (i + 1), 2));
      if (next >= 0xDC00 && next < 0xE000) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? 0xFFFD : unit);
  }
  return out;
}

}  // namespace platform
