#include "PreferencesFile.h"

#include <corvassel/Foundation.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace corvassel::tools {
namespace {

// Far beyond any real preferences file; the helper reads no larger one either.
constexpr off_t kLargestFile = 128 << 20;

std::string Describe(const std::string &path, const std::string &problem) {
  return path + ": " + problem;
}

std::string SystemError(const std::string &path, const char *what, int error) {
  return Describe(path, std::string(what) + ": " + strerror(error));
}

std::string DirectoryOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// Creates every missing directory on the way to dir.
bool MakeDirectories(const std::string &dir, std::string *error) {
  for (size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
    std::string prefix = dir.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = SystemError(prefix, "cannot create directory", errno);
      return false;
    }
    if (slash == std::string::npos) break;
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *error = Describe(dir, "is not a directory");
    return false;
  }
  return true;
}

// Where writing to path really goes: path itself, or the file its chain of symbolic links ends
// at (which need not exist yet).
bool FollowLinks(const std::string &path, std::string *target, std::string *error) {
  std::string at = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info;
    if (lstat(at.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *target = at;
      return true;
    }
    std::vector<char> link(PATH_MAX + 1);
    ssize_t n = readlink(at.c_str(), link.data(), link.size() - 1);
    if (n < 0) {
      *error = SystemError(at, "cannot read the link", errno);
      return false;
    }
    std::string to(link.data(), static_cast<size_t>(n));
    at = to.starts_with("/") ? to : DirectoryOf(at) + "/" + to;
  }
  *error = SystemError(path, "cannot follow the link", ELOOP);
  return false;
}

bool WriteAll(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ShortText(const std::string &text) {
  constexpr size_t kShown = 40;
  std::string shown = "\"";
  size_t length = text.size();
  for (size_t i = 0; i < length && i < kShown; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    shown += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
  }
  if (length > kShown) shown += "...";
  return shown + "\"";
}

}  // namespace

std::string PreferencesPath(const std::string &home, const std::string &domain) {
  return home + "/Library/Preferences/" + domain + ".plist";
}

std::string HomeDirectory() {
  return corvassel::ns::NSHomeDirectory();
}

PreferencesFile::PreferencesFile(std::string path) : path_(std::move(path)) {
  dictionary_ = *platform::ReadPreferencesDictionary(kEmptyPreferencesXml);
}

PreferencesFile::~PreferencesFile() {
  unlock();
}

void PreferencesFile::unlock() {
  if (lock_ >= 0) close(lock_);  // lets go of the lock
  lock_ = -1;
}

bool PreferencesFile::lock(std::string *error) {
  if (lock_ >= 0) return true;
  const std::string dir = DirectoryOf(path_);
  if (!MakeDirectories(dir, error)) return false;
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *error = SystemError(dir, "cannot open", errno);
    return false;
  }
  int rc;
  while ((rc = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (rc != 0) {
    *error = SystemError(dir, "cannot lock", errno);
    close(fd);
    return false;
  }
  lock_ = fd;
  return true;
}

bool PreferencesFile::load(std::string *error) {
  // O_NONBLOCK: a FIFO at the path must not hang the tool.
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT) {
      *error = SystemError(path_, "cannot open", errno);
      return false;
    }
    bytes_.clear();
    dictionary_ = *platform::ReadPreferencesDictionary(kEmptyPreferencesXml);
    return true;
  }
  std::string bytes;
  std::string problem;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    problem = "is not a regular file";
  } else if (info.st_size > kLargestFile) {
    problem = "is too large to be a preferences file";
  } else {
    bytes.reserve(static_cast<size_t>(info.st_size));
    char chunk[65536];
    for (;;) {
      ssize_t n = read(fd, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        problem = std::string("cannot read: ") + strerror(errno);
        break;
      }
      if (n == 0) break;
      bytes.append(chunk, static_cast<size_t>(n));
      if (bytes.size() > static_cast<size_t>(kLargestFile)) {
        problem = "is too large to be a preferences file";
        break;
      }
    }
  }
  close(fd);
  std::optional<platform::PreferencesDictionary> dictionary;
  if (problem.empty()) dictionary = platform::ReadPreferencesDictionary(bytes, &problem);
  if (!dictionary) {
    *error = Describe(path_, problem + " (the helper ignores it and uses the defaults)");
    return false;
  }
  for (const platform::PlistEntry &entry : dictionary->entries) {
    if (!entry.unreadableInteger) continue;
    // The helper reads such an integer as no number at all; showing or keeping it as one
    // would mislead.
    *error = Describe(path_, "holds an integer that is not a signed 64-bit number, under " +
                                 ShortText(entry.key));
    return false;
  }
  bytes_ = std::move(bytes);
  dictionary_ = std::move(*dictionary);
  return true;
}

