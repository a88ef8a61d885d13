// A scenario file as the simulator reads it: how the world looks at the start, and what happens
// in it when.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvassel::sim {

enum class Bundle { kUser, kSystem };

// A stored preference; nothing in value means the key is removed.
struct PrefValue {
  enum class Kind { kNone, kBoolean, kInteger };
  Kind kind = Kind::kNone;
  bool boolean = false;
  int64_t integer = 0;
};

struct PrefSetting {
  std::string key;
  PrefValue value;
};

struct ScriptFile {
  Bundle bundle = Bundle::kUser;
  std::string name;
  bool executable = true;  // false: a plain file
  std::string body;        // the shell command line
};

struct Step {
  enum class Kind { kDown, kUp, kTrust, kPref, kNotify, kTapDisabled };
  uint64_t nanos = 0;
  int line = 0;
  Kind kind = Kind::kNotify;
  int button = 0;
  bool flag = false;  // trust yes / tap disabled by user input
  PrefSetting pref;
};

struct Scenario {
  std::vector<PrefSetting> prefs;  // in file order
  bool trusted = true;
  bool tapFails = false;
  std::vector<ScriptFile> files;
  std::vector<Step> steps;  // in file order, times never decreasing
  uint64_t endNanos = 4000ull * 1000000000ull;
};

struct ParseError {
  int line = 0;
  std::string message;
};

// Parses the text of a scenario file; on a mistake returns nothing and fills *error.
std::optional<Scenario> ParseScenario(const std::string &text, ParseError *error);

// "12.5" as nanoseconds; nothing unless it is digits with at most one point and nine decimals.
std::optional<uint64_t> ParseSeconds(const std::string &word);

}  // namespace corvassel::sim
