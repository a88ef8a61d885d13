#include "ButtonNumbers.h"

#include "helper/Settings.h"

namespace corvassel::tools {

std::optional<ButtonRole> ButtonRoleOf(std::string_view key) {
  if (key == "BackButton" || key == "ForwardButton") return ButtonRole::kAction;
  if (key == "PassthroughButton") return ButtonRole::kPassthrough;
  return std::nullopt;
}

bool MouseCanSend(int64_t number) {
  return number >= 0 && number <= kHighestButton;
}

bool SettingTakes(int64_t number) {
  return number == kNoButton || MouseCanSend(number);
}

std::string AcceptedButtons(ButtonRole role) {
  const std::string buttons = "a mouse button from 1 to " + std::to_string(kHighestButton);
  if (role == ButtonRole::kPassthrough)
    return buttons + ", 0 for the middle button (" + std::to_string(kCorvasselPassthroughDefault) +
           ") or -1 for off";
  return buttons + ", or 0 or -1 for none";
}

bool X11SideButtonNumber(int64_t number) {
  return number == 8 || number == 9;
}

std::string KernelButtonName(int64_t number) {
  static constexpr const char *kNames[] = {"BTN_LEFT",  "BTN_RIGHT",   "BTN_MIDDLE", "BTN_SIDE",
                                           "BTN_EXTRA", "BTN_FORWARD", "BTN_BACK",   "BTN_TASK"};
  if (number >= 0 && number < 8) return kNames[number];
  if (MouseCanSend(number)) return "BTN_MOUSE+" + std::to_string(number);
  return {};
}

}  // namespace corvassel::tools
