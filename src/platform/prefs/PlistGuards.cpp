#include <platform/PlistGuards.h>

#include <algorithm>
#include <vector>

namespace platform {
namespace {

bool IsXmlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

int DigitValue(char c, int base) {
  int value = -1;
  if (c >= '0' && c <= '9')
    value = c - '0';
  else if (c >= 'a' && c <= 'f')
    value = c - 'a' + 10;
  else if (c >= 'A' && c <= 'F')
    value = c - 'A' + 10;
  return value < base ? value : -1;
}

// Position just past the "</integer>" tag that starts at pos, or npos when none starts there.
size_t PastIntegerClose(std::string_view xml, size_t pos) {
  constexpr std::string_view kClose = "</integer";
  if (xml.compare(pos, kClose.size(), kClose) != 0) return std::string_view::npos;
  size_t at = pos + kClose.size();
  while (at < xml.size() && IsXmlSpace(xml[at])) ++at;
  if (at < xml.size() && xml[at] == '>') return at + 1;
  return std::string_view::npos;
}

// Whether an <integer> start tag (or empty-element tag) begins at pos.
bool StartsIntegerTag(std::string_view xml, size_t pos) {
  constexpr std::string_view kOpen = "<integer";
  if (xml.compare(pos, kOpen.size(), kOpen) != 0) return false;
  size_t at = pos + kOpen.size();
  return at < xml.size() && (xml[at] == '>' || xml[at] == '/' || IsXmlSpace(xml[at]));
}

// End (exclusive) of a markup construct that must be copied untouched, npos when it runs to the
// end of the text; 0 when no such construct begins at pos.
size_t PastOpaqueMarkup(std::string_view xml, size_t pos) {
  auto past = [&](std::string_view terminator, size_t from) {
    size_t at = xml.find(terminator, from);
    return at == std::string_view::npos ? at : at + terminator.size();
  };
  std::string_view rest = xml.substr(pos);
  if (rest.starts_with("<!--")) return past("-->", pos + 4);
  if (rest.starts_with("<![CDATA[")) return past("]]>", pos + 9);
  if (rest.starts_with("<?")) return past("?>", pos + 2);
  if (rest.starts_with("<!")) {
    // A declaration, possibly with an internal subset in brackets.
    size_t close = xml.find('>', pos);
    size_t bracket = xml.substr(0, close).find('[', pos);
    if (bracket != std::string_view::npos) {
      size_t subsetEnd = xml.find(']', bracket);
      if (subsetEnd == std::string_view::npos) return subsetEnd;
      return past(">", subsetEnd);
    }
    return close == std::string_view::npos ? close : close + 1;
  }
  return 0;
}

uint64_t ReadBigEndian(std::string_view bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// The references held by one object of a binary property list.
struct References {
  bool container = false;
  size_t at = 0;
  uint64_t count = 0;
};

// Reads the object at the given index; false when its offset or its references do not lie
// inside the object area [8, tableStart).
bool ReadReferences(std::string_view bytes, uint64_t offset, size_t tableStart, size_t refSize,
                    References *refs) {
  if (offset < 8 || offset >= tableStart) return false;
  uint8_t marker = static_cast<uint8_t>(bytes[offset]);
  uint8_t type = marker >> 4;
  // Arrays, sets and dictionaries refer to other objects; everything else is a leaf.
  if (type != 0xA && type != 0xC && type != 0xD) return true;
  size_t at = offset + 1;
  uint64_t count = marker & 0xF;
  if (count == 0xF) {
    if (at >= tableStart) return false;
    uint8_t countMarker = static_cast<uint8_t>(bytes[at]);
    if (countMarker >> 4 != 0x1 || (countMarker & 0xF) > 3) return false;
    size_t width = size_t{1} << (countMarker & 0xF);
    if (width > tableStart - at - 1) return false;
    count = ReadBigEndian(bytes, at + 1, width);
    at += 1 + width;
  }
  uint64_t perEntry = type == 0xD ? 2 : 1;
  if (count > (tableStart - at) / refSize / perEntry) return false;
  *refs = References{true, at, count * perEntry};
  return true;
}

}  // namespace

std::optional<int64_t> ParsePlistInteger(std::string_view text) {
  while (!text.empty() && IsXmlSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsXmlSpace(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return std::nullopt;
  uint64_t magnitude = 0;
  for (char c : text) {
    int digit = DigitValue(c, base);
    if (digit < 0) return std::nullopt;
    if (magnitude > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base))
      return std::nullopt;
    magnitude = magnitude * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  constexpr uint64_t kLargestPositive = static_cast<uint64_t>(INT64_MAX);
  if (!negative) {
    if (magnitude > kLargestPositive) return std::nullopt;
    return static_cast<int64_t>(magnitude);
  }
  if (magnitude > kLargestPositive + 1) return std::nullopt;
  if (magnitude == kLargestPositive + 1) return INT64_MIN;
  return -static_cast<int64_t>(magnitude);
}

NormalizedXml NormalizePlistXml(std::string_view xml, bool flattenDictionaries) {
  NormalizedXml result;
  std::string &out = result.text;
  out.reserve(xml.size());
  constexpr std::string_view kUnreadable = "<data/>";

  // Element bookkeeping: nesting, and the shape of the root dictionary.
  size_t depth = 0;
  size_t rootLevel = 0;  // 2 for a value inside <plist>, 1 for a bare value
  bool sawRoot = false;
  size_t rootChildren = 0;
  bool paired = true;
  std::vector<std::string_view> open;  // names of the elements enclosing the scan position
  bool nested = true;
  // An element that begins at `begin`; an empty one also ends, at `end`.
  auto startElement = [&](std::string_view name, bool empty, size_t begin, size_t end) {
    size_t level = depth + 1;
    if (level == 1 && rootLevel == 0) rootLevel = name == "plist" ? 2 : 1;
    if (level == rootLevel) {
      if (sawRoot) paired = false;  // a second root value
      sawRoot = true;
      result.rootIsDictionary = name == "dict";
      result.root = {name, begin, end};
      result.rootContentEnd = end;
    } else if (level == rootLevel + 1 && result.rootIsDictionary) {
      if ((name == "key") != (rootChildren % 2 == 0)) paired = false;
      ++rootChildren;
      result.rootChildren.push_back({name, begin, end});
    }
    if (!empty) {
      result.depth = std::max(result.depth, ++depth);
      open.push_back(name);
    }
  };
  // The end tag of an element, from `begin` to `end`.
  auto endElement = [&](std::string_view name, size_t begin, size_t end) {
    if (open.empty() || open.back() != name) {
      nested = false;
      return;
    }
    if (depth == rootLevel) {
      result.root.end = end;
      result.rootContentEnd = begin;
    } else if (depth == rootLevel + 1 && result.rootIsDictionary && !result.rootChildren.empty()) {
      result.rootChildren.back().end = end;
    }
    open.pop_back();
    --depth;
  };
  auto renamed = [&](std::string_view name) -> std::string_view {
    if (flattenDictionaries && name == "dict") return "array";
    if (flattenDictionaries && name == "key") return "string";
    return name;
  };

  size_t pos = 0;
  bool scannedToEnd = false;
  while (pos < xml.size()) {
    size_t lt = xml.find('<', pos);
    if (lt == std::string_view::npos) {
      scannedToEnd = true;
      break;
    }
    out.append(xml, pos, lt - pos);
    pos = lt;
    if (size_t end = PastOpaqueMarkup(xml, lt); end != 0) {
      if (end == std::string_view::npos) break;
      out.append(xml, lt, end - lt);
      pos = end;
      continue;
    }
    size_t tagEnd = xml.find('>', lt);
    if (tagEnd == std::string_view::npos) break;
    if (!StartsIntegerTag(xml, lt)) {
      // Any other tag: copied whole (renamed when flattening), so that the scan stays linear.
      bool closing = xml[lt + 1] == '/';
      size_t nameStart = lt + (closing ? 2 : 1);
      size_t nameEnd = nameStart;
      while (nameEnd < tagEnd && !IsXmlSpace(xml[nameEnd]) && xml[nameEnd] != '/') ++nameEnd;
      std::string_view name = xml.substr(nameStart, nameEnd - nameStart);
      if (closing) {
        endElement(name, lt, tagEnd + 1);
      } else {
        startElement(name, xml[tagEnd - 1] == '/', lt, tagEnd + 1);
      }
      out.append(xml, lt, nameStart - lt);
      out.append(renamed(name));
      out.append(xml, nameEnd, tagEnd + 1 - nameEnd);
      pos = tagEnd + 1;
      continue;
    }
    if (xml[tagEnd - 1] == '/') {  // <integer/> holds no number
      startElement("integer", true, lt, tagEnd + 1);
      out.append(kUnreadable);
      ++result.unreadableIntegers;
      result.unreadableIntegerOffsets.push_back(lt);
      pos = tagEnd + 1;
      continue;
    }
    size_t contentEnd = xml.find('<', tagEnd + 1);
    if (contentEnd == std::string_view::npos) break;
    size_t elementEnd = PastIntegerClose(xml, contentEnd);
    std::optional<int64_t> value;
    if (elementEnd != std::string_view::npos) {
      value = ParsePlistInteger(xml.substr(tagEnd + 1, contentEnd - tagEnd - 1));
    } else {
      // Markup inside the element: no number. Without any closing tag the text is left for the
      // parser to reject.
      size_t close = xml.find("</integer", contentEnd);
      while (close != std::string_view::npos &&
             (elementEnd = PastIntegerClose(xml, close)) == std::string_view::npos)
        close = xml.find("</integer", close + 1);
      if (close == std::string_view::npos) break;
    }
    startElement("integer", true, lt, elementEnd);
    if (value) {
      out.append(xml, lt, tagEnd + 1 - lt);
      out.append(std::to_string(*value));
      out.append("</integer>");
    } else {
      out.append(kUnreadable);
      ++result.unreadableIntegers;
      result.unreadableIntegerOffsets.push_back(lt);
    }
    pos = elementEnd;
  }
  if (pos < xml.size())
    out.append(xml, pos, std::string_view::npos);
  else
    scannedToEnd = true;
  result.wellNested = nested && scannedToEnd && open.empty() && sawRoot;
  result.rootEntriesPaired = result.rootIsDictionary && paired && rootChildren % 2 == 0;
  return result;
}

bool BinaryPlistWithinLimits(std::string_view bytes) {
  constexpr size_t kHeader = 8, kTrailer = 32;
  if (bytes.size() < kHeader + kTrailer || !bytes.starts_with("bplist00")) return false;
  const size_t trailer = bytes.size() - kTrailer;
  const size_t offsetSize = static_cast<uint8_t>(bytes[trailer + 6]);
  const size_t refSize = static_cast<uint8_t>(bytes[trailer + 7]);
  const uint64_t count = ReadBigEndian(bytes, trailer + 8, 8);
  const uint64_t top = ReadBigEndian(bytes, trailer + 16, 8);
  const uint64_t table = ReadBigEndian(bytes, trailer + 24, 8);
  if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8) return false;
  if (table < kHeader || table > trailer || count == 0 || top >= count) return false;
  if (count > (trailer - table) / offsetSize) return false;
  if (count > table - kHeader) return false;  // every object takes at least one byte
  const size_t tableStart = static_cast<size_t>(table);
  auto offsetOf = [&](uint64_t index) {
    return ReadBigEndian(bytes, tableStart + static_cast<size_t>(index) * offsetSize, offsetSize);
  };

  // Depth-first walk over the containers, remembering each one's height and the size of the
  // tree it expands to (libplist copies an object once per reference to it).
  const uint64_t budget = 4 * static_cast<uint64_t>(bytes.size()) + 1024;
  constexpr uint16_t kOnPath = UINT16_MAX;
  std::vector<uint16_t> height(count, 0);  // 0: not yet seen
  std::vector<uint32_t> expanded(count, 0);
  struct Frame {
    uint64_t object;
    References refs;
    uint16_t childHeight = 0;
    uint64_t total = 1;
  };
  std::vector<Frame> path;

  References rootRefs;
  if (!ReadReferences(bytes, offsetOf(top), tableStart, refSize, &rootRefs)) return false;
  if (!rootRefs.container) return true;
  height[top] = kOnPath;
  path.push_back(Frame{top, rootRefs});
  while (!path.empty()) {
    Frame &frame = path.back();
    uint16_t childHeight = 0;
    uint64_t childTotal = 0;
    if (frame.refs.count == 0) {
      uint64_t done = frame.object;
      childHeight = static_cast<uint16_t>(frame.childHeight + 1);
      childTotal = frame.total;
      height[done] = childHeight;
      expanded[done] = static_cast<uint32_t>(childTotal);
      path.pop_back();
      if (path.empty()) break;
    } else {
      uint64_t child = ReadBigEndian(bytes, frame.refs.at, refSize);
      frame.refs.at += refSize;
      --frame.refs.count;
      if (child >= count || height[child] == kOnPath) return false;  // dangling, or a cycle
      if (height[child] != 0) {
        childHeight = height[child];
        childTotal = expanded[child];
      } else {
        References refs;
        if (!ReadReferences(bytes, offsetOf(child), tableStart, refSize, &refs)) return false;
        if (refs.container) {
          if (path.size() >= kPlistMaxDepth) return false;
          height[child] = kOnPath;
          path.push_back(Frame{child, refs});
          continue;
        }
        childHeight = 1;
        childTotal = 1;
      }
    }
    Frame &parent = path.back();
    parent.childHeight = std::max(parent.childHeight, childHeight);
    parent.total += childTotal;
    if (parent.total > budget) return false;
  }
  return true;
}

}  // namespace platform
