// The machine's own parts that every backend uses, or wraps to stand in for another platform:
// files and programs, and the layout of events as bytes.
#pragma once

#include <platform/Backend.h>

namespace platform {

// Paths as named, programs through posix_spawn, and a pidfd for each child where the kernel
// gives one.
class HostLauncher final : public Launcher {
 public:
  bool exists(const std::string &path) override;
  Started launch(const std::string &path, int output) override;
};

// Events laid out as the platform's own events/EventFormat.h describes them.
class HostEventBytes final : public EventBytes {
 public:
  size_t create(uint64_t timestamp, UInt8 *out, size_t capacity) override;
  CFDataRef write(CFAllocatorRef allocator, const UInt8 *bytes, size_t length) override;
  bool read(const UInt8 *bytes, size_t length) override;
};

}  // namespace platform
