#include "PlistEdit.h"

#include <platform/BinaryPlist.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace corvassel::tools {

const char *const kEmptyPreferencesXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "</dict>\n"
    "</plist>\n";

namespace {

using platform::BinaryPlist;
using platform::PlistEntry;
using platform::PlistValue;
using platform::PreferencesDictionary;

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string XmlEscaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

std::string XmlValue(const NewValue &value) {
  if (value.isBoolean) return value.boolean ? "<true/>" : "<false/>";
  return "<integer>" + std::to_string(value.integer) + "</integer>";
}

PlistValue AsPlistValue(const NewValue &value) {
  PlistValue plain;
  plain.kind = value.isBoolean ? PlistValue::Kind::kBoolean : PlistValue::Kind::kInteger;
  plain.boolean = value.boolean;
  plain.integer = value.integer;
  return plain;
}

// The start of the run of white space that ends at `at`.
size_t SpaceBefore(std::string_view text, size_t at, size_t floor) {
  while (at > floor && IsSpace(text[at - 1])) --at;
  return at;
}

std::string XmlEdit(std::string_view text, const PreferencesDictionary &dictionary,
                    const std::string &key, const std::optional<NewValue> &value) {
  std::string out(text);
  const std::vector<PlistEntry> &entries = dictionary.entries;
  if (!value) {
    // Latest first, so that the earlier positions stay valid; with each entry goes the space
    // that led up to it.
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      if (it->key != key) continue;
      size_t from = SpaceBefore(text, it->keyBegin, dictionary.rootBegin);
      out.erase(from, it->valueEnd - from);
    }
    return out;
  }
  if (const PlistEntry *entry = dictionary.find(key)) {
    out.replace(entry->valueBegin, entry->valueEnd - entry->valueBegin, XmlValue(*value));
    return out;
  }
  const std::string keyElement = "<key>" + XmlEscaped(key) + "</key>";
  if (!entries.empty()) {
    // Laid out as the last entry is.
    const PlistEntry &last = entries.back();
    size_t lead = SpaceBefore(text, last.keyBegin, dictionary.rootBegin);
    std::string before(text.substr(lead, last.keyBegin - lead));
    std::string between(text.substr(last.keyEnd, last.valueBegin - last.keyEnd));
    if (!std::all_of(between.begin(), between.end(), IsSpace)) between = before;
    out.insert(last.valueEnd, before + keyElement + between + XmlValue(*value));
    return out;
  }
  if (dictionary.rootContentEnd == dictionary.rootEnd) {  // <dict/>
    out.replace(dictionary.rootBegin, dictionary.rootEnd - dictionary.rootBegin,
                "<dict>\n\t" + keyElement + "\n\t" + XmlValue(*value) + "\n</dict>");
    return out;
  }
  const size_t at = dictionary.rootContentEnd;
  const bool onItsOwnLine = at > 0 && text[at - 1] == '\n';
  out.insert(at, onItsOwnLine ? "\t" + keyElement + "\n\t" + XmlValue(*value) + "\n"
                              : keyElement + XmlValue(*value));
  return out;
}

// ---- binary ----

