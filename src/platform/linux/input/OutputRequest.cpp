#include "linux/input/OutputRequest.h"

#include <libevdev/libevdev.h>

#include <cstring>
#include <tuple>

#include "linux/input/PointerNodes.h"

namespace platform::evdev {

namespace {

constexpr char kRequestMagic[4] = {'C', 'V', 'O', 'R'};
constexpr char kAnswerMagic[4] = {'C', 'V', 'O', 'A'};
constexpr size_t kMaxAnswerText = 1024;

// The event types an output may carry and the highest code of each. EV_REP is not among them: the
// kernel would repeat keys on its own. The check allows LED, SND and SW only where the source
// has them.
uint16_t MaxCode(uint16_t type) {
  switch (type) {
    case EV_KEY:
      return KEY_MAX;
    case EV_REL:
      return REL_MAX;
    case EV_ABS:
      return ABS_MAX;
    case EV_MSC:
      return MSC_MAX;
    case EV_SW:
      return SW_MAX;
    case EV_LED:
      return LED_MAX;
    case EV_SND:
      return SND_MAX;
    default:
      return 0;
  }
}

bool Carried(uint16_t type) {
  return MaxCode(type) != 0;
}

std::string CodeName(uint16_t type, uint16_t code) {
  const char *name = libevdev_event_code_get_name(type, code);
  if (name) return name;
  const char *typeName = libevdev_event_type_get_name(type);
  return std::string(typeName ? typeName : "type " + std::to_string(type)) + " code " +
         std::to_string(code);
}

bool NameByte(uint8_t c) {
  return c >= 0x20 && c != 0x7f;  // UTF-8 passes; control characters do not
}

bool PhysByte(uint8_t c) {
  return c >= 0x20 && c < 0x7f;
}

template <typename Pred>
bool All(const std::string &text, Pred pred) {
  for (char c : text)
    if (!pred(static_cast<uint8_t>(c))) return false;
  return true;
}

// Why an axis range is unusable, "" when it is fine.
std::string RangeProblem(uint16_t code, const input_absinfo &info) {
  const int64_t span = int64_t{info.maximum} - int64_t{info.minimum};
  if (span < 0) return CodeName(EV_ABS, code) + ": maximum below minimum";
  if (info.fuzz < 0 || info.flat < 0 || info.resolution < 0)
    return CodeName(EV_ABS, code) + ": negative fuzz, flat or resolution";
  if (info.flat > span) return CodeName(EV_ABS, code) + ": flat wider than the range";
  return {};
}

class Writer {
 public:
  void bytes(const void *data, size_t size) {
    const auto *p = static_cast<const uint8_t *>(data);
    out_.insert(out_.end(), p, p + size);
  }
  void u8(uint8_t v) { out_.push_back(v); }
  void u16(uint16_t v) {
    u8(static_cast<uint8_t>(v));
    u8(static_cast<uint8_t>(v >> 8));
  }
  void i32(int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) u8(static_cast<uint8_t>(v >> shift));
  }
  void text8(const std::string &s) {
    u8(static_cast<uint8_t>(s.size()));
    bytes(s.data(), s.size());
  }
  std::vector<uint8_t> take() { return std::move(out_); }

 private:
  std::vector<uint8_t> out_;
};

// Reads fields in order; after the first short read every read fails.
class Reader {
 public:
  Reader(const uint8_t *data, size_t size) : p_(data), left_(size) {}
  bool bytes(void *out, size_t size) {
    if (size > left_) return fail();
    if (size) memcpy(out, p_, size);
    p_ += size;
    left_ -= size;
    return true;
  }
  bool u8(uint8_t &v) { return bytes(&v, 1); }
  bool u16(uint16_t &v) {
    uint8_t b[2];
    if (!bytes(b, 2)) return false;
    v = static_cast<uint16_t>(b[0] | b[1] << 8);
    return true;
  }
  bool i32(int32_t &v) {
    uint8_t b[4];
    if (!bytes(b, 4)) return false;
    v = static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                             static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
    return true;
  }
  bool text(size_t length, std::string &s) {
    if (length > left_) return fail();
    s.assign(reinterpret_cast<const char *>(p_), length);
    p_ += length;
    left_ -= length;
    return true;
  }
  size_t left() const { return left_; }

