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

const std::set<std::string> kKeys = {"Enabled", "BackButton", "ForwardButton", "PassthroughButton"};

struct Line {
  std::string words;  // after the command's name, before the word being completed (empty)
  size_t count;
  std::set<std::string> offered;
};
const Line kLines[] = {
    {"set", 1, kKeys},
    {"unset", 1, kKeys},
    {"learn", 1, {"BackButton", "ForwardButton", "PassthroughButton"}},
    {"set Enabled", 2, {"true", "false"}},
    {"set BackButton", 2, {}},
    {"", 0, {"set", "unset", "learn", "buttons", "doctor", "scripts", "help"}},
};

TEST(Completion, BashFindsIt) {
  EXPECT_EQ(Output("bash -c 'source " + kCompletions +
                   "corvassel-prefs.bash; complete -p "
                   "corvassel-prefs'"),
            "complete -F _corvassel_prefs corvassel-prefs\n");
}

// Each shell is asked as it asks when Tab is pressed: @WORDS@ are the line's words, @INDEX@ the
// position of the empty one being completed. zsh's compadd works only inside its completion
// system, so a function of that name takes what it is given.
struct Shell {
  const char *name, *ask;
};
class Completion : public testing::TestWithParam<Shell> {};

TEST_P(Completion, OffersTheKeysAfterSet) {
  const Shell &shell = GetParam();
  if (system((std::string("command -v ") + shell.name + " >/dev/null").c_str()) != 0)
    GTEST_SKIP() << shell.name << " is not installed";
  for (const Line &line : kLines) {
    SCOPED_TRACE(line.words);
    std::string command = shell.ask;
    for (const auto &[name, value] : {std::pair<std::string, std::string>{"@FILES@", kCompletions},
                                      {"@WORDS@", line.words},
                                      {"@INDEX@", std::to_string(line.count + 1)}})
      for (size_t at; (at = command.find(name)) != std::string::npos;)
        command.replace(at, name.size(), value);
    EXPECT_EQ(Words(Output(command)), line.offered) << command;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shells, Completion,
    testing::Values(
        Shell{"bash",
              "bash -c 'source @FILES@corvassel-prefs.bash; COMP_WORDS=(corvassel-prefs "
              "@WORDS@ \"\"); COMP_CWORD=@INDEX@; _corvassel_prefs; printf \"%s\\n\" "
              "\"${COMPREPLY[@]}\"'"},
        Shell{"zsh",
              "zsh -fc 'compadd() { [[ $1 == -- ]] && shift; print -rl -- \"$@\"; }; "
              "words=(corvassel-prefs @WORDS@ \"\"); CURRENT=$((@INDEX@ + 1)); source "
              "@FILES@_corvassel-prefs'"},
        Shell{"fish",
              "fish --no-config -c 'source @FILES@corvassel-prefs.fish; complete "
              "-C\"corvassel-prefs @WORDS@ \"'"}),
    [](const testing::TestParamInfo<Shell> &info) { return std::string(info.param.name); });

}  // namespace
