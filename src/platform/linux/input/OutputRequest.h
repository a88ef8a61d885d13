// A request for an output device as it travels to corvassel-uinputd, the broker's answer, and the
// rule the broker applies: an output no more capable than the mouse it stands for. Pure: the
// broker, the helper's client and the tests share it, and it is fuzzed.
//
// A request is one datagram, little-endian, with the source mouse's descriptor attached:
//   "CVOR", u16 version (1)
//   u16 bustype, vendor, product, version
//   u8 length, the name    (at most kMaxOutputName bytes, no control characters)
//   u8 length, the phys    (at most kMaxOutputPhys bytes of printable ASCII, kOutputPhysPrefix
//   first) u16 count, then (u16 type, u16 code) each          strictly ascending u8 count, then
//   (u16 code, i32 value, minimum, maximum, fuzz, flat, resolution) each
//                                                      strictly ascending, one per EV_ABS code
//   u8 count, then u8 property each                    strictly ascending
// and nothing after. An output description has exactly one encoding, so bytes that parse encode
// back to themselves.
//
// An answer is one datagram: "CVOA", u16 version (1), u8 status, u16 length, then the text: the
// made device's node, or why nothing was made. With Made, the device's descriptor is attached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "linux/input/DeviceDescription.h"

namespace platform::evdev {

inline constexpr uint16_t kOutputRequestVersion = 1;
inline constexpr size_t kMaxOutputName = 79;  // what uinput keeps of a name
inline constexpr size_t kMaxOutputPhys = 80;
// Larger than any well-formed request or answer.
inline constexpr size_t kMaxOutputMessage = 8192;

// A device's name as an output keeps it.
std::string FitOutputName(const std::string &name);
// text with each control character as '?': for a line of a log or an answer.
std::string Printable(const std::string &text);

// The request's bytes; empty when `wanted` has no encoding (a field out of bounds).
std::vector<uint8_t> EncodeOutputRequest(const OutputSpec &wanted);
// The output a request asks for; nullopt, with why set, when the bytes are not well formed.
std::optional<OutputSpec> ParseOutputRequest(const uint8_t *data, size_t size, std::string &why);

// "" when the output `wanted` may stand for the source: the source is a pointer and no
// keyboard, the output carries its identity and at most its capabilities plus the buttons clicked
// for back and forward (BTN_SIDE, BTN_EXTRA), with its axes' ranges. Otherwise why not.
std::string OutputRefusal(const OutputSpec &request, const DeviceIdentity &source,
                          const Capabilities &sourceCapabilities);

struct OutputAnswer {
  enum Status : uint8_t { Made = 0, Refused = 1, Failed = 2 };
  Status status = Refused;
  std::string text;  // Made: the device's node; otherwise why not
  friend bool operator==(const OutputAnswer &, const OutputAnswer &) = default;
};

// text cut to fit, control characters (of a device's name, say) as '?'.
std::vector<uint8_t> EncodeOutputAnswer(const OutputAnswer &answer);
std::optional<OutputAnswer> ParseOutputAnswer(const uint8_t *data, size_t size);

}  // namespace platform::evdev
