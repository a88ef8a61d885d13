// A binary property list ("bplist00") read in place: its trailer, its offset table and each
// object's extent, every position checked against the file. Nothing is copied or built, so the
// helper can look a key up, and the tools rewrite a file, keeping every object byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class BinaryPlist {
 public:
  // The marker's high nibble.
  enum Type : uint8_t {
    kSimple = 0x0,  // null, false, true, fill
    kInteger = 0x1,
    kReal = 0x2,
    kDate = 0x3,
    kData = 0x4,
    kAscii = 0x5,
    kUtf16 = 0x6,
    kUid = 0x8,
    kArray = 0xA,
    kSet = 0xC,
    kDictionary = 0xD,
  };

  struct Object {
    uint8_t type = 0;
    uint8_t info = 0;    // the marker's low nibble
    size_t begin = 0;    // the marker
    size_t payload = 0;  // the contents, or a container's references
    size_t end = 0;      // just past the object
    uint64_t count = 0;  // bytes of data, characters of a string, entries of a container
    bool container() const { return type == kArray || type == kSet || type == kDictionary; }
    // References a container holds: a dictionary's keys, then its values.
    uint64_t references() const { return type == kDictionary ? 2 * count : count; }
  };

  // False when the header, trailer or offset table is malformed.
  bool open(std::string_view bytes);

  uint64_t objectCount() const { return count_; }
  uint64_t topObject() const { return top_; }
  size_t referenceSize() const { return refSize_; }
  std::string_view bytes() const { return bytes_; }

  // The object at index; nothing when it is of an unknown kind or does not lie whole between
  // the header and the offset table.
  std::optional<Object> object(uint64_t index) const;
  // Reference i of a container.
  uint64_t reference(const Object &container, uint64_t i) const;

  // Readings of leaf objects. An integer is its low 64 bits as two's complement (a 16-byte
  // integer holds an unsigned value); a string comes as UTF-8, unpaired UTF-16 surrogates as
  // U+FFFD; nothing for other kinds.
  std::optional<int64_t> integer(const Object &object) const;
  std::optional<double> real(const Object &object) const;
  std::optional<std::string> string(const Object &object) const;

 private:
  uint64_t readBigEndian(size_t at, size_t width) const;

  std::string_view bytes_;
  size_t offsetSize_ = 0;
  size_t refSize_ = 0;
  uint64_t count_ = 0;
  uint64_t top_ = 0;
  size_t table_ = 0;
};

}  // namespace platform
