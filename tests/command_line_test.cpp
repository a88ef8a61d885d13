// Every executable answers --help and --version on standard output without starting anything,
// and refuses options it does not know.
#include <gtest/gtest.h>

#include <string>

#include "PrefsTestSupport.h"
#include "ToolRunSupport.h"

namespace {

class CommandLine : public TempHome {};

TEST_F(CommandLine, HelpAndVersionAnswerAndUnknownOptionsAreRefused) {
  struct Program {
    const char *path;
    const char *name;
  };
  const Program programs[] = {
      {CORVASSEL_HELPER_EXE, "corvassel-helper"},
      {CORVASSEL_PREFS_TOOL, "corvassel-prefs"},
      {CORVASSEL_SIM_TOOL, "corvassel-sim"},
#ifdef CORVASSEL_IDLE_TOOL  // built with the benchmarks
      {CORVASSEL_IDLE_TOOL, "corvassel-idle-wakeups"},
#endif
  };
  // Started for real, the helper would wait for the mice or end silently after two seconds.
  const std::vector<std::string> env = {"HOME=" + home()};
  const auto limit = std::chrono::seconds(1);
  for (const Program &program : programs) {
    SCOPED_TRACE(program.name);
    ToolRun help = RunTool(program.path, {"--help"}, home(), env, limit);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(std::string("usage: ") + program.name, 0), 0u) << help.out;
    EXPECT_EQ(help.err, "");
    ToolRun version = RunTool(program.path, {"--version"}, home(), env, limit);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind(std::string(program.name) + " ", 0), 0u) << version.out;
    EXPECT_EQ(std::count(version.out.begin(), version.out.end(), '\n'), 1) << version.out;
    ToolRun wrong = RunTool(program.path, {"--frobnicate"}, home(), env, limit);
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.out, "");
    EXPECT_NE(wrong.err.find("usage: "), std::string::npos) << wrong.err;
  }
  EXPECT_FALSE(std::filesystem::exists(prefsPath())) << "nothing was started or written";
}

}  // namespace
