// The Linux tap on scripted devices, its loop driven by hand: what reaches each mouse's output,
// what the client is asked, hotplug, retries, resynchronisation, the grace and the watchdog.
// How frames are filtered is the frame filter's table (frame_filter_test.cpp); here it is the
// tap around it.
#include "FakeInputKernel.h"
#include "TestBackend.h"

#include "TouchEvents.h"
#include "events/EventFormat.h"
#include "linux/input/LinuxInput.h"
#include "linux/input/LinuxTap.h"

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

using platform::evdev::Event;

namespace platform::evdev {
void PrintTo(const Event &e, std::ostream *os) {
  *os << "{" << e.type << "," << e.code << "," << e.value << "}";
}
}  // namespace platform::evdev

namespace {

constexpr CGEventType kGesture = static_cast<CGEventType>(29);

using fake::key;
using fake::rel;
using fake::syn;
std::vector<Event> click(uint16_t code) {
  return {key(code, 1), syn(), key(code, 0), syn()};
}
std::vector<Event> operator+(std::vector<Event> a, const std::vector<Event> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

constexpr CGEventMask kButtons =
    CGEventMaskBit(kCGEventRightMouseDown) | CGEventMaskBit(kCGEventRightMouseUp) |
    CGEventMaskBit(kCGEventOtherMouseDown) | CGEventMaskBit(kCGEventOtherMouseUp);

class LinuxTapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    makeInput({});
    objectsBefore = platform::liveObjectCount();
  }
  void TearDown() override {
    tap.reset();
    EXPECT_EQ(platform::liveObjectCount(), objectsBefore);
  }

  void makeInput(platform::evdev::TapOptions options) {
    input = std::make_unique<platform::evdev::LinuxInput>(
        backend.inputContext(), kernel, options, [this] {
          auto made = std::make_unique<fake::Loop>();
          made->refused = unwatchable;
          loop = made.get();
          return made;
        });
    backend.inputBackend = input.get();
  }
  void start(platform::evdev::TapOptions options = {}) {
    makeInput(options);
    tap = input->createTap(request, client);
    ASSERT_TRUE(tap);
  }
  void settle() { fake::Settle(client, *loop); }
  void feed(const std::string &node, const std::vector<Event> &events) {
    fake::Feed(kernel, *loop, client, node, events);
  }
  void directoryChanged() {
    loop->ready(9001);
    settle();
  }
  void retryTimerFired() {
    loop->ready(kernel.retryTimer().fd);
    settle();
  }

