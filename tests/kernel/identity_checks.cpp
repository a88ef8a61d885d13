// Each mouse stays itself: with udev running as on a desktop, the output a mouse is re-emitted
// on carries its name and ids, udev's hardware database and libinput make the same of both, its
// motion comes out once, back and forward come out of the pressed mouse's own output, and an
// unplugged mouse's output goes. The mice are made to look like real USB ones: a trackball by
// its name, a mouse the hardware database knows by its ids and name, a plain one with side
// buttons.
#include "KernelSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

using namespace kcheck;
using Frames = std::vector<Frame>;

namespace {

// udev rules in place while the object lives: (path, text).
class Rules {
 public:
  explicit Rules(std::vector<std::pair<std::string, std::string>> rules)
      : rules_(std::move(rules)) {
    for (const auto &[path, text] : rules_) WriteFile(path, text);
    Shell("udevadm control --reload");
  }
  ~Rules() {
    for (const auto &[path, text] : rules_) unlink(path.c_str());
    Shell("udevadm control --reload");
  }

 private:
  std::vector<std::pair<std::string, std::string>> rules_;
};

// What udev's hardware database and the rules around it gave the node, and what libinput reads:
// the node's properties but for those naming the device itself.
std::map<std::string, std::string> DerivedProperties(const std::string &node) {
  std::map<std::string, std::string> kept;
  std::istringstream lines(ShellOutput("udevadm info --query=property --name=" + node));
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const bool derived = key.rfind("MOUSE_", 0) == 0 || key.rfind("ID_INPUT", 0) == 0 ||
                         key == "ID_BUS" ||
                         (key.rfind("LIBINPUT_", 0) == 0 && key != "LIBINPUT_DEVICE_GROUP");
    if (derived) kept[key] = line.substr(eq + 1);
  }
  return kept;
}

// libinput's description of each device, by node, without the lines naming the node and its
// group (which tell the devices apart).
std::map<std::string, std::string> LibinputDevices() {
  std::map<std::string, std::string> devices;
  std::istringstream blocks(ShellOutput("libinput list-devices 2>/dev/null"));
  std::string node, block;
  for (std::string line;;) {
    const bool more = static_cast<bool>(std::getline(blocks, line));
    if (!more || line.empty()) {
      if (!node.empty()) devices[node] = block;
      node.clear();
      block.clear();
      if (!more) break;
      continue;
    }
    if (line.rfind("Kernel:", 0) == 0) {
      node = line.substr(line.find('/'));
      continue;
    }
    if (line.rfind("Group:", 0) != 0) block += line + "\n";
  }
  return devices;
}

// `libinput quirks list` of each node, run side by side: each run reads every quirks file.
std::map<std::string, std::string> Quirks(const std::vector<std::string> &nodes, const Home &home) {
  std::string command;
  for (size_t i = 0; i < nodes.size(); ++i)
    command += "libinput quirks list " + nodes[i] + " >" + home.path() + "/quirks" +
               std::to_string(i) + " 2>&1 & ";
  Shell(command + "wait");
  std::map<std::string, std::string> quirks;
  for (size_t i = 0; i < nodes.size(); ++i)
    quirks[nodes[i]] = ReadFile(home.path() + "/quirks" + std::to_string(i));
  return quirks;
}

struct Look {
  MouseLook mouse;
  std::map<std::string, std::string> known;  // what udev must give the mouse itself
  std::vector<const char *> quirks;          // what libinput must find for it
};

// Buttons 6 and 7 are back and forward (the helper's defaults in a check's home); the first two
// have no BTN_SIDE or BTN_EXTRA, which their outputs gain for the clicks.
const std::vector<uint16_t> kWithoutSideButtons = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, BTN_BACK,
                                                   BTN_TASK};

