#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "cf/CFRuntime.h"

namespace platform {
namespace {

class String final : public Object {
 public:
  String(std::string bytes, bool immortal = false)
      : Object(kTypeIDString, immortal), bytes_(std::move(bytes)) {
    recount();
  }
  const std::string &bytes() const { return bytes_; }
  std::string &mutableBytes() { return bytes_; }
  CFIndex utf16Length() const { return utf16Length_; }
  void recount();

  bool equals(const Object &other) const override {
    return other.typeID() == kTypeIDString && static_cast<const String &>(other).bytes_ == bytes_;
  }
  CFHashCode hash() const override { return hash_; }
  std::string describe() const override { return bytes_; }

 private:
  std::string bytes_;  // always valid UTF-8
  CFIndex utf16Length_ = 0;
  CFHashCode hash_ = 0;  // kept with the length: strings are dictionary keys on hot paths
};

// Decodes one code point of valid UTF-8 at bytes[i], advancing i.
uint32_t Decode(const std::string &bytes, size_t &i) {
  unsigned char c = static_cast<unsigned char>(bytes[i]);
  int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
  uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
  for (int k = 1; k <= extra && i + k < bytes.size(); k++)
    cp = (cp << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
  i += 1 + extra;
  return cp;
}

void String::recount() {
  // Valid UTF-8: every lead byte starts one UTF-16 unit, four-byte sequences a surrogate pair.
  CFIndex units = 0;
  for (unsigned char c : bytes_) units += (c & 0xC0) == 0x80 ? 0 : c >= 0xF0 ? 2 : 1;
  utf16Length_ = units;
  hash_ = std::hash<std::string>()(bytes_);
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no cut sequences.
bool IsValidUTF8(const UInt8 *bytes, size_t length) {
  size_t i = 0;
  while (i < length) {
    UInt8 c = bytes[i];
    if (c < 0x80) {
      i++;
      continue;
    }
    size_t extra;
    uint32_t cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (length - i <= extra) return false;
    for (size_t k = 1; k <= extra; k++) {
      UInt8 cc = bytes[i + k];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

bool IsWhitespaceOrNewline(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

String &AsString(CFTypeRef string, const char *function) {
  if (!string || CFGetTypeID(string) != kTypeIDString) CFFatal(function, "not a CFString");
  return *const_cast<String *>(static_cast<const String *>(AsObject(string)));
}

CFStringRef Wrap(String *string) {
  return reinterpret_cast<CFStringRef>(static_cast<Object *>(string));
}

}  // namespace

const std::string &StringBytes(CFStringRef string) {
  return AsString(string, "StringBytes").bytes();
}

}  // namespace platform

using platform::AsString;
using platform::String;
using platform::Wrap;

CFTypeID CFStringGetTypeID(void) {
  return platform::kTypeIDString;
}

CFStringRef __CFStringMakeConstantString(const char *cStr) {
  static std::mutex mutex;
  static auto *constants = new std::unordered_map<std::string, String *>();
  std::lock_guard<std::mutex> lock(mutex);
  auto found = constants->find(cStr);
  if (found != constants->end()) return Wrap(found->second);
  String *string = new String(cStr, /*immortal=*/true);
  constants->emplace(cStr, string);
  return Wrap(string);
}

CFStringRef CFStringCreateWithBytes(CFAllocatorRef alloc, const UInt8 *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
  if (numBytes < 0 || (!bytes && numBytes > 0)) return nullptr;
  size_t length = static_cast<size_t>(numBytes);
  if (encoding == kCFStringEncodingASCII) {
    for (size_t i = 0; i < length; i++)
      if (bytes[i] >= 0x80) return nullptr;
  } else if (encoding == kCFStringEncodingUTF8) {
    if (!platform::IsValidUTF8(bytes, length)) return nullptr;
  } else {
    return nullptr;
  }
  return Wrap(new String(std::string(reinterpret_cast<const char *>(bytes), length)));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr,
                                      CFStringEncoding encoding) {
  if (!cStr) return nullptr;
  return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8 *>(cStr),
                                 static_cast<CFIndex>(strlen(cStr)), encoding, false);
}

CFStringRef CFStringCreateCopy(CFAllocatorRef alloc, CFStringRef theString) {
  return Wrap(new String(AsString(theString, "CFStringCreateCopy").bytes()));
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef alloc, CFIndex maxLength,
                                             CFStringRef theString) {
  return reinterpret_cast<CFMutableStringRef>(const_cast<__CFString *>(
      Wrap(new String(AsString(theString, "CFStringCreateMutableCopy").bytes()))));
}

CFIndex CFStringGetLength(CFStringRef theString) {
  return AsString(theString, "CFStringGetLength").utf16Length();
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
  if (encoding == kCFStringEncodingASCII) return length;
  if (length > (INT64_MAX / 3)) return kCFNotFound;
  return length * 3;
}

Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize,
                           CFStringEncoding encoding) {
  const std::string &bytes = AsString(theString, "CFStringGetCString").bytes();
  if (!buffer || bufferSize <= 0 || bytes.size() >= static_cast<size_t>(bufferSize)) return false;
  if (encoding == kCFStringEncodingASCII) {
    for (unsigned char c : bytes)
      if (c >= 0x80) return false;
  } else if (encoding != kCFStringEncodingUTF8) {
    return false;
  }
  memcpy(buffer, bytes.c_str(), bytes.size() + 1);
  return true;
}

// NULL as often as code could meet it on macOS, so that every caller keeps its fallback: for
// other encodings, and for text a C string would change (a NUL inside) or that is not ASCII.
const char *CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
  const std::string &bytes = AsString(theString, "CFStringGetCStringPtr").bytes();
  if (encoding != kCFStringEncodingUTF8 && encoding != kCFStringEncodingASCII) return nullptr;
  for (unsigned char c : bytes)
    if (c == 0 || c >= 0x80) return nullptr;
  return bytes.c_str();
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding,
                         UInt8 lossByte, Boolean isExternalRepresentation, UInt8 *buffer,
                         CFIndex maxBufLen, CFIndex *usedBufLen) {
  const String &string = AsString(theString, "CFStringGetBytes");
  const std::string &bytes = string.bytes();
  if (range.location < 0 || range.length < 0 || range.location > string.utf16Length() ||
      range.length > string.utf16Length() - range.location)
    platform::CFFatal("CFStringGetBytes", "range out of bounds");
  // The common case, the whole string as UTF-8, is one copy.
  if (encoding == kCFStringEncodingUTF8 && range.location == 0 &&
      range.length == string.utf16Length() &&
      (!buffer || maxBufLen >= static_cast<CFIndex>(bytes.size()))) {
    if (buffer) memcpy(buffer, bytes.data(), bytes.size());
    if (usedBufLen) *usedBufLen = static_cast<CFIndex>(bytes.size());
    return range.length;
  }
  CFIndex unit = 0, converted = 0, used = 0;
  const CFIndex end = range.location + range.length;
  for (size_t i = 0; i < bytes.size() && unit < end;) {
    size_t start = i;
    uint32_t cp = platform::Decode(bytes, i);
    CFIndex units = cp >= 0x10000 ? 2 : 1;
    if (unit >= range.location) {
      size_t length = i - start;
      if (encoding == kCFStringEncodingASCII && cp >= 0x80) {
        if (!lossByte) break;
        length = 1;
      } else if (encoding != kCFStringEncodingUTF8 && encoding != kCFStringEncodingASCII) {
        break;
      }
      if (buffer) {
        if (used + static_cast<CFIndex>(length) > maxBufLen) break;
        if (encoding == kCFStringEncodingASCII && cp >= 0x80)
          buffer[used] = lossByte;
        else
          memcpy(buffer + used, bytes.data() + start, length);
      }
      used += static_cast<CFIndex>(length);
      converted += units;
    }
    unit += units;
  }
  if (usedBufLen) *usedBufLen = used;
  return converted;
}

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
  std::string a = AsString(theString1, "CFStringCompare").bytes();
  std::string b = AsString(theString2, "CFStringCompare").bytes();
  if (compareOptions & kCFCompareCaseInsensitive) {
    for (char &c : a)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    for (char &c : b)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  int order = a.compare(b);
  return order < 0 ? kCFCompareLessThan : order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo;
}

Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
  const std::string &s = AsString(theString, "CFStringHasPrefix").bytes();
  const std::string &p = AsString(prefix, "CFStringHasPrefix").bytes();
  return s.compare(0, p.size(), p) == 0;
}

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
  String &string = AsString(theString, "CFStringAppend");
  if (string.immortal()) platform::CFFatal("CFStringAppend", "string is not mutable");
  string.mutableBytes() += AsString(appendedString, "CFStringAppend").bytes();
  string.recount();
}

void CFStringAppendCString(CFMutableStringRef theString, const char *cStr,
                           CFStringEncoding encoding) {
  CFStringRef appended = CFStringCreateWithCString(nullptr, cStr, encoding);
  if (!appended) return;
  CFStringAppend(theString, appended);
  CFRelease(appended);
}

void CFStringTrimWhitespace(CFMutableStringRef theString) {
  String &string = AsString(theString, "CFStringTrimWhitespace");
  if (string.immortal()) platform::CFFatal("CFStringTrimWhitespace", "string is not mutable");
  std::string &bytes = string.mutableBytes();
  size_t begin = 0;
  while (begin < bytes.size()) {
    size_t next = begin;
    if (!platform::IsWhitespaceOrNewline(platform::Decode(bytes, next))) break;
    begin = next;
  }
  size_t end = bytes.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(bytes[start]) & 0xC0) == 0x80) start--;
    size_t probe = start;
    if (!platform::IsWhitespaceOrNewline(platform::Decode(bytes, probe))) break;
    end = start;
  }
  bytes = bytes.substr(begin, end - begin);
  string.recount();
}

