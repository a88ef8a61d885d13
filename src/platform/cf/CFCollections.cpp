// Arrays, dictionaries and byte strings.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cf/CFRuntime.h"
#include "cf/SmallBytes.h"

namespace platform {
namespace {

const void *RetainCF(CFAllocatorRef, const void *value) {
  return CFRetain(value);
}
void ReleaseCF(CFAllocatorRef, const void *value) {
  CFRelease(value);
}
CFStringRef DescribeCF(const void *value) {
  return CFCopyDescription(value);
}
Boolean EqualCF(const void *a, const void *b) {
  return CFEqual(a, b);
}
CFHashCode HashCF(const void *value) {
  return CFHash(value);
}

class Array final : public Object {
 public:
  explicit Array(const CFArrayCallBacks *callBacks)
      : Object(kTypeIDArray), callBacks_(callBacks ? *callBacks : CFArrayCallBacks{}) {}
  ~Array() override { clear(); }

  void append(const void *value) {
    if (callBacks_.retain) value = callBacks_.retain(nullptr, value);
    values_.push_back(value);
  }
  void clear() {
    if (callBacks_.release)
      for (const void *value : values_) callBacks_.release(nullptr, value);
    values_.clear();
  }
  const std::vector<const void *> &values() const { return values_; }

  bool equals(const Object &other) const override {
    if (other.typeID() != kTypeIDArray) return false;
    const Array &that = static_cast<const Array &>(other);
    if (values_.size() != that.values_.size()) return false;
    for (size_t i = 0; i < values_.size(); i++) {
      bool same = callBacks_.equal ? callBacks_.equal(values_[i], that.values_[i])
                                   : values_[i] == that.values_[i];
      if (!same) return false;
    }
    return true;
  }
  CFHashCode hash() const override { return values_.size(); }
  std::string describe() const override {
    char text[64];
    snprintf(text, sizeof text, "<CFArray %p count=%zu>", static_cast<const void *>(this),
             values_.size());
    return text;
  }

 private:
  CFArrayCallBacks callBacks_;
  std::vector<const void *> values_;
};

// Small dictionaries (a handful of keys) are the rule here, so a vector searched by hash is
// both the simplest and the fastest layout.
class Dictionary final : public Object {
 public:
  Dictionary(const CFDictionaryKeyCallBacks *keyCallBacks,
             const CFDictionaryValueCallBacks *valueCallBacks)
      : Object(kTypeIDDictionary),
        keys_(keyCallBacks ? *keyCallBacks : CFDictionaryKeyCallBacks{}),
        values_(valueCallBacks ? *valueCallBacks : CFDictionaryValueCallBacks{}) {}
  ~Dictionary() override {
    for (Entry &entry : entries_) drop(entry);
  }

  struct Entry {
    CFHashCode hash;
    const void *key;
    const void *value;
  };

  Entry *find(const void *key) {
    CFHashCode hash = hashOf(key);
    for (Entry &entry : entries_) {
      if (entry.hash != hash) continue;
      if (entry.key == key || equalKeys(entry.key, key)) return &entry;
    }
    return nullptr;
  }

  void set(const void *key, const void *value) {
    if (values_.retain) value = values_.retain(nullptr, value);
    if (Entry *entry = find(key)) {
      if (values_.release) values_.release(nullptr, entry->value);
      entry->value = value;
      return;
    }
    CFHashCode hash = hashOf(key);
    if (keys_.retain) key = keys_.retain(nullptr, key);
    entries_.push_back({hash, key, value});
  }

  void remove(const void *key) {
    Entry *entry = find(key);
    if (!entry) return;
    Entry removed = *entry;
    entries_.erase(entries_.begin() + (entry - entries_.data()));
    drop(removed);
  }

  CFIndex count() const { return static_cast<CFIndex>(entries_.size()); }

  bool equals(const Object &other) const override {
    if (other.typeID() != kTypeIDDictionary) return false;
    Dictionary &that = const_cast<Dictionary &>(static_cast<const Dictionary &>(other));
    if (entries_.size() != that.entries_.size()) return false;
    for (const Entry &entry : entries_) {
      Entry *match = that.find(entry.key);
      if (!match) return false;
      bool same =
          values_.equal ? values_.equal(entry.value, match->value) : entry.value == match->value;
      if (!same) return false;
    }
    return true;
  }
  CFHashCode hash() const override { return entries_.size(); }
  std::string describe() const override {
    char text[64];
    snprintf(text, sizeof text, "<CFDictionary %p count=%zu>", static_cast<const void *>(this),
             entries_.size());
    return text;
  }

 private:
  // CF-typed keys skip the callback layer: lookups sit on the gesture path.
  bool equalKeys(const void *a, const void *b) const {
    if (keys_.equal == EqualCF && a && b) return AsObject(a)->equals(*AsObject(b));
    return keys_.equal && keys_.equal(a, b);
  }
  CFHashCode hashOf(const void *key) const {
    if (keys_.hash == HashCF && key) return AsObject(key)->hash();
    return keys_.hash ? keys_.hash(key) : reinterpret_cast<CFHashCode>(key);
  }
  void drop(const Entry &entry) {
    if (keys_.release) keys_.release(nullptr, entry.key);
    if (values_.release) values_.release(nullptr, entry.value);
  }

