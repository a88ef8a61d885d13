// corvassel-sim --check: every NAME.scenario of a directory against its NAME.expected.
#pragma once

#include <optional>
#include <string>

namespace corvassel::sim {

// The first difference between an expected and an actual trace, as
// `line N: expected "A", got "B"`; nothing when they are equal byte for byte.
std::optional<std::string> FirstDifference(const std::string &expected, const std::string &actual);

// Runs each scenario in a child process of program (this simulator), prints `ok NAME` or
// `FAIL NAME: ...` for each and the totals, and returns 0 only when none failed (2 when the
// directory cannot be read).
int CheckDirectory(const std::string &program, const std::string &directory);

}  // namespace corvassel::sim
