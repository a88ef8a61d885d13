#include "View.h"

#include <iterator>

#include "ButtonNumbers.h"

namespace corvassel::settings {

namespace {

using tools::Check;
using tools::StoredValue;

std::string Numbered(int64_t number) {
  if (!tools::MouseCanSend(number))
    return "Button " + std::to_string(number) + ": no mouse sends it";
  std::string shown = "Button " + std::to_string(number) + " · " + tools::KernelButtonName(number);
  // Typed from what xev said, most likely.
  if (tools::X11SideButtonNumber(number)) shown += " (X11's side buttons 8 and 9 are 3 and 4 here)";
  return shown;
}

size_t IndexOf(const tools::Setting &setting) {
  for (size_t i = 0; i < std::size(tools::kSettings); ++i)
    if (&tools::kSettings[i] == &setting ||
        std::string_view(tools::kSettings[i].key) == setting.key)
      return i;
  return 0;
}

// What the helper makes of a stored value that is not plainly an integer, for the row to say.
std::string Reading(const std::optional<StoredValue> &stored, int64_t effective) {
  if (!stored || stored->kind == StoredValue::Kind::kInteger) return "";
  if (stored->kind == StoredValue::Kind::kOther)
    return "stored as " + stored->text + ", which the helper does not read as a number";
  return "stored as " + stored->text + ", which the helper reads as " + std::to_string(effective);
}

std::string Joined(const std::string &first, const std::string &second) {
  if (first.empty() || second.empty()) return first + second;
  return first + "; " + second;
}

}  // namespace

FileState ReadFileState(tools::PreferencesFile &file) {
  FileState state;
  state.usable = file.load(&state.problem);
  state.effective = tools::EffectiveSettings(state.usable ? &file : nullptr);
  if (state.usable) {
    state.problem.clear();
    for (size_t i = 0; i < std::size(tools::kSettings); ++i)
      state.stored[i] = file.value(tools::kSettings[i].key);
  }
  return state;
}

SwitchView DescribeSwitch(const FileState &file, bool learning) {
  return {file.effective.enabled, file.usable && !learning};
}

ButtonRowView DescribeButtonRow(const tools::Setting &setting, const FileState &file) {
  const std::string_view key = setting.key;
  const std::optional<StoredValue> &stored = file.stored[IndexOf(setting)];
  ButtonRowView row;
  row.sensitive = file.usable;
  row.clearable = file.usable && stored.has_value();
  if (key == "PassthroughButton") {
    const int64_t number = file.effective.passthrough;
    row.title = "Passthrough";
    row.on = CorvasselPassthroughOn(number);
    if (!row.on)
      row.subtitle = "Off";
    else if (number == kCorvasselPassthroughDefault && (!stored || stored->integer == 0))
      row.subtitle = Numbered(number) + " (the default)";
    else
      row.subtitle = Numbered(number);
    row.subtitle = Joined(row.subtitle, Reading(stored, number));
    return row;
  }
  const int64_t number = key == "BackButton" ? file.effective.back : file.effective.forward;
  row.title = key == "BackButton" ? "Back" : "Forward";
  row.subtitle = CorvasselMapsButton(number) ? Numbered(number) : "None";
  row.subtitle = Joined(row.subtitle, Reading(stored, number));
  return row;
}

std::string WaitingSubtitle(const std::string &note) {
  return (note.empty() ? std::string("Press a mouse button…") : note) + " (Escape cancels)";
}

NoticeView DescribeFileNotice(const FileState &file) {
  if (file.usable) return {};
  return {true, "These settings cannot be changed here",
          file.problem + ". Move the file aside; the changes made here then write a new one."};
}

StatusView DescribeStatus(const std::optional<std::vector<Check>> &checks, bool fileNoticeShown) {
  if (!checks) return {Check::Level::kNote, "Looking at what the helper needs…", ""};
  // The settings' own check comes first; a file the helper ignores is said above already.
  for (size_t i = fileNoticeShown ? 1 : 0; i < checks->size(); ++i) {
    const Check &check = (*checks)[i];
    if (check.level == Check::Level::kProblem)
      return {check.level, check.what, "Fix: " + check.fix};
  }
  return {Check::Level::kOk, "Nothing keeps the helper from remapping.", ""};
}

const char *const kCompleteProtocol =
    "Each runs before its swipe; a script that prints complete takes the swipe's place.";

std::string ScriptsDescription(const std::string &home) {
  std::string folder = tools::UserScriptsDirectory(home);
  if (!home.empty() && folder.starts_with(home + "/")) folder = "~" + folder.substr(home.size());
  return std::string("In ") + folder + ". " + kCompleteProtocol;
}

std::vector<ScriptRowView> DescribeScripts(const std::vector<tools::ScriptPlace> &places) {
  std::vector<ScriptRowView> rows;
  for (const char *name : tools::kScriptNames) {
    const tools::ScriptPlace *used = nullptr;
    for (const tools::ScriptPlace &place : places)
      if (place.name == name && place.used) used = &place;
    ScriptRowView row{name, "Absent"};
    if (used) {
      row.subtitle = used->directory     ? "A folder, not a script: the helper fails to run it"
                     : !used->executable ? "Not executable: the helper fails to run it"
                                         : "Present and executable";
      if (!used->user) row.subtitle += " (for every user, in " + used->path + ")";
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace corvassel::settings
