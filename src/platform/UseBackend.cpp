// The one global of the platform: the backend its C API is served from.
#include <platform/Backend.h>

#include <atomic>

#include "Installed.h"
#include "cf/CFRuntime.h"

namespace platform {

namespace {
std::atomic<Backend *> gBackend{nullptr};
}  // namespace

Backend &backend() {
  Backend *in = gBackend.load(std::memory_order_acquire);
  if (!in) CFFatal("platform", "no backend: a program serves the platform from one (UseBackend)");
  return *in;
}

UseBackend::UseBackend(Backend &backend) {
  Backend *none = nullptr;
  if (!gBackend.compare_exchange_strong(none, &backend))
    CFFatal("UseBackend", "another backend is in use");
}

UseBackend::~UseBackend() {
  runLoopsEnd();
  notificationCenterEnd();
  gBackend.store(nullptr, std::memory_order_release);
}

}  // namespace platform
