#include "linux/input/PointerNodes.h"

#include <platform/UniqueFd.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <optional>
#include <vector>

namespace platform::evdev {
namespace {

constexpr unsigned kWordBits = sizeof(unsigned long) * CHAR_BIT;

// A small sysfs attribute, whole; nothing when it cannot be read.
std::optional<std::string> ReadAttribute(const std::string &path) {
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd) return std::nullopt;
  std::string text;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > 64 * 1024) break;  // far beyond any capability bitmap
  }
  return text;
}

// A capability bitmap as sysfs prints it: hex words of the kernel's long, the most significant
// first, leading zero words left out. Returned lowest word first.
std::optional<std::vector<unsigned long>> ReadBitmap(const std::string &path) {
  std::optional<std::string> text = ReadAttribute(path);
  if (!text) return std::nullopt;
  std::vector<unsigned long> words;
  size_t at = 0;
  for (;;) {
    while (at < text->size() && ((*text)[at] == ' ' || (*text)[at] == '\n')) ++at;
    if (at == text->size()) break;
    unsigned long word = 0;
    size_t digits = 0;
    for (; at < text->size() && (*text)[at] != ' ' && (*text)[at] != '\n'; ++at, ++digits) {
      char c = (*text)[at];
      int value = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (value < 0 || digits >= kWordBits / 4) return std::nullopt;
      word = word << 4 | static_cast<unsigned long>(value);
    }
    words.push_back(word);
  }
  if (words.empty()) return std::nullopt;
  return std::vector<unsigned long>(words.rbegin(), words.rend());
}

// A one-line attribute of the node's input device, without its newline.
std::string DeviceAttribute(const std::string &sysfsInput, const std::string &node,
                            const char *attribute) {
  if (node.empty() || node.find('/') != std::string::npos) return {};
  std::string text = ReadAttribute(sysfsInput + "/" + node + "/device/" + attribute).value_or("");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool TestBit(const std::vector<unsigned long> &words, unsigned bit) {
  size_t word = bit / kWordBits;
  return word < words.size() && (words[word] >> (bit % kWordBits) & 1) != 0;
}

bool HasKeyboardKeys(const std::function<bool(uint16_t)> &hasKey) {
  for (uint16_t key = KEY_ESC; key <= KEY_D; ++key)
    if (!hasKey(key)) return false;
  return true;
}

}  // namespace

bool isPointerDevice(const Capabilities &caps) {
  return caps.has(EV_REL, REL_X) && caps.has(EV_REL, REL_Y) && caps.has(EV_KEY, BTN_LEFT) &&
         !isKeyboardDevice(caps);
}

bool isKeyboardDevice(const Capabilities &caps) {
  return HasKeyboardKeys([&](uint16_t key) { return caps.has(EV_KEY, key); });
}

bool isPointerNode(const std::string &sysfsInput, const std::string &node) {
  if (node.empty() || node.find('/') != std::string::npos || node == "." || node == "..")
    return false;
  const std::string capabilities = sysfsInput + "/" + node + "/device/capabilities/";
  auto ev = ReadBitmap(capabilities + "ev");
  auto rel = ReadBitmap(capabilities + "rel");
  auto key = ReadBitmap(capabilities + "key");
  if (!ev || !rel || !key) return false;
  return TestBit(*ev, EV_REL) && TestBit(*ev, EV_KEY) && TestBit(*rel, REL_X) &&
         TestBit(*rel, REL_Y) && TestBit(*key, BTN_LEFT) &&
         !HasKeyboardKeys([&](uint16_t code) { return TestBit(*key, code); });
}

std::string deviceName(const std::string &sysfsInput, const std::string &node) {
  return DeviceAttribute(sysfsInput, node, "name");
}

std::string devicePhys(const std::string &sysfsInput, const std::string &node) {
  return DeviceAttribute(sysfsInput, node, "phys");
}

}  // namespace platform::evdev