  TestBackend backend;
  fake::Kernel kernel;
  std::unique_ptr<platform::evdev::LinuxInput> input;
  fake::Client client;
  platform::TapRequest request{kCGHIDEventTap, kCGHeadInsertEventTap, kCGEventTapOptionDefault,
                               kButtons};
  std::unique_ptr<platform::TapDriver> tap;
  fake::Loop *loop = nullptr;
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

TEST_F(LinuxTapTest, GrabsMiceOnlyAndNeverAnOutputDevice) {
  auto mouse = kernel.add("event0");
  auto keyboard = kernel.add("event1");
  keyboard->caps = fake::keyboardCaps();
  auto output = kernel.addOutput("event2", "event9");  // another instance's, named as its mouse
  output->identity = mouse->identity;
  auto wheelless = kernel.add("event3");  // relative motion and buttons: a trackpoint
  wheelless->caps.codes.erase({EV_REL, REL_WHEEL});
  start();
  EXPECT_TRUE(mouse->grabbed);
  EXPECT_FALSE(keyboard->grabbed);
  EXPECT_FALSE(output->grabbed);
  EXPECT_EQ(kernel.opens, 2) << "neither a keyboard nor an output is even opened";
  EXPECT_TRUE(wheelless->grabbed);
  // Outputs appearing later: told by sysfs, or (when sysfs did not say) once opened.
  for (bool sysfsSays : {true, false}) {
    kernel.sysfsHidesPhys = !sysfsSays;
    auto late = kernel.addOutput(sysfsSays ? "event4" : "event5", "event0");
    kernel.changes.emplace_back(sysfsSays ? "event4" : "event5", fake::DirectoryWatch::Created);
    directoryChanged();
    EXPECT_FALSE(late->grabbed) << sysfsSays;
    EXPECT_EQ(late->opened, 0) << sysfsSays;
  }
  EXPECT_TRUE(backend.logged.empty()) << testing::PrintToString(backend.logged);
}

// What udev, libinput and the desktop know a mouse by carries over to its output, and the
// output can click back and forward whatever the mouse has.
TEST_F(LinuxTapTest, EachMouseGetsAnOutputInItsLikeness) {
  auto plain = kernel.add("event0");
  auto trackball = kernel.add("event7");
  trackball->identity = {"Logitech USB Trackball", BUS_USB, 0x046d, 0xc408, 0x0110};
  trackball->caps.codes.erase({EV_KEY, BTN_SIDE});
  trackball->caps.codes.erase({EV_KEY, BTN_EXTRA});
  trackball->caps.codes.insert({EV_REL, REL_WHEEL_HI_RES});
  trackball->caps.codes.insert({EV_ABS, ABS_MISC});
  trackball->caps.abs[ABS_MISC] = input_absinfo{0, -5, 5, 0, 0, 3};
  trackball->caps.properties.insert(INPUT_PROP_POINTING_STICK);
  start();
  for (const auto &[node, mouse] : {std::pair{"event0", plain}, std::pair{"event7", trackball}}) {
    SCOPED_TRACE(node);
    ASSERT_TRUE(kernel.hasOutput(node));
    const platform::evdev::OutputSpec &wanted = kernel.outputs.at(node).wanted;
    EXPECT_EQ(wanted.identity, mouse->identity);
    EXPECT_EQ(wanted.phys, std::string("corvassel-helper/") + node);
    platform::evdev::Capabilities expected = mouse->caps;
    expected.codes.insert({{EV_KEY, BTN_SIDE}, {EV_KEY, BTN_EXTRA}});
    EXPECT_EQ(wanted.capabilities.codes, expected.codes);
    EXPECT_EQ(wanted.capabilities.properties, expected.properties);
    ASSERT_EQ(wanted.capabilities.abs.size(), expected.abs.size());
    for (const auto &[code, info] : expected.abs)
      EXPECT_EQ(wanted.capabilities.abs.at(code).resolution, info.resolution);
    EXPECT_EQ(kernel.sources.at(node), mouse->fd) << "made for that very device";
  }
}

TEST_F(LinuxTapTest, NoOutputsMeansNoTapAndNoGrab) {
  auto mouse = kernel.add("event0");
  kernel.uinputUsable = false;
  EXPECT_EQ(input->createTap(request, client), nullptr);
  EXPECT_FALSE(mouse->grabbed);
  EXPECT_EQ(mouse->opened, 0);
  ASSERT_EQ(backend.logged.size(), 1u);
  EXPECT_NE(backend.logged[0].find("/dev/uinput"), std::string::npos) << backend.logged[0];
}

// Never a grabbed mouse without its output, nor an output without its grabbed mouse.
TEST_F(LinuxTapTest, AMouseIsGrabbedExactlyWhileItsOutputExists) {
  auto a = kernel.add("event0");
  auto b = kernel.add("event1");
  kernel.outputRefused = {"event1"};
  start();
  std::shared_ptr<fake::Node> c;
  struct Step {
    const char *what;
    std::function<void()> act;
    std::set<std::string> grabbed;
  };
  const Step steps[] = {
      {"started, one output refused", [] {}, {"event0"}},
      {"a mouse plugged in",
       [&] {
         c = kernel.plug("event2");
         directoryChanged();
       },
       {"event0", "event2"}},
      {"the refused one's node changes, outputs possible again",
       [&] {
         kernel.outputRefused.clear();
         kernel.changes.emplace_back("event1", fake::DirectoryWatch::AttributesChanged);
         directoryChanged();
       },
       {"event0", "event1", "event2"}},
      {"one unplugged",
       [&] {
         kernel.unplug("event0");
         loop->ready(a->fd);
         directoryChanged();
       },
       {"event1", "event2"}},
      {"the tap off", [&] { tap->setEnabled(false); }, {}},
      {"on again", [&] { tap->setEnabled(true); }, {"event1", "event2"}},
  };
  for (const Step &step : steps) {
    step.act();
    for (const auto &[node, mouse] : kernel.nodes) {
      EXPECT_EQ(mouse->grabbed, step.grabbed.count(node) == 1) << step.what << ": " << node;
      EXPECT_EQ(kernel.hasOutput(node), mouse->grabbed) << step.what << ": " << node;
    }
  }
  EXPECT_FALSE(kernel.hasOutput("event0")) << "an unplugged mouse's output goes";
  EXPECT_EQ(kernel.outputsMade - kernel.outputsGone, 2);
  // The refusal was said once, naming the mouse and where outputs are made.
  ASSERT_EQ(backend.logged.size(), 1u) << testing::PrintToString(backend.logged);
  for (const char *part :
       {"/fake/input/event1", "/dev/uinput", static_cast<const char *>(strerror(ENOSPC))})
    EXPECT_NE(backend.logged[0].find(part), std::string::npos) << backend.logged[0];
  EXPECT_EQ(b->opened, 1);
}

// No grab outlives the process or the tap: on the process's way out, when the input goes before
// a tap it made, or when the tap goes, every output releases what it held and goes, and every
// mouse goes back and is closed; a tap left behind stays off.
TEST_F(LinuxTapTest, OnTheWayOutEveryOutputReleasesWhatItHeldAndEveryMouseGoesBack) {
  enum Way { Shutdown, InputGoes, TapGoes };
  for (const Way way : {Shutdown, InputGoes, TapGoes}) {
    SCOPED_TRACE(way);
    // Mice of its own: the earlier ones' buttons stay down, and they are left alone.
    const std::string node = "event" + std::to_string(2 * way);
    auto mouse = kernel.add(node);
    auto other = kernel.add("event" + std::to_string(2 * way + 1));
    start();
    feed(node, {key(BTN_RIGHT, 1), syn()});
    kernel.clearOutput();
    if (way == Shutdown) input->shutdown();
    if (way == InputGoes) input.reset();
    if (way == TapGoes) tap.reset();
    EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn()}));
    EXPECT_FALSE(mouse->grabbed || other->grabbed);
    EXPECT_EQ(mouse->opened + other->opened, 0);
    EXPECT_EQ(kernel.outputsMade, kernel.outputsGone);
    if (way == TapGoes) {
      EXPECT_EQ(input->pressedMouseButtons(), 0u) << "no tap, nothing held";
      continue;
    }
    tap->setEnabled(true);
    EXPECT_FALSE(mouse->grabbed) << "inert";
    tap.reset();
  }
}

