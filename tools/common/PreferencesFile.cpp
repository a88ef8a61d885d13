#include "PreferencesFile.h"

#include <Foundation/Foundation.h>

#include <fcntl.h>
#include <plist/plist.h>
#include <platform/PlistGuards.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace corvassel::tools {
namespace {

// Far beyond any real preferences file.
constexpr off_t kLargestFile = 128 << 20;

std::string Describe(const std::string &path, const std::string &problem) {
  return path + ": " + problem;
}

std::string SystemError(const std::string &path, const char *what, int error) {
  return Describe(path, std::string(what) + ": " + strerror(error));
}

plist_t AsNode(void *root) {
  return static_cast<plist_t>(root);
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
  return NSHomeDirectory();
}

PreferencesFile::PreferencesFile(std::string path)
    : path_(std::move(path)), root_(plist_new_dict()) {}

PreferencesFile::~PreferencesFile() {
  plist_free(AsNode(root_));
}

bool PreferencesFile::load(std::string *error) {
  // O_NONBLOCK: a FIFO at the path must not hang the tool.
  int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno != ENOENT) {
      *error = SystemError(path_, "cannot open", errno);
      return false;
    }
    plist_free(AsNode(root_));
    root_ = plist_new_dict();
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
  if (!problem.empty()) {
    *error = Describe(path_, problem);
    return false;
  }

  plist_t root = nullptr;
  if (bytes.starts_with("bplist00")) {
    if (platform::BinaryPlistWithinLimits(bytes))
      plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else {
    platform::NormalizedXml xml = platform::NormalizePlistXml(bytes, false);
    if (xml.unreadableIntegers > 0) {
      // Writing the file back would lose those values.
      *error = Describe(path_, "holds an integer that is not a signed 64-bit number");
      return false;
    }
    if (xml.depth <= platform::kPlistMaxDepth)
      plist_from_xml(xml.text.data(), static_cast<uint32_t>(xml.text.size()), &root);
  }
  if (!root) {
    *error = Describe(path_, "is not a readable property list");
    return false;
  }
  if (plist_get_node_type(root) != PLIST_DICT) {
    plist_free(root);
    *error = Describe(path_, "does not hold a dictionary");
    return false;
  }
  plist_free(AsNode(root_));
  root_ = root;
  return true;
}

void PreferencesFile::setBoolean(const std::string &key, bool value) {
  plist_dict_set_item(AsNode(root_), key.c_str(), plist_new_bool(value ? 1 : 0));
}

void PreferencesFile::setInteger(const std::string &key, int64_t value) {
  // libplist keeps integers as their 64-bit two's complement pattern and writes them signed.
  plist_dict_set_item(AsNode(root_), key.c_str(), plist_new_uint(static_cast<uint64_t>(value)));
}

void PreferencesFile::remove(const std::string &key) {
  if (plist_dict_get_item(AsNode(root_), key.c_str()))
    plist_dict_remove_item(AsNode(root_), key.c_str());
}

bool PreferencesFile::save(std::string *error) {
  char *xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(AsNode(root_), &xml, &length);
  if (!xml) {
    *error = Describe(path_, "cannot be encoded as a property list");
    return false;
  }
  std::string text(xml, length);
  plist_to_xml_free(xml);

  size_t slash = path_.rfind('/');
  std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path_.substr(0, slash));
  if (!MakeDirectories(dir, error)) return false;

  // Keep the permissions of the file being replaced; a new one is private to the user.
  mode_t mode = 0600;
  struct stat existing;
  if (stat(path_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
    mode = existing.st_mode & 07777;

  std::string temp = path_ + ".XXXXXX";
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
  if (ok && rename(temp.c_str(), path_.c_str()) != 0) {
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
  plist_t node = plist_dict_get_item(AsNode(root_), key.c_str());
  if (!node) return std::nullopt;
  StoredValue stored;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t value = 0;
      plist_get_bool_val(node, &value);
      stored.kind = StoredValue::Kind::kBoolean;
      stored.boolean = value != 0;
      stored.text = value ? "true" : "false";
      break;
    }
    case PLIST_UINT: {
      uint64_t bits = 0;
      plist_get_uint_val(node, &bits);
      stored.kind = StoredValue::Kind::kInteger;
      stored.integer = static_cast<int64_t>(bits);
      stored.text = std::to_string(stored.integer);
      break;
    }
    case PLIST_REAL: {
      plist_get_real_val(node, &stored.real);
      stored.kind = StoredValue::Kind::kReal;
      char text[64];
      auto [end, ec] = std::to_chars(text, text + sizeof text, stored.real);
      stored.text = ec == std::errc() ? std::string(text, end) : "<real>";
      break;
    }
    case PLIST_STRING: {
      // By pointer and length: a string may hold NUL characters, which make libplist's copying
      // accessor abort.
      uint64_t length = 0;
      const char *text = plist_get_string_ptr(node, &length);
      stored.text = text ? ShortText(std::string(text, static_cast<size_t>(length))) : "\"\"";
      break;
    }
    case PLIST_ARRAY:
      stored.text = "<array of " + std::to_string(plist_array_get_size(node)) + ">";
      break;
    case PLIST_DICT:
      stored.text = "<dictionary of " + std::to_string(plist_dict_get_size(node)) + ">";
      break;
    case PLIST_DATA: {
      uint64_t size = 0;
      plist_get_data_ptr(node, &size);
      stored.text = "<data of " + std::to_string(size) + " bytes>";
      break;
    }
    case PLIST_DATE:
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
