// The root dictionary of a preferences file, read the one way that the helper and the tools
// share: whether a file is read at all, which keys it holds (whole, NUL characters included),
// which entry a key finds (the last of equal keys), and what each value is. Both forms are read
// in time linear in the file.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

struct PlistValue {
  enum class Kind { kBoolean, kInteger, kReal, kString, kData, kDate, kArray, kDictionary, kOther };
  Kind kind = Kind::kOther;
  bool boolean = false;
  int64_t integer = 0;  // the low 64 bits, two's complement
  // A binary file's 16-byte integer: an unsigned value, of which `integer` holds the low half.
  bool wide = false;
  double real = 0;
  std::string string;  // UTF-8
  uint64_t count = 0;  // bytes of data, elements of an array, entries of a dictionary
};

struct PlistEntry {
  std::string key;
  PlistValue value;
  // Where the entry lies. XML: the <key> element and the value element in the text, [begin,
  // end). Binary: the key's and the value's objects.
  size_t keyBegin = 0, keyEnd = 0, valueBegin = 0, valueEnd = 0;
  uint64_t keyObject = 0, valueObject = 0;
  // XML: the value holds an <integer> that is no signed 64-bit number (read as no number).
  bool unreadableInteger = false;
};

struct PreferencesDictionary {
  bool binary = false;
  std::vector<PlistEntry> entries;  // in the file's order, equal keys kept
  // XML: the root <dict> element and where its content ends (its end tag; its own end for an
  // empty <dict/>).
  size_t rootBegin = 0, rootEnd = 0, rootContentEnd = 0;

  // The entry key finds: the last whose key equals it byte for byte; null when none does.
  const PlistEntry *find(std::string_view key) const;
};

// The file's root dictionary, or nothing when the file is not read at all (then *problem says
// why, naming the key where one is at fault).
std::optional<PreferencesDictionary> ReadPreferencesDictionary(std::string_view bytes,
                                                               std::string *problem = nullptr);

// What CFPreferencesCopyValue hands out for key from a file that holds this dictionary: a new
// object (a boolean, a number or a string), or NULL when the key is absent or holds another kind.
CFPropertyListRef CopyPreferencesValue(const PreferencesDictionary &dictionary,
                                       std::string_view key);

// The same for the file of these bytes, as CopyPreferencesValue(*ReadPreferencesDictionary(bytes),
// key) gives it (NULL for a file that is not read), without keeping an entry for every key: what
// a reader of one setting uses.
CFPropertyListRef CopyPreferencesValue(std::string_view bytes, std::string_view key);

}  // namespace platform
