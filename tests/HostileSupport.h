// Shared by the invariant and fault tests: a backend that keeps the session bus out, a private
// home directory, a small seeded generator, and readers for what a posted gesture carries.
#pragma once

#include <CoreGraphics/CoreGraphics.h>
#include <gtest/gtest.h>
#include <platform/Backend.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "TestBackend.h"

class QuietNotifications : public platform::NotificationTransport {
 public:
  void start(std::function<void(const std::string &)>) override {}
  void post(const std::string &) override {}
};

class QuietBackend : public TestBackend {
 public:
  platform::NotificationTransport &notifications() override { return quiet; }
  QuietNotifications quiet;
};

// A fresh HOME (and an empty stand-in for /Library) for the test's lifetime; the old HOME comes
// back afterwards.
class ScratchHome {
 public:
  explicit ScratchHome(TestBackend &backend) {
    std::string pattern = (std::filesystem::temp_directory_path() / "corvassel-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    root = pattern;
    home = root / "home";
    std::filesystem::create_directories(home / "Library/Preferences");
    std::filesystem::create_directories(root / "system");
    backend.systemRoot = (root / "system").string();
    if (const char *old = getenv("HOME")) oldHome = old;
    setenv("HOME", home.c_str(), 1);
  }
  ~ScratchHome() {
    if (oldHome)
      setenv("HOME", oldHome->c_str(), 1);
    else
      unsetenv("HOME");
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  ScratchHome(const ScratchHome &) = delete;
  ScratchHome &operator=(const ScratchHome &) = delete;

  std::filesystem::path preferencesFile() const {
    return home / "Library/Preferences/Quendrith.tavrel.prefpane.plist";
  }
  std::filesystem::path scriptsDirectory() const {
    return home / "Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts";
  }
  // Writes an executable script under the user's pane bundle.
  void installScript(const std::string &name, const std::string &body) const {
    std::filesystem::create_directories(scriptsDirectory());
    std::filesystem::path path = scriptsDirectory() / name;
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
  }

  std::filesystem::path root;
  std::filesystem::path home;

 private:
  std::optional<std::string> oldHome;
};

// Portable draws from a seeded std::mt19937 (the standard's distributions differ between
// libraries; these do not).
class Draw {
 public:
  explicit Draw(uint32_t seed) : engine_(seed) {}
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(engine_() % n); }
  int64_t between(int64_t low, int64_t high) {
    return low + static_cast<int64_t>(below(static_cast<uint32_t>(high - low + 1)));
  }
  bool chance(uint32_t percent) { return below(100) < percent; }

 private:
  std::mt19937 engine_;
};

// A button event as the tap delivers it; the caller releases it.
inline CGEventRef MakeButtonEvent(CGEventType type, int64_t button) {
  CGEventRef event = CGEventCreate(nullptr);
  if (!event) return nullptr;
  CGEventSetType(event, type);
  CGEventSetIntegerValueField(event, kCGMouseEventButtonNumber, button);
  return event;
}

// The value of a signed 32-bit scalar field of a gesture event, read from its bytes (the
// scalar fields close the event); nothing when the event has no such field.
inline std::optional<int32_t> GestureScalar(CGEventRef event, uint8_t field) {
  CFDataRef data = CGEventCreateData(nullptr, event);
  if (!data) return std::nullopt;
  const UInt8 *bytes = CFDataGetBytePtr(data);
  CFIndex length = CFDataGetLength(data);
  std::optional<int32_t> value;
  for (CFIndex at = length - 8; at >= 0 && at >= length - 64; at -= 8) {
    if (bytes[at] == 0 && bytes[at + 1] == 1 && bytes[at + 2] == 0x40 && bytes[at + 3] == field) {
      uint32_t v = (uint32_t{bytes[at + 4]} << 24) | (uint32_t{bytes[at + 5]} << 16) |
                   (uint32_t{bytes[at + 6]} << 8) | bytes[at + 7];
      value = static_cast<int32_t>(v);
      break;
    }
  }
  CFRelease(data);
  return value;
}

constexpr uint8_t kPhaseField = 0x84;
constexpr uint8_t kSwipeDirectionField = 0x73;

// Skips a test that needs real event objects while the platform still lacks them.
#define REQUIRE_EVENT_OBJECTS()                                             \
  do {                                                                      \
    CGEventRef probe = CGEventCreate(nullptr);                              \
    if (!probe) GTEST_SKIP() << "pending: event objects are not built yet"; \
    CFRelease(probe);                                                       \
  } while (0)
