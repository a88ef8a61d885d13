#include "linux/input/TapList.h"

#include <algorithm>

namespace platform::evdev {

class TapList::Served final : public TapDriver {
 public:
  Served(std::shared_ptr<Alive> alive, std::unique_ptr<Tap> tap)
      : alive_(std::move(alive)), tap_(std::move(tap)) {
    std::lock_guard lock(alive_->mutex);
    alive_->taps.push_back(tap_.get());
  }
  // Off the list first: nothing reaches the tap while it lets go.
  ~Served() override {
    {
      std::lock_guard lock(alive_->mutex);
      std::erase(alive_->taps, tap_.get());
    }
    tap_.reset();
  }
  void attach(CFRunLoopRef rl) override { tap_->attach(rl); }
  void setEnabled(bool enabled) override { tap_->setEnabled(enabled); }
  bool isEnabled() override { return tap_->isEnabled(); }

 private:
  const std::shared_ptr<Alive> alive_;
  std::unique_ptr<Tap> tap_;
};

std::unique_ptr<TapDriver> TapList::serve(std::unique_ptr<Tap> tap) {
  return std::make_unique<Served>(alive_, std::move(tap));
}

void TapList::withNewest(const std::function<void(Tap &)> &fn) {
  std::lock_guard lock(alive_->mutex);
  if (!alive_->taps.empty()) fn(*alive_->taps.back());
}

void TapList::forEach(const std::function<void(Tap &)> &fn) {
  std::lock_guard lock(alive_->mutex);
  for (Tap *tap : alive_->taps) fn(*tap);
}

}  // namespace platform::evdev
