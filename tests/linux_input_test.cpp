// The Linux input tap on scripted devices: what reaches the virtual device, what reaches the
// tap's callback, hotplug, resynchronisation and the watchdog.
#include "FakeInputKernel.h"
#include "TestBackend.h"

#include "TouchEvents.h"
#include "linux/LinuxInput.h"
#include "linux/LinuxTap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using platform::evdev::Event;
using platform::evdev::Tap;

namespace platform::evdev {
void PrintTo(const Event &e, std::ostream *os) {
  *os << "{" << e.type << "," << e.code << "," << e.value << "}";
}
}  // namespace platform::evdev

namespace {

// Only thread announcements are needed from time here.
class QuietTime : public platform::TimeSource {
 public:
  uint64_t upTimeNanos() override {
    return static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  CFAbsoluteTime absoluteTime() override { return 0; }
  std::unique_ptr<platform::Waiter> makeWaiter() override { return nullptr; }
  std::unique_ptr<platform::RunLoopDriver> makeRunLoopDriver() override { return nullptr; }
  void threadWillStart() override { ++started; }
  void threadDidExit() override { ++exited; }
  std::atomic<int> started{0}, exited{0};
};

class LinuxBackend : public TestBackend {
 public:
  platform::TimeSource &time() override { return quietTime; }
  platform::InputBackend &input() override { return *linuxInput; }
  QuietTime quietTime;
  platform::InputBackend *linuxInput = &testInput;
};

bool eventObjectsAvailable() {
  CGEventRef event = CGEventCreate(nullptr);
  if (!event) return false;
  CFRelease(event);
  return true;
}

#define REQUIRE_EVENT_OBJECTS()                                \
  if (!eventObjectsAvailable())                                \
  GTEST_SKIP() << "CGEvent objects are not built yet, so the " \
                  "callback cannot be shown an event"

// A tap client that records what it is shown and answers as a test says.
class Client : public platform::TapClient {
 public:
  CGEventRef deliver(CGEventType type, CGEventRef event) override {
    int64_t button = CGEventGetIntegerValueField(event, kCGMouseEventButtonNumber);
    {
      std::lock_guard<std::mutex> lock(mutex);
      seen.emplace_back(type, button);
      typeMatches = typeMatches && CGEventGetType(event) == type;
      masks.push_back(NSEvent::pressedMouseButtons());
    }
    return decide(type, button) ? event : nullptr;
  }
  std::function<bool(CGEventType, int64_t)> decide = [](CGEventType, int64_t) { return true; };
  std::mutex mutex;
  std::vector<std::pair<CGEventType, int64_t>> seen;
  std::vector<NSUInteger> masks;
  bool typeMatches = true;
};

Event syn() {
  return {EV_SYN, SYN_REPORT, 0};
}
Event key(uint16_t code, int32_t value) {
  return {EV_KEY, code, value};
}
Event rel(uint16_t code, int32_t value) {
  return {EV_REL, code, value};
}

std::vector<Event> click(uint16_t code) {
  return {key(code, 1), syn(), key(code, 0), syn()};
}

class LinuxTapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend.linuxInput = &input;
    request.eventsOfInterest =
        CGEventMaskBit(kCGEventRightMouseDown) | CGEventMaskBit(kCGEventRightMouseUp) |
        CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp);
    objectsBefore = platform::liveObjectCount();
  }
  void TearDown() override {
    tap.reset();
    EXPECT_EQ(platform::liveObjectCount(), objectsBefore);
  }

  void start(platform::evdev::TapOptions options = {}) {
    int error = 0;
    tap = Tap::create(kernel, request, client, options, error);
    ASSERT_TRUE(tap);
    auto w = std::make_unique<fake::Watcher>();
    w->refused = unwatchable;
    watcher = w.get();
    tap->attachWatcher(std::move(w));
  }
  void feed(const std::string &node, const std::vector<Event> &events) {
    auto &queue = kernel.nodes.at(node)->queue;
    queue.insert(queue.end(), events.begin(), events.end());
    watcher->ready(kernel.nodes.at(node)->fd);
  }
  void directoryChanged() { watcher->ready(9001); }

  LinuxBackend backend;
  fake::Kernel kernel;
  platform::evdev::LinuxInput input{kernel};
  Client client;
  platform::TapRequest request{kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault, 0};
  std::shared_ptr<Tap> tap;
  fake::Watcher *watcher = nullptr;
  std::set<int> unwatchable;
  long objectsBefore = 0;
};

