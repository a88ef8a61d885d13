// Why the input cannot work yet, in one line with its fix: what trust and its hint say.
#include <platform/AccessAdvice.h>
#include <unistd.h>

#include <cstring>

#include "linux/input/LinuxInput.h"

namespace platform::evdev {

// The helper needs the mice and a way to make output devices, nothing else: keyboards are not
// even looked at.
std::string LinuxInput::accessProblem() {
  auto problem = [this](const std::string &path, int error) {
    const Obstacle obstacle = AccessObstacle(path == kernel_.uinputPath(), error,
                                             FindUdevRule(kernel_.udevRuleDirectories()));
    return path + " (" + strerror(error) + "): " + Fix(obstacle) +
           "; 'corvassel-prefs doctor' says more";
  };
  if (int error = kernel_.canMakeOutputs()) return problem(kernel_.outputsThrough(), error);
  for (const std::string &node : kernel_.eventNodes()) {
    // Outputs are never read by the helper, its own or another's.
    if (!kernel_.isPointerNode(node) || kernel_.isOutputNode(node)) continue;
    const std::string path = kernel_.inputDirectory() + "/" + node;
    if (int error = kernel_.mayAccess(path, R_OK)) return problem(path, error);
  }
  return {};
}

}  // namespace platform::evdev
