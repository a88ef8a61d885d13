// Times the question the Linux tap has handed to its client. After a short grace, motion stops
// waiting for the answer; after the callback timeout the tap switches itself off. Both count
// from the moment the question was handed over, not from when the callback began, so a client
// thread stuck anywhere else switches the tap off too.
#pragma once

#include <cstdint>

namespace platform::evdev {

// Far above a quick callback's round trip to the main thread and back, far below what a person
// notices in the pointer.
inline constexpr uint64_t kQuestionGraceNanos = 8000000;

class Watchdog {
 public:
  enum class Due { Nothing, Overtake, SwitchOff };

  Watchdog(uint64_t graceNanos, uint64_t timeoutNanos)
      : grace_(graceNanos), timeout_(timeoutNanos) {}

  void handedOver(uint64_t now) {
    since_ = now;
    waiting_ = true;
    overtaken_ = false;
  }
  void answered() { waiting_ = false; }

  // What is due at `now`; each step is reported once per question.
  Due check(uint64_t now) {
    if (!waiting_) return Due::Nothing;
    if (now - since_ >= timeout_) {
      waiting_ = false;
      return Due::SwitchOff;
    }
    if (!overtaken_ && now - since_ >= grace_) {
      overtaken_ = true;
      return Due::Overtake;
    }
    return Due::Nothing;
  }

  // When check() has something to say next, or UINT64_MAX when nothing waits.
  uint64_t nextDeadline() const {
    if (!waiting_) return UINT64_MAX;
    return since_ + (overtaken_ ? timeout_ : grace_);
  }

 private:
  uint64_t grace_;
  uint64_t timeout_;
  uint64_t since_ = 0;
  bool waiting_ = false;
  bool overtaken_ = false;
};

}  // namespace platform::evdev
