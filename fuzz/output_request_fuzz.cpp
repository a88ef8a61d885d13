// The uinput broker's request and answer parsers on arbitrary bytes, and its rule on whatever
// parses. Whatever the bytes: no crash; what parses encodes back to the very same bytes (so no
// two readings of one request exist); an output the rule allows for a mouse can do nothing but
// what the mouse does, and click back and forward.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "linux/input/OutputRequest.h"

namespace {

using namespace platform::evdev;

struct Mouse {
  DeviceIdentity identity{"Fuzz Mouse", BUS_USB, 0x1234, 0x5678, 1};
  Capabilities capabilities;
  Mouse() {
    for (uint16_t rel : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL})
      capabilities.codes.insert({EV_REL, rel});
    for (uint16_t button = BTN_LEFT; button <= BTN_TASK; ++button)
      capabilities.codes.insert({EV_KEY, button});
    capabilities.codes.insert({EV_MSC, MSC_SCAN});
    capabilities.codes.insert({EV_ABS, ABS_MISC});
    capabilities.abs[ABS_MISC] = input_absinfo{0, 0, 255, 0, 0, 0};
  }
};

bool SameBytes(const std::vector<uint8_t> &encoded, const uint8_t *data, size_t size) {
  return encoded.size() == size && (size == 0 || memcmp(encoded.data(), data, size) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const Mouse mouse;
  std::string why;
  if (std::optional<OutputSpec> wanted = ParseOutputRequest(data, size, why)) {
    FUZZ_CHECK(SameBytes(EncodeOutputRequest(*wanted), data, size));
    if (OutputRefusal(*wanted, mouse.identity, mouse.capabilities).empty()) {
      FUZZ_CHECK(wanted->identity == mouse.identity);
      for (const auto &[type, code] : wanted->capabilities.codes)
        FUZZ_CHECK(mouse.capabilities.has(type, code) ||
                   (type == EV_KEY && (code == BTN_SIDE || code == BTN_EXTRA)));
      FUZZ_CHECK(wanted->capabilities.properties.empty());
    }
  } else {
    FUZZ_CHECK(!why.empty());
  }
  if (std::optional<OutputAnswer> answer = ParseOutputAnswer(data, size))
    FUZZ_CHECK(SameBytes(EncodeOutputAnswer(*answer), data, size));
  return 0;
}
