// The shell completions of corvassel-prefs, loaded by each shell as it loads them from where
// they are installed, offer the commands, the settings' keys and Enabled's values.
#include <gtest/gtest.h>
#include <stdio.h>

#include <set>
#include <sstream>
#include <string>

namespace {

const std::string kCompletions = std::string(CORVASSEL_SOURCE_DIR) + "/packaging/completions/";

// What a shell command prints on standard output.
std::string Output(const std::string &command) {
  std::string out;
  if (FILE *pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

// The words, one a line, without fish's descriptions after a tab.
std::set<std::string> Words(const std::string &lines) {
  std::set<std::string> words;
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) words.insert(line.substr(0, line.find('\t')));
  return words;
}

bool Installed(const char *shell) {
  return system((std::string("command -v ") + shell + " >/dev/null 2>&1").c_str()) == 0;
}

const std::set<std::string> kKeys = {"Enabled", "BackButton", "ForwardButton", "PassthroughButton"};

struct Line {
  std::vector<std::string> words;  // before the word being completed, which is empty
  std::set<std::string> offered;
};
const Line kLines[] = {
    {{"set"}, kKeys},
    {{"unset"}, kKeys},
    {{"learn"}, {"BackButton", "ForwardButton", "PassthroughButton"}},
    {{"set", "Enabled"}, {"true", "false"}},
    {{"set", "BackButton"}, {}},
    {{}, {"set", "unset", "learn", "buttons", "doctor", "scripts", "help"}},
};

TEST(Completion, BashFindsItAndOffersTheKeysAfterSet) {
  const std::string file = kCompletions + "corvassel-prefs.bash";
  EXPECT_EQ(Output("bash -c 'source " + file + "; complete -p corvassel-prefs'"),
            "complete -F _corvassel_prefs corvassel-prefs\n");
  for (const Line &line : kLines) {
    std::string words = "corvassel-prefs";
    for (const std::string &word : line.words) words += " " + word;
    SCOPED_TRACE(words);
    const std::string script = "source " + file + "; COMP_WORDS=(" + words +
                               " \"\"); COMP_CWORD=" + std::to_string(line.words.size() + 1) +
                               "; _corvassel_prefs; printf \"%s\\n\" \"${COMPREPLY[@]}\"";
    EXPECT_EQ(Words(Output("bash -c '" + script + "'")), line.offered);
  }
}

TEST(Completion, ZshOffersTheKeysAfterSet) {
  if (!Installed("zsh")) GTEST_SKIP() << "zsh is not installed";
  // compadd works only inside zsh's completion system: a function of the same name takes what
  // it would be given.
  for (const Line &line : kLines) {
    std::string words = "corvassel-prefs";
    for (const std::string &word : line.words) words += " " + word;
    SCOPED_TRACE(words);
    const std::string script =
        "compadd() { [[ $1 == -- ]] && shift; print -rl -- \"$@\"; }; words=(" + words +
        " ''); CURRENT=" + std::to_string(line.words.size() + 2) + "; source " + kCompletions +
        "_corvassel-prefs";
    EXPECT_EQ(Words(Output("zsh -fc '" + script + "'")), line.offered);
  }
}

TEST(Completion, FishOffersTheKeysAfterSet) {
  if (!Installed("fish")) GTEST_SKIP() << "fish is not installed";
  for (const Line &line : kLines) {
    std::string words = "corvassel-prefs ";
    for (const std::string &word : line.words) words += word + " ";
    SCOPED_TRACE(words);
    const std::string script =
        "source " + kCompletions + "corvassel-prefs.fish; complete -C\"" + words + "\"";
    EXPECT_EQ(Words(Output("fish --no-config -c '" + script + "'")), line.offered);
  }
}

}  // namespace
