#include "ScriptPlaces.h"

#include <sys/stat.h>
#include <unistd.h>

namespace corvassel::tools {
namespace {

constexpr const char *kBundle = "/Library/PreferencePanes/Ombrisk.prefPane";
constexpr const char *kInBundle = "/Contents/Resources/Scripts";

}  // namespace

std::string UserScriptsDirectory(const std::string &home) {
  return home + kBundle + kInBundle;
}

std::vector<ScriptPlace> ScriptPlaces(const std::string &home) {
  const std::string directories[] = {UserScriptsDirectory(home), std::string(kBundle) + kInBundle};
  std::vector<ScriptPlace> places;
  for (const char *name : kScriptNames) {
    bool chosen = false;
    for (const std::string &directory : directories) {
      ScriptPlace place;
      place.name = name;
      place.path = directory + "/" + name;
      place.user = &directory == &directories[0];
      struct stat info;
      place.exists = stat(place.path.c_str(), &info) == 0;
      if (place.exists) {
        place.directory = S_ISDIR(info.st_mode);
        place.executable = !place.directory && access(place.path.c_str(), X_OK) == 0;
        // The helper runs the first one that exists, whatever it is.
        place.used = !chosen;
        chosen = true;
      }
      places.push_back(std::move(place));
    }
  }
  return places;
}

std::string ScriptState(const ScriptPlace &place) {
  if (!place.exists) return "absent";
  std::string state = place.directory     ? "exists (a directory)"
                      : !place.executable ? "exists (not executable)"
                                          : "exists";
  return place.used ? state + ", used" : state;
}

}  // namespace corvassel::tools
