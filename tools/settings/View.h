// What the settings window shows, worked out from the settings file and the doctor's checks
// alone, so that it is the same with or without a display. The window only copies these into
// its widgets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Checks.h"
#include "HelperSettings.h"
#include "PreferencesFile.h"
#include "ScriptPlaces.h"

namespace corvassel::settings {

// The settings file as last read.
struct FileState {
  bool usable = true;   // the helper reads it, so the window may change it
  std::string problem;  // why not: the reason the helper ignores it
  tools::Effective effective;
  std::optional<tools::StoredValue> stored[std::size(tools::kSettings)];
};
// Reads the file as the helper does (a missing file is an empty one).
FileState ReadFileState(tools::PreferencesFile &file);

struct SwitchView {
  bool active = false;
  bool sensitive = true;
};
SwitchView DescribeSwitch(const FileState &file, bool learning);

struct ButtonRowView {
  std::string title;     // Back, Forward, Passthrough
  std::string subtitle;  // the button's number and evdev name, or what stands instead
  bool sensitive = true;
  bool clearable = false;  // a value is stored that clearing removes
  bool on = true;          // the passthrough button is not turned off
};
// setting is BackButton, ForwardButton or PassthroughButton.
ButtonRowView DescribeButtonRow(const tools::Setting &setting, const FileState &file);
// What a row says while it waits for a press; note says why the last one was not taken.
std::string WaitingSubtitle(const std::string &note = "");

struct NoticeView {
  bool shown = false;
  std::string title;
  std::string detail;
};
// Shown above everything while the helper ignores the file.
NoticeView DescribeFileNotice(const FileState &file);

struct StatusView {
  tools::Check::Level level = tools::Check::Level::kNote;
  std::string headline;
  std::string detail;
};
// Nothing while the checks have not come back yet. fileNoticeShown: the file notice says what
// the settings' check would.
StatusView DescribeStatus(const std::optional<std::vector<tools::Check>> &checks,
                          bool fileNoticeShown = false);

struct ScriptRowView {
  std::string title;
  std::string subtitle;
};
// One row per script name, for the one the helper runs.
std::vector<ScriptRowView> DescribeScripts(const std::vector<tools::ScriptPlace> &places);
// Where the user's scripts go, and what their output does.
std::string ScriptsDescription(const std::string &home);
extern const char *const kCompleteProtocol;

}  // namespace corvassel::settings
