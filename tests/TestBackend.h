// A backend for unit tests: installs itself for the test's lifetime, records what the helper
// posts and logs, and lets the test set trust and the held buttons. Time, notifications and
// exit stay the real machine's unless a test overrides them.
#pragma once

#include <platform/Backend.h>

#include <string>
#include <vector>

class TestInput : public platform::InputBackend {
 public:
  ~TestInput() override { clearPosted(); }

  bool isProcessTrusted(bool prompt) override {
    trustChecks.push_back(prompt);
    return trusted;
  }
  std::unique_ptr<platform::TapDriver> createTap(const platform::TapRequest &,
                                                 platform::TapClient &) override {
    return nullptr;
  }
  NSUInteger pressedMouseButtons() override { return pressed; }
  void post(CGEventTapLocation location, CGEventRef event) override {
    postLocations.push_back(location);
    posted.push_back(static_cast<CGEventRef>(const_cast<void *>(CFRetain(event))));
  }
  void clearPosted() {
    for (CGEventRef event : posted) CFRelease(event);
    posted.clear();
    postLocations.clear();
  }

  bool trusted = true;
  NSUInteger pressed = 0;
  std::vector<bool> trustChecks;
  std::vector<CGEventRef> posted;  // retained until clearPosted()
  std::vector<CGEventTapLocation> postLocations;
};

class TestBackend : public platform::Backend {
 public:
  TestBackend() { platform::setBackend(this); }
  ~TestBackend() override { platform::setBackend(nullptr); }
  TestBackend(const TestBackend &) = delete;
  TestBackend &operator=(const TestBackend &) = delete;

  platform::InputBackend &input() override { return testInput; }
  void log(const std::string &line) override { logged.push_back(line); }
  std::string mapPath(const std::string &path) override {
    if (!systemRoot.empty() && path.rfind("/Library/", 0) == 0) return systemRoot + path;
    return path;
  }
  void willSpawn(const std::string &path) override { spawned.push_back(path); }

  TestInput testInput;
  std::vector<std::string> logged;
  std::vector<std::string> spawned;
  std::string systemRoot;  // stands in for "/" under /Library when set
};