TEST_F(LinuxTapTest, UnfilteredEventsPassUnchangedInOrder) {
  kernel.add("event0");
  start();
  const std::vector<Event> stream = {rel(REL_X, 3),
                                     rel(REL_Y, -2),
                                     syn(),
                                     rel(REL_WHEEL, -1),
                                     syn(),
                                     {EV_MSC, MSC_SCAN, 9},
                                     key(BTN_LEFT, 1),
                                     syn(),
                                     rel(REL_X, 1),
                                     syn(),
                                     key(BTN_LEFT, 0),
                                     syn()};
  feed("event0", stream);
  EXPECT_EQ(kernel.output("event0"), stream);
  EXPECT_TRUE(client.seen.empty()) << "the left button never reaches the callback";
}

TEST_F(LinuxTapTest, MiceReadInOneRoundGoInTheOrderTheirFramesHappened) {
  auto a = kernel.add("event0");
  auto b = kernel.add("event1");
  start();
  // Written alternately, read device by device: the frames' times put them back in order.
  kernel.queue(*a, {rel(REL_X, 1), syn()});
  kernel.queue(*b, {key(BTN_MIDDLE, 1), syn()});
  kernel.queue(*a, {key(BTN_SIDE, 1), syn()});
  kernel.queue(*b, {rel(REL_Y, 2), syn()});
  client.decide = [](CGEventType, int64_t button) {
    return button != 3 || (corvassel::ns::NSEvent::pressedMouseButtons() & (1u << 2));
  };
  loop->ready({a->fd, b->fd});
  settle();
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 1), syn(), key(BTN_MIDDLE, 1), syn(),
                                                 key(BTN_SIDE, 1), syn(), rel(REL_Y, 2), syn()}))
      << "the side button passes: the middle one was held on the other mouse before it";
  EXPECT_EQ(kernel.output("event0"),
            (std::vector<Event>{rel(REL_X, 1), syn(), key(BTN_SIDE, 1), syn()}));
  EXPECT_EQ(kernel.output("event1"),
            (std::vector<Event>{key(BTN_MIDDLE, 1), syn(), rel(REL_Y, 2), syn()}));
}

