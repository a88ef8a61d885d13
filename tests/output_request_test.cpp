// A request for an output device as it travels to the uinput broker, its answer, and the rule the
// broker applies: an output no more capable than its mouse, plus the back and forward buttons.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "linux/input/OutputRequest.h"

namespace {

using namespace platform::evdev;
using Bytes = std::vector<uint8_t>;

Capabilities MouseCapabilities() {
  Capabilities caps;
  for (uint16_t rel : {REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES}) caps.codes.insert({EV_REL, rel});
  for (uint16_t button = BTN_LEFT; button <= BTN_MIDDLE; ++button)
    caps.codes.insert({EV_KEY, button});
  caps.codes.insert({EV_MSC, MSC_SCAN});
  caps.codes.insert({EV_ABS, ABS_MISC});
  caps.abs[ABS_MISC] = input_absinfo{5, -100, 100, 2, 4, 10};
  caps.properties.insert(INPUT_PROP_POINTER);
  return caps;
}

DeviceIdentity MouseIdentity() {
  return {"Logitech \xc2\xae USB Mouse", BUS_USB, 0x046d, 0xc077, 0x0111};
}

OutputSpec MouseSpec() {
  return {MouseIdentity(), std::string(kOutputPhysPrefix) + "usb-0000:00:14.0-2/input0",
          MouseCapabilities()};
}

bool Same(const OutputSpec &a, const OutputSpec &b) {
  auto absEqual = [](const input_absinfo &x, const input_absinfo &y) {
    return x.value == y.value && x.minimum == y.minimum && x.maximum == y.maximum &&
           x.fuzz == y.fuzz && x.flat == y.flat && x.resolution == y.resolution;
  };
  if (!(a.identity == b.identity) || a.phys != b.phys ||
      a.capabilities.codes != b.capabilities.codes ||
      a.capabilities.properties != b.capabilities.properties ||
      a.capabilities.abs.size() != b.capabilities.abs.size())
    return false;
  for (const auto &[code, info] : a.capabilities.abs) {
    auto other = b.capabilities.abs.find(code);
    if (other == b.capabilities.abs.end() || !absEqual(info, other->second)) return false;
  }
  return true;
}

std::optional<OutputSpec> Parse(const Bytes &bytes, std::string *why = nullptr) {
  std::string ignored;
  return ParseOutputRequest(bytes.data(), bytes.size(), why ? *why : ignored);
}

TEST(OutputRequest, ASpecTravelsWhole) {
  const OutputSpec specs[] = {
      MouseSpec(),
      {{"", 0, 0, 0, 0}, kOutputPhysPrefix, {}},  // nothing but what must be there
      {{std::string(kMaxOutputName, 'n'), 0xffff, 0xffff, 0xffff, 0xffff},
       std::string(kOutputPhysPrefix) + std::string(kMaxOutputPhys - 17, 'p'),
       MouseCapabilities()},
  };
  for (const OutputSpec &wanted : specs) {
    const Bytes bytes = EncodeOutputRequest(wanted);
    ASSERT_FALSE(bytes.empty()) << wanted.identity.name;
    std::string why;
    const std::optional<OutputSpec> parsed = Parse(bytes, &why);
    ASSERT_TRUE(parsed) << why;
    EXPECT_TRUE(Same(*parsed, wanted)) << wanted.identity.name;
  }
}

// What no request may carry has no encoding, and the same bytes made by hand do not parse.
TEST(OutputRequest, ASpecOutOfBoundsHasNoEncoding) {
  struct Row {
    const char *what;
    std::function<void(OutputSpec &)> change;
  };
  const Row rows[] = {
      {"a name longer than uinput keeps",
       [](OutputSpec &s) { s.identity.name.assign(kMaxOutputName + 1, 'n'); }},
      {"a control character in the name", [](OutputSpec &s) { s.identity.name += "\n"; }},
      {"a phys not of an output", [](OutputSpec &s) { s.phys = "usb-0000:00:14.0-2/input0"; }},
      {"a phys that is not ASCII", [](OutputSpec &s) { s.phys += "\xc3\xa9"; }},
      {"a phys too long", [](OutputSpec &s) { s.phys.append(kMaxOutputPhys, 'p'); }},
      {"key repeat",
       [](OutputSpec &s) {
         s.capabilities.codes.insert({EV_REP, REP_DELAY});
       }},
      {"force feedback",
       [](OutputSpec &s) {
         s.capabilities.codes.insert({EV_FF, FF_RUMBLE});
       }},
      {"a key beyond KEY_MAX",
       [](OutputSpec &s) {
         s.capabilities.codes.insert({EV_KEY, KEY_MAX + 1});
       }},
      {"an axis without its range",
       [](OutputSpec &s) {
         s.capabilities.codes.insert({EV_ABS, ABS_X});
       }},
      {"a range without its axis",
       [](OutputSpec &s) { s.capabilities.abs[ABS_Y] = input_absinfo{0, 0, 10, 0, 0, 0}; }},
      {"a range upside down",
       [](OutputSpec &s) { s.capabilities.abs[ABS_MISC] = input_absinfo{0, 10, -10, 0, 0, 0}; }},
      {"a negative fuzz", [](OutputSpec &s) { s.capabilities.abs[ABS_MISC].fuzz = -1; }},
      {"a flat wider than the range",
       [](OutputSpec &s) { s.capabilities.abs[ABS_MISC].flat = 201; }},
      {"a property beyond INPUT_PROP_MAX",
       [](OutputSpec &s) { s.capabilities.properties.insert(INPUT_PROP_MAX + 1); }},
  };
  for (const Row &row : rows) {
    OutputSpec wanted = MouseSpec();
    row.change(wanted);
    EXPECT_TRUE(EncodeOutputRequest(wanted).empty()) << row.what;
  }
}

// Bytes that are not a request: a valid one cut, lengthened, reordered or patched.
TEST(OutputRequest, MalformedBytesAreRefusedWithAReason) {
  const Bytes good = EncodeOutputRequest(MouseSpec());
  ASSERT_FALSE(good.empty());
  constexpr size_t kName = 15, kNameLength = 14;  // after the magic, the version and four ids
  const size_t phys = kName + MouseIdentity().name.size() + 1;
  const size_t codes = phys + MouseSpec().phys.size() + 2;  // the first code's type
  struct Row {
    const char *what;
    std::function<void(Bytes &)> change;
    const char *reason;
  };
  const Row rows[] = {
      {"empty", [](Bytes &b) { b.clear(); }, "not a request"},
      {"another magic", [](Bytes &b) { b[0] = 'X'; }, "not a request"},
      {"a later version", [](Bytes &b) { b[4] = 2; }, "version 2"},
      {"a byte after the end", [](Bytes &b) { b.push_back(0); }, "bytes after"},
      {"a name longer than what follows", [&](Bytes &b) { b[kNameLength] = 0xff; }, "cut short"},
      {"a newline in the name", [&](Bytes &b) { b[kName] = '\n'; }, "control characters"},
      {"a phys without the prefix", [&](Bytes &b) { b[phys + 1] = 'X'; }, "does not begin"},
      {"the codes out of order",
       [&](Bytes &b) {
         std::swap_ranges(b.begin() + codes, b.begin() + codes + 4, b.begin() + codes + 4);
       },
       "out of order"},
      {"a code twice",
       [&](Bytes &b) {
         std::copy(b.begin() + codes, b.begin() + codes + 4, b.begin() + codes + 4);
       },
       "out of order"},
      {"larger than any request", [](Bytes &b) { b.resize(kMaxOutputMessage + 1); }, "larger"},
  };
  for (const Row &row : rows) {
    Bytes bytes = good;
    row.change(bytes);
    std::string why;
    EXPECT_FALSE(Parse(bytes, &why)) << row.what;
    EXPECT_NE(why.find(row.reason), std::string::npos) << row.what << ": " << why;
  }
  for (size_t size = 0; size < good.size(); ++size)
    EXPECT_FALSE(Parse(Bytes(good.begin(), good.begin() + static_cast<long>(size)))) << size;
}

TEST(OutputRequest, AnOutputMayDoWhatItsMouseDoesAndClickBackAndForward) {
  const DeviceIdentity source = MouseIdentity();
  const Capabilities mouse = MouseCapabilities();
  Capabilities keyboard;
  for (uint16_t key = KEY_ESC; key <= KEY_D; ++key) keyboard.codes.insert({EV_KEY, key});
  Capabilities typingMouse = mouse;  // one node for both, as some gaming mice have
  typingMouse.merge(keyboard);
  Capabilities touchpad = mouse;
  touchpad.codes.erase({EV_REL, REL_X});
  Capabilities withLed = mouse;
  withLed.codes.insert({EV_LED, LED_MISC});
  DeviceIdentity longName = source;
  longName.name.assign(kMaxOutputName + 20, 'n');
  struct Row {
    const char *what;
    std::function<void(OutputSpec &)> change;
    DeviceIdentity source;
    Capabilities sourceCapabilities;
    const char *refusal;  // "" when allowed
  };
  auto add = [](uint16_t type, uint16_t code) {
    return [=](OutputSpec &s) { s.capabilities.codes.insert({type, code}); };
  };
  const Row rows[] = {
      {"the mouse's own", [](OutputSpec &) {}, source, mouse, ""},
      {"and back and forward",
       [](OutputSpec &s) {
         s.capabilities.codes.insert({EV_KEY, BTN_SIDE});
         s.capabilities.codes.insert({EV_KEY, BTN_EXTRA});
       },
       source, mouse, ""},
      {"less than the mouse",
       [](OutputSpec &s) {
         s.capabilities.codes.erase({EV_MSC, MSC_SCAN});
       },
       source, mouse, ""},
      {"another current value of an axis",
       [](OutputSpec &s) { s.capabilities.abs[ABS_MISC].value = 99; }, source, mouse, ""},
      {"a name as uinput keeps it",
       [&](OutputSpec &s) { s.identity.name = longName.name.substr(0, kMaxOutputName); }, longName,
       mouse, ""},
      {"a LED the mouse has", add(EV_LED, LED_MISC), source, withLed, ""},
      {"a key", add(EV_KEY, KEY_A), source, mouse, "asks for KEY_A, which the source lacks"},
      {"a button besides back and forward", add(EV_KEY, BTN_TASK), source, mouse, "BTN_TASK"},
      {"a dial", add(EV_REL, REL_DIAL), source, mouse, "REL_DIAL"},
      {"a LED the mouse lacks", add(EV_LED, LED_CAPSL), source, mouse, "LED_CAPSL"},
      {"a switch", add(EV_SW, SW_LID), source, mouse, "SW_LID"},
      {"another name", [](OutputSpec &s) { s.identity.name = "Keyboard"; }, source, mouse,
       "is not the source's"},
      {"another vendor", [](OutputSpec &s) { s.identity.vendor = 1; }, source, mouse,
       "ids are not the source's"},
      {"another range", [](OutputSpec &s) { s.capabilities.abs[ABS_MISC].maximum = 1000; }, source,
       mouse, "range of ABS_MISC"},
      {"a property the mouse lacks",
       [](OutputSpec &s) { s.capabilities.properties.insert(INPUT_PROP_DIRECT); }, source, mouse,
       "property 1"},
      {"for a keyboard", [](OutputSpec &) {}, source, keyboard, "the source is a keyboard"},
      {"for a mouse that types", [](OutputSpec &) {}, source, typingMouse,
       "the source is a keyboard"},
      {"for a device without motion", [](OutputSpec &) {}, source, touchpad,
       "the source is not a mouse"},
  };
  for (const Row &row : rows) {
    OutputSpec wanted = MouseSpec();
    wanted.identity =
        FitOutputName(row.source.name) == row.source.name ? row.source : wanted.identity;
    row.change(wanted);
    const std::string refusal = OutputRefusal(wanted, row.source, row.sourceCapabilities);
    if (*row.refusal == '\0')
      EXPECT_EQ(refusal, "") << row.what;
    else
      EXPECT_NE(refusal.find(row.refusal), std::string::npos) << row.what << ": " << refusal;
  }
}

TEST(OutputAnswer, TravelsWholeAndNothingElseParses) {
  const OutputAnswer answers[] = {{OutputAnswer::Made, "/dev/input/event7"},
                                  {OutputAnswer::Refused, "the source is a keyboard"},
                                  {OutputAnswer::Failed, ""}};
  for (const OutputAnswer &answer : answers) {
    const Bytes bytes = EncodeOutputAnswer(answer);
    EXPECT_EQ(ParseOutputAnswer(bytes.data(), bytes.size()), answer) << answer.text;
    for (size_t size = 0; size < bytes.size(); ++size)
      EXPECT_FALSE(ParseOutputAnswer(bytes.data(), size)) << answer.text << " cut at " << size;
  }
  // A device's name in a refusal cannot break the answer or a log line.
  const Bytes named = EncodeOutputAnswer({OutputAnswer::Refused, "\"evil\nname\""});
  EXPECT_EQ(ParseOutputAnswer(named.data(), named.size()),
            (OutputAnswer{OutputAnswer::Refused, "\"evil?name\""}));
  Bytes unknown = EncodeOutputAnswer({OutputAnswer::Made, ""});
  unknown[6] = 3;  // the status
  EXPECT_FALSE(ParseOutputAnswer(unknown.data(), unknown.size()));
}

}  // namespace
