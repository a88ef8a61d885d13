// A user preferences file (~/Library/Preferences/<domain>.plist) as the tools read and rewrite
// it: every key is kept as stored, whatever its kind, and a save replaces the file atomically.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace corvassel::tools {

std::string PreferencesPath(const std::string &home, const std::string &domain);

// The user's home directory: HOME, else the password database; empty when neither is known.
std::string HomeDirectory();

// One stored value, as far as the settings care.
struct StoredValue {
  enum class Kind { kBoolean, kInteger, kReal, kOther };
  Kind kind = Kind::kOther;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string text;  // the value as it would be shown, e.g. true, -3, 2.5, "abc", <array>
};

class PreferencesFile {
 public:
  explicit PreferencesFile(std::string path);
  ~PreferencesFile();
  PreferencesFile(const PreferencesFile &) = delete;
  PreferencesFile &operator=(const PreferencesFile &) = delete;

  const std::string &path() const { return path_; }

  // A missing file is an empty dictionary. A file that is not a readable property list with a
  // dictionary at its root, or that holds values that could not be written back unchanged, is
  // refused: false, with the problem in *error, and nothing loaded.
  bool load(std::string *error);

  void setBoolean(const std::string &key, bool value);
  void setInteger(const std::string &key, int64_t value);
  void remove(const std::string &key);

  // Writes the dictionary as XML to a temporary file beside the target, syncs it and renames it
  // over the target, creating missing parent directories. On failure the old file is untouched.
  bool save(std::string *error);

  // The stored value of key, nothing when the key is absent.
  std::optional<StoredValue> value(const std::string &key) const;
  // The stored value of key as text for display, nothing when absent.
  std::optional<std::string> displayValue(const std::string &key) const;

 private:
  std::string path_;
  void *root_;  // libplist dictionary, owned
};

}  // namespace corvassel::tools