std::string BigEndian(uint64_t value, size_t width) {
  std::string bytes(width, '\0');
  for (size_t i = 0; i < width; ++i) bytes[width - 1 - i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

size_t WidthFor(uint64_t largest) {
  size_t width = 1;
  while (width < 8 && largest >> (8 * width) != 0) ++width;
  return width;
}

// The marker and count of an object whose count does not fit the marker's low nibble.
std::string Header(uint8_t type, uint64_t count) {
  if (count < 15) return std::string(1, static_cast<char>(type << 4 | count));
  std::string header(1, static_cast<char>(type << 4 | 0xF));
  const size_t width = WidthFor(count);
  const size_t power = width <= 1 ? 0 : width <= 2 ? 1 : width <= 4 ? 2 : 3;
  header += static_cast<char>(0x10 | power);
  return header + BigEndian(count, size_t{1} << power);
}

std::string BinaryValue(const NewValue &value) {
  if (value.isBoolean) return std::string(1, value.boolean ? '\x09' : '\x08');
  return "\x13" + BigEndian(static_cast<uint64_t>(value.integer), 8);
}

std::string BinaryKey(const std::string &key) {
  // Only ASCII keys are written (every key this tool sets is one).
  return Header(BinaryPlist::kAscii, key.size()) + key;
}

std::optional<std::string> BinaryEdit(std::string_view bytes,
                                      const PreferencesDictionary &dictionary,
                                      const std::string &key,
                                      const std::optional<NewValue> &value) {
  BinaryPlist plist;
  if (!plist.open(bytes)) return std::nullopt;
  const uint64_t count = plist.objectCount();
  const uint64_t top = plist.topObject();
  std::vector<std::string> added;  // objects count, count + 1, ...
  std::vector<std::pair<uint64_t, uint64_t>> pairs;
  for (const PlistEntry &entry : dictionary.entries)
    if (value || entry.key != key) pairs.emplace_back(entry.keyObject, entry.valueObject);
  if (value) {
    added.push_back(BinaryValue(*value));
    const uint64_t valueObject = count;
    const PlistEntry *entry = dictionary.find(key);
    if (entry) {
      pairs[static_cast<size_t>(entry - dictionary.entries.data())].second = valueObject;
    } else {
      added.push_back(BinaryKey(key));
      pairs.emplace_back(count + 1, valueObject);
    }
  }

  // What the new root reaches, the old objects kept in their order.
  std::vector<bool> reached(static_cast<size_t>(count), false);
  reached[static_cast<size_t>(top)] = true;
  std::vector<uint64_t> pending;
  for (const auto &[k, v] : pairs)
    for (uint64_t index : {k, v})
      if (index < count && !reached[static_cast<size_t>(index)]) {
        reached[static_cast<size_t>(index)] = true;
        pending.push_back(index);
      }
  while (!pending.empty()) {
    std::optional<BinaryPlist::Object> object = plist.object(pending.back());
    pending.pop_back();
    if (!object) return std::nullopt;
    if (!object->container()) continue;
    for (uint64_t i = 0; i < object->references(); ++i) {
      uint64_t child = plist.reference(*object, i);
      if (child >= count) return std::nullopt;
      if (!reached[static_cast<size_t>(child)]) {
        reached[static_cast<size_t>(child)] = true;
        pending.push_back(child);
      }
    }
  }
  std::vector<uint64_t> renumbered(static_cast<size_t>(count) + added.size(), 0);
  uint64_t next = 0;
  for (uint64_t index = 0; index < count; ++index)
    if (reached[static_cast<size_t>(index)]) renumbered[static_cast<size_t>(index)] = next++;
  for (size_t i = 0; i < added.size(); ++i) renumbered[static_cast<size_t>(count) + i] = next++;
  const uint64_t total = next;
  const size_t refSize = WidthFor(total - 1);
  auto ref = [&](uint64_t index) {
    return BigEndian(renumbered[static_cast<size_t>(index)], refSize);
  };

  std::string out = "bplist00";
  std::vector<uint64_t> offsets;
  offsets.reserve(static_cast<size_t>(total));
  for (uint64_t index = 0; index < count; ++index) {
    if (!reached[static_cast<size_t>(index)]) continue;
    offsets.push_back(out.size());
    if (index == top) {
      out += Header(BinaryPlist::kDictionary, pairs.size());
      for (const auto &pair : pairs) out += ref(pair.first);
      for (const auto &pair : pairs) out += ref(pair.second);
      continue;
    }
    std::optional<BinaryPlist::Object> object = plist.object(index);
    if (!object) return std::nullopt;
    if (!object->container()) {
      out.append(bytes.substr(object->begin, object->end - object->begin));
      continue;
    }
    out.append(bytes.substr(object->begin, object->payload - object->begin));
    for (uint64_t i = 0; i < object->references(); ++i) out += ref(plist.reference(*object, i));
  }
  for (const std::string &object : added) {
    offsets.push_back(out.size());
    out += object;
  }
  const uint64_t table = out.size();
  const size_t offsetSize = WidthFor(table);
  for (uint64_t offset : offsets) out += BigEndian(offset, offsetSize);
  out += std::string(6, '\0');
  out += static_cast<char>(offsetSize);
  out += static_cast<char>(refSize);
  out += BigEndian(total, 8) + BigEndian(renumbered[static_cast<size_t>(top)], 8) +
         BigEndian(table, 8);
  return out;
}

bool SameValue(const PlistValue &a, const PlistValue &b) {
  return a.kind == b.kind && a.boolean == b.boolean && a.integer == b.integer && a.wide == b.wide &&
         memcmp(&a.real, &b.real, sizeof a.real) == 0 && a.string == b.string && a.count == b.count;
}

// Whether after holds exactly the entries of before with the one change made.
bool MadeExactly(const PreferencesDictionary &before, const PreferencesDictionary &after,
                 const std::string &key, const std::optional<NewValue> &value) {
  struct Expected {
    const std::string *key;
    PlistValue value;
    bool unreadableInteger;
  };
  std::vector<Expected> expected;
  const PlistEntry *changed = value ? before.find(key) : nullptr;
  for (const PlistEntry &entry : before.entries) {
    if (!value && entry.key == key) continue;
    if (&entry == changed)
      expected.push_back({&entry.key, AsPlistValue(*value), false});
    else
      expected.push_back({&entry.key, entry.value, entry.unreadableInteger});
  }
  if (value && !changed) expected.push_back({&key, AsPlistValue(*value), false});
  if (after.entries.size() != expected.size()) return false;
  for (size_t i = 0; i < expected.size(); ++i) {
    const PlistEntry &entry = after.entries[i];
    if (entry.key != *expected[i].key || !SameValue(entry.value, expected[i].value) ||
        entry.unreadableInteger != expected[i].unreadableInteger)
      return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> EditPreferences(std::string_view bytes,
                                           const PreferencesDictionary &dictionary,
                                           const std::string &key,
                                           const std::optional<NewValue> &value,
                                           std::string *error) {
  std::optional<std::string> edited;
  if (dictionary.binary)
    edited = BinaryEdit(bytes, dictionary, key, value);
  else
    edited = XmlEdit(bytes, dictionary, key, value);
  std::optional<PreferencesDictionary> reread;
  if (edited) reread = platform::ReadPreferencesDictionary(*edited);
  if (!reread || reread->binary != dictionary.binary ||
      !MadeExactly(dictionary, *reread, key, value)) {
    *error = "the change to \"" + key + "\" cannot be made without changing something else";
    return std::nullopt;
  }
  return edited;
}

}  // namespace corvassel::tools