// ---- Formatting: printf conversions plus %@ for CF objects ----

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef alloc,
                                                 CFDictionaryRef formatOptions, CFStringRef format,
                                                 va_list arguments) {
  const std::string &pattern = AsString(format, "CFStringCreateWithFormat").bytes();
  std::string out;
  va_list args;
  va_copy(args, arguments);
  for (size_t i = 0; i < pattern.size(); i++) {
    if (pattern[i] != '%') {
      out += pattern[i];
      continue;
    }
    size_t start = i++;
    while (i < pattern.size() && strchr("-+ #0123456789.", pattern[i])) i++;
    std::string length;
    while (i < pattern.size() && strchr("hlLqjzt", pattern[i])) length += pattern[i++];
    if (i >= pattern.size()) break;
    char conversion = pattern[i];
    std::string piece = pattern.substr(start, i - start + 1);
    char buffer[512];
    buffer[0] = '\0';
    switch (conversion) {
      case '%':
        out += '%';
        continue;
      case '@': {
        CFTypeRef object = va_arg(args, CFTypeRef);
        CFStringRef description = CFCopyDescription(object);
        out += AsString(description, "CFStringCreateWithFormat").bytes();
        CFRelease(description);
        continue;
      }
      case 's':
        if (const char *text = va_arg(args, const char *))
          out += text;
        else
          out += "(null)";
        continue;
      case 'd':
      case 'i':
      case 'c':
        if (length == "ll" || length == "q" || length == "j")
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, long long));
        else if (length == "l" || length == "z" || length == "t")
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, long));
        else
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, int));
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (length == "ll" || length == "q" || length == "j")
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, unsigned long long));
        else if (length == "l" || length == "z" || length == "t")
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, unsigned long));
        else
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, unsigned int));
        break;
      case 'f':
      case 'F':
      case 'e':
      case 'E':
      case 'g':
      case 'G':
      case 'a':
      case 'A':
        if (length == "L")
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, long double));
        else
          snprintf(buffer, sizeof buffer, piece.c_str(), va_arg(args, double));
        break;
      case 'p':
        snprintf(buffer, sizeof buffer, "%p", va_arg(args, void *));
        break;
      default:
        out += piece;
        continue;
    }
    out += buffer;
  }
  va_end(args);
  if (!platform::IsValidUTF8(reinterpret_cast<const UInt8 *>(out.data()), out.size()))
    return nullptr;
  return Wrap(new String(std::move(out)));
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions,
                                     CFStringRef format, ...) {
  va_list args;
  va_start(args, format);
  CFStringRef result = CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, args);
  va_end(args);
  return result;
}
