// A temporary home and a stand-in for /Library with the pane bundle's script folders, for tests
// that run real scripts. Sets HOME and installs a TestBackend for its lifetime.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "TestBackend.h"

class ScriptWorld {
 public:
  enum Where { kUser, kSystem };

  const std::string root() const { return scratch_.root.string(); }

  // The path the helper launches: the user's under the temporary home, the system's as named
  // (the backend maps it).
  std::string namedPath(Where where, const std::string &name) const {
    return (where == kUser ? scratch_.home.string() : std::string()) +
           "/Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts/" + name;
  }
  // Where the file really lies.
  std::string realPath(Where where, const std::string &name) const {
    return (where == kUser ? "" : scratch_.system.string()) + namedPath(where, name);
  }

  // Writes a file at the script's place with the given mode.
  std::string write(Where where, const std::string &name, const std::string &body,
                    mode_t mode = 0755) {
    return scratch_.writeScript(name, body, where == kUser, std::filesystem::perms(mode));
  }
  std::string shell(Where where, const std::string &name, const std::string &commands) {
    return write(where, name, "#!/bin/sh\n" + commands + "\n");
  }

  TestBackend backend;

 private:
  ScratchHome scratch_{backend};
};