TEST(LinuxButtonTable, EvdevCodesMapToPlatformNumbers) {
  const std::pair<uint16_t, int> table[] = {
      {BTN_LEFT, 0},     {BTN_RIGHT, 1},         {BTN_MIDDLE, 2},    {BTN_SIDE, 3},
      {BTN_EXTRA, 4},    {BTN_FORWARD, 5},       {BTN_BACK, 6},      {BTN_TASK, 7},
      {BTN_TASK + 1, 8}, {BTN_JOYSTICK - 1, 15}, {BTN_JOYSTICK, -1}, {BTN_0, -1},
      {KEY_A, -1},       {BTN_TOUCH, -1}};
  for (auto [code, number] : table)
    EXPECT_EQ(platform::evdev::buttonNumber(code), number) << "code " << code;
}

TEST(LinuxButtonTable, SwipeDirectionsClickBackAndForward) {
  const std::pair<int64_t, uint16_t> table[] = {{4, BTN_SIDE}, {8, BTN_EXTRA}, {1, 0},
                                                {2, 0},        {0, 0},         {-4, 0}};
  for (auto [direction, code] : table)
    EXPECT_EQ(platform::evdev::buttonForSwipe(direction), code) << "direction " << direction;
}

TEST_F(LinuxTapTest, GrabsMiceOnlyAndNeverItsOwnVirtualDevice) {
  auto mouse = kernel.add("event0");
  auto keyboard = kernel.add("event1");
  keyboard->caps = fake::keyboardCaps();
  auto own = kernel.add("event2");
  own->name = platform::evdev::kVirtualDeviceName;
  auto wheelless = kernel.add("event3");  // relative motion and buttons: a trackpoint
  wheelless->caps.codes.erase({EV_REL, REL_WHEEL});
  start();
  EXPECT_TRUE(mouse->grabbed);
  EXPECT_FALSE(keyboard->grabbed);
  EXPECT_EQ(keyboard->opened, 0) << "a keyboard is not kept open";
  EXPECT_FALSE(own->grabbed);
  EXPECT_TRUE(wheelless->grabbed);
  // The virtual device can post back and forward whatever mice are present.
  EXPECT_TRUE(kernel.outputCaps.has(EV_KEY, BTN_SIDE));
  EXPECT_TRUE(kernel.outputCaps.has(EV_KEY, BTN_EXTRA));
  EXPECT_TRUE(kernel.outputCaps.has(EV_REL, REL_WHEEL));
}

TEST_F(LinuxTapTest, NoVirtualDeviceMeansNoTapAndNoGrab) {
  auto mouse = kernel.add("event0");
  kernel.uinputUsable = false;
  EXPECT_EQ(input.createTap(request, client), nullptr);
  EXPECT_FALSE(mouse->grabbed);
  EXPECT_EQ(mouse->opened, 0);
}

TEST_F(LinuxTapTest, UnfilteredEventsPassUnchangedInOrder) {
  kernel.add("event0");
  start();
  const std::vector<Event> stream = {rel(REL_X, 3),
                                     rel(REL_Y, -2),
                                     syn(),
                                     rel(REL_WHEEL, -1),
                                     syn(),
                                     {EV_MSC, MSC_SCAN, 0x90001},
                                     key(BTN_LEFT, 1),
                                     syn(),
                                     rel(REL_X, 1),
                                     syn(),
                                     {EV_MSC, MSC_SCAN, 0x90001},
                                     key(BTN_LEFT, 0),
                                     syn(),
                                     rel(REL_HWHEEL, 1),
                                     syn()};
  feed("event0", stream);
  EXPECT_EQ(kernel.output(), stream);
  EXPECT_TRUE(client.seen.empty()) << "the left button never reaches the callback";
}