bool PreferencesFile::change(const std::string &key, const std::optional<NewValue> &value,
                             std::string *error) {
  if (!value && !dictionary_.find(key)) return true;
  const std::string_view current = bytes_.empty() && !dictionary_.binary
                                       ? std::string_view(kEmptyPreferencesXml)
                                       : std::string_view(bytes_);
  std::string problem;
  std::optional<std::string> edited = EditPreferences(current, dictionary_, key, value, &problem);
  std::optional<platform::PreferencesDictionary> reread;
  if (edited) reread = platform::ReadPreferencesDictionary(*edited);
  if (!reread) {
    if (error) *error = Describe(path_, problem);
    return false;
  }
  bytes_ = std::move(*edited);
  dictionary_ = std::move(*reread);
  return true;
}

bool PreferencesFile::setBoolean(const std::string &key, bool value, std::string *error) {
  return change(key, NewValue::Boolean(value), error);
}

bool PreferencesFile::setInteger(const std::string &key, int64_t value, std::string *error) {
  return change(key, NewValue::Integer(value), error);
}

bool PreferencesFile::remove(const std::string &key, std::string *error) {
  return change(key, std::nullopt, error);
}

bool PreferencesFile::save(std::string *error) {
  const std::string text = bytes_.empty() ? std::string(kEmptyPreferencesXml) : bytes_;
  std::string target;
  if (!FollowLinks(path_, &target, error)) return false;
  const std::string dir = DirectoryOf(target);
  if (!MakeDirectories(dir, error)) return false;

  // Keep the permissions of the file being replaced; a new one is private to the user.
  mode_t mode = 0600;
  struct stat existing;
  if (stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
    mode = existing.st_mode & 07777;

  std::string temp = target + ".XXXXXX";
  int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = SystemError(dir, "cannot create a temporary file", errno);
    return false;
  }
  bool ok = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
  int savedErrno = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    *error = SystemError(path_, "cannot write", savedErrno);
    return false;
  }
  // Make the rename itself durable.
  int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

std::optional<StoredValue> PreferencesFile::value(const std::string &key) const {
  const platform::PlistEntry *entry = dictionary_.find(key);
  if (!entry) return std::nullopt;
  const platform::PlistValue &value = entry->value;
  using Kind = platform::PlistValue::Kind;
  StoredValue stored;
  switch (value.kind) {
    case Kind::kBoolean:
      stored.kind = StoredValue::Kind::kBoolean;
      stored.boolean = value.boolean;
      stored.text = value.boolean ? "true" : "false";
      break;
    case Kind::kInteger:
      stored.kind = StoredValue::Kind::kInteger;
      stored.integer = value.integer;
      // A 16-byte integer of a binary file is unsigned.
      stored.text = value.wide ? std::to_string(static_cast<uint64_t>(value.integer))
                               : std::to_string(value.integer);
      break;
    case Kind::kReal: {
      stored.kind = StoredValue::Kind::kReal;
      stored.real = value.real;
      char text[64];
      auto [end, ec] = std::to_chars(text, text + sizeof text, value.real);
      stored.text = ec == std::errc() ? std::string(text, end) : "<real>";
      break;
    }
    case Kind::kString:
      stored.text = ShortText(value.string);
      break;
    case Kind::kArray:
      stored.text = "<array of " + std::to_string(value.count) + ">";
      break;
    case Kind::kDictionary:
      stored.text = "<dictionary of " + std::to_string(value.count) + ">";
      break;
    case Kind::kData:
      stored.text = "<data of " + std::to_string(value.count) + " bytes>";
      break;
    case Kind::kDate:
      stored.text = "<date>";
      break;
    default:
      stored.text = "<other>";
  }
  return stored;
}

std::optional<std::string> PreferencesFile::displayValue(const std::string &key) const {
  std::optional<StoredValue> stored = value(key);
  if (!stored) return std::nullopt;
  return stored->text;
}

}  // namespace corvassel::tools
