// What `corvassel-prefs doctor` finds, as data: one line per thing that decides whether the helper
// remaps, with the one fix for a line that keeps it from remapping. The tool prints the lines;
// the settings window shows the first problem.
#pragma once

#include <string>
#include <vector>

namespace corvassel::tools {

struct Check {
  enum class Level {
    kOk,
    kNote,     // worth knowing; keeps nothing from working
    kProblem,  // keeps the helper from remapping
  };
  Level level = Level::kOk;
  std::string what;
  std::string fix;  // for a problem
};

}  // namespace corvassel::tools