TEST_F(LinuxTapTest, UnsubscribedButtonsPassWithoutTheCallback) {
  kernel.add("event0");
  request.eventsOfInterest = CGEventMaskBit(kCGEventRightMouseDown);
  start();
  std::vector<Event> stream = click(BTN_SIDE);
  feed("event0", stream);
  EXPECT_EQ(kernel.output(), stream);
  EXPECT_TRUE(client.seen.empty());
}

TEST_F(LinuxTapTest, CallbackSeesEachButtonWithItsTypeAndNumber) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  start();
  struct Row {
    uint16_t code;
    CGEventType down, up;
    int64_t number;
  };
  const Row rows[] = {{BTN_RIGHT, kCGEventRightMouseDown, kCGEventRightMouseUp, 1},
                      {BTN_MIDDLE, kCGEventOtherMouseDown, kCGEventOtherMouseUp, 2},
                      {BTN_SIDE, kCGEventOtherMouseDown, kCGEventOtherMouseUp, 3},
                      {BTN_EXTRA, kCGEventOtherMouseDown, kCGEventOtherMouseUp, 4},
                      {BTN_TASK, kCGEventOtherMouseDown, kCGEventOtherMouseUp, 7}};
  for (const Row &row : rows) {
    client.seen.clear();
    kernel.clearOutput();
    feed("event0", click(row.code));
    std::vector<std::pair<CGEventType, int64_t>> expected = {{row.down, row.number},
                                                             {row.up, row.number}};
    EXPECT_EQ(client.seen, expected) << "code " << row.code;
    EXPECT_EQ(kernel.output(), click(row.code)) << "passed by the callback";
  }
  EXPECT_TRUE(client.typeMatches);
}

TEST_F(LinuxTapTest, SwallowedButtonAndBackClick) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  start();
  // Button 3 is back: press and release swallowed, the press posts the swipe.
  client.decide = [&](CGEventType type, int64_t button) {
    if (button != 3) return true;
    if (type == kCGEventOtherMouseDown) {
      CGEventRef gesture = CGEventCreate(nullptr);
      CGEventSetIntegerValueField(gesture, platform::evdev::kGesturePhaseField, 4);
      CGEventSetIntegerValueField(gesture, platform::evdev::kSwipeDirectionField, 4);
      CGEventPost(kCGHIDEventTap, gesture);
      CFRelease(gesture);
    }
    return false;
  };
  feed("event0",
       {rel(REL_X, 1), key(BTN_SIDE, 1), syn(), rel(REL_X, 2), syn(), key(BTN_SIDE, 0), syn()});
  // The back click follows the frame in which the press was swallowed.
  std::vector<Event> expected = {rel(REL_X, 1), syn()};
  for (Event e : click(BTN_SIDE)) expected.push_back(e);
  for (Event e : {rel(REL_X, 2), syn(), syn()}) expected.push_back(e);
  EXPECT_EQ(kernel.output(), expected);
  EXPECT_EQ(input.pressedMouseButtons(), 0u);
}

TEST_F(LinuxTapTest, PostClicksOnlyForTheClosingEventOfASwipe) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  start();
  struct Row {
    int64_t phase, direction;
    std::vector<Event> out;
  };
  const Row rows[] = {{4, 4, click(BTN_SIDE)},
                      {4, 8, click(BTN_EXTRA)},
                      {1, 4, {}},
                      {1, 8, {}},
                      {4, 1, {}},
                      {4, 2, {}}};
  for (const Row &row : rows) {
    kernel.clearOutput();
    CGEventRef gesture = CGEventCreate(nullptr);
    CGEventSetIntegerValueField(gesture, platform::evdev::kGesturePhaseField, row.phase);
    CGEventSetIntegerValueField(gesture, platform::evdev::kSwipeDirectionField, row.direction);
    input.post(kCGHIDEventTap, gesture);
    CFRelease(gesture);
    EXPECT_EQ(kernel.output(), row.out) << "phase " << row.phase << " dir " << row.direction;
  }
  input.post(kCGHIDEventTap, nullptr);  // nothing to post, nothing happens
}

