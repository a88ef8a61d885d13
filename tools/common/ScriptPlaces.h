// Where the helper looks for its extra scripts, and what it finds there: for each name the user's
// bundle first, then the system's; the first path where anything exists is the one it runs.
#pragma once

#include <string>
#include <vector>

namespace corvassel::tools {

inline constexpr const char *kScriptNames[] = {"back-extra-script", "forward-extra-script"};

struct ScriptPlace {
  std::string name;  // back-extra-script or forward-extra-script
  std::string path;
  bool user = false;  // the user's bundle, else the system's
  bool exists = false;
  bool directory = false;
  bool executable = false;
  bool used = false;  // the one the helper runs
};

// The user's folder of scripts (which need not exist).
std::string UserScriptsDirectory(const std::string &home);
// Each name in kScriptNames order, the user's place before the system's.
std::vector<ScriptPlace> ScriptPlaces(const std::string &home);
// "absent", "exists", "exists (not executable)", "exists (a directory)"; ", used" when it is run.
std::string ScriptState(const ScriptPlace &place);

}  // namespace corvassel::tools
