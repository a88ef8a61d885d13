// Which event nodes count as mice, told from sysfs alone, and what access the helper needs:
// /dev/uinput and the mice, never a keyboard.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "FakeInputKernel.h"
#include "TestBackend.h"
#include "linux/input/DeviceDescription.h"
#include "linux/input/EvdevKernel.h"
#include "linux/input/LinuxInput.h"
#include "linux/input/PointerNodes.h"

namespace {

namespace fs = std::filesystem;
using platform::evdev::isPointerNode;

class FakeSysfs {
 public:
  FakeSysfs() {
    char pattern[] = "/tmp/corvassel-sysfs-XXXXXX";
    path = mkdtemp(pattern);
  }
  ~FakeSysfs() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  // Capability bitmaps as the kernel prints them; nullptr leaves the attribute out.
  void add(const std::string &node, const char *ev, const char *rel, const char *key,
           const std::string &name = "", const std::string &phys = "") {
    const fs::path device = fs::path(path) / node / "device";
    fs::create_directories(device / "capabilities");
    auto write = [&](const fs::path &file, const char *text) {
      if (text) std::ofstream(file) << text << "\n";
    };
    write(device / "capabilities/ev", ev);
    write(device / "capabilities/rel", rel);
    write(device / "capabilities/key", key);
    if (!name.empty()) write(device / "name", name.c_str());
    if (!phys.empty()) write(device / "phys", phys == "-" ? "" : phys.c_str());
  }
  std::string path;
};

// Bitmaps of real devices: the lowest word last, leading zero words left out.
constexpr const char *kMouseEv = "17";                // SYN KEY REL MSC
constexpr const char *kMouseRel = "1943";             // X Y WHEEL HWHEEL and the hi-res wheels
constexpr const char *kMouseKeys = "1f0000 0 0 0 0";  // BTN_LEFT to BTN_EXTRA
constexpr const char *kKeyboardKeys = "fffffffffffffffe";

TEST(PointerNodes, OnlyMiceThatAreNotKeyboardsAreTold) {
  FakeSysfs sysfs;
  struct Row {
    const char *node;
    const char *ev, *rel, *key;
    bool pointer;
  };
  const Row rows[] = {
      {"event0", kMouseEv, kMouseRel, kMouseKeys, true},
      {"event1", "120013", "0", kKeyboardKeys, false},  // a keyboard
      // A gaming mouse whose one node also types.
      {"event2", kMouseEv, kMouseRel, "1f0000 0 0 0 fffffffffffffffe", false},
      // A mouse with a few media keys is still no keyboard.
      {"event3", kMouseEv, kMouseRel, "1f0000 0 0 8000000000000 0", true},
      {"event4", "b", "0", "e520 10000 0 0 0 0", false},        // a touchpad: absolute, no REL_X
      {"event5", kMouseEv, "1", kMouseKeys, false},             // no REL_Y
      {"event6", kMouseEv, kMouseRel, "e0000 0 0 0 0", false},  // no left button
      {"event7", kMouseEv, kMouseRel, nullptr, false},          // unreadable
      {"event8", kMouseEv, kMouseRel, "1f0000 0 zz 0 0", false},
      {"event9", kMouseEv, kMouseRel, "11f0000 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0", false},
  };
  for (const Row &row : rows) sysfs.add(row.node, row.ev, row.rel, row.key);
  for (const Row &row : rows)
    EXPECT_EQ(isPointerNode(sysfs.path, row.node), row.pointer) << row.node;
  EXPECT_FALSE(isPointerNode(sysfs.path, "event42")) << "no such device";
  EXPECT_FALSE(isPointerNode(sysfs.path + "/event0", "..")) << "names stay in the directory";
}

// An output device is told by its phys, never by its name, which is its mouse's.
TEST(PointerNodes, TheNameAndPhysComeFromSysfsAndThePhysTellsAnOutput) {
  FakeSysfs sysfs;
  sysfs.add("event0", kMouseEv, kMouseRel, kMouseKeys, "USB Mouse", "usb-0000:00:14.0-2/input0");
  sysfs.add("event1", kMouseEv, kMouseRel, kMouseKeys, "USB Mouse", "corvassel-helper/event0");
  sysfs.add("event2", kMouseEv, kMouseRel, kMouseKeys, "Virtual", "-");  // a phys of ""
  sysfs.add("event3", kMouseEv, kMouseRel, kMouseKeys, "Lookalike", "xcorvassel-helper/event0");
  struct Row {
    const char *node, *name, *phys, *outputOf;
  };
  const Row rows[] = {{"event0", "USB Mouse", "usb-0000:00:14.0-2/input0", ""},
                      {"event1", "USB Mouse", "corvassel-helper/event0", "event0"},
                      {"event2", "Virtual", "", ""},
                      {"event3", "Lookalike", "xcorvassel-helper/event0", ""},
                      {"event4", "", "", ""}};  // no such device
  for (const Row &row : rows) {
    SCOPED_TRACE(row.node);
    EXPECT_EQ(platform::evdev::deviceName(sysfs.path, row.node), row.name);
    const std::string phys = platform::evdev::devicePhys(sysfs.path, row.node);
    EXPECT_EQ(phys, row.phys);
    EXPECT_EQ(platform::evdev::outputSource(phys), row.outputOf);
  }
  auto kernel =
      platform::evdev::makeRealKernel("/nonexistent", "/nonexistent", sysfs.path, "/nonexistent");
  EXPECT_TRUE(kernel->isOutputNode("event1"));
  EXPECT_FALSE(kernel->isOutputNode("event0") || kernel->isOutputNode("event3"));
}

TEST(PointerNodes, TrustNeedsUinputAndTheMiceButNoKeyboard) {
  TestBackend backend;
  fake::Kernel kernel;
  kernel.add("event0");
  kernel.add("event1")->caps = fake::keyboardCaps();
  auto both = kernel.add("event2");
  both->caps.merge(fake::keyboardCaps());
  platform::evdev::LinuxInput input(backend.inputContext(), kernel);
  struct Row {
    std::set<std::string> denied;
    bool trusted;
  };
  const Row rows[] = {
      {{"event1", "event2"}, true}, {{"event0"}, false}, {{"uinput", "event1"}, false}};
  for (const Row &row : rows) {
    kernel.denied = row.denied;
    EXPECT_EQ(input.isProcessTrusted(false), row.trusted) << testing::PrintToString(row.denied);
  }
  EXPECT_EQ(kernel.opens, 0);
}

// The helper's one line names the fix for the cause at hand, as doctor does.
TEST(PointerNodes, TheAccessHintNamesTheFixForItsCause) {
  TestBackend backend;
  fake::Kernel kernel;
  kernel.add("event0");
  FakeSysfs rules;  // a folder of udev rules
  const std::map<char, std::string> ruleText = {
      {'-', ""},                                        // none installed
      {'o', "KERNEL==\"uinput\", TAG+=\"uaccess\"\n"},  // an older one, without the mice
      {'c', "ENV{ID_INPUT_MOUSE}==\"1\", TAG+=\"uaccess\"\n"}};
  struct Row {
    const char *missing, *denied;
    char rule;
    const char *begins;
  };
  const Row rows[] = {
      {"uinput", "", 'c', "/dev/uinput (No such file or directory): sudo modprobe uinput"},
      {"", "uinput", '-', "/dev/uinput (Permission denied): install the corvassel-helper package"},
      {"", "event0", 'o', "/fake/input/event0 (Permission denied): install the corvassel-helper"},
      {"", "event0", 'c', "/fake/input/event0 (Permission denied): log out and in again at the"},
      // The rule no longer grants /dev/uinput: whatever rule is there, the broker makes outputs.
      {"", "uinput", 'o',
       "/dev/uinput (Permission denied): install the corvassel-helper package, "
       "which brings corvassel-uinputd"},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.begins);
    fs::remove(rules.path + "/70-corvassel-uinput.rules");
    if (row.rule != '-')
      std::ofstream(rules.path + "/70-corvassel-uinput.rules") << ruleText.at(row.rule);
    kernel.ruleDirectories = {rules.path + "/none", rules.path};
    kernel.missing = {row.missing};
    kernel.denied = {row.denied};
    const std::string problem =
        platform::evdev::LinuxInput(backend.inputContext(), kernel).accessProblem();
    EXPECT_EQ(problem.rfind(row.begins, 0), 0u) << problem;
  }
}

}  // namespace
