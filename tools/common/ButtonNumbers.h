// Mouse button numbers as the settings hold them: which numbers a mouse can send, which each
// button setting takes, and what the kernel calls each button. Every tool that stores or shows a
// button asks here, so that none stores a number no mouse can send.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvassel::tools {

// A mouse sends the evdev mouse range, BTN_LEFT (0) to BTN_MOUSE + 15.
inline constexpr int64_t kHighestButton = 15;
// The one number below that a button setting takes: no button for back and forward, passthrough
// off. Every negative number reads so (helper/Settings.h); the tools store only this one.
inline constexpr int64_t kNoButton = -1;

enum class ButtonRole {
  kAction,       // BackButton, ForwardButton: 0 or less is none, the left button never maps
  kPassthrough,  // PassthroughButton: 0 is the default (the middle button), less than 0 is off
};
// The role of a button setting's key; nothing for any other key.
std::optional<ButtonRole> ButtonRoleOf(std::string_view key);

bool MouseCanSend(int64_t number);
// Whether a button setting may store the number: one a mouse sends, or kNoButton.
bool SettingTakes(int64_t number);
// What a setting of the role takes, in words that end a sentence.
std::string AcceptedButtons(ButtonRole role);
// X11 (xev, xinput) numbers the side buttons 8 and 9 where the settings number them 3 and 4, so
// these two are often meant as those.
bool X11SideButtonNumber(int64_t number);

// The kernel's name of the button ("BTN_SIDE" for 3, "BTN_MOUSE+8" past the named ones); empty
// for a number no mouse sends.
std::string KernelButtonName(int64_t number);

}  // namespace corvassel::tools
