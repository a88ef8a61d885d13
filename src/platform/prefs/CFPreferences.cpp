// Preferences as the user's property-list files: $HOME/Library/Preferences/<domain>.plist, read
// afresh on every call (other processes write them), XML or binary.
#include <CoreFoundation/CoreFoundation.h>
#include <corvassel/Foundation.h>
#include <fcntl.h>
#include <platform/PreferencesDictionary.h>
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
  const std::string home = corvassel::ns::NSHomeDirectory();
  if (home.empty()) return nullptr;
  const std::string path = home + "/Library/Preferences/" + domain + ".plist";
  std::optional<std::string> bytes = ReadFile(path);
  if (!bytes) return nullptr;
  return platform::CopyPreferencesValue(std::string_view(*bytes), keyBytes);
}
