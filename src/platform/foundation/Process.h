// Internal switch for the process services.
#pragma once

namespace platform {
// Whether NSTask watches its child through a pidfd; tests turn it off to cover the fallback.
extern bool gProcessExitDescriptors;
}  // namespace platform