TEST_F(LinuxTapTest, AMouseServedEarlierInTheRoundIsNotOvertakenByALaterOne) {
  auto a = kernel.add("event0");
  auto b = kernel.add("event1");
  start();
  // a's frame came first, but the round was woken for b alone: a is read before any goes out.
  kernel.queue(*a, {rel(REL_X, 1), syn()});  // times 1, 2
  kernel.queue(*b, {rel(REL_Y, 2), syn()});  // 3, 4
  loop->ready(b->fd);
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 1), syn(), rel(REL_Y, 2), syn()}));
  EXPECT_TRUE(loop->posted.empty());

  // A frame newer than the end of the round (6) waits for the next one, which comes at once.
  kernel.clearOutput();
  kernel.queue(*a, {rel(REL_X, 3), syn()});  // 5, 6
  kernel.queue(*b, {rel(REL_Y, 4), syn()});  // 7, 8
  kernel.eventTime = 6;
  loop->ready(a->fd);
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 3), syn()}));
  ASSERT_FALSE(loop->posted.empty());
  kernel.eventTime.reset();
  loop->runPosted();
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 3), syn(), rel(REL_Y, 4), syn()}));
}

TEST_F(LinuxTapTest, ASwallowedPressPostsItsClickAfterItsFrame) {
  kernel.add("event0");
  start();
  // Button 3 is back: press and release swallowed, the press posts the swipe.
  client.decide = [&](CGEventType type, int64_t button) {
    if (button != 3) return true;
    if (type == kCGEventOtherMouseDown) {
      CGEventRef gesture = CGEventCreate(nullptr);
      CGEventSetIntegerValueField(gesture, platform::events::kFieldGesturePhase, 4);    // ended
      CGEventSetIntegerValueField(gesture, platform::events::kFieldSwipeDirection, 4);  // back
      CGEventPost(kCGHIDEventTap, gesture);
      CFRelease(gesture);
    }
    return false;
  };
  feed("event0",
       {rel(REL_X, 1), key(BTN_SIDE, 1), syn(), rel(REL_X, 2), syn(), key(BTN_SIDE, 0), syn()});
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 1), syn()} + click(BTN_SIDE) +
                              std::vector<Event>{rel(REL_X, 2), syn(), syn()}));
  EXPECT_EQ(input->pressedMouseButtons(), 0u);
}

TEST_F(LinuxTapTest, OnlyTheClosingEventOfASwipeClicks) {
  kernel.add("event0");
  start();
  feed("event0", click(BTN_RIGHT));  // judged: posted clicks go to its output
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
    input->post(kCGHIDEventTap, platform::PostedEvent{nullptr, kGesture, row.phase, row.direction});
    settle();
    EXPECT_EQ(kernel.output("event0"), row.out)
        << "phase " << row.phase << " dir " << row.direction;
  }
}

