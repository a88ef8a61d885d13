// Stand-ins the benchmarks share: a trusted input that drops what is posted, and no
// notifications.
#pragma once

#include <benchmark/benchmark.h>
#include <platform/Backend.h>

#include <memory>
#include <string>

class DroppingInput : public platform::InputBackend {
 public:
  bool isProcessTrusted(bool) override { return true; }
  std::unique_ptr<platform::TapDriver> createTap(const platform::TapRequest &,
                                                 platform::TapClient &) override {
    return nullptr;
  }
  NSUInteger pressedMouseButtons() override { return 0; }
  void post(CGEventTapLocation, CGEventRef event) override { benchmark::DoNotOptimize(event); }
};

class QuietNotifications : public platform::NotificationTransport {
 public:
  void start(std::function<void(const std::string &)>) override {}
  void post(const std::string &) override {}
};
