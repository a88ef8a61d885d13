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

  ScriptWorld() {
    char pattern[] = "/tmp/corvassel-scripts-XXXXXX";
    root_ = mkdtemp(pattern) ? pattern : "";
    const char *home = getenv("HOME");
    if (home) savedHome_ = home;
    std::filesystem::create_directories(root_ + "/home");
    std::filesystem::create_directories(root_ + "/system/Library");
    setenv("HOME", (root_ + "/home").c_str(), 1);
    backend.systemRoot = root_ + "/system";
  }
  ~ScriptWorld() {
    if (savedHome_)
      setenv("HOME", savedHome_->c_str(), 1);
    else
      unsetenv("HOME");
    std::error_code ignored;
    if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
  }
  ScriptWorld(const ScriptWorld &) = delete;
  ScriptWorld &operator=(const ScriptWorld &) = delete;

  const std::string &root() const { return root_; }

  // The path the helper launches: the user's under the temporary home, the system's as named
  // (the backend maps it).
  std::string namedPath(Where where, const std::string &name) const {
    return (where == kUser ? root_ + "/home" : std::string()) +
           "/Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts/" + name;
  }
  // Where the file really lies.
  std::string realPath(Where where, const std::string &name) const {
    return (where == kUser ? "" : root_ + "/system") + namedPath(where, name);
  }

  // Writes a file at the script's place with the given mode.
  std::string write(Where where, const std::string &name, const std::string &body,
                    mode_t mode = 0755) {
    std::string path = realPath(where, name);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << body;
    chmod(path.c_str(), mode);
    return path;
  }
  std::string shell(Where where, const std::string &name, const std::string &commands) {
    return write(where, name, "#!/bin/sh\n" + commands + "\n");
  }

  TestBackend backend;

 private:
  std::string root_;
  std::optional<std::string> savedHome_;
};
