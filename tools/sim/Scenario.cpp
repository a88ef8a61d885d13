#include "Scenario.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace corvassel::sim {

namespace {

constexpr uint64_t kNanosPerSecond = 1000000000ull;
// Far beyond any run, small enough that nanoseconds and their sums never overflow.
constexpr uint64_t kLatestSecond = 1000000000ull;

struct Word {
  std::string text;
  size_t offset;
};

std::vector<Word> SplitWords(const std::string &line) {
  std::vector<Word> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back({line.substr(start, i - start), start});
  }
  return words;
}

std::optional<int64_t> ParseInteger(const std::string &word) {
  if (word.empty()) return std::nullopt;
  size_t digits = (word[0] == '-' || word[0] == '+') ? 1 : 0;
  if (digits == word.size()) return std::nullopt;
  for (size_t i = digits; i < word.size(); ++i)
    if (word[i] < '0' || word[i] > '9') return std::nullopt;
  errno = 0;
  char *end = nullptr;
  long long value = std::strtoll(word.c_str(), &end, 10);
  if (errno == ERANGE || *end != '\0') return std::nullopt;
  return static_cast<int64_t>(value);
}

std::optional<PrefValue> ParsePrefValue(const std::string &word) {
  PrefValue value;
  if (word == "none") return value;
  if (word == "true" || word == "false") {
    value.kind = PrefValue::Kind::kBoolean;
    value.boolean = word == "true";
    return value;
  }
  std::optional<int64_t> integer = ParseInteger(word);
  if (!integer) return std::nullopt;
  value.kind = PrefValue::Kind::kInteger;
  value.integer = *integer;
  return value;
}

// A script or file name must stay inside its bundle's Scripts folder.
bool IsPlainName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

