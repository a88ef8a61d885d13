// What libplist needs around it to read property lists as macOS does and to survive hostile
// ones. Shared by the platform's preferences and by the tools that write preferences files.
//
// Integers in XML property lists are decimal or 0x-prefixed hex, and a leading zero does not make
// a number octal; libplist reads them with C's base detection instead, so "010" would be eight.
// libplist also recurses once per nesting level and, for binary lists, once per reference, so a
// deeply nested or self-multiplying file would exhaust the stack or run for ages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Nesting beyond this is refused before libplist sees the file.
constexpr size_t kPlistMaxDepth = 512;

// The value of the text inside an <integer> element: optional surrounding whitespace, an
// optional sign, then decimal digits or 0x/0X and hex digits. Nothing when the text is not an
// integer or does not fit a signed 64-bit value.
std::optional<int64_t> ParsePlistInteger(std::string_view text);

struct NormalizedXml {
  std::string text;
  // <integer> elements that hold no readable signed 64-bit value; each was replaced by an empty
  // <data/> element so that it reads as something other than a number.
  size_t unreadableIntegers = 0;
  // Deepest element nesting seen (the <plist> element is level 1).
  size_t depth = 0;
  // Whether every element that opens closes under the same name, and the text ends outside
  // every construct.
  bool wellNested = false;
  // Whether the root value is a <dict>, and whether its children alternate <key> and a value.
  bool rootIsDictionary = false;
  bool rootEntriesPaired = false;

  // Where things lie in the text given (not in `text`), for editing it in place: [begin, end).
  struct Element {
    std::string_view name;  // a view into the text given
    size_t begin = 0;
    size_t end = 0;
  };
  // The root element, and where its content ends (its end tag, or its end for <dict/>).
  Element root;
  size_t rootContentEnd = 0;
  // The root dictionary's children in order, keys and values alike. A deque: a file of millions
  // of entries grows it without moving (and faulting in) what it already holds.
  std::deque<Element> rootChildren;
  // Where each <integer> that holds no readable number begins.
  std::vector<size_t> unreadableIntegerOffsets;
};

// Rewrites every <integer> element of an XML property list with canonical decimal content.
// Comments, CDATA sections, processing instructions and declarations are left alone, as is
// everything else in the text. With flattenDictionaries, every <dict> becomes an <array> and
// every <key> a <string>: libplist 2.2 takes time quadratic in a dictionary's size to build it,
// while an array of the same entries is read in linear time and still checked for well-formed
// XML; a single lookup can then walk the root's key/value pairs itself.
NormalizedXml NormalizePlistXml(std::string_view xml, bool flattenDictionaries);

// Whether a binary property list ("bplist00") is one libplist can parse in bounded time and
// stack: a well-formed trailer and offset table, no reference cycles, at most kPlistMaxDepth
// levels, and an expanded object tree no larger than a small multiple of the file.
bool BinaryPlistWithinLimits(std::string_view bytes);

}  // namespace platform
