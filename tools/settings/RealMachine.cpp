// The machine the window runs on: the doctor's checks, the user unit, and the mice read as
// `corvassel-prefs learn` reads them, on a thread of their own so that the window never waits.
#include <glib.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "Machine.h"
#include "Presses.h"
#include "Sources.h"

namespace corvassel::settings {

namespace {

class MicePresses final : public PressSource {
 public:
  ~MicePresses() override { stop(); }

  bool start(std::function<void(const ButtonPress &)> onPress, std::string *error) override {
    auto watch = std::make_unique<tools::PressWatch>([](const std::string &, bool) {});
    if (!watch->start(error)) return false;
    stop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop_ < 0) {
      *error = std::string("cannot wait for the mice: ") + g_strerror(errno);
      return false;
    }
    // Presses are handed over on the main thread, and only while this source is waited on.
    alive_ = std::make_shared<bool>(true);
    thread_ = std::thread(
        [watch = std::move(watch), stop = stop_, alive = alive_, onPress = std::move(onPress)] {
          while (std::optional<tools::Press> press = watch->next(stop)) {
            struct Handed {
              std::shared_ptr<bool> alive;
              std::function<void(const ButtonPress &)> onPress;
              ButtonPress press;
            };
            auto *handed = new Handed{
                alive,
                onPress,
                {press->number, press->device.output(), tools::DeviceLabel(press->device)}};
            g_idle_add_full(
                G_PRIORITY_DEFAULT,
                +[](gpointer data) {
                  auto *handed = static_cast<Handed *>(data);
                  if (*handed->alive) handed->onPress(handed->press);
                  return G_SOURCE_REMOVE;
                },
                handed, +[](gpointer data) { delete static_cast<Handed *>(data); });
          }
        });
    return true;
  }

  void stop() override {
    if (alive_) *alive_ = false;
    if (stop_ < 0) return;
    const uint64_t one = 1;
    if (write(stop_, &one, sizeof one) < 0) {
      // A counter that cannot take one more is already readable.
    }
    if (thread_.joinable()) thread_.join();
    close(stop_);
    stop_ = -1;
  }

 private:
  int stop_ = -1;
  std::shared_ptr<bool> alive_;
  std::thread thread_;
};

class Real final : public Machine {
 public:
  std::vector<tools::Check> checks(const std::string &home) override {
    tools::PreferencesFile file(tools::PreferencesPath(home, tools::kDomain));
    return tools::Diagnose(file, home).checks;
  }

  std::string startHelper(const std::string &home) override {
    const tools::StartResult result = tools::StartHelperIfStopped(home);
    // A start that went as planned shows in the status line; only the rest is worth a word.
    if (!result.failed && result.lines.size() == 1 && result.lines[0].starts_with("Started "))
      return "";
    std::string said;
    for (const std::string &line : result.lines) said += (said.empty() ? "" : " ") + line;
    return said;
  }

  std::unique_ptr<PressSource> presses() override { return std::make_unique<MicePresses>(); }
};

}  // namespace

std::unique_ptr<Machine> RealMachine() {
  return std::make_unique<Real>();
}

}  // namespace corvassel::settings
