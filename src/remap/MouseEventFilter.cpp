#include <corvassel/AppKit.h>

#include <cstdint>
#include <optional>
#include <string>

#include "helper/CorvasselHelper.h"
#include "remap/Remap.h"
#include "scripts/ExtraScripts.h"

namespace ns = corvassel::ns;

namespace {

bool IsDown(CGEventType type) {
  return type == kCGEventRightMouseDown || type == kCGEventOtherMouseDown;
}

bool IsHeld(ns::NSUInteger pressed, int64_t button) {
  // The mask speaks for buttons 0 to 30 only; any other number is simply never held (and never
  // shifts past the mask's width).
  return button >= 0 && button <= 30 && (pressed >> button) & 1;
}

// Runs the action's script; unless it reports "complete", posts the swipe.
void PerformAction(const char *script, uint32_t swipe) {
  std::optional<std::string> output = RunExtraScript(script);
  if (!output || *output != "complete") TQXFakeSwipe(swipe);
}

}  // namespace

CGEventRef MouseEventCallback(CGEventTapProxy proxy, CGEventType type, CGEventRef event,
                              void *userInfo) {
  const CorvasselHelper *helper = static_cast<const CorvasselHelper *>(userInfo);
  if (!helper->enabled()) return event;

  int64_t button = CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber);
  if (type == kCGEventRightMouseDown || type == kCGEventRightMouseUp) button = 1;

  const bool back = button == helper->backButton() && CorvasselMapsButton(helper->backButton());
  const bool forward =
      !back && button == helper->forwardButton() && CorvasselMapsButton(helper->forwardButton());
  // An unmapped button passes whatever is held, so only a mapped one needs the held buttons.
  if (!back && !forward) return event;

  int64_t passthrough = helper->passthroughButton();
  if (CorvasselPassthroughOn(passthrough) &&
      IsHeld(ns::NSEvent::pressedMouseButtons(), passthrough))
    return event;

  if (IsDown(type)) {
    if (back)
      PerformAction("back-extra-script", kSwipeBack);
    else
      PerformAction("forward-extra-script", kSwipeForward);
  }
  return nullptr;
}