class Parser {
 public:
  std::optional<Scenario> parse(const std::string &text, ParseError *error) {
    size_t start = 0;
    int number = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      ++number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
      if (!parseLine(line, number)) {
        if (error) *error = {number, message_};
        return std::nullopt;
      }
      if (end == text.size()) break;
      start = end + 1;
    }
    return scenario_;
  }

 private:
  bool fail(std::string message) {
    message_ = std::move(message);
    return false;
  }

  bool expectCount(const std::vector<Word> &w, size_t count, const char *usage) {
    if (w.size() != count) return fail(std::string("expected \"") + usage + "\"");
    return true;
  }

  bool parseLine(const std::string &line, int number) {
    std::vector<Word> w = SplitWords(line);
    if (w.empty()) return true;
    const std::string &first = w[0].text;
    if (first == "pref") {
      if (!expectCount(w, 3, "pref KEY VALUE")) return false;
      std::optional<PrefValue> value = ParsePrefValue(w[2].text);
      if (!value) return fail("not a preference value: \"" + w[2].text + "\"");
      scenario_.prefs.push_back({w[1].text, *value});
      return true;
    }
    if (first == "trusted") {
      if (!expectCount(w, 2, "trusted yes|no")) return false;
      if (w[1].text != "yes" && w[1].text != "no") return fail("expected \"trusted yes|no\"");
      scenario_.trusted = w[1].text == "yes";
      return true;
    }
    if (first == "tap") {
      if (w.size() != 2 || w[1].text != "fails") return fail("expected \"tap fails\"");
      scenario_.tapFails = true;
      return true;
    }
    if (first == "script" || first == "file") {
      bool script = first == "script";
      if (w.size() < 3 || (!script && w.size() != 3))
        return fail(script ? "expected \"script user|system NAME COMMAND...\""
                           : "expected \"file user|system NAME\"");
      ScriptFile file;
      if (w[1].text == "user")
        file.bundle = Bundle::kUser;
      else if (w[1].text == "system")
        file.bundle = Bundle::kSystem;
      else
        return fail("expected user or system, not \"" + w[1].text + "\"");
      if (!IsPlainName(w[2].text)) return fail("not a file name: \"" + w[2].text + "\"");
      file.name = w[2].text;
      file.executable = script;
      if (script) {
        if (w.size() < 4) return fail("the script needs a command");
        file.body = line.substr(w[3].offset);
        while (!file.body.empty() && (file.body.back() == ' ' || file.body.back() == '\t'))
          file.body.pop_back();
      }
      scenario_.files.push_back(std::move(file));
      return true;
    }
    std::optional<uint64_t> time = ParseSeconds(first);
    if (!time) return fail("unknown word \"" + first + "\"");
    return parseTimed(w, *time, number);
  }

  bool parseTimed(const std::vector<Word> &w, uint64_t nanos, int number) {
    if (ended_) return fail("nothing may happen after end");
    if (nanos < lastTime_) return fail("time goes backwards");
    if (w.size() < 2) return fail("what happens at this time?");
    lastTime_ = nanos;
    const std::string &what = w[1].text;
    Step step;
    step.nanos = nanos;
    step.line = number;
    if (what == "end") {
      if (!expectCount(w, 2, "TIME end")) return false;
      scenario_.endNanos = nanos;
      ended_ = true;
      return true;
    }
    if (what == "down" || what == "up") {
      if (!expectCount(w, 3, "TIME down|up N")) return false;
      std::optional<int64_t> button = ParseInteger(w[2].text);
      if (!button || *button < 0 || *button > 63)
        return fail("not a button number from 0 to 63: \"" + w[2].text + "\"");
      step.kind = what == "down" ? Step::Kind::kDown : Step::Kind::kUp;
      step.button = static_cast<int>(*button);
    } else if (what == "trust") {
      if (!expectCount(w, 3, "TIME trust yes|no")) return false;
      if (w[2].text != "yes" && w[2].text != "no") return fail("expected \"TIME trust yes|no\"");
      step.kind = Step::Kind::kTrust;
      step.flag = w[2].text == "yes";
    } else if (what == "pref") {
      if (!expectCount(w, 4, "TIME pref KEY VALUE")) return false;
      std::optional<PrefValue> value = ParsePrefValue(w[3].text);
      if (!value) return fail("not a preference value: \"" + w[3].text + "\"");
      step.kind = Step::Kind::kPref;
      step.pref = {w[2].text, *value};
    } else if (what == "notify") {
      if (!expectCount(w, 2, "TIME notify")) return false;
      step.kind = Step::Kind::kNotify;
    } else if (what == "tap-disabled") {
      if (!expectCount(w, 3, "TIME tap-disabled timeout|user")) return false;
      if (w[2].text != "timeout" && w[2].text != "user")
        return fail("expected \"TIME tap-disabled timeout|user\"");
      step.kind = Step::Kind::kTapDisabled;
      step.flag = w[2].text == "user";
    } else {
      return fail("unknown word \"" + what + "\"");
    }
    scenario_.steps.push_back(step);
    return true;
  }

  Scenario scenario_;
  std::string message_;
  uint64_t lastTime_ = 0;
  bool ended_ = false;
};

}  // namespace

std::optional<uint64_t> ParseSeconds(const std::string &word) {
  size_t point = word.find('.');
  std::string whole = word.substr(0, point);
  std::string fraction = point == std::string::npos ? "" : word.substr(point + 1);
  if (whole.empty() || (point != std::string::npos && fraction.empty())) return std::nullopt;
  if (whole.size() > 10 || fraction.size() > 9) return std::nullopt;
  for (char c : whole + fraction)
    if (c < '0' || c > '9') return std::nullopt;
  uint64_t seconds = std::strtoull(whole.c_str(), nullptr, 10);
  if (seconds > kLatestSecond) return std::nullopt;
  fraction.resize(9, '0');
  return seconds * kNanosPerSecond + std::strtoull(fraction.c_str(), nullptr, 10);
}

std::optional<Scenario> ParseScenario(const std::string &text, ParseError *error) {
  return Parser().parse(text, error);
}

}  // namespace corvassel::sim
