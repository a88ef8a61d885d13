// A user preferences file (~/Library/Preferences/<domain>.plist) as the tools read and change
// it. The tools read it with the helper's own reader, so they refuse exactly the files the helper
// ignores, and change it one key at a time in its own form (XML stays XML, binary stays binary)
// with every other byte kept. Changes are made under a lock and replace the file atomically.
#pragma once

#include <platform/PreferencesDictionary.h>

#include "PlistEdit.h"

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
  std::string text;  // the value as it would be shown, e.g. true, -3, 2.5, "abc", <array of 2>
};

class PreferencesFile {
 public:
  explicit PreferencesFile(std::string path);
  ~PreferencesFile();
  PreferencesFile(const PreferencesFile &) = delete;
  PreferencesFile &operator=(const PreferencesFile &) = delete;

  const std::string &path() const { return path_; }

  // Waits for, then holds until this object goes, the lock every change of the file is made
  // under (on its directory, which is created if missing), so that two tools changing it at once
  // each keep the other's change. Take it before load() when the file is to be changed.
  bool lock(std::string *error);
  void unlock();

  // A missing file is an empty dictionary. A file the helper would not read (it then uses the
  // defaults), or one with an XML integer that is no signed 64-bit number, is refused: false,
  // with the problem in *error (naming the key where one is at fault), and nothing loaded.
  bool load(std::string *error);

  // Change what was loaded; false, with *error, when the change cannot be made without changing
  // anything else. Nothing is written before save().
  bool setBoolean(const std::string &key, bool value, std::string *error = nullptr);
  bool setInteger(const std::string &key, int64_t value, std::string *error = nullptr);
  bool remove(const std::string &key, std::string *error = nullptr);

  // Writes the contents to a temporary file beside the file (beside its target when it is a
  // symbolic link, which stays), syncs it and renames it over the file, creating missing
  // directories and keeping the file's permissions. On failure the old file is untouched.
  bool save(std::string *error);

  // The stored value of key (the last entry of that key), nothing when the key is absent.
  std::optional<StoredValue> value(const std::string &key) const;
  // The stored value of key as text for display, nothing when absent.
  std::optional<std::string> displayValue(const std::string &key) const;
  // What was loaded (an empty dictionary until load() succeeds).
  const platform::PreferencesDictionary &dictionary() const { return dictionary_; }

 private:
  bool change(const std::string &key, const std::optional<NewValue> &value, std::string *error);

  std::string path_;
  std::string bytes_;  // the contents: as loaded, then as changed
  platform::PreferencesDictionary dictionary_;
  int lock_ = -1;
};

}  // namespace corvassel::tools