 private:
  bool fail() {
    left_ = 0;
    return false;
  }
  const uint8_t *p_;
  size_t left_;
};

// Why `wanted` has no encoding, "" when it has one.
std::string SpecProblem(const OutputSpec &wanted) {
  const std::string &name = wanted.identity.name;
  if (name.size() > kMaxOutputName)
    return "the name is longer than " + std::to_string(kMaxOutputName) + " bytes";
  if (!All(name, NameByte)) return "the name has control characters";
  if (wanted.phys.size() > kMaxOutputPhys)
    return "the phys is longer than " + std::to_string(kMaxOutputPhys) + " bytes";
  if (!All(wanted.phys, PhysByte)) return "the phys is not printable ASCII";
  if (!isOutputPhys(wanted.phys))
    return std::string("the phys does not begin with ") + kOutputPhysPrefix;
  size_t axes = 0;
  for (const auto &[type, code] : wanted.capabilities.codes) {
    if (!Carried(type)) return "event type " + std::to_string(type) + " is not carried";
    if (code > MaxCode(type)) return CodeName(type, code) + " is out of range";
    if (type != EV_ABS) continue;
    ++axes;
    auto info = wanted.capabilities.abs.find(code);
    if (info == wanted.capabilities.abs.end()) return CodeName(type, code) + " has no range";
    if (std::string problem = RangeProblem(code, info->second); !problem.empty()) return problem;
  }
  if (axes != wanted.capabilities.abs.size()) return "a range is given for an axis not asked for";
  for (int property : wanted.capabilities.properties)
    if (property < 0 || property > INPUT_PROP_MAX)
      return "property " + std::to_string(property) + " is out of range";
  return {};
}

}  // namespace

std::string FitOutputName(const std::string &name) {
  return name.substr(0, kMaxOutputName);
}

std::vector<uint8_t> EncodeOutputRequest(const OutputSpec &wanted) {
  if (!SpecProblem(wanted).empty()) return {};
  const Capabilities &caps = wanted.capabilities;
  Writer w;
  w.bytes(kRequestMagic, sizeof kRequestMagic);
  w.u16(kOutputRequestVersion);
  w.u16(wanted.identity.bustype);
  w.u16(wanted.identity.vendor);
  w.u16(wanted.identity.product);
  w.u16(wanted.identity.version);
  w.text8(wanted.identity.name);
  w.text8(wanted.phys);
  w.u16(static_cast<uint16_t>(caps.codes.size()));
  for (const auto &[type, code] : caps.codes) {
    w.u16(type);
    w.u16(code);
  }
  w.u8(static_cast<uint8_t>(caps.abs.size()));
  for (const auto &[code, info] : caps.abs) {
    w.u16(code);
    for (int32_t v :
         {info.value, info.minimum, info.maximum, info.fuzz, info.flat, info.resolution})
      w.i32(v);
  }
  w.u8(static_cast<uint8_t>(caps.properties.size()));
  for (int property : caps.properties) w.u8(static_cast<uint8_t>(property));
  return w.take();
}

std::optional<OutputSpec> ParseOutputRequest(const uint8_t *data, size_t size, std::string &why) {
  auto refuse = [&](const std::string &reason) -> std::optional<OutputSpec> {
    why = reason;
    return std::nullopt;
  };
  if (size > kMaxOutputMessage) return refuse("larger than any request");
  Reader r(data, size);
  char magic[4];
  uint16_t version = 0;
  if (!r.bytes(magic, sizeof magic) || memcmp(magic, kRequestMagic, sizeof magic) != 0)
    return refuse("not a request");
  if (!r.u16(version) || version != kOutputRequestVersion)
    return refuse("version " + std::to_string(version) + " is not understood");
  OutputSpec wanted;
  DeviceIdentity &id = wanted.identity;
  uint8_t nameLength = 0, physLength = 0;
  if (!r.u16(id.bustype) || !r.u16(id.vendor) || !r.u16(id.product) || !r.u16(id.version) ||
      !r.u8(nameLength) || !r.text(nameLength, id.name) || !r.u8(physLength) ||
      !r.text(physLength, wanted.phys))
    return refuse("cut short in the identity");
  Capabilities &caps = wanted.capabilities;
  uint16_t codes = 0;
  if (!r.u16(codes)) return refuse("cut short before the codes");
  for (uint16_t i = 0; i < codes; ++i) {
    uint16_t type = 0, code = 0;
    if (!r.u16(type) || !r.u16(code)) return refuse("cut short in the codes");
    if (!caps.codes.empty() && std::make_pair(type, code) <= *caps.codes.rbegin())
      return refuse("codes out of order");
    caps.codes.insert({type, code});
  }
  uint8_t axes = 0;
  if (!r.u8(axes)) return refuse("cut short before the axes");
  for (uint8_t i = 0; i < axes; ++i) {
    uint16_t code = 0;
    input_absinfo info{};
    if (!r.u16(code) || !r.i32(info.value) || !r.i32(info.minimum) || !r.i32(info.maximum) ||
        !r.i32(info.fuzz) || !r.i32(info.flat) || !r.i32(info.resolution))
      return refuse("cut short in the axes");
    if (!caps.abs.empty() && code <= caps.abs.rbegin()->first) return refuse("axes out of order");
    caps.abs[code] = info;
  }
  uint8_t properties = 0;
  if (!r.u8(properties)) return refuse("cut short before the properties");
  for (uint8_t i = 0; i < properties; ++i) {
    uint8_t property = 0;
    if (!r.u8(property)) return refuse("cut short in the properties");
    if (!caps.properties.empty() && property <= *caps.properties.rbegin())
      return refuse("properties out of order");
    caps.properties.insert(property);
  }
  if (r.left() != 0) return refuse("bytes after the request");
  if (std::string problem = SpecProblem(wanted); !problem.empty()) return refuse(problem);
  return wanted;
}

