// Every command of ours that the README and the documents in doc/ show in a shell block works as
// written: corvassel-prefs, run with a private home, is never refused as wrong use; each script
// named exists and runs; each preset named is one CMakePresets.json has. learn and buttons wait
// for a mouse to be pressed and are left out.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>

#include "PrefsTestSupport.h"
#include "ToolRunSupport.h"

namespace {

class Readme : public TempHome {};

// The lines of the document's ```sh blocks, without leading blanks or trailing comments.
std::vector<std::string> ShellLines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  bool inShell = false;
  for (std::string line; std::getline(in, line);) {
    const size_t indent = line.find_first_not_of(' ');
    if (indent == std::string::npos) continue;
    line.erase(0, indent);
    if (line.rfind("```", 0) == 0) {
      inShell = !inShell && line == "```sh";
      continue;
    }
    if (inShell) lines.push_back(line.substr(0, line.find(" #")));
  }
  return lines;
}

std::vector<std::string> Words(const std::string &line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST_F(Readme, EveryCommandOfOursInItsShellBlocksWorksAsWritten) {
  const std::string source = CORVASSEL_SOURCE_DIR;
  std::vector<std::string> documents = {source + "/README.md"};
  for (const auto &entry : std::filesystem::directory_iterator(source + "/doc"))
    if (entry.path().extension() == ".md") documents.push_back(entry.path().string());
  ASSERT_GE(documents.size(), 5u) << "the documents in doc/ were not found";
  const std::string presets = ReadBytes(source + "/CMakePresets.json");
  // A user manager that knows no unit, so that nothing real is started.
  const std::string bin = home() + "/bin";
  WriteBytes(bin + "/systemctl", "#!/bin/sh\necho LoadState=not-found\n");
  chmod((bin + "/systemctl").c_str(), 0755);
  const std::vector<std::string> env = {"PATH=" + bin + ":/usr/bin:/bin"};
  int prefs = 0;
  for (const std::string &document : documents) {
    for (const std::string &line : ShellLines(ReadBytes(document))) {
      SCOPED_TRACE(document + ": " + line);
      std::vector<std::string> words = Words(line);
      for (size_t i = 0; i + 1 < words.size(); ++i) {
        if (words[i] == "--preset") {
          EXPECT_NE(presets.find("\"name\": \"" + words[i + 1] + "\""), std::string::npos);
        }
      }
      for (const std::string &word : words) {
        if (word.rfind("scripts/", 0) == 0) {
          EXPECT_EQ(access((source + "/" + word).c_str(), X_OK), 0) << word;
        }
      }
      if (words.empty() || words[0] != "corvassel-prefs") continue;
      words.erase(words.begin());
      if (!words.empty() && (words[0] == "learn" || words[0] == "buttons")) continue;  // they wait
      ToolRun r = RunTool(CORVASSEL_PREFS_TOOL, words, home(), env);
      const bool doctor = !words.empty() && words[0] == "doctor";
      EXPECT_TRUE(r.status == 0 || (doctor && r.status == 1)) << r.status << r.err;
      EXPECT_EQ(r.err.find("usage"), std::string::npos) << r.err;
      ++prefs;
    }
  }
  EXPECT_GE(prefs, 6) << "the documents' commands were not found";
}

// Each document in doc/ is reached from the README, and each link in them leads to a file.
TEST(Documents, TheReadmeLinksEveryDocumentAndEveryLinkLeadsToAFile) {
  namespace fs = std::filesystem;
  const fs::path source = CORVASSEL_SOURCE_DIR;
  const std::string readme = ReadBytes(source / "README.md");
  EXPECT_LT(std::count(readme.begin(), readme.end(), '\n'), 200) << "it is read at once";
  std::vector<fs::path> documents = {source / "README.md"};
  for (const auto &entry : fs::directory_iterator(source / "doc")) {
    if (entry.path().extension() != ".md") continue;
    documents.push_back(entry.path());
    EXPECT_NE(readme.find("](doc/" + entry.path().filename().string()), std::string::npos)
        << entry.path();
  }
  for (const fs::path &document : documents) {
    const std::string text = ReadBytes(document);
    for (size_t at = text.find("]("); at != std::string::npos; at = text.find("](", at + 1)) {
      const std::string target = text.substr(at + 2, text.find_first_of(")#", at + 2) - at - 2);
      if (target.empty() || target.find("://") != std::string::npos) continue;  // within, or away
      EXPECT_TRUE(fs::exists(document.parent_path() / target)) << document << " links " << target;
    }
  }
}

}  // namespace
