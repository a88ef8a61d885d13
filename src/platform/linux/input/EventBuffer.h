// The tap's round buffer: a vector of events that grows without zeroing what it adds, as each
// read fills the events it is given at once, sparing a pass over every event read.
#pragma once

#include "linux/input/EvdevKernel.h"

#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace platform::evdev {

// Default-initialises what it constructs without arguments; anything else as std::allocator.
template <class T>
struct FilledByReadAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = FilledByReadAllocator<U>;
  };
  FilledByReadAllocator() = default;
  template <class U>
  FilledByReadAllocator(const FilledByReadAllocator<U> &) noexcept {}
  template <class U>
  void construct(U *p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void *>(p)) U;
  }
  template <class U, class... Args>
  void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
};

using EventBuffer = std::vector<Event, FilledByReadAllocator<Event>>;

}  // namespace platform::evdev