TEST_F(LinuxTapTest, PostsTheEncodersSwipeEvents) {
  kernel.add("event0");
  start();
  auto encode = [](int32_t phase, int32_t direction) {
    CFMutableDictionaryRef info = CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    auto set = [&](const char *key, int32_t value) {
      CFStringRef k = CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8);
      CFNumberRef v = CFNumberCreate(nullptr, kCFNumberSInt32Type, &value);
      CFDictionarySetValue(info, k, v);
      CFRelease(k);
      CFRelease(v);
    };
    set("gestureSubtype", 16);
    set("gesturePhase", phase);
    if (direction) set("swipeDirection", direction);
    CFArrayRef none = CFArrayCreate(nullptr, nullptr, 0, &kCFTypeArrayCallBacks);
    CGEventRef event = tl_CGEventCreateFromGesture(info, none);
    CFRelease(none);
    CFRelease(info);
    return event;
  };
  CGEventRef opening = encode(1, 0), closing = encode(4, 8);
  if (!opening || !closing) {
    if (opening) CFRelease(opening);
    if (closing) CFRelease(closing);
    GTEST_SKIP() << "the gesture encoder is not built yet";
  }
  input.post(kCGHIDEventTap, opening);
  input.post(kCGHIDEventTap, closing);
  CFRelease(opening);
  CFRelease(closing);
  EXPECT_EQ(kernel.output(), click(BTN_EXTRA));
}

TEST_F(LinuxTapTest, PassthroughHeldOnOneMouseLetsAMappedButtonThroughOnAnother) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  kernel.add("event1");
  start();
  // The filter's rule: button 2 held anywhere lets button 3 through.
  client.decide = [](CGEventType, int64_t button) {
    return button != 3 || (NSEvent::pressedMouseButtons() & (1u << 2));
  };
  feed("event0", {key(BTN_MIDDLE, 1), syn()});
  kernel.clearOutput();
  feed("event1", click(BTN_SIDE));
  EXPECT_EQ(kernel.output(), click(BTN_SIDE));
  // The mask shown is the one before each event: middle held, and for the release the side
  // button too.
  ASSERT_EQ(client.masks.size(), 3u);
  EXPECT_EQ(client.masks[0], 0u);
  EXPECT_EQ(client.masks[1], 1u << 2);
  EXPECT_EQ(client.masks[2], (1u << 2) | (1u << 3));

  feed("event0", {key(BTN_MIDDLE, 0), syn()});
  kernel.clearOutput();
  feed("event1", click(BTN_SIDE));
  EXPECT_EQ(kernel.output(), (std::vector<Event>{syn(), syn()})) << "swallowed again";
}

TEST_F(LinuxTapTest, PressAndReleaseStayPaired) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  start();
  struct Row {
    const char *what;
    bool passPress, passRelease;
    std::vector<Event> out;
  };
  // The callback judges press and release on their own; the virtual device must never be
  // left holding a button, nor be told of a release it never saw pressed.
  const Row rows[] = {
      {"both passed", true, true, click(BTN_EXTRA)},
      {"both swallowed", false, false, {syn(), syn()}},
      {"press passed, release swallowed", true, false, click(BTN_EXTRA)},
      {"press swallowed, release passed", false, true, {syn(), syn()}},
  };
  for (const Row &row : rows) {
    kernel.clearOutput();
    client.decide = [&](CGEventType type, int64_t) {
      return type == kCGEventOtherMouseDown ? row.passPress : row.passRelease;
    };
    feed("event0", click(BTN_EXTRA));
    EXPECT_EQ(kernel.output(), row.out) << row.what;
  }
}

