// XML is read through NormalizePlistXml with every dictionary flattened into an array (libplist
// 2.2 takes time quadratic in a dictionary's size to build one), and the root's key/value pairs
// are walked here. Binary lists are checked by libplist and by their limits, then read in place,
// so that keys and strings keep every byte (libplist cuts them at a NUL).
#include <plist/plist.h>
#include <platform/BinaryPlist.h>
#include <platform/PlistGuards.h>
#include <platform/PreferencesDictionary.h>

#include <deque>
#include <memory>

namespace platform {

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

constexpr const char *kUnreadable = "is not a readable property list";

// A key as a message shows it: quoted, control characters as '?', long ones cut short.
std::string Quoted(std::string_view key) {
  constexpr size_t kShown = 40;
  std::string shown = "\"";
  for (size_t i = 0; i < key.size() && i < kShown; ++i) {
    unsigned char c = static_cast<unsigned char>(key[i]);
    shown += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
  }
  if (key.size() > kShown) shown += "...";
  return shown + "\"";
}

std::optional<PreferencesDictionary> Refuse(std::string *problem, std::string why) {
  if (problem) *problem = std::move(why);
  return std::nullopt;
}

std::string NodeString(plist_t node) {
  uint64_t length = 0;
  // By pointer and length: libplist's copying accessor stops at a NUL.
  const char *text = plist_get_string_ptr(node, &length);
  return text ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// A value of the flattened XML: an <array> there may have been a <dict>.
PlistValue ValueOfNode(plist_t node, std::string_view element) {
  PlistValue value;
  using Kind = PlistValue::Kind;
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      uint8_t on = 0;
      plist_get_bool_val(node, &on);
      value.kind = Kind::kBoolean;
      value.boolean = on != 0;
      break;
    }
    case PLIST_UINT: {
      // Integers are 64-bit two's complement in both forms (negative ones included).
      uint64_t bits = 0;
      plist_get_uint_val(node, &bits);
      value.kind = Kind::kInteger;
      value.integer = static_cast<int64_t>(bits);
      break;
    }
    case PLIST_REAL:
      value.kind = Kind::kReal;
      plist_get_real_val(node, &value.real);
      break;
    case PLIST_STRING:
      value.kind = Kind::kString;
      value.string = NodeString(node);
      break;
    case PLIST_DATA:
      value.kind = Kind::kData;
      plist_get_data_ptr(node, &value.count);
      break;
    case PLIST_DATE:
      value.kind = Kind::kDate;
      break;
    case PLIST_ARRAY:
      value.kind = element == "dict" ? Kind::kDictionary : Kind::kArray;
      value.count = plist_array_get_size(node);
      if (value.kind == Kind::kDictionary) value.count /= 2;
      break;
    default:
      break;
  }
  return value;
}

// The root dictionary's entries of an XML file: their number to count(), then each to
// visit(key, valueNode, keyElement, valueElement, unreadableInteger) in the file's order while
// libplist's tree of the file lives; false, with *problem, when the file is not read at all. One
// walk for every reader, so that they refuse the same files.
template <typename Count, typename Visit>
bool WalkXml(std::string_view bytes, std::string *problem, PreferencesDictionary &root,
             Count &&count, Visit &&visit) {
  NormalizedXml xml = NormalizePlistXml(bytes, true);
  auto refuse = [&](std::string why) {
    if (problem) *problem = std::move(why);
    return false;
  };
  if (!xml.wellNested || xml.depth > kPlistMaxDepth) return refuse(kUnreadable);
  plist_t parsed = nullptr;
  plist_from_xml(xml.text.data(), static_cast<uint32_t>(xml.text.size()), &parsed);
  PlistPtr owner(parsed);
  std::string().swap(xml.text);  // parsed: the copy goes before the entries are made
  if (!parsed) return refuse(kUnreadable);
  if (!xml.rootIsDictionary) return refuse("does not hold a dictionary");
  const std::deque<NormalizedXml::Element> &children = xml.rootChildren;
  if (plist_get_node_type(parsed) != PLIST_ARRAY || plist_array_get_size(parsed) != children.size())
    return refuse(kUnreadable);

  root.rootBegin = xml.root.begin;
  root.rootEnd = xml.root.end;
  root.rootContentEnd = xml.rootContentEnd;
  count(children.size() / 2);
  std::string_view lastKey;
  size_t unreadable = 0;  // the next of xml.unreadableIntegerOffsets to place
  for (size_t i = 0; i < children.size(); i += 2) {
    plist_t keyNode = plist_array_get_item(parsed, static_cast<uint32_t>(i));
    if (children[i].name != "key" || plist_get_node_type(keyNode) != PLIST_STRING) {
      if (i == 0) return refuse("holds a value without a key");
      return refuse("holds a value without a key after the value of " + Quoted(lastKey));
    }
    uint64_t length = 0;
    // By pointer and length: libplist's copying accessor stops at a NUL.
    const char *text = plist_get_string_ptr(keyNode, &length);
    const std::string_view key = text ? std::string_view(text, length) : std::string_view();
    if (i + 1 == children.size() || children[i + 1].name == "key")
      return refuse("the key " + Quoted(key) + " has no value");
    bool unreadableInteger = false;
    const std::vector<size_t> &offsets = xml.unreadableIntegerOffsets;
    while (unreadable < offsets.size() && offsets[unreadable] < children[i + 1].end) {
      if (offsets[unreadable] >= children[i + 1].begin) unreadableInteger = true;
      ++unreadable;
    }
    visit(key, plist_array_get_item(parsed, static_cast<uint32_t>(i + 1)), children[i],
          children[i + 1], unreadableInteger);
    lastKey = key;
  }
  if (!xml.rootEntriesPaired) return refuse(kUnreadable);  // cannot be, but never guess
  return true;
}

