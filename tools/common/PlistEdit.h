// One change to a preferences file, made in the file's own form and leaving every other byte of
// it as it was: XML is edited as text, a binary list is rewritten object by object with every
// object the change does not touch copied unchanged. The result is read back before it is
// handed out, so a change never yields a file that reads differently elsewhere.
#pragma once

#include <platform/PreferencesDictionary.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvassel::tools {

struct NewValue {
  bool boolean = false;  // a boolean when set, else an integer
  bool isBoolean = false;
  int64_t integer = 0;
  static NewValue Boolean(bool value) { return {value, true, 0}; }
  static NewValue Integer(int64_t value) { return {false, false, value}; }
};

// A new file holding the one empty dictionary, in XML.
extern const char *const kEmptyPreferencesXml;

// The file with key set to value, or with every entry of key removed when value is empty.
// dictionary is what ReadPreferencesDictionary made of bytes. Nothing, with *error, when the
// change cannot be made without changing anything else.
std::optional<std::string> EditPreferences(std::string_view bytes,
                                           const platform::PreferencesDictionary &dictionary,
                                           const std::string &key,
                                           const std::optional<NewValue> &value,
                                           std::string *error);

}  // namespace corvassel::tools