TEST_F(LinuxTapTest, ListenOnlyTapCannotSwallow) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  request.options = kCGEventTapOptionListenOnly;
  start();
  client.decide = [](CGEventType, int64_t) { return false; };
  feed("event0", click(BTN_SIDE));
  EXPECT_EQ(kernel.output(), click(BTN_SIDE));
  EXPECT_EQ(client.seen.size(), 2u);
}

TEST_F(LinuxTapTest, MouseThatCannotBeWatchedIsNotKeptGrabbed) {
  auto served = kernel.add("event0");
  auto unserved = kernel.add("event1");
  unwatchable = {unserved->fd};
  start();
  EXPECT_TRUE(served->grabbed);
  EXPECT_FALSE(unserved->grabbed) << "nobody would read it: the mouse would be dead";
  EXPECT_EQ(unserved->opened, 0);
  auto late = kernel.plug("event2");
  watcher->refused.insert(late->fd);
  directoryChanged();
  EXPECT_FALSE(late->grabbed);
}

TEST_F(LinuxTapTest, MiceComeAndGoMidStream) {
  kernel.add("event0");
  start();
  feed("event0", {rel(REL_X, 1), syn()});
  auto second = kernel.plug("event1");
  directoryChanged();
  EXPECT_TRUE(second->grabbed) << "a mouse plugged in is grabbed";
  feed("event1", {rel(REL_Y, 5), syn()});
  feed("event0", {rel(REL_X, 2), syn()});
  kernel.unplug("event1");
  watcher->ready(second->fd);  // the reader sees it gone
  directoryChanged();
  EXPECT_EQ(second->opened, 0) << "an unplugged mouse is closed";
  EXPECT_FALSE(watcher->watching(second->fd));
  feed("event0", {rel(REL_X, 3), syn()});
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 1), syn(), rel(REL_Y, 5), syn(),
                                                 rel(REL_X, 2), syn(), rel(REL_X, 3), syn()}));
  // The same name plugged again is a new mouse.
  auto again = kernel.plug("event1");
  directoryChanged();
  EXPECT_TRUE(again->grabbed);
}

TEST_F(LinuxTapTest, OwnVirtualDeviceAppearingIsLeftAlone) {
  kernel.virtualDevnode = "/fake/input/event7";
  start();
  auto own = kernel.plug("event7");  // named like any mouse, found by its node
  directoryChanged();
  EXPECT_FALSE(own->grabbed);
  EXPECT_EQ(own->opened, 0);
}

TEST_F(LinuxTapTest, OpenRefusedBeforePermissionsAreSetIsRetriedABoundedNumberOfTimes) {
  start({.callbackTimeoutNanos = 1000000000, .retryIntervalNanos = 100000000, .retryAttempts = 5});
  EXPECT_FALSE(kernel.timer.armed) << "nothing pending, no wake-ups";
  struct Row {
    int refusals;
    bool grabbedInTheEnd;
  };
  const Row rows[] = {{1, true}, {4, true}, {5, false}, {50, false}};
  int n = 0;
  for (const Row &row : rows) {
    std::string node = "event" + std::to_string(10 + n++);
    auto mouse = kernel.plug(node);
    mouse->refusals = row.refusals;
    directoryChanged();
    int fired = 0;
    while (kernel.timer.armed && fired < 100) {
      EXPECT_EQ(kernel.timer.nanos, 100000000u);
      ++fired;
      watcher->ready(9002);
    }
    EXPECT_EQ(mouse->grabbed, row.grabbedInTheEnd) << row.refusals << " refusals";
    EXPECT_LE(fired, 4) << "bounded";
    EXPECT_FALSE(kernel.timer.armed) << "idle again";
  }
  // A change of mode after giving up admits the mouse.
  auto late = kernel.nodes.at("event13");
  late->refusals = 0;
  kernel.changes.emplace_back("event13", fake::DirectoryWatch::AttributesChanged);
  directoryChanged();
  EXPECT_TRUE(late->grabbed);
}