TEST_F(LinuxTapTest, TheCallbackSeesTheButtonsHeldBeforeItsEventOnEveryMouse) {
  kernel.add("event0");
  kernel.add("event1");
  start();
  // The filter's rule: button 2 held anywhere lets button 3 through.
  client.decide = [](CGEventType, int64_t button) {
    return button != 3 || (corvassel::ns::NSEvent::pressedMouseButtons() & (1u << 2));
  };
  feed("event0", {key(BTN_MIDDLE, 1), syn()});
  kernel.clearOutput();
  feed("event1", click(BTN_SIDE));
  EXPECT_EQ(kernel.output(), click(BTN_SIDE));
  EXPECT_EQ(client.masks, (std::vector<platform::NSUInteger>{0, 1u << 2, (1u << 2) | (1u << 3)}));
  EXPECT_EQ(input->pressedMouseButtons(), 1u << 2) << "outside a callback: what is held now";

  feed("event0", {key(BTN_MIDDLE, 0), syn()});
  kernel.clearOutput();
  feed("event1", click(BTN_SIDE));
  EXPECT_EQ(kernel.output(), (std::vector<Event>{syn(), syn()})) << "swallowed again";
}

TEST_F(LinuxTapTest, AMouseThatCannotBeWatchedIsNotKeptGrabbed) {
  auto served = kernel.add("event0");
  auto unserved = kernel.add("event1");
  unwatchable = {unserved->fd};
  start();
  EXPECT_TRUE(served->grabbed);
  EXPECT_FALSE(unserved->grabbed) << "nobody would read it: the mouse would be dead";
  EXPECT_EQ(unserved->opened, 0);
  auto late = kernel.plug("event2");
  loop->refused.insert(late->fd);
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
  loop->ready(second->fd);  // the reader sees it gone
  directoryChanged();
  EXPECT_EQ(second->opened, 0) << "an unplugged mouse is closed";
  EXPECT_FALSE(loop->watching(second->fd));
  EXPECT_FALSE(kernel.hasOutput("event1")) << "and its output goes";
  feed("event0", {rel(REL_X, 3), syn()});
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 1), syn(), rel(REL_Y, 5), syn(),
                                                 rel(REL_X, 2), syn(), rel(REL_X, 3), syn()}));
  // The same name plugged again is a new mouse.
  auto again = kernel.plug("event1");
  directoryChanged();
  EXPECT_TRUE(again->grabbed);
}

TEST_F(LinuxTapTest, OpenRefusedBeforePermissionsAreSetIsRetriedABoundedNumberOfTimes) {
  platform::evdev::TapOptions options;
  options.devices.retryAttempts = 5;
  start(options);
  EXPECT_FALSE(kernel.retryTimer().armed) << "nothing pending, no wake-ups";
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
    while (kernel.retryTimer().armed && fired < 100) {
      EXPECT_EQ(kernel.retryTimer().nanos, 100000000u);
      ++fired;
      retryTimerFired();
    }
    EXPECT_EQ(mouse->grabbed, row.grabbedInTheEnd) << row.refusals << " refusals";
    EXPECT_LE(fired, 4) << "bounded";
    EXPECT_FALSE(kernel.retryTimer().armed) << "idle again";
  }
  // A change of mode after giving up admits the mouse.
  auto late = kernel.nodes.at("event13");
  late->refusals = 0;
  kernel.changes.emplace_back("event13", fake::DirectoryWatch::AttributesChanged);
  directoryChanged();
  EXPECT_TRUE(late->grabbed);
}

TEST_F(LinuxTapTest, AGrabAnotherProgramHoldsIsAskedForAgainWithGrowingWaits) {
  platform::evdev::TapOptions options;
  options.devices.grabRetryFirstNanos = 250;
  options.devices.grabRetryAttempts = 4;
  start(options);
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
    while (kernel.retryTimer().armed && waits.size() < 10) {
      waits.push_back(kernel.retryTimer().nanos);
      retryTimerFired();
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

TEST_F(LinuxTapTest, ResyncAfterDroppedEventsLeavesNothingStuck) {
  auto mouse = kernel.add("event0");
  start();
  client.decide = [](CGEventType, int64_t button) { return button != 3; };
  feed("event0", {key(BTN_RIGHT, 1), key(BTN_SIDE, 1), syn()});
  EXPECT_EQ(input->pressedMouseButtons(), (1u << 1) | (1u << 3));
  kernel.clearOutput();
  // The kernel dropped events; meanwhile both buttons were let go and the mouse moved.
  // libevdev's catch-up reports the releases, then the ordinary stream goes on.
  mouse->drops = 1;
  feed("event0", {key(BTN_RIGHT, 0), key(BTN_SIDE, 0), syn(), rel(REL_X, 4), syn()});
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn(), rel(REL_X, 4), syn()}));
  EXPECT_EQ(input->pressedMouseButtons(), 0u);
  // Said once, naming the device; a flood of drops within the minute is not said again.
  mouse->drops = 5;
  feed("event0", {rel(REL_X, 1), syn()});
  ASSERT_EQ(backend.logged.size(), 1u);
  EXPECT_NE(backend.logged[0].find("/fake/input/event0 (Fake Mouse)"), std::string::npos);
}

