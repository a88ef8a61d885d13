// Running one scenario: a private home and system stand-in on disk, the simulated world, the
// helper's real start-up, and the trace on standard output.
#pragma once

#include <platform/VirtualWorld.h>

#include <string>

namespace corvassel::sim {

// Reads and runs the scenario file at path in this process, in world (the backend in use).
// Returns 2 after reporting a mistake in the file (or a sandbox that could not be made) on
// standard error; otherwise the process ends inside with the helper's exit or the scenario's end.
int RunScenarioFile(const std::string &path, platform::VirtualWorld &world);

// Where the user's and the system's pane bundles keep their scripts, below a home or root.
extern const char *const kScriptsFolder;

}  // namespace corvassel::sim