TEST_F(LinuxTapTest, ResyncAfterDroppedEventsLeavesNothingStuck) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  start();
  client.decide = [](CGEventType, int64_t button) { return button != 3; };
  feed("event0", {key(BTN_RIGHT, 1), key(BTN_SIDE, 1), syn()});
  EXPECT_EQ(input.pressedMouseButtons(), (1u << 1) | (1u << 3));
  kernel.clearOutput();
  // The kernel dropped events; meanwhile both buttons were let go and the mouse moved.
  // libevdev's catch-up reports the releases, then the ordinary stream goes on.
  feed("event0", {key(BTN_RIGHT, 0), key(BTN_SIDE, 0), syn(), rel(REL_X, 4), syn()});
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn(), rel(REL_X, 4), syn()}));
  EXPECT_EQ(input.pressedMouseButtons(), 0u);
}

TEST_F(LinuxTapTest, ButtonsHeldByAVanishingMouseAreReleased) {
  REQUIRE_EVENT_OBJECTS();
  kernel.add("event0");
  kernel.add("event1");
  start();
  client.decide = [](CGEventType, int64_t button) { return button != 3; };
  feed("event0", {key(BTN_RIGHT, 1), key(BTN_SIDE, 1), key(BTN_EXTRA, 1), syn()});
  feed("event1", {key(BTN_EXTRA, 1), syn()});  // held through the other mouse as well
  kernel.clearOutput();
  kernel.unplug("event0");
  directoryChanged();
  // Right was passed and only event0 held it; side was swallowed; extra is still held.
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn()}));
  EXPECT_EQ(input.pressedMouseButtons(), 1u << 4);
}

TEST_F(LinuxTapTest, DisablingGivesTheMouseBackAndEnablingTakesItAgain) {
  REQUIRE_EVENT_OBJECTS();
  auto mouse = kernel.add("event0");
  start();
  feed("event0", {key(BTN_RIGHT, 1), syn()});
  kernel.clearOutput();
  tap->setEnabled(false);
  EXPECT_FALSE(tap->isEnabled());
  EXPECT_FALSE(mouse->grabbed);
  EXPECT_EQ(mouse->opened, 0);
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn()}));
  auto plugged = kernel.plug("event1");
  directoryChanged();
  EXPECT_FALSE(plugged->grabbed) << "no grabs while off";
  tap->setEnabled(true);
  EXPECT_FALSE(mouse->grabbed) << "its right button is still down: taken once let go";
  EXPECT_TRUE(plugged->grabbed);
  feed("event0", {key(BTN_RIGHT, 0), syn()});
  EXPECT_TRUE(mouse->grabbed);
  kernel.clearOutput();
  feed("event0", {rel(REL_X, 1), syn()});
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 1), syn()}));
}

TEST_F(LinuxTapTest, DestroyingTheTapClosesEverything) {
  auto a = kernel.add("event0");
  auto b = kernel.add("event1");
  start();
  EXPECT_EQ(backend.quietTime.started, 1);
  tap.reset();
  EXPECT_EQ(a->opened + b->opened, 0);
  EXPECT_FALSE(a->grabbed || b->grabbed);
  EXPECT_TRUE(watcher == nullptr || true);
  EXPECT_EQ(backend.quietTime.exited, 1) << "the watchdog thread says goodbye";
  EXPECT_EQ(input.pressedMouseButtons(), 0u) << "no tap, nothing held";
}

