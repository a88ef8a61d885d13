// Every command of ours that the README shows in a shell block works as written: run with a
// private home, none of them is refused as wrong use. learn and buttons wait for a mouse to be
// pressed and are left out.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "PrefsTestSupport.h"
#include "ToolRunSupport.h"

namespace {

class Readme : public TempHome {};

TEST_F(Readme, EveryCommandOfOursInItsShellBlocksWorksAsWritten) {
  const std::string readme = ReadBytes(std::string(CORVASSEL_SOURCE_DIR) + "/README.md");
  // A user manager that knows no unit, so that nothing real is started.
  const std::string bin = home() + "/bin";
  WriteBytes(bin + "/systemctl", "#!/bin/sh\necho LoadState=not-found\n");
  chmod((bin + "/systemctl").c_str(), 0755);
  const std::vector<std::string> env = {"PATH=" + bin + ":/usr/bin:/bin"};
  std::istringstream lines(readme);
  bool inShell = false;
  int run = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) continue;
    line.erase(0, indent);
    if (line.rfind("```", 0) == 0) {
      inShell = !inShell && line == "```sh";
      continue;
    }
    if (!inShell || line.rfind("corvassel-prefs", 0) != 0) continue;
    line = line.substr(0, line.find(" #"));
    std::istringstream words(line);
    std::vector<std::string> args;
    for (std::string word; words >> word;) args.push_back(word);
    args.erase(args.begin());
    if (!args.empty() && (args[0] == "learn" || args[0] == "buttons")) continue;  // they wait
    SCOPED_TRACE(line);
    ToolRun r = RunTool(CORVASSEL_PREFS_TOOL, args, home(), env);
    const bool doctor = !args.empty() && args[0] == "doctor";
    EXPECT_TRUE(r.status == 0 || (doctor && r.status == 1)) << r.status << r.err;
    EXPECT_EQ(r.err.find("usage"), std::string::npos) << r.err;
    ++run;
  }
  EXPECT_GE(run, 8) << "the README's commands were not found";
}

}  // namespace