std::optional<PreferencesDictionary> ReadXml(std::string_view bytes, std::string *problem) {
  PreferencesDictionary dictionary;
  const bool read = WalkXml(
      bytes, problem, dictionary, [&](size_t entries) { dictionary.entries.reserve(entries); },
      [&](std::string_view key, plist_t valueNode, const NormalizedXml::Element &keyElement,
          const NormalizedXml::Element &valueElement, bool unreadableInteger) {
        PlistEntry &entry = dictionary.entries.emplace_back();
        entry.key = key;
        entry.value = ValueOfNode(valueNode, valueElement.name);
        entry.keyBegin = keyElement.begin;
        entry.keyEnd = keyElement.end;
        entry.valueBegin = valueElement.begin;
        entry.valueEnd = valueElement.end;
        entry.unreadableInteger = unreadableInteger;
      });
  if (!read) return std::nullopt;
  return dictionary;
}

PlistValue ValueOfObject(const BinaryPlist &plist, const BinaryPlist::Object &object) {
  PlistValue value;
  using Kind = PlistValue::Kind;
  switch (object.type) {
    case BinaryPlist::kSimple:
      if (object.info == 0x8 || object.info == 0x9) {
        value.kind = Kind::kBoolean;
        value.boolean = object.info == 0x9;
      }
      break;
    case BinaryPlist::kInteger:
      value.kind = Kind::kInteger;
      value.integer = plist.integer(object).value_or(0);
      value.wide = object.info == 4;
      break;
    case BinaryPlist::kReal:
      value.kind = Kind::kReal;
      value.real = plist.real(object).value_or(0);
      break;
    case BinaryPlist::kDate:
      value.kind = Kind::kDate;
      break;
    case BinaryPlist::kData:
      value.kind = Kind::kData;
      value.count = object.count;
      break;
    case BinaryPlist::kAscii:
    case BinaryPlist::kUtf16:
      value.kind = Kind::kString;
      value.string = plist.string(object).value_or("");
      break;
    case BinaryPlist::kArray:
    case BinaryPlist::kSet:
      value.kind = Kind::kArray;
      value.count = object.count;
      break;
    case BinaryPlist::kDictionary:
      value.kind = Kind::kDictionary;
      value.count = object.count;
      break;
    default:
      break;
  }
  return value;
}

// Whether every object reachable from the top lies whole in the file and is of a known kind.
bool EveryObjectReadable(const BinaryPlist &plist) {
  std::vector<bool> seen(static_cast<size_t>(plist.objectCount()), false);
  std::vector<uint64_t> pending = {plist.topObject()};
  seen[static_cast<size_t>(plist.topObject())] = true;
  while (!pending.empty()) {
    std::optional<BinaryPlist::Object> object = plist.object(pending.back());
    pending.pop_back();
    if (!object) return false;
    if (!object->container()) continue;
    for (uint64_t i = 0; i < object->references(); ++i) {
      uint64_t child = plist.reference(*object, i);
      if (child >= plist.objectCount()) return false;
      if (seen[static_cast<size_t>(child)]) continue;
      seen[static_cast<size_t>(child)] = true;
      pending.push_back(child);
    }
  }
  return true;
}