TEST_F(LinuxTapTest, HungCallbackSwitchesTheTapOffFromTheWatchdog) {
  REQUIRE_EVENT_OBJECTS();
  auto a = kernel.add("event0");
  auto b = kernel.add("event1");
  start();
  feed("event1", {key(BTN_RIGHT, 1), syn()});  // passed, held on the virtual device
  kernel.clearOutput();
  client.seen.clear();
  bool ungrabbedWhileBlocked = false;
  client.decide = [&](CGEventType type, int64_t) {
    if (type == kCGEventTapDisabledByTimeout) return true;
    // A hung script: blocks two seconds, watching for the desktop to get the mice back.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
      if (!a->grabbed && !b->grabbed) ungrabbedWhileBlocked = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  };
  feed("event0", {rel(REL_X, 1), syn(), key(BTN_SIDE, 1), syn(), rel(REL_X, 9), syn()});
  EXPECT_TRUE(ungrabbedWhileBlocked) << "every device ungrabbed while the callback hung";
  // What went out before the callback stays; the release of the held right button comes from
  // the watchdog; nothing read before the switch-off is sent after it.
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 1), syn(), key(BTN_RIGHT, 0), syn()}));
  std::vector<std::pair<CGEventType, int64_t>> expected = {{kCGEventOtherMouseDown, 3},
                                                           {kCGEventTapDisabledByTimeout, 0}};
  EXPECT_EQ(client.seen, expected);
  EXPECT_FALSE(tap->isEnabled());
  EXPECT_EQ(a->opened + b->opened, 0) << "closed once the callback returned";
  // Off until started again: nothing is read or re-emitted any more.
  kernel.clearOutput();
  a->queue.push_back(rel(REL_X, 1));
  watcher->ready(a->fd);
  EXPECT_TRUE(kernel.output().empty());
}

TEST_F(LinuxTapTest, ACallbackMaySwitchOffOrDropItsOwnTap) {
  REQUIRE_EVENT_OBJECTS();
  enum Action { SwitchOff, Drop };
  for (Action action : {SwitchOff, Drop}) {
    SCOPED_TRACE(action == SwitchOff ? "switched off" : "dropped");
    kernel.nodes.clear();
    kernel.clearOutput();
    client.seen.clear();
    auto mouse = kernel.add("event0");
    start();
    std::unique_ptr<platform::TapDriver> driver = Tap::driverFor(std::move(tap));
    feed("event0", {key(BTN_RIGHT, 1), syn()});  // passed: held on the virtual device
    client.decide = [&](CGEventType type, int64_t button) {
      if (button == 3 && type == kCGEventOtherMouseDown) {
        if (action == SwitchOff)
          driver->setEnabled(false);
        else
          driver.reset();  // the port's last reference went
      }
      return true;
    };
    feed("event0", {key(BTN_SIDE, 1), syn(), rel(REL_X, 5), syn(), key(BTN_SIDE, 0), syn()});
    EXPECT_FALSE(mouse->grabbed);
    EXPECT_EQ(mouse->opened, 0);
    EXPECT_EQ(client.seen.size(), 2u) << "nothing delivered after it";
    EXPECT_EQ(kernel.output(),
              (std::vector<Event>{key(BTN_RIGHT, 1), syn(), key(BTN_RIGHT, 0), syn()}));
    client.decide = [](CGEventType, int64_t) { return true; };
    driver.reset();
  }
}

TEST_F(LinuxTapTest, AGrabAnotherProgramHoldsIsAskedForAgainWithGrowingWaits) {
  start({.grabRetryFirstNanos = 250, .grabRetryAttempts = 4});
  struct Row {
    int refusals;
    std::vector<uint64_t> waits;
    bool grabbedInTheEnd;
  };
  const Row rows[] = {
      {1, {250}, true}, {3, {250, 500, 1000}, true}, {9, {250, 500, 1000, 2000}, false}};
  int n = 0;
  for (const Row &row : rows) {
    backend.logged.clear();
    auto mouse = kernel.plug("event" + std::to_string(20 + n++));
    mouse->grabRefusals = row.refusals;
    directoryChanged();
    std::vector<uint64_t> waits;
    while (kernel.timer.armed && waits.size() < 10) {
      waits.push_back(kernel.timer.nanos);
      watcher->ready(9002);
    }
    EXPECT_EQ(waits, row.waits) << row.refusals << " refusals";
    EXPECT_EQ(mouse->grabbed, row.grabbedInTheEnd);
    EXPECT_EQ(backend.logged.size(), 1u) << "said once";
    EXPECT_EQ(mouse->opened, row.grabbedInTheEnd ? 1 : 0) << "not kept open meanwhile";
  }
  // An attribute change asks again at once.
  auto last = kernel.nodes.at("event22");
  last->grabRefusals = 0;
  kernel.changes.emplace_back("event22", fake::DirectoryWatch::AttributesChanged);
  directoryChanged();
  EXPECT_TRUE(last->grabbed);
}

