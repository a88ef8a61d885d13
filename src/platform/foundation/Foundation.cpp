// The Foundation stand-ins' small services: exceptions, the log, paths, threads; and the
// process exit.
#include <corvassel/Foundation.h>
#include <platform/Backend.h>

#include <pwd.h>
#include <unistd.h>

#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <vector>

#include "cf/CFRuntime.h"

namespace corvassel::ns {

const char *const NSInvalidArgumentException = "NSInvalidArgumentException";
const char *const NSFileHandleOperationException = "NSFileHandleOperationException";
const char *const NSCharacterConversionException = "NSCharacterConversionException";

namespace {

// The reason as a CF string; bytes that are not UTF-8 become '?' so there is always one.
CFStringRef CreateDescription(const std::string &reason) {
  CFStringRef text =
      CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(reason.data()),
                              static_cast<CFIndex>(reason.size()), kCFStringEncodingUTF8, false);
  if (text) return text;
  std::string ascii = reason;
  for (char &c : ascii)
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(ascii.data()),
                                 static_cast<CFIndex>(ascii.size()), kCFStringEncodingUTF8, false);
}

std::string PasswordDatabaseHome() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  struct passwd entry;
  struct passwd *found = nullptr;
  while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  return found && found->pw_dir ? found->pw_dir : "";
}

}  // namespace

NSException::NSException(std::string name, std::string reason)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      description_(CreateDescription(reason_)) {}

NSException::NSException(const NSException &other)
    : std::exception(other),
      name_(other.name_),
      reason_(other.reason_),
      description_(static_cast<CFStringRef>(CFRetain(other.description_))) {}

NSException &NSException::operator=(const NSException &other) {
  if (this == &other) return *this;
  name_ = other.name_;
  reason_ = other.reason_;
  CFRetain(other.description_);
  CFRelease(description_);
  description_ = other.description_;
  return *this;
}

NSException::~NSException() {
  CFRelease(description_);
}

const char *NSException::what() const noexcept {
  return reason_.c_str();
}

void NSLog(CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  CFStringRef line = CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments);
  va_end(arguments);
  if (!line) return;
  std::string text = platform::StringBytes(line);
  CFRelease(line);
  platform::backend().log(text);
}

std::string NSHomeDirectory() {
  const char *home = getenv("HOME");
  if (home && *home) return home;
  return PasswordDatabaseHome();
}

std::string NSStringByExpandingTildeInPath(const std::string &path) {
  if (path.empty() || path[0] != '~' || (path.size() > 1 && path[1] != '/')) return path;
  std::string home = NSHomeDirectory();
  if (home.empty()) return path;  // nowhere to expand to
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (path.size() == 1) return home;
  return home == "/" ? path.substr(1) : home + path.substr(1);
}

std::string NSStringByAppendingPathComponent(const std::string &path,
                                             const std::string &component) {
  size_t skip = component.find_first_not_of('/');
  std::string tail = skip == std::string::npos ? "" : component.substr(skip);
  if (path.empty()) return tail;
  std::string head = path;
  while (head.size() > 1 && head.back() == '/') head.pop_back();
  if (tail.empty()) return head;
  return head == "/" ? "/" + tail : head + "/" + tail;
}

NSFileManager &NSFileManager::defaultManager() {
  static NSFileManager manager;
  return manager;
}

bool NSFileManager::fileExistsAtPath(const std::string &path) const {
  return !path.empty() && platform::backend().launcher().exists(path);
}

void NSThread::sleepForTimeInterval(CFTimeInterval seconds) {
  if (!(seconds > 0)) return;  // zero, negative and NaN do not sleep
  platform::TimeSource &clock = platform::backend().time();
  uint64_t now = clock.upTimeNanos();
  uint64_t deadline = platform::kForever;
  // Anything beyond what 64 bits of nanoseconds hold sleeps for ever; the cast stays in range.
  if (seconds < 1.8e10) {
    uint64_t span = static_cast<uint64_t>(std::ceil(seconds * 1e9));
    if (span < platform::kForever - now) deadline = now + span;
  }
  std::unique_ptr<platform::Waiter> waiter = clock.makeWaiter();
  // Nobody notifies this waiter, but a wait may still end early; sleep the rest.
  do {
    waiter->waitUntil(deadline);
  } while (deadline != platform::kForever && clock.upTimeNanos() < deadline);
}

bool NSThread::isMainThread() {
  return gettid() == getpid();
}

}  // namespace corvassel::ns

namespace sys {
void exit(int status) {
  platform::backend().exitProcess(status);
  std::abort();  // a backend whose exit returned
}
}  // namespace sys
