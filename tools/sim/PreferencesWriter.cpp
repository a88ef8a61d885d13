#include "PreferencesWriter.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace corvassel::sim {

namespace {

std::string Escaped(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

}  // namespace

bool WritePreferences(const std::string &home, const std::string &domain,
                      const std::map<std::string, PrefValue> &values, std::string *error) {
  std::string folder = home + "/Library/Preferences";
  std::string path = folder + "/" + domain + ".plist";
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
      "<plist version=\"1.0\">\n<dict>\n";
  for (const auto &[key, value] : values) {
    if (value.kind == PrefValue::Kind::kNone) continue;
    text += "\t<key>" + Escaped(key) + "</key>\n";
    if (value.kind == PrefValue::Kind::kBoolean)
      text += value.boolean ? "\t<true/>\n" : "\t<false/>\n";
    else
      text += "\t<integer>" + std::to_string(value.integer) + "</integer>\n";
  }
  text += "</dict>\n</plist>\n";
  // A reader never sees half a file: write beside it, then rename over it.
  std::string temporary = path + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      *error = "cannot write " + temporary;
      return false;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot replace " + path;
    return false;
  }
  return true;
}

}  // namespace corvassel::sim