  CFDictionaryKeyCallBacks keys_;
  CFDictionaryValueCallBacks values_;
  std::vector<Entry> entries_;
};

class Data final : public Object {
 public:
  Data() : Object(kTypeIDData) {}
  SmallBytes<384> bytes;  // an event's serialization fits inline
  size_t capacity = 0;    // the most a fixed-capacity mutable data may hold; 0: it grows freely

  // Stops the process, as CoreFoundation does, when function would take a fixed-capacity data
  // past its capacity: code that worked here must not overrun it on macOS.
  void checkRoom(size_t length, const char *function) const {
    if (capacity == 0 || length <= capacity) return;
    char message[128];
    snprintf(message, sizeof message,
             "fixed-capacity data cannot grow to %zu bytes, past its capacity of %zu", length,
             capacity);
    CFFatal(function, message);
  }

  bool equals(const Object &other) const override {
    return other.typeID() == kTypeIDData && static_cast<const Data &>(other).bytes == bytes;
  }
  CFHashCode hash() const override { return bytes.size(); }
  std::string describe() const override {
    char text[64];
    snprintf(text, sizeof text, "<CFData %p length=%zu>", static_cast<const void *>(this),
             bytes.size());
    return text;
  }
};

template <typename T>
T &As(CFTypeRef cf, CFTypeID type, const char *function) {
  if (!cf || CFGetTypeID(cf) != type) CFFatal(function, "wrong type of object");
  return *const_cast<T *>(static_cast<const T *>(AsObject(cf)));
}

template <typename Ref>
Ref Wrap(Object *object) {
  return reinterpret_cast<Ref>(object);
}

}  // namespace
}  // namespace platform

using platform::Array;
using platform::As;
using platform::Data;
using platform::Dictionary;
using platform::kTypeIDArray;
using platform::kTypeIDData;
using platform::kTypeIDDictionary;
using platform::Wrap;

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, platform::RetainCF, platform::ReleaseCF,
                                                platform::DescribeCF, platform::EqualCF};
const CFDictionaryKeyCallBacks kCFTypeDictionaryKeyCallBacks = {0,
                                                                platform::RetainCF,
                                                                platform::ReleaseCF,
                                                                platform::DescribeCF,
                                                                platform::EqualCF,
                                                                platform::HashCF};
const CFDictionaryValueCallBacks kCFTypeDictionaryValueCallBacks = {
    0, platform::RetainCF, platform::ReleaseCF, platform::DescribeCF, platform::EqualCF};

// ---- Arrays ----

CFTypeID CFArrayGetTypeID(void) {
  return kTypeIDArray;
}

CFArrayRef CFArrayCreate(CFAllocatorRef allocator, const void **values, CFIndex numValues,
                         const CFArrayCallBacks *callBacks) {
  if (numValues < 0 || (numValues > 0 && !values)) return nullptr;
  Array *array = new Array(callBacks);
  for (CFIndex i = 0; i < numValues; i++) array->append(values[i]);
  return Wrap<CFArrayRef>(array);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                       const CFArrayCallBacks *callBacks) {
  return Wrap<CFMutableArrayRef>(new Array(callBacks));
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void *value) {
  As<Array>(theArray, kTypeIDArray, "CFArrayAppendValue").append(value);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
  As<Array>(theArray, kTypeIDArray, "CFArrayRemoveAllValues").clear();
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  return static_cast<CFIndex>(As<Array>(theArray, kTypeIDArray, "CFArrayGetCount").values().size());
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  const auto &values = As<Array>(theArray, kTypeIDArray, "CFArrayGetValueAtIndex").values();
  if (idx < 0 || static_cast<size_t>(idx) >= values.size())
    platform::CFFatal("CFArrayGetValueAtIndex", "index out of bounds");
  return values[static_cast<size_t>(idx)];
}

// ---- Dictionaries ----

CFTypeID CFDictionaryGetTypeID(void) {
  return kTypeIDDictionary;
}

CFDictionaryRef CFDictionaryCreate(CFAllocatorRef allocator, const void **keys, const void **values,
                                   CFIndex numValues, const CFDictionaryKeyCallBacks *keyCallBacks,
                                   const CFDictionaryValueCallBacks *valueCallBacks) {
  if (numValues < 0 || (numValues > 0 && (!keys || !values))) return nullptr;
  Dictionary *dictionary = new Dictionary(keyCallBacks, valueCallBacks);
  for (CFIndex i = 0; i < numValues; i++) dictionary->set(keys[i], values[i]);
  return Wrap<CFDictionaryRef>(dictionary);
}

