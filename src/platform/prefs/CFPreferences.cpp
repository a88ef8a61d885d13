// Preferences as the user's property-list files: $HOME/Library/Preferences/<domain>.plist, read
// afresh on every call (other processes write them), XML or binary.
#include <CoreFoundation/CoreFoundation.h>
#include <Foundation/Foundation.h>
#include <fcntl.h>
#include <plist/plist.h>
#include <platform/Backend.h>
#include <platform/PlistGuards.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cf/CFRuntime.h"

const CFStringRef kCFPreferencesAnyApplication = CFSTR("kCFPreferencesAnyApplication");
const CFStringRef kCFPreferencesCurrentApplication = CFSTR("kCFPreferencesCurrentApplication");
const CFStringRef kCFPreferencesAnyHost = CFSTR("kCFPreferencesAnyHost");
const CFStringRef kCFPreferencesCurrentHost = CFSTR("kCFPreferencesCurrentHost");
const CFStringRef kCFPreferencesAnyUser = CFSTR("kCFPreferencesAnyUser");
const CFStringRef kCFPreferencesCurrentUser = CFSTR("kCFPreferencesCurrentUser");

namespace {

// Far beyond any real preferences file; keeps a runaway file from exhausting memory.
constexpr off_t kLargestPreferencesFile = 128 << 20;

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// The whole file, or nothing when it is missing, not a regular file, unreadable or oversized.
std::optional<std::string> ReadFile(const std::string &path) {
  // O_NONBLOCK: a FIFO planted at the path must not hang the caller.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> contents;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestPreferencesFile) {
    std::string bytes;
    bool ok = true;
    char chunk[65536];
    for (;;) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = false;
        break;
      }
      if (n == 0) break;
      bytes.append(chunk, static_cast<size_t>(n));
      if (bytes.size() > static_cast<size_t>(kLargestPreferencesFile)) {
        ok = false;  // grew while being read
        break;
      }
    }
    if (ok) contents = std::move(bytes);
  }
  close(fd);
  return contents;
}

// The value of the last key equal to key in an array read from a dictionary (k v k v ...); the
// keys must all be strings.
plist_t FindPair(plist_t array, const std::string &key) {
  plist_array_iter iter = nullptr;
  plist_array_new_iter(array, &iter);
  plist_t match = nullptr;
  for (;;) {
    plist_t name = nullptr, value = nullptr;
    plist_array_next_item(array, iter, &name);
    if (name) plist_array_next_item(array, iter, &value);
    if (!name || !value) break;
    if (plist_get_node_type(name) != PLIST_STRING) {
      match = nullptr;  // not a dictionary after all
      break;
    }
    if (key == plist_get_string_ptr(name, nullptr)) match = value;  // the last duplicate wins
  }
  free(iter);
  return match;
}

// The value stored under key in a property list file's root dictionary, handed to found (the
// node lives only as long as the call); nothing when the file is not such a list. Dictionaries
// in XML are read as arrays: libplist 2.2 takes quadratic time to build a large one from XML.
template <typename Found>
CFPropertyListRef LookUp(const std::string &bytes, const std::string &key, Found found) {
  plist_t root = nullptr;
  if (bytes.starts_with("bplist00")) {
    // libplist builds binary dictionaries in linear time.
    if (!platform::BinaryPlistWithinLimits(bytes)) return nullptr;
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    PlistPtr owner(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) return nullptr;
    plist_t value = plist_dict_get_item(root, key.c_str());
    return value ? found(value) : nullptr;
  }
  platform::NormalizedXml xml = platform::NormalizePlistXml(bytes, true);
  if (!xml.wellNested || !xml.rootEntriesPaired || xml.depth > platform::kPlistMaxDepth)
    return nullptr;
  plist_from_xml(xml.text.data(), static_cast<uint32_t>(xml.text.size()), &root);
  PlistPtr owner(root);
  if (!root || plist_get_node_type(root) != PLIST_ARRAY) return nullptr;
  plist_t value = FindPair(root, key);
  return value ? found(value) : nullptr;
}

// The stored value as a CF object; NULL for kinds the settings never hold.
CFPropertyListRef CopyNode(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      return value ? kCFBooleanTrue : kCFBooleanFalse;
    }
    case PLIST_UINT: {
      // Integers are 64-bit two's complement in both formats (negative ones included).
      uint64_t bits = 0;
      plist_get_uint_val(node, &bits);
      int64_t value = static_cast<int64_t>(bits);
      return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value);
    }
    case PLIST_REAL: {
      double value = 0;
      plist_get_real_val(node, &value);
      return CFNumberCreate(nullptr, kCFNumberDoubleType, &value);
    }
    case PLIST_STRING: {
      // By pointer and length: a binary file's string may hold NUL characters, which make
      // libplist's copying accessor abort.
      uint64_t length = 0;
      const char *text = plist_get_string_ptr(node, &length);
      if (!text || length > static_cast<uint64_t>(INT32_MAX)) return nullptr;
      return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(text),
                                     static_cast<CFIndex>(length), kCFStringEncodingUTF8, false);
    }
    default:
      return nullptr;
  }
}

bool SameString(CFStringRef a, CFStringRef b) {
  return a && b && CFEqual(a, b);
}

}  // namespace

CFPropertyListRef CFPreferencesCopyValue(CFStringRef key, CFStringRef applicationID,
                                         CFStringRef userName, CFStringRef hostName) {
  // Only the current user's host-independent domains live in ~/Library/Preferences.
  if (!key || !applicationID || !SameString(userName, kCFPreferencesCurrentUser) ||
      !SameString(hostName, kCFPreferencesAnyHost))
    return nullptr;
  const std::string &domain = platform::StringBytes(applicationID);
  const std::string &keyBytes = platform::StringBytes(key);
  // The domain names a file in one directory, never a path elsewhere.
  if (domain.empty() || domain == "." || domain == ".." ||
      domain.find_first_of(std::string_view("/\0", 2)) != std::string::npos ||
      keyBytes.find('\0') != std::string::npos)
    return nullptr;
  const std::string home = NSHomeDirectory();
  if (home.empty()) return nullptr;
  std::string path =
      platform::backend().mapPath(home + "/Library/Preferences/" + domain + ".plist");
  std::optional<std::string> bytes = ReadFile(path);
  if (!bytes) return nullptr;
  return LookUp(*bytes, keyBytes, CopyNode);
}