TEST(Identity, EachMousesOutputIsTheMouseToUdevAndLibinputAndCarriesOnlyItsEvents) {
  UdevRunning udev;
  // The package's rule for outputs, and for the test mice what udev's USB rules would give a
  // USB mouse.
  Rules rules(
      {{"/run/udev/rules.d/61-corvassel-outputs.rules",
        ReadFile(std::string(CORVASSEL_SOURCE_DIR) + "/packaging/61-corvassel-outputs.rules")},
       {"/run/udev/rules.d/61-corvassel-check-usb.rules",
        "SUBSYSTEM==\"input\", KERNEL==\"event*\", ATTRS{phys}==\"usb-check-*\", "
        "ENV{ID_BUS}=\"usb\"\n"}});
  const Look looks[] = {
      // The Logitech Marble Mouse: "Trackball" in its name, and entries of its own.
      {{"Logitech USB Trackball", 0x046d, 0xc408, 0x0110, "usb-check-1/input0",
        kWithoutSideButtons},
       {{"ID_INPUT_TRACKBALL", "1"}, {"MOUSE_DPI", "300@125"}, {"ID_BUS", "usb"}},
       {"ModelTrackball", "AttrEventCodeDisable"}},
      {{"Mouse Laser Mouse", 0x0458, 0x0133, 0x0111, "usb-check-2/input0", kWithoutSideButtons},
       {{"MOUSE_DPI", "1000@125"}, {"MOUSE_WHEEL_CLICK_ANGLE", "15"}, {"ID_BUS", "usb"}},
       {}},
      {{"check mouse with side buttons", 0x1234, 0x5678, 0x0001, "usb-check-3/input0", {}},
       {{"ID_INPUT_MOUSE", "1"}, {"ID_BUS", "usb"}},
       {}},
  };
  std::vector<std::unique_ptr<SourceDevice>> mice;
  for (const Look &look : looks) mice.push_back(std::make_unique<SourceDevice>(look.mouse));
  SettleUdev();  // the helper starts on a quiet machine, as at a desktop's login
  Home home;
  Running run(home, {mice[0].get(), mice[1].get(), mice[2].get()});
  SettleUdev();
  const std::map<std::string, std::string> libinput = LibinputDevices();
  std::vector<std::string> nodes;
  for (const auto &mouse : mice) nodes.insert(nodes.end(), {mouse->node(), run.output(*mouse)});
  const std::map<std::string, std::string> quirks = Quirks(nodes, home);
  std::vector<std::unique_ptr<Reader>> outs;
  for (const auto &mouse : mice) outs.push_back(std::make_unique<Reader>(run.output(*mouse)));

  for (size_t i = 0; i < mice.size(); ++i) {
    const SourceDevice &mouse = *mice[i];
    const std::string output = run.output(mouse);
    SCOPED_TRACE(mouse.name() + ": " + mouse.node() + ", its output " + output);
    for (const char *attribute : {"name", "id/bustype", "id/vendor", "id/product", "id/version"})
      EXPECT_EQ(Attribute(output, attribute), Attribute(mouse.node(), attribute)) << attribute;
    EXPECT_EQ(Attribute(output, "phys"), kOutputPhysPrefix + mouse.node().substr(11));

    const auto derived = DerivedProperties(mouse.node());
    for (const auto &[key, value] : looks[i].known)
      EXPECT_EQ(derived.count(key) ? derived.at(key) : "(none)", value) << key << " of the mouse";
    EXPECT_EQ(DerivedProperties(output), derived);

    ASSERT_TRUE(libinput.count(mouse.node()) && libinput.count(output)) << "libinput lists both";
    EXPECT_EQ(libinput.at(output), libinput.at(mouse.node()));
    for (const char *quirk : looks[i].quirks)
      EXPECT_NE(quirks.at(mouse.node()).find(quirk), std::string::npos) << quirks.at(mouse.node());
    EXPECT_EQ(quirks.at(output), quirks.at(mouse.node()));
  }

  // Motion once, on its own output only; back and forward clicked on the pressed mouse's output.
  for (size_t i = 0; i < mice.size(); ++i) {
    SCOPED_TRACE(mice[i]->name());
    mice[i]->frame({Rel(REL_X, 3), Rel(REL_Y, -1)});
    mice[i]->press(BTN_BACK);
    mice[i]->release(BTN_BACK);
    mice[i]->press(BTN_TASK);
    mice[i]->release(BTN_TASK);
    EXPECT_EQ(outs[i]->waitFrames(5), (Frames{{Rel(REL_X, 3), Rel(REL_Y, -1)},
                                              {Key(BTN_SIDE, 1)},
                                              {Key(BTN_SIDE, 0)},
                                              {Key(BTN_EXTRA, 1)},
                                              {Key(BTN_EXTRA, 0)}}));
    for (size_t j = 0; j < mice.size(); ++j)
      EXPECT_EQ(outs[j]->frames(Millis(j == i ? 100 : 0)), Frames{}) << "output " << j;
  }

  // An unplugged mouse's output goes; the others stay.
  const std::string gone = run.output(*mice[1]);
  outs[1].reset();
  mice[1].reset();
  EXPECT_TRUE(Eventually([&] { return access(gone.c_str(), F_OK) != 0; }, Millis(1000)));
  for (size_t i : {0, 2}) EXPECT_EQ(OutputOf(*mice[i], Millis(0)), run.output(*mice[i]));
}

}  // namespace