std::string OutputRefusal(const OutputSpec &request, const DeviceIdentity &source,
                          const Capabilities &sourceCapabilities) {
  if (isKeyboardDevice(sourceCapabilities)) return "the source is a keyboard";
  if (!isPointerDevice(sourceCapabilities)) return "the source is not a mouse";
  const DeviceIdentity &id = request.identity;
  if (id.name != FitOutputName(source.name))
    return "the name \"" + id.name + "\" is not the source's, \"" + source.name + "\"";
  if (std::tie(id.bustype, id.vendor, id.product, id.version) !=
      std::tie(source.bustype, source.vendor, source.product, source.version))
    return "the ids are not the source's";
  const Capabilities &caps = request.capabilities;
  for (const auto &[type, code] : caps.codes) {
    const bool posted = type == EV_KEY && (code == BTN_SIDE || code == BTN_EXTRA);
    if (!posted && !sourceCapabilities.has(type, code))
      return "asks for " + CodeName(type, code) + ", which the source lacks";
  }
  for (const auto &[code, info] : caps.abs) {
    auto own = sourceCapabilities.abs.find(code);
    if (own == sourceCapabilities.abs.end() ||
        std::tie(info.minimum, info.maximum, info.fuzz, info.flat, info.resolution) !=
            std::tie(own->second.minimum, own->second.maximum, own->second.fuzz, own->second.flat,
                     own->second.resolution))
      return "the range of " + CodeName(EV_ABS, code) + " is not the source's";
  }
  for (int property : caps.properties)
    if (!sourceCapabilities.properties.count(property))
      return "asks for property " + std::to_string(property) + ", which the source lacks";
  return {};
}

std::string Printable(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    if (!NameByte(static_cast<uint8_t>(c))) c = '?';
  return out;
}

std::vector<uint8_t> EncodeOutputAnswer(const OutputAnswer &answer) {
  const std::string text = Printable(answer.text.substr(0, kMaxAnswerText));
  Writer w;
  w.bytes(kAnswerMagic, sizeof kAnswerMagic);
  w.u16(kOutputRequestVersion);
  w.u8(answer.status);
  w.u16(static_cast<uint16_t>(text.size()));
  w.bytes(text.data(), text.size());
  return w.take();
}

std::optional<OutputAnswer> ParseOutputAnswer(const uint8_t *data, size_t size) {
  Reader r(data, size);
  char magic[4];
  uint16_t version = 0, length = 0;
  uint8_t status = 0;
  OutputAnswer answer;
  if (!r.bytes(magic, sizeof magic) || memcmp(magic, kAnswerMagic, sizeof magic) != 0 ||
      !r.u16(version) || version != kOutputRequestVersion || !r.u8(status) ||
      status > OutputAnswer::Failed || !r.u16(length) || length > kMaxAnswerText ||
      !r.text(length, answer.text) || r.left() != 0 || !All(answer.text, NameByte))
    return std::nullopt;
  answer.status = static_cast<OutputAnswer::Status>(status);
  return answer;
}

}  // namespace platform::evdev
