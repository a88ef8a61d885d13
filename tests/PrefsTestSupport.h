// A temporary home directory with a preferences file in it, for the settings tests.
#pragma once

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <platform/PlistGuards.h>

#include "TestBackend.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

inline std::string ReadBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string &path, const std::string &bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// An XML property list around the given body (the root element).
inline std::string XmlPlist(const std::string &root) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n" +
         root + "\n</plist>\n";
}

inline std::string XmlDict(const std::string &entries) {
  return XmlPlist("<dict>" + entries + "</dict>");
}

// The same property list in binary form.
inline std::string BinaryFromXml(const std::string &text) {
  std::string xml = platform::NormalizePlistXml(text, false).text;  // "010" is ten
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  EXPECT_NE(root, nullptr) << xml;
  char *bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bytes, &length);
  std::string binary(bytes, length);
  plist_to_bin_free(bytes);
  plist_free(root);
  return binary;
}

// A hand-made binary property list: objects already encoded, references and offsets of 4
// bytes, the given top object.
struct BinaryBuilder {
  std::vector<std::string> objects;

  static std::string BigEndian(uint64_t value, size_t width) {
    std::string bytes(width, '\0');
    for (size_t i = 0; i < width; ++i) bytes[width - 1 - i] = static_cast<char>(value >> (8 * i));
    return bytes;
  }
  static std::string Container(uint8_t type, const std::vector<uint32_t> &refs, size_t entries) {
    std::string bytes;
    if (entries < 15) {
      bytes += static_cast<char>(type << 4 | entries);
    } else {
      bytes += static_cast<char>(type << 4 | 0xF);
      bytes += '\x12';
      bytes += BigEndian(entries, 4);
    }
    for (uint32_t ref : refs) bytes += BigEndian(ref, 4);
    return bytes;
  }
  uint32_t add(std::string encoded) {
    objects.push_back(std::move(encoded));
    return static_cast<uint32_t>(objects.size() - 1);
  }
  uint32_t ascii(const std::string &text) {
    return add(std::string(1, static_cast<char>(0x50 | text.size())) + text);
  }
  uint32_t integer(uint8_t value) { return add(std::string("\x10", 1) + static_cast<char>(value)); }
  uint32_t array(const std::vector<uint32_t> &refs) {
    return add(Container(0xA, refs, refs.size()));
  }
  uint32_t dict(const std::vector<uint32_t> &keys, const std::vector<uint32_t> &values) {
    std::vector<uint32_t> refs = keys;
    refs.insert(refs.end(), values.begin(), values.end());
    return add(Container(0xD, refs, keys.size()));
  }
  std::string build(uint32_t top) const {
    std::string bytes = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string &object : objects) {
      offsets.push_back(bytes.size());
      bytes += object;
    }
    uint64_t table = bytes.size();
    for (uint64_t offset : offsets) bytes += BigEndian(offset, 4);
    bytes += std::string(6, '\0');
    bytes += '\x04';
    bytes += '\x04';
    bytes += BigEndian(objects.size(), 8) + BigEndian(top, 8) + BigEndian(table, 8);
    return bytes;
  }
};

// Points HOME at a fresh directory for the test's lifetime.
class TempHome : public ::testing::Test {
 protected:
  void SetUp() override { scratch_.emplace(); }
  void TearDown() override { scratch_.reset(); }

  std::string home() const { return scratch_->home.string(); }
  std::string prefsPath() const { return scratch_->preferencesFile().string(); }
  void writePrefs(const std::string &bytes) const { WriteBytes(prefsPath(), bytes); }

 private:
  std::optional<ScratchHome> scratch_;
};