TEST_F(LinuxTapTest, AMouseIsGrabbedOnlyWithNoButtonDown) {
  auto mouse = kernel.add("event0");
  mouse->down = {BTN_LEFT};  // held before the tap began: the desktop saw the press
  start();
  EXPECT_FALSE(mouse->grabbed);
  feed("event0", {rel(REL_X, 1), syn()});
  EXPECT_FALSE(mouse->grabbed);
  feed("event0", {key(BTN_LEFT, 0), syn()});
  EXPECT_TRUE(mouse->grabbed);
  EXPECT_TRUE(kernel.output().empty()) << "what the desktop read is not sent again";
  feed("event0", {rel(REL_Y, 2), syn()});
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_Y, 2), syn()}));
}

TEST_F(LinuxTapTest, AFailedWriteGivesTheMiceBackAndTellsTheClient) {
  REQUIRE_EVENT_OBJECTS();
  auto a = kernel.add("event0");
  auto b = kernel.add("event1");
  start();
  kernel.writeError = EINVAL;
  feed("event0", {rel(REL_X, 1), syn()});
  EXPECT_FALSE(a->grabbed || b->grabbed);
  EXPECT_EQ(a->opened + b->opened, 0);
  ASSERT_EQ(backend.logged.size(), 1u) << testing::PrintToString(backend.logged);
  EXPECT_NE(backend.logged[0].find(strerror(EINVAL)), std::string::npos) << backend.logged[0];
  EXPECT_EQ(client.seen,
            (std::vector<std::pair<CGEventType, int64_t>>{{kCGEventTapDisabledByUserInput, 0}}));
  tap->setEnabled(true);
  EXPECT_FALSE(tap->isEnabled()) << "stays off: its mice would be dead";
  EXPECT_FALSE(a->grabbed);
}

TEST_F(LinuxTapTest, AFailedWriteOutsideAReadIsToldFromTheLoop) {
  REQUIRE_EVENT_OBJECTS();
  auto mouse = kernel.add("event0");
  start();
  kernel.writeError = EIO;
  tap->click(BTN_SIDE);
  EXPECT_FALSE(mouse->grabbed);
  EXPECT_TRUE(client.seen.empty()) << "not from inside the poster";
  watcher->runPerformed();
  EXPECT_EQ(mouse->opened, 0);
  EXPECT_EQ(client.seen.size(), 1u);
}

TEST_F(LinuxTapTest, LostDirectoryNoticesMeanLookingAtEveryNodeAgain) {
  kernel.add("event0");
  start();
  auto unseen = kernel.add("event1");  // its notice was lost
  kernel.changes.emplace_back("", fake::DirectoryWatch::Overflowed);
  directoryChanged();
  EXPECT_TRUE(unseen->grabbed);
}

TEST_F(LinuxTapTest, TrustNeedsTheVirtualDeviceAndEveryEventNode) {
  kernel.add("event0");
  kernel.add("event1");
  struct Row {
    std::set<std::string> denied;
    bool trusted;
  };
  const Row rows[] = {
      {{}, true}, {{"uinput"}, false}, {{"event1"}, false}, {{"event0", "event1"}, false}};
  for (const Row &row : rows) {
    kernel.denied = row.denied;
    EXPECT_EQ(input.isProcessTrusted(false), row.trusted);
  }
  EXPECT_EQ(kernel.opens, 0) << "asking has no side effects";
  EXPECT_TRUE(backend.logged.empty()) << "no prompt without the option";
  kernel.denied = {"uinput"};
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(input.isProcessTrusted(true));
  EXPECT_LE(backend.logged.size(), 1u) << "one line per process at most";
}

}  // namespace
