// The Linux tap's frame filter as tables: frames in, the client's answers, what it asks and what
// comes out on each device's output. A step is a frame ("D: EVENT VALUE, ...", SYN_REPORT
// implied, D the device), an answer ("pass" / "swallow"), "overtake" (the client is slow),
// "click CODE", "gone D" or "reset". Output frames are separated by " / ", an empty frame is "-";
// "D: " marks where output turns to device D's output, "end D" where D's output is finished.
#include <gtest/gtest.h>
#include <libevdev/libevdev.h>

#include <sstream>
#include <string>
#include <vector>

#include "Descriptions.h"
#include "linux/input/FrameFilter.h"

using platform::evdev::Event;
using platform::evdev::FrameFilter;

namespace {

Event Parse(const std::string &text) {
  std::istringstream in(text);
  std::string name;
  int value = 0;
  in >> name >> value;
  const int type = libevdev_event_type_from_code_name(name.c_str());
  const int code = libevdev_event_code_from_code_name(name.c_str());
  EXPECT_GE(type, 0) << name;
  return {static_cast<uint16_t>(type), static_cast<uint16_t>(code), value};
}

// Appends what the filter put out, frame by frame, to `out`; `device` is the output the last
// frame went to.
void Render(const platform::evdev::FilterOutput &output, std::vector<std::string> &out,
            int64_t &device) {
  for (size_t run = 0; run < output.runs.size(); ++run) {
    std::string frame;
    for (size_t i = output.runs[run].begin; i < output.end(run); ++i) {
      const Event &ev = output.events[i];
      if (ev.type == EV_SYN && ev.code == SYN_REPORT) {
        const bool turned = output.runs[run].device != device;
        device = output.runs[run].device;
        out.push_back((turned ? std::to_string(device) + ": " : "") +
                      (frame.empty() ? std::string("-") : frame));
        frame.clear();
        continue;
      }
      const char *name = libevdev_event_code_get_name(ev.type, ev.code);
      frame += (frame.empty() ? "" : ", ") + std::string(name ? name : "?") + " " +
               std::to_string(ev.value);
    }
    if (!frame.empty()) out.push_back("<unfinished " + frame + ">");
  }
  for (uint32_t finished : output.finished) out.push_back("end " + std::to_string(finished));
}

struct Case {
  const char *label;
  std::vector<std::string> steps;
  std::vector<std::string> asked;  // "TYPE BUTTON HELD-MASK" per question, in order
  std::string out;
  CGEventMask mask = kButtonEvents;
  bool listenOnly = false;
};

void PrintTo(const Case &c, std::ostream *os) {
  *os << c.label;
}

class FrameFilterTable : public testing::TestWithParam<Case> {};

TEST_P(FrameFilterTable, AsksAndWritesAsTheTableSays) {
  const Case &c = GetParam();
  FrameFilter filter(c.mask, c.listenOnly);
  std::vector<std::string> out;
  int64_t device = -1;
  std::vector<std::string> asked;
  auto noteQuestion = [&] {
    const auto &q = *filter.question();
    asked.push_back(std::to_string(q.type) + " " + std::to_string(q.button) + " " +
                    std::to_string(q.heldBefore));
  };
  for (const std::string &step : c.steps) {
    const auto colon = step.find(':');
    if (colon != std::string::npos) {
      const uint32_t device = static_cast<uint32_t>(std::stoul(step.substr(0, colon)));
      std::vector<Event> events;
      std::istringstream list(step.substr(colon + 1));
      for (std::string item; std::getline(list, item, ',');) events.push_back(Parse(item));
      events.push_back({EV_SYN, SYN_REPORT, 0});
      const bool waited = filter.question().has_value();
      filter.frame(device, events.data(), events.size());
      if (!waited && filter.question()) noteQuestion();
    } else if (step == "pass" || step == "swallow") {
      ASSERT_TRUE(filter.question()) << "nothing asked before: " << step;
      filter.answer(step == "pass");
      if (filter.question()) noteQuestion();
    } else if (step == "overtake") {
      filter.overtake();
    } else if (step.rfind("click ", 0) == 0) {
      filter.click(Parse(step.substr(6) + " 0").code);
    } else if (step.rfind("gone ", 0) == 0) {
      filter.deviceGone(static_cast<uint32_t>(std::stoul(step.substr(5))));
    } else if (step == "reset") {
      filter.reset();
    } else {
      FAIL() << "unknown step " << step;
    }
    Render(filter.output(), out, device);
    filter.output().clear();
  }
  EXPECT_EQ(asked, c.asked);
  std::string rendered;
  for (const std::string &frame : out) rendered += (rendered.empty() ? "" : " / ") + frame;
  EXPECT_EQ(rendered, c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameFilterTable,
    testing::Values(
        Case{"MotionWheelsAndTheLeftButtonPassAsTheyCame",
             {"0: REL_X 3, REL_Y -2", "0: REL_WHEEL -1, REL_WHEEL_HI_RES -120",
              "0: MSC_SCAN 589825, BTN_LEFT 1", "0: REL_X 1", "0: BTN_LEFT 0", "0: REL_HWHEEL 1"},
             {},
             "0: REL_X 3, REL_Y -2 / REL_WHEEL -1, REL_WHEEL_HI_RES -120 / MSC_SCAN 589825, "
             "BTN_LEFT 1 / REL_X 1 / BTN_LEFT 0 / REL_HWHEEL 1"},
        Case{"AButtonTheClientDoesNotWantPassesWithoutAQuestion",
             {"0: BTN_SIDE 1", "0: BTN_SIDE 0"},
             {},
             "0: BTN_SIDE 1 / BTN_SIDE 0",
             CGEventMaskBit(kCGEventRightMouseDown)},
        Case{"RightAndOtherButtonsAreAskedWithTheirTypeAndNumber",
             {"0: BTN_RIGHT 1", "pass", "0: BTN_RIGHT 0", "pass", "0: BTN_TASK 1", "pass",
              "0: BTN_TASK 0", "pass"},
             {"3 1 0", "4 1 2", "25 7 0", "26 7 128"},
             "0: BTN_RIGHT 1 / BTN_RIGHT 0 / BTN_TASK 1 / BTN_TASK 0"},
        Case{"BothHalvesPassed",
             {"0: BTN_EXTRA 1", "pass", "0: BTN_EXTRA 0", "pass"},
             {"25 4 0", "26 4 16"},
             "0: BTN_EXTRA 1 / BTN_EXTRA 0"},
        Case{"BothHalvesSwallowed",
             {"0: BTN_EXTRA 1", "swallow", "0: BTN_EXTRA 0", "swallow"},
             {"25 4 0", "26 4 16"},
             "0: - / -"},
        Case{"APassedPressIsAlwaysReleased",
             {"0: BTN_EXTRA 1", "pass", "0: BTN_EXTRA 0", "swallow"},
             {"25 4 0", "26 4 16"},
             "0: BTN_EXTRA 1 / BTN_EXTRA 0"},
        Case{"ASwallowedPressIsNeverReleased",
             {"0: BTN_EXTRA 1", "swallow", "0: BTN_EXTRA 0", "pass"},
             {"25 4 0", "26 4 16"},
             "0: - / -"},
        Case{"AListenOnlyClientCannotSwallow",
             {"0: BTN_SIDE 1", "swallow", "0: BTN_SIDE 0", "swallow"},
             {"25 3 0", "26 3 8"},
             "0: BTN_SIDE 1 / BTN_SIDE 0",
             kButtonEvents,
             true},
        Case{"AutorepeatFollowsThePress",
             {"0: BTN_SIDE 1", "swallow", "0: BTN_SIDE 2", "0: BTN_EXTRA 1", "pass",
              "0: BTN_EXTRA 2"},
             {"25 3 0", "25 4 8"},
             "0: - / - / BTN_EXTRA 1 / BTN_EXTRA 2"},
        Case{"TheHeldMaskIsEveryMousesBeforeTheEvent",
             {"0: BTN_MIDDLE 1", "pass", "1: BTN_SIDE 1", "pass", "1: BTN_SIDE 0", "pass"},
             {"25 2 0", "25 3 4", "26 3 12"},
             "0: BTN_MIDDLE 1 / 1: BTN_SIDE 1 / BTN_SIDE 0"},
        Case{"EverythingAfterAQuestionWaitsForItsAnswerInOrder",
             {"0: REL_X 1, BTN_SIDE 1, REL_Y 2", "1: REL_X 5", "0: BTN_SIDE 0", "1: BTN_LEFT 1",
              "swallow", "swallow"},
             {"25 3 0", "26 3 8"},
             "0: REL_X 1, REL_Y 2 / 1: REL_X 5 / 0: - / 1: BTN_LEFT 1"},
        Case{"ASlowClientLetsMotionOvertakeButNoButton",
             {"0: REL_X 1, BTN_SIDE 1, REL_Y 2", "1: REL_X 5", "overtake", "1: BTN_LEFT 1, REL_X 6",
              "0: REL_WHEEL 1", "0: BTN_SIDE 0", "pass", "pass"},
             {"25 3 0", "26 3 9"},
             "0: REL_X 1 / REL_Y 2 / 1: REL_X 5 / REL_X 6 / 0: REL_WHEEL 1 / BTN_SIDE 1 / "
             "1: BTN_LEFT 1 / 0: BTN_SIDE 0"},
        Case{"AClickPostedWhileJudgingFollowsThatFrame",
             {"0: REL_X 1, BTN_SIDE 1, REL_X 2", "0: REL_X 3", "click BTN_SIDE", "swallow",
              "click BTN_EXTRA"},
             {"25 3 0"},
             "0: REL_X 1, REL_X 2 / BTN_SIDE 1 / BTN_SIDE 0 / REL_X 3 / BTN_EXTRA 1 / BTN_EXTRA 0"},
        Case{"AClickPostedWhileJudgingGoesToTheJudgedDevicesOutput",
             {"0: BTN_SIDE 1", "1: REL_X 1", "click BTN_EXTRA", "pass"},
             {"25 3 0"},
             "0: BTN_SIDE 1 / BTN_EXTRA 1 / BTN_EXTRA 0 / 1: REL_X 1"},
        Case{"AClickPostedLaterGoesToTheDeviceJudgedLastAndNowhereOnceItWent",
             {"click BTN_SIDE", "1: BTN_SIDE 1", "pass", "click BTN_EXTRA", "0: REL_X 1",
              "click BTN_SIDE", "gone 1", "click BTN_EXTRA", "0: BTN_RIGHT 1", "pass",
              "click BTN_EXTRA"},
             {"25 3 0", "3 1 0"},
             "1: BTN_SIDE 1 / BTN_EXTRA 1 / BTN_EXTRA 0 / 0: REL_X 1 / 1: BTN_SIDE 1 / "
             "BTN_SIDE 0 / BTN_SIDE 0 / end 1 / 0: BTN_RIGHT 1 / BTN_EXTRA 1 / BTN_EXTRA 0"},
        Case{
            "AGoneMouseReleasesWhatItHeldOnItsOwnOutputAfterItsFrames",
            {"0: BTN_RIGHT 1, BTN_SIDE 1, BTN_EXTRA 1", "pass", "swallow", "pass", "1: BTN_EXTRA 1",
             "pass", "1: BTN_MIDDLE 1", "gone 0", "pass", "1: REL_X 1", "gone 5"},
            {"3 1 0", "25 3 2", "25 4 10", "25 4 26", "25 2 26"},
            "0: BTN_RIGHT 1, BTN_EXTRA 1 / 1: BTN_EXTRA 1 / BTN_MIDDLE 1 / 0: BTN_RIGHT 0, "
            "BTN_EXTRA 0 / end 0 / 1: REL_X 1 / end 5"},
        Case{"AResetReleasesWhatWentOutDropsWhatWaitsAndKeepsPostedClicks",
             {"0: BTN_RIGHT 1", "pass", "0: BTN_SIDE 1", "click BTN_EXTRA", "0: REL_X 9", "reset",
              "0: REL_X 1"},
             {"3 1 0", "25 3 2"},
             "0: BTN_RIGHT 1 / BTN_EXTRA 1 / BTN_EXTRA 0 / BTN_RIGHT 0 / REL_X 1"},
        Case{"AResetReleasesEachDevicesButtonsOnItsOwnOutput",
             {"0: BTN_RIGHT 1", "pass", "1: BTN_MIDDLE 1", "pass", "reset"},
             {"3 1 0", "25 2 2"},
             "0: BTN_RIGHT 1 / 1: BTN_MIDDLE 1 / 0: BTN_RIGHT 0 / 1: BTN_MIDDLE 0"}),
    [](const testing::TestParamInfo<Case> &info) { return info.param.label; });

}  // namespace
