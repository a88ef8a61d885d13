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

// A property list, XML or binary, encoded again: as XML for comparing contents whatever the form
// on disk, or in binary form. In XML, "010" is ten.
inline std::string Reencoded(const std::string &bytes, bool binary) {
  plist_t root = nullptr;
  if (bytes.starts_with("bplist00")) {
    plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  } else {
    std::string xml = platform::NormalizePlistXml(bytes, false).text;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  }
  EXPECT_TRUE(root || !binary) << bytes;
  if (!root) return "<unreadable>";
  char *out = nullptr;
  uint32_t length = 0;
  (binary ? plist_to_bin : plist_to_xml)(root, &out, &length);
  std::string text(out, length);
  (binary ? plist_to_bin_free : plist_to_xml_free)(out);
  plist_free(root);
  return text;
}
inline std::string BinaryFromXml(const std::string &text) {
  return Reencoded(text, true);
}
inline std::string Canonical(const std::string &bytes) {
  return Reencoded(bytes, false);
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
    if (text.size() < 15) return add(std::string(1, static_cast<char>(0x50 | text.size())) + text);
    return add("\x5F\x12" + BigEndian(text.size(), 4) + text);
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

// Files the helper does not read at all: it uses the defaults.
struct BrokenCase {
  const char *name;
  std::string bytes;
};

inline std::string Nested(size_t depth, const std::string &inner) {
  std::string open, close;
  for (size_t i = 0; i < depth; ++i) {
    open += "<array>";
    close += "</array>";
  }
  return open + inner + close;
}

// A dictionary whose "X" is an array chain of the given depth and whose BackButton is 3.
inline std::string DeepBinary(size_t depth) {
  BinaryBuilder b;
  uint32_t keyBack = b.ascii("BackButton"), keyX = b.ascii("X"), three = b.integer(3);
  uint32_t inner = b.array({});
  for (size_t i = 1; i < depth; ++i) inner = b.array({inner});
  return b.build(b.dict({keyBack, keyX}, {three, inner}));
}

inline std::vector<BrokenCase> BrokenFiles() {
  std::string settings =
      XmlDict("<key>Enabled</key><true/><key>BackButton</key><integer>3</integer>");
  std::string binary = BinaryFromXml(settings);
  std::vector<BrokenCase> cases = {
      {"empty file", ""},
      {"not a property list", "hello, world\n"},
      {"truncated XML", settings.substr(0, settings.size() / 2)},
      {"unterminated integer", XmlPlist("<dict><key>BackButton</key><integer>3")},
      {"root is an array", XmlPlist("<array><integer>3</integer></array>")},
      {"root is an array of key-value look-alikes",
       XmlPlist("<array><string>BackButton</string><integer>3</integer></array>")},
      {"a string where a key belongs", XmlDict("<string>BackButton</string><integer>3</integer>")},
      {"a key without a value",
       XmlDict("<key>BackButton</key><integer>3</integer><key>Enabled</key>")},
      {"two values in a row", XmlDict("<key>BackButton</key><integer>3</integer><true/>")},
      {"two root values",
       XmlPlist("<dict><key>BackButton</key><integer>3</integer></dict><dict/>")},
      {"mismatched tags",
       XmlDict("<key>BackButton</key><integer>3</integer><key>A</key><array></dict>")},
      {"root is a string", XmlPlist("<string>BackButton</string>")},
      {"binary root is an array", BinaryFromXml(XmlPlist("<array><true/></array>"))},
      {"truncated binary", binary.substr(0, binary.size() - 5)},
      {"binary header only", "bplist00"},
      {"binary with a garbage trailer",
       binary.substr(0, binary.size() - 32) + std::string(32, '\xff')},
      {"XML nested far too deep",
       XmlDict("<key>BackButton</key><integer>3</integer><key>X</key>" + Nested(20000, ""))},
      {"binary nested far too deep", DeepBinary(200000)},
  };
  {
    BinaryBuilder b;  // an array that contains itself
    uint32_t key = b.ascii("X");
    uint32_t loop = b.add(BinaryBuilder::Container(0xA, {2}, 1));
    cases.push_back({"binary reference cycle", b.build(b.dict({key}, {loop}))});
  }
  {
    BinaryBuilder b;  // 2^60 objects once every reference is followed
    uint32_t keyBack = b.ascii("BackButton"), keyX = b.ascii("X"), three = b.integer(3);
    uint32_t level = b.array({});
    for (int i = 0; i < 60; ++i) level = b.array({level, level});
    cases.push_back(
        {"binary that multiplies when expanded", b.build(b.dict({keyBack, keyX}, {three, level}))});
  }
  return cases;
}

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
