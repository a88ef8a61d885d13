// Stand-in: replaced by the Linux input backend.
#include <platform/Backend.h>

namespace platform {
InputBackend &linuxInput() {
  struct None : InputBackend {
    bool isProcessTrusted(bool) override { return false; }
    std::unique_ptr<TapDriver> createTap(const TapRequest &, TapClient &) override {
      return nullptr;
    }
    NSUInteger pressedMouseButtons() override { return 0; }
    void post(CGEventTapLocation, CGEventRef) override {}
  };
  static None none;
  return none;
}
}  // namespace platform
