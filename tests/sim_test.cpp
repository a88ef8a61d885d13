// corvassel-sim as its users meet it: mistakes in a scenario file, --check's report, and the
// private directory it leaves behind (none).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestBackend.h"
#include "ToolRunSupport.h"

namespace {

namespace fs = std::filesystem;

class SimTool : public ::testing::Test {
 protected:
  SimTool() { fs::create_directories(dir_ + "/tmp"); }

  std::string write(const std::string &name, const std::string &text) {
    std::string path = dir_ + "/" + name;
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Runs the simulator with a private TMPDIR, so that what it leaves there can be seen.
  ToolRun run(const std::vector<std::string> &args) {
    return RunTool(CORVASSEL_SIM_TOOL, args, dir_, {"TMPDIR=" + dir_ + "/tmp"});
  }

  bool tmpIsEmpty() { return fs::is_empty(dir_ + "/tmp"); }

  ScratchHome scratch_;
  const std::string dir_ = scratch_.root.string();
};

struct BadFile {
  const char *text;
  int line;
  const char *says;
};

TEST_F(SimTool, MistakesInAScenarioNameTheirLineAndStopTheRun) {
  const BadFile cases[] = {
      {"pref Enabled true\nfrobnicate\n", 2, "unknown word"},
      {"1 down 3\n0.5 up 3\n", 2, "backwards"},
      {"# fine\n\n2 end\n3 down 1\n", 4, "after end"},
      {"pref Enabled maybe\n", 1, "preference value"},
      {"pref Enabled\n", 1, "pref KEY VALUE"},
      {"trusted perhaps\n", 1, "trusted yes|no"},
      {"tap breaks\n", 1, "tap fails"},
      {"script user\n", 1, "script user|system"},
      {"script user back-extra-script\n", 1, "command"},
      {"script elsewhere x echo\n", 1, "user or system"},
      {"script user ../escape echo hi\n", 1, "file name"},
      {"file system a/b\n", 1, "file name"},
      {"file user x extra\n", 1, "file user|system NAME"},
      {"1 down\n", 1, "down|up N"},
      {"1 down 64\n", 1, "0 to 63"},
      {"1 up -1\n", 1, "0 to 63"},
      {"1 trust maybe\n", 1, "trust yes|no"},
      {"1 pref K\n", 1, "pref KEY VALUE"},
      {"1 notify now\n", 1, "TIME notify"},
      {"1 tap-disabled later\n", 1, "timeout|user"},
      {"1 jump\n", 1, "unknown word"},
      {"1\n", 1, "what happens"},
      {"-1 down 3\n", 1, "unknown word"},
      {"1.5.2 down 3\n", 1, "unknown word"},
      {"1. down 3\n", 1, "unknown word"},
      {"1.0000000001 down 3\n", 1, "unknown word"},  // finer than a nanosecond
      {"1e3 down 3\n", 1, "unknown word"},
      {"99999999999 end\n", 1, "unknown word"},
      {"pref Back 99999999999999999999\n", 1, "preference value"},
      {"pref Enabled true # a comment\n1 down 3 # here too\n2 end 3\n", 3, "TIME end"},
  };
  for (const BadFile &c : cases) {
    std::string path = write("bad.scenario", c.text);
    ToolRun r = run({path});
    EXPECT_EQ(r.status, 2) << c.text;
    EXPECT_EQ(r.out, "") << c.text;
    EXPECT_NE(r.err.find(path + ":" + std::to_string(c.line) + ":"), std::string::npos)
        << c.text << " -> " << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.text << " -> " << r.err;
  }
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(SimTool, ARunLeavesNoPrivateDirectoryBehind) {
  // Ending by the scenario's end, by the helper's own exit, and with scripts in both bundles.
  const char *scenarios[] = {
      "pref Enabled true\n1 end\n",
      "pref Enabled false\n",
      "pref Enabled true\npref BackButton 3\nscript user back-extra-script echo hi\n"
      "file system forward-extra-script\n1 down 3\n2 end\n",
  };
  for (const char *text : scenarios) {
    ToolRun r = run({write("run.scenario", text)});
    EXPECT_NE(r.status, 2) << text << r.err;
    EXPECT_FALSE(r.out.empty()) << text;
    EXPECT_TRUE(tmpIsEmpty()) << text;
  }
}

TEST_F(SimTool, CheckReportsEachScenarioAndTheFirstDifference) {
  const std::string ok = "pref Enabled false\n";
  const std::string okTrace = "0.000 trust-check prompt -> yes\n0.000 exit 0\n";
  write("d/a-good.scenario", ok);
  write("d/a-good.expected", okTrace);
  write("d/b-wrong-line.scenario", ok);
  write("d/b-wrong-line.expected", "0.000 trust-check prompt -> yes\n0.000 exit 1\n");
  write("d/c-short.scenario", ok);
  write("d/c-short.expected", "0.000 trust-check prompt -> yes\n");
  write("d/d-no-newline.scenario", ok);
  write("d/d-no-newline.expected", "0.000 trust-check prompt -> yes\n0.000 exit 0");
  write("d/e-no-expected.scenario", ok);
  write("d/f-broken.scenario", "nonsense\n");
  write("d/f-broken.expected", "");
  write("d/notes.txt", "not a scenario");

  ToolRun r = run({"--check", dir_ + "/d"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "ok a-good\n"
            "FAIL b-wrong-line: line 2: expected \"0.000 exit 1\", got \"0.000 exit 0\"\n"
            "FAIL c-short: line 2: expected nothing, got \"0.000 exit 0\"\n"
            "FAIL d-no-newline: line 2: the final newline differs\n"
            "FAIL e-no-expected: no e-no-expected.expected\n"
            "FAIL f-broken: the scenario file has mistakes\n"
            "1 passed, 5 failed\n");
  EXPECT_NE(r.err.find("f-broken.scenario:1:"), std::string::npos) << r.err;

  fs::remove_all(dir_ + "/d");
  write("d/a-good.scenario", ok);
  write("d/a-good.expected", okTrace);
  r = run({"--check", dir_ + "/d"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ok a-good\n1 passed, 0 failed\n");
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(SimTool, WrongUseIsRefused) {
  const std::vector<std::string> uses[] = {{}, {"--check"}, {"--frob", "x"}, {"a", "b"}};
  for (const auto &args : uses) {
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_NE(r.err.find("usage"), std::string::npos) << testing::PrintToString(args);
  }
  EXPECT_EQ(run({dir_ + "/missing.scenario"}).status, 2);
  ToolRun directory = run({dir_});
  EXPECT_EQ(directory.status, 2) << "a directory is no empty scenario";
  EXPECT_NE(directory.err.find("is a directory"), std::string::npos) << directory.err;
  EXPECT_EQ(directory.out, "");
  EXPECT_EQ(run({"--check", dir_ + "/missing"}).status, 2);
}

}  // namespace
