// Runs an action's optional script from the preference pane's bundle.
#pragma once

#include <optional>
#include <string>

// Runs the first of ~/Library/PreferencePanes/Ombrisk.prefPane and
// /Library/PreferencePanes/Ombrisk.prefPane that holds Contents/Resources/Scripts/<name>, and
// returns its standard output, decoded as UTF-8 and trimmed; nothing when there is no script, it
// could not run (logged), or its output was not UTF-8.
std::optional<std::string> RunExtraScript(const std::string &name);
