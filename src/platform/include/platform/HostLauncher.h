// The machine's own launcher, which every backend's launcher is or wraps: paths as named,
// programs through posix_spawn, and a pidfd for each child where the kernel gives one.
#pragma once

#include <platform/Backend.h>

namespace platform {

class HostLauncher final : public Launcher {
 public:
  bool exists(const std::string &path) override;
  Started launch(const std::string &path, int output) override;
};

}  // namespace platform