TEST_F(LinuxTapTest, ButtonsHeldByAVanishingMouseAreReleased) {
  kernel.add("event0");
  kernel.add("event1");
  start();
  client.decide = [](CGEventType, int64_t button) { return button != 3; };
  feed("event0", {key(BTN_RIGHT, 1), key(BTN_SIDE, 1), key(BTN_EXTRA, 1), syn()});
  feed("event1", {key(BTN_EXTRA, 1), syn()});  // held through the other mouse as well
  kernel.clearOutput();
  kernel.unplug("event0");
  directoryChanged();
  // Right and extra were passed: released on its output, which then goes; side was swallowed.
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), key(BTN_EXTRA, 0), syn()}));
  EXPECT_EQ(kernel.output("event0"), kernel.output());
  EXPECT_FALSE(kernel.hasOutput("event0"));
  EXPECT_EQ(input->pressedMouseButtons(), 1u << 4) << "extra is still held on the other mouse";
}

TEST_F(LinuxTapTest, DisablingGivesTheMouseBackAndEnablingTakesItAgain) {
  auto mouse = kernel.add("event0");
  start();
  feed("event0", {key(BTN_RIGHT, 1), syn()});
  kernel.clearOutput();
  tap->setEnabled(false);
  EXPECT_FALSE(tap->isEnabled());
  EXPECT_FALSE(mouse->grabbed);
  EXPECT_EQ(mouse->opened, 0);
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn()}));
  EXPECT_FALSE(kernel.hasOutput("event0")) << "released, then gone";
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

TEST_F(LinuxTapTest, ASlowCallbackLetsMotionThroughAfterTheGraceAndOffAfterTheTimeout) {
  auto a = kernel.add("event0");
  auto b = kernel.add("event1");
  start();
  feed("event1", {key(BTN_RIGHT, 1), syn()});  // passed, held on the virtual device
  kernel.clearOutput();
  client.seen.clear();
  // A slow script: no answer for now.
  kernel.queue(*a, {key(BTN_SIDE, 1), syn(), rel(REL_X, 9), syn()});
  loop->ready(a->fd);
  kernel.queue(*b, {rel(REL_Y, 1), syn(), key(BTN_LEFT, 1), syn()});
  loop->ready(b->fd);
  EXPECT_TRUE(kernel.output().empty()) << "within the grace, everything waits";
  ASSERT_TRUE(kernel.deadline().armed);
  EXPECT_EQ(kernel.deadline().nanos, platform::evdev::kQuestionGraceNanos);
  loop->clock += platform::evdev::kQuestionGraceNanos;
  loop->ready(kernel.deadline().fd);
  EXPECT_EQ(kernel.output(), (std::vector<Event>{rel(REL_X, 9), syn(), rel(REL_Y, 1), syn()}))
      << "motion flows; the left press waits behind the question";
  EXPECT_TRUE(a->grabbed && b->grabbed);

  kernel.clearOutput();
  loop->clock += 1000000000;
  loop->ready(kernel.deadline().fd);
  EXPECT_FALSE(a->grabbed || b->grabbed) << "given back to the desktop";
  EXPECT_EQ(a->opened + b->opened, 0);
  EXPECT_FALSE(kernel.hasOutput("event0") || kernel.hasOutput("event1"));
  EXPECT_EQ(kernel.output(), (std::vector<Event>{key(BTN_RIGHT, 0), syn()}))
      << "the held right button let go; the queued left press never sent";
  EXPECT_FALSE(tap->isEnabled());
  ASSERT_EQ(backend.logged.size(), 1u);
  settle();  // the late answer, then the notice
  EXPECT_EQ(client.seen, (std::vector<std::pair<CGEventType, int64_t>>{
                             {kCGEventOtherMouseDown, 3}, {kCGEventTapDisabledByTimeout, 0}}));
  EXPECT_TRUE(kernel.output() == (std::vector<Event>{key(BTN_RIGHT, 0), syn()}))
      << "nothing read before the switch-off is sent after it";
}

