// Event taps as CFMachPort objects, their run-loop sources, accessibility trust and the held
// mouse buttons: the generic half, in front of whatever InputBackend serves them.
#include <ApplicationServices/ApplicationServices.h>
#include <platform/Backend.h>

#include "cf/CFRuntime.h"

const CFStringRef kAXTrustedCheckOptionPrompt = CFSTR("AXTrustedCheckOptionPrompt");

namespace platform {

namespace {

bool IsTapDisabledNotice(CGEventType type) {
  return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

class MachPort final : public Object, public TapClient {
 public:
  MachPort(CGEventMask mask, CGEventTapCallBack callback, void *userInfo)
      : Object(kTypeIDMachPort), mask_(mask), callback_(callback), userInfo_(userInfo) {}

  CGEventRef deliver(CGEventType type, CGEventRef event) override {
    bool wanted = type < 64 && (mask_ & (CGEventMask{1} << type)) != 0;
    if (!wanted && !IsTapDisabledNotice(type)) return event;
    return callback_(reinterpret_cast<CGEventTapProxy>(this), type, event, userInfo_);
  }

  std::unique_ptr<TapDriver> driver;  // gone once the port is invalidated

 private:
  const CGEventMask mask_;
  const CGEventTapCallBack callback_;
  void *const userInfo_;
};

MachPort *AsPort(CFMachPortRef ref) {
  MachPort *port = reinterpret_cast<MachPort *>(ref);
  if (port && port->typeID() != kTypeIDMachPort) CFFatal("CFMachPort", "not a mach port");
  return port;
}

const void *RetainPort(const void *info) {
  return CFRetain(info);
}
void ReleasePort(const void *info) {
  CFRelease(info);
}
void AttachPort(void *info, CFRunLoopRef rl, CFRunLoopMode mode) {
  MachPort *port = static_cast<MachPort *>(info);
  if (port->driver) port->driver->attach(rl);
}

}  // namespace

}  // namespace platform

using platform::AsPort;
using platform::MachPort;

CFTypeID CFMachPortGetTypeID(void) {
  return platform::kTypeIDMachPort;
}

CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place,
                               CGEventTapOptions options, CGEventMask eventsOfInterest,
                               CGEventTapCallBack callback, void *userInfo) {
  if (!callback) return nullptr;
  MachPort *port = new MachPort(eventsOfInterest, callback, userInfo);
  platform::TapRequest request{tap, place, options, eventsOfInterest};
  port->driver = platform::backend().input().createTap(request, *port);
  if (!port->driver) {
    port->release();
    return nullptr;
  }
  return reinterpret_cast<CFMachPortRef>(port);
}

// The source keeps the port alive; adding it to a loop makes the tap deliver on that loop.
CFRunLoopSourceRef CFMachPortCreateRunLoopSource(CFAllocatorRef allocator, CFMachPortRef ref,
                                                 CFIndex order) {
  MachPort *port = AsPort(ref);
  if (!port) return nullptr;
  CFRunLoopSourceContext context{};
  context.info = port;
  context.retain = platform::RetainPort;
  context.release = platform::ReleasePort;
  context.schedule = platform::AttachPort;
  return CFRunLoopSourceCreate(allocator, order, &context);
}

void CFMachPortInvalidate(CFMachPortRef ref) {
  if (MachPort *port = AsPort(ref)) port->driver.reset();
}

Boolean CFMachPortIsValid(CFMachPortRef ref) {
  MachPort *port = AsPort(ref);
  return port && port->driver != nullptr;
}

void CGEventTapEnable(CFMachPortRef ref, bool enable) {
  MachPort *port = AsPort(ref);
  if (port && port->driver) port->driver->setEnabled(enable);
}

bool CGEventTapIsEnabled(CFMachPortRef ref) {
  MachPort *port = AsPort(ref);
  return port && port->driver && port->driver->isEnabled();
}

Boolean AXIsProcessTrustedWithOptions(CFDictionaryRef options) {
  bool prompt = false;
  if (options && CFGetTypeID(options) == CFDictionaryGetTypeID())
    prompt = CFDictionaryGetValue(options, kAXTrustedCheckOptionPrompt) == kCFBooleanTrue;
  return platform::backend().input().isProcessTrusted(prompt);
}

Boolean AXIsProcessTrusted(void) {
  return platform::backend().input().isProcessTrusted(false);
}

NSUInteger NSEvent::pressedMouseButtons() {
  return platform::backend().input().pressedMouseButtons();
}
