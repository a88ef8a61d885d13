// A byte string that keeps up to N bytes inside its owner and moves to the heap beyond that.
// Event serializations and the byte strings made from them are a few hundred bytes, so holding
// them inline saves an allocation per object on the gesture path. The interface is the part of
// std::vector<UInt8> the platform uses, with pointers as iterators.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace platform {

template <size_t N>
class SmallBytes {
 public:
  SmallBytes() = default;
  SmallBytes(const SmallBytes &other) { assign(other.begin(), other.end()); }
  SmallBytes &operator=(const SmallBytes &other) {
    if (this != &other) assign(other.begin(), other.end());
    return *this;
  }

  UInt8 *data() { return heap_ ? heap_.get() : inline_; }
  const UInt8 *data() const { return heap_ ? heap_.get() : inline_; }
  UInt8 *begin() { return data(); }
  UInt8 *end() { return data() + size_; }
  const UInt8 *begin() const { return data(); }
  const UInt8 *end() const { return data() + size_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return capacity_; }

  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<UInt8[]> grown(new UInt8[capacity]);
    memcpy(grown.get(), data(), size_);
    heap_ = std::move(grown);
    capacity_ = capacity;
  }
  void clear() { size_ = 0; }
  void resize(size_t size) {
    grow(size);
    if (size > size_) memset(data() + size_, 0, size - size_);
    size_ = size;
  }
  void assign(const UInt8 *first, const UInt8 *last) {
    const size_t count = static_cast<size_t>(last - first);
    if (count > capacity_) {  // first..last may lie in the old buffer, still alive here
      std::unique_ptr<UInt8[]> fresh(new UInt8[count]);
      memcpy(fresh.get(), first, count);
      heap_ = std::move(fresh);
      capacity_ = count;
    } else if (count) {
      memmove(data(), first, count);
    }
    size_ = count;
  }
  // Inserts count copies of value at position.
  UInt8 *insert(UInt8 *position, size_t count, UInt8 value) {
    const size_t at = static_cast<size_t>(position - data());
    grow(size_ + count);
    UInt8 *p = data();
    memmove(p + at + count, p + at, size_ - at);
    if (count) memset(p + at, value, count);
    size_ += count;
    return p + at;
  }
  UInt8 *insert(UInt8 *position, const UInt8 *first, const UInt8 *last) {
    const size_t at = static_cast<size_t>(position - data());
    const size_t count = static_cast<size_t>(last - first);
    if (first >= data() && first < data() + size_) {  // from this string: copy it out first
      SmallBytes part;
      part.assign(first, last);
      return insert(data() + at, part.begin(), part.end());
    }
    grow(size_ + count);
    UInt8 *p = data();
    memmove(p + at + count, p + at, size_ - at);
    if (count) memcpy(p + at, first, count);
    size_ += count;
    return p + at;
  }
  void push_back(UInt8 value) { insert(end(), size_t{1}, value); }
  UInt8 *erase(UInt8 *first, UInt8 *last) {
    if (last != end()) memmove(first, last, static_cast<size_t>(end() - last));
    size_ -= static_cast<size_t>(last - first);
    return first;
  }

  bool operator==(const SmallBytes &other) const {
    return size_ == other.size_ && memcmp(data(), other.data(), size_) == 0;
  }

 private:
  void grow(size_t needed) {
    if (needed > capacity_) reserve(std::max(needed, capacity_ * 2));
  }

  std::unique_ptr<UInt8[]> heap_;
  size_t size_ = 0;
  size_t capacity_ = N;
  UInt8 inline_[N];
};

}  // namespace platform
