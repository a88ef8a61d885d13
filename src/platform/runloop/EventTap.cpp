// Event taps as CFMachPort objects, their run-loop sources, accessibility trust and the held
// mouse buttons: the generic half, in front of whatever InputBackend serves them.
//
// A tap's driver submits events from any thread; the port queues them, signals its run-loop
// source and wakes that loop, whose thread builds each event object, runs the callback and
// answers the driver. So the callback always runs on the loop the source was added to, as on
// macOS, and may switch off, invalidate or release its own tap.
#include <ApplicationServices/ApplicationServices.h>
#include <corvassel/AppKit.h>
#include <platform/Backend.h>

#include <deque>
#include <mutex>
#include <type_traits>
#include <utility>

#include "cf/CFRuntime.h"

CFStringRef kAXTrustedCheckOptionPrompt = CFSTR("AXTrustedCheckOptionPrompt");

namespace platform {

namespace {

bool IsTapDisabledNotice(CGEventType type) {
  return type == kCGEventTapDisabledByTimeout || type == kCGEventTapDisabledByUserInput;
}

class MachPort final : public Object, public TapClient {
 public:
  MachPort(CGEventMask mask, CGEventTapCallBack callback, void *userInfo)
      : Object(kTypeIDMachPort), mask_(mask), callback_(callback), userInfo_(userInfo) {}

  void submit(TapEvent event, std::function<void(bool)> answer) override {
    const bool wanted = event.type < 64 && (mask_ & (CGEventMask{1} << event.type)) != 0;
    if (!wanted && !IsTapDisabledNotice(event.type)) {
      if (answer) answer(true);
      return;
    }
    CFRunLoopSourceRef source;
    CFRunLoopRef loop;
    {
      std::lock_guard lock(mutex_);
      queue_.push_back({event, std::move(answer)});
      source = source_;
      loop = loop_;
    }
    if (source && loop) {
      CFRunLoopSourceSignal(source);
      CFRunLoopWakeUp(loop);
    }
  }

  // On the loop's thread: every queued event through the callback, in order.
  void perform() {
    retain();  // the callback may release the port's last reference
    for (;;) {
      Pending pending;
      {
        std::lock_guard lock(mutex_);
        // Invalidated, or its source taken out of the loop: nothing more reaches the callback.
        if (queue_.empty() || !driver || !loop_) break;
        pending = std::move(queue_.front());
        queue_.pop_front();
      }
      const bool pass = judge(pending.event);
      if (pending.answer) pending.answer(pass);
    }
    release();
  }

  // The source was added to rl: events flow to it from now on.
  void attach(CFRunLoopRef rl) {
    bool waiting;
    CFRunLoopSourceRef source;
    {
      std::lock_guard lock(mutex_);
      loop_ = rl;
      waiting = !queue_.empty();
      source = source_;
    }
    if (driver) driver->attach(rl);
    if (waiting && source) {
      CFRunLoopSourceSignal(source);
      CFRunLoopWakeUp(rl);
    }
  }

  void detach(CFRunLoopRef rl) {
    std::lock_guard lock(mutex_);
    if (loop_ == rl) loop_ = nullptr;
  }

  // The port's one source, made on first request.
  CFRunLoopSourceRef copySource(CFAllocatorRef allocator, CFIndex order);
  void sourceGone() {
    std::lock_guard lock(mutex_);
    source_ = nullptr;
    loop_ = nullptr;
  }

  // Once invalidated, nothing more reaches the callback.
  void invalidate() {
    std::unique_ptr<TapDriver> gone;
    {
      std::lock_guard lock(mutex_);
      gone = std::move(driver);
      queue_.clear();
    }
    gone.reset();  // outside the lock: the driver stops its own thread
  }

  std::unique_ptr<TapDriver> driver;  // gone once the port is invalidated

 private:
  struct Pending {
    TapEvent event{};
    std::function<void(bool)> answer;
  };

  bool judge(const TapEvent &tapEvent) {
    CGEventRef event = CGEventCreate(nullptr);
    if (!event) return true;  // without an event to show, the button behaves as untapped
    CGEventSetType(event, tapEvent.type);
    CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, tapEvent.button);
    CGEventRef result =
        callback_(reinterpret_cast<CGEventTapProxy>(this), tapEvent.type, event, userInfo_);
    if (result && result != event) CFRelease(result);
    CFRelease(event);
    return result != nullptr;
  }

  const CGEventMask mask_;
  const CGEventTapCallBack callback_;
  void *const userInfo_;
  std::mutex mutex_;
  std::deque<Pending> queue_;
  CFRunLoopSourceRef source_ = nullptr;  // not retained: it retains the port
  CFRunLoopRef loop_ = nullptr;
};

MachPort *AsPort(CFMachPortRef ref) {
  MachPort *port = reinterpret_cast<MachPort *>(ref);
  if (port && port->typeID() != kTypeIDMachPort) CFFatal("CFMachPort", "not a mach port");
  return port;
}

const void *RetainPort(const void *info) {
  return CFRetain(info);
}
// The source's own reference to the port goes with the source.
void ReleasePortFromSource(const void *info) {
  static_cast<MachPort *>(const_cast<void *>(info))->sourceGone();
  CFRelease(info);
}
void SchedulePort(void *info, CFRunLoopRef rl, CFRunLoopMode) {
  static_cast<MachPort *>(info)->attach(rl);
}
void CancelPort(void *info, CFRunLoopRef rl, CFRunLoopMode) {
  static_cast<MachPort *>(info)->detach(rl);
}
void PerformPort(void *info) {
  static_cast<MachPort *>(info)->perform();
}

CFRunLoopSourceRef MachPort::copySource(CFAllocatorRef allocator, CFIndex order) {
  {
    std::lock_guard lock(mutex_);
    if (source_) return static_cast<CFRunLoopSourceRef>(const_cast<void *>(CFRetain(source_)));
  }
  CFRunLoopSourceContext context{};
  context.info = this;
  context.retain = RetainPort;
  context.release = ReleasePortFromSource;
  context.schedule = SchedulePort;
  context.cancel = CancelPort;
  context.perform = PerformPort;
  CFRunLoopSourceRef source = CFRunLoopSourceCreate(allocator, order, &context);
  std::lock_guard lock(mutex_);
  source_ = source;
  return source;
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
  return port ? port->copySource(allocator, order) : nullptr;
}

void CFMachPortInvalidate(CFMachPortRef ref) {
  if (MachPort *port = AsPort(ref)) port->invalidate();
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

static_assert(std::is_same_v<platform::NSUInteger, corvassel::ns::NSUInteger>,
              "the seam's held-buttons mask is NSEvent's");

corvassel::ns::NSUInteger corvassel::ns::NSEvent::pressedMouseButtons() {
  return platform::backend().input().pressedMouseButtons();
}