TEST_F(LinuxTapTest, ACallbackMaySwitchOffOrDropItsOwnTap) {
  enum Action { SwitchOff, Drop };
  for (Action action : {SwitchOff, Drop}) {
    SCOPED_TRACE(action == SwitchOff ? "switched off" : "dropped");
    kernel.nodes.clear();
    kernel.clearOutput();
    client.seen.clear();
    auto mouse = kernel.add("event0");
    start();
    feed("event0", {key(BTN_RIGHT, 1), syn()});  // passed: held on the virtual device
    client.decide = [&](CGEventType type, int64_t button) {
      if (button == 3 && type == kCGEventOtherMouseDown) {
        if (action == SwitchOff)
          tap->setEnabled(false);
        else
          tap.reset();  // the port's last reference went
      }
      return true;
    };
    kernel.queue(*mouse, {key(BTN_SIDE, 1), syn(), rel(REL_X, 5), syn(), key(BTN_SIDE, 0), syn()});
    loop->ready(mouse->fd);
    client.respond();
    if (tap) settle();
    EXPECT_FALSE(mouse->grabbed);
    EXPECT_EQ(mouse->opened, 0);
    EXPECT_EQ(client.seen.size(), 2u) << "nothing asked after it";
    EXPECT_EQ(kernel.output(),
              (std::vector<Event>{key(BTN_RIGHT, 1), syn(), key(BTN_RIGHT, 0), syn()}));
    client.decide = [](CGEventType, int64_t) { return true; };
    tap.reset();
  }
}

TEST_F(LinuxTapTest, AFailedWriteGivesTheMiceBackAndTellsTheClient) {
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
  // A click posted later fails the same way, quietly.
  kernel.writeError = EIO;
  input->post(kCGHIDEventTap, platform::PostedEvent{nullptr, kGesture, 4, 4});
  settle();
  EXPECT_EQ(backend.logged.size(), 1u);
}

TEST_F(LinuxTapTest, LostDirectoryNoticesMeanLookingAtEveryNodeAgain) {
  kernel.add("event0");
  start();
  auto unseen = kernel.add("event1");  // its notice was lost
  kernel.changes.emplace_back("", fake::DirectoryWatch::Overflowed);
  directoryChanged();
  EXPECT_TRUE(unseen->grabbed);
  EXPECT_EQ(backend.logged.size(), 1u);
}

TEST_F(LinuxTapTest, TrustNeedsUinputAndEveryMouseButNoOutput) {
  kernel.add("event0");
  kernel.add("event1");
  kernel.addOutput("event2", "event0");
  struct Row {
    std::set<std::string> denied;
    bool trusted;
  };
  const Row rows[] = {{{}, true},
                      {{"uinput"}, false},
                      {{"event1"}, false},
                      {{"event0", "event1"}, false},
                      {{"event2"}, true}};
  for (const Row &row : rows) {
    kernel.denied = row.denied;
    EXPECT_EQ(input->isProcessTrusted(false), row.trusted);
  }
  EXPECT_EQ(kernel.opens, 0) << "asking has no side effects";
  EXPECT_TRUE(backend.logged.empty()) << "no prompt without the option";
  kernel.denied = {"uinput"};
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(input->isProcessTrusted(true));
  EXPECT_LE(backend.logged.size(), 1u) << "one line per process at most";
}

}  // namespace