std::optional<PreferencesDictionary> ReadBinary(std::string_view bytes, std::string *problem) {
  if (!BinaryPlistWithinLimits(bytes)) return Refuse(problem, kUnreadable);
  plist_t parsed = nullptr;
  plist_from_bin(bytes.data(), static_cast<uint32_t>(bytes.size()), &parsed);
  PlistPtr owner(parsed);
  BinaryPlist plist;
  if (!parsed || !plist.open(bytes) || !EveryObjectReadable(plist))
    return Refuse(problem, kUnreadable);
  std::optional<BinaryPlist::Object> root = plist.object(plist.topObject());
  if (root->type != BinaryPlist::kDictionary) return Refuse(problem, "does not hold a dictionary");

  PreferencesDictionary dictionary;
  dictionary.binary = true;
  dictionary.entries.reserve(static_cast<size_t>(root->count));
  for (uint64_t i = 0; i < root->count; ++i) {
    PlistEntry entry;
    entry.keyObject = plist.reference(*root, i);
    entry.valueObject = plist.reference(*root, root->count + i);
    std::optional<BinaryPlist::Object> key = plist.object(entry.keyObject);
    std::optional<std::string> name = key ? plist.string(*key) : std::nullopt;
    if (!name) return Refuse(problem, "holds a key that is not a string");
    entry.key = std::move(*name);
    entry.value = ValueOfObject(plist, *plist.object(entry.valueObject));
    dictionary.entries.push_back(std::move(entry));
  }
  return dictionary;
}

}  // namespace

const PlistEntry *PreferencesDictionary::find(std::string_view key) const {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it)
    if (it->key == key) return &*it;
  return nullptr;
}

std::optional<PreferencesDictionary> ReadPreferencesDictionary(std::string_view bytes,
                                                               std::string *problem) {
  if (bytes.starts_with("bplist00")) return ReadBinary(bytes, problem);
  return ReadXml(bytes, problem);
}

namespace {

// A stored value as CFPreferencesCopyValue hands it out.
CFPropertyListRef CopyValue(const PlistValue &value) {
  switch (value.kind) {
    case PlistValue::Kind::kBoolean:
      return value.boolean ? kCFBooleanTrue : kCFBooleanFalse;
    case PlistValue::Kind::kInteger:
      return CFNumberCreate(nullptr, kCFNumberSInt64Type, &value.integer);
    case PlistValue::Kind::kReal:
      return CFNumberCreate(nullptr, kCFNumberDoubleType, &value.real);
    case PlistValue::Kind::kString:
      if (value.string.size() > static_cast<size_t>(INT32_MAX)) return nullptr;
      return CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(value.string.data()),
                                     static_cast<CFIndex>(value.string.size()),
                                     kCFStringEncodingUTF8, false);
    default:
      return nullptr;  // kinds the settings never hold
  }
}

}  // namespace

CFPropertyListRef CopyPreferencesValue(const PreferencesDictionary &dictionary,
                                       std::string_view key) {
  const PlistEntry *entry = dictionary.find(key);
  return entry ? CopyValue(entry->value) : nullptr;
}

CFPropertyListRef CopyPreferencesValue(std::string_view bytes, std::string_view key) {
  if (bytes.starts_with("bplist00")) {
    std::optional<PreferencesDictionary> dictionary = ReadBinary(bytes, nullptr);
    return dictionary ? CopyPreferencesValue(*dictionary, key) : nullptr;
  }
  // Only the value of the last entry of key is kept, not an entry for every key of the file.
  PreferencesDictionary root;
  std::optional<PlistValue> found;
  const bool read = WalkXml(
      bytes, nullptr, root, [](size_t) {},
      [&](std::string_view entryKey, plist_t valueNode, const NormalizedXml::Element &,
          const NormalizedXml::Element &valueElement, bool) {
        if (entryKey == key) found = ValueOfNode(valueNode, valueElement.name);
      });
  return read && found ? CopyValue(*found) : nullptr;
}

}  // namespace platform