CFMutableDictionaryRef CFDictionaryCreateMutable(CFAllocatorRef allocator, CFIndex capacity,
                                                 const CFDictionaryKeyCallBacks *keyCallBacks,
                                                 const CFDictionaryValueCallBacks *valueCallBacks) {
  return Wrap<CFMutableDictionaryRef>(new Dictionary(keyCallBacks, valueCallBacks));
}

void CFDictionarySetValue(CFMutableDictionaryRef theDict, const void *key, const void *value) {
  As<Dictionary>(theDict, kTypeIDDictionary, "CFDictionarySetValue").set(key, value);
}

void CFDictionaryRemoveValue(CFMutableDictionaryRef theDict, const void *key) {
  As<Dictionary>(theDict, kTypeIDDictionary, "CFDictionaryRemoveValue").remove(key);
}

const void *CFDictionaryGetValue(CFDictionaryRef theDict, const void *key) {
  Dictionary::Entry *entry =
      As<Dictionary>(theDict, kTypeIDDictionary, "CFDictionaryGetValue").find(key);
  return entry ? entry->value : nullptr;
}

Boolean CFDictionaryGetValueIfPresent(CFDictionaryRef theDict, const void *key,
                                      const void **value) {
  Dictionary::Entry *entry =
      As<Dictionary>(theDict, kTypeIDDictionary, "CFDictionaryGetValueIfPresent").find(key);
  if (entry && value) *value = entry->value;
  return entry != nullptr;
}

CFIndex CFDictionaryGetCount(CFDictionaryRef theDict) {
  return As<Dictionary>(theDict, kTypeIDDictionary, "CFDictionaryGetCount").count();
}

// ---- Data ----

CFTypeID CFDataGetTypeID(void) {
  return kTypeIDData;
}

CFDataRef CFDataCreate(CFAllocatorRef allocator, const UInt8 *bytes, CFIndex length) {
  if (length < 0 || (length > 0 && !bytes)) return nullptr;
  Data *data = new Data();
  data->bytes.assign(bytes, bytes + length);
  return Wrap<CFDataRef>(data);
}

namespace {

// A capacity is the most the data will hold, so reserving it (within reason) spares growing
// later.
size_t Reservation(CFIndex capacity) {
  return static_cast<size_t>(std::clamp<CFIndex>(capacity, 0, CFIndex{1} << 20));
}

}  // namespace

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef allocator, CFIndex capacity) {
  if (capacity < 0) platform::CFFatal("CFDataCreateMutable", "negative capacity");
  Data *data = new Data();
  data->capacity = static_cast<size_t>(capacity);
  data->bytes.reserve(Reservation(capacity));
  return Wrap<CFMutableDataRef>(data);
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef allocator, CFIndex capacity,
                                         CFDataRef theData) {
  const auto &source = As<Data>(theData, kTypeIDData, "CFDataCreateMutableCopy").bytes;
  if (capacity < 0) platform::CFFatal("CFDataCreateMutableCopy", "negative capacity");
  Data *data = new Data();
  data->capacity = static_cast<size_t>(capacity);
  data->checkRoom(source.size(), "CFDataCreateMutableCopy");
  data->bytes.reserve(std::max(source.size(), Reservation(capacity)));
  data->bytes.assign(source.begin(), source.end());
  return Wrap<CFMutableDataRef>(data);
}

CFIndex CFDataGetLength(CFDataRef theData) {
  return static_cast<CFIndex>(As<Data>(theData, kTypeIDData, "CFDataGetLength").bytes.size());
}

const UInt8 *CFDataGetBytePtr(CFDataRef theData) {
  return As<Data>(theData, kTypeIDData, "CFDataGetBytePtr").bytes.data();
}

UInt8 *CFDataGetMutableBytePtr(CFMutableDataRef theData) {
  return As<Data>(theData, kTypeIDData, "CFDataGetMutableBytePtr").bytes.data();
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8 *bytes, CFIndex length) {
  if (length <= 0 || !bytes) return;
  Data &data = As<Data>(theData, kTypeIDData, "CFDataAppendBytes");
  data.checkRoom(data.bytes.size() + static_cast<size_t>(length), "CFDataAppendBytes");
  data.bytes.insert(data.bytes.end(), bytes, bytes + length);
}

void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range) {
  auto &store = As<Data>(theData, kTypeIDData, "CFDataDeleteBytes").bytes;
  const CFIndex size = static_cast<CFIndex>(store.size());
  if (range.location < 0 || range.length < 0 || range.location > size ||
      range.length > size - range.location)
    platform::CFFatal("CFDataDeleteBytes", "range out of bounds");
  store.erase(store.begin() + range.location, store.begin() + range.location + range.length);
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length) {
  if (length < 0) platform::CFFatal("CFDataSetLength", "negative length");
  Data &data = As<Data>(theData, kTypeIDData, "CFDataSetLength");
  data.checkRoom(static_cast<size_t>(length), "CFDataSetLength");
  data.bytes.resize(static_cast<size_t>(length));
}
