// Where the Linux tap runs: on the real machine a thread of its own that waits in one epoll for
// the mice, the hotplug watch, the timers and work posted from other threads, then serves what
// is ready; in tests, the test's own hand. Handlers and posted work run one at a time on the
// loop's thread.
#pragma once

#include "linux/input/Context.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace platform::evdev {

class InputLoop {
 public:
  virtual ~InputLoop() = default;
  // On the loop's thread: calls onReady on the loop's thread while fd is readable. False when
  // it cannot be watched. A handler unwatched while its round runs (by itself, say, as a mouse
  // found gone is) is not called again and is destroyed once the round is over.
  virtual bool watch(int fd, std::function<void()> onReady) = 0;
  virtual void unwatch(int fd) = 0;
  // Called on the loop's thread after each round of handlers, before it waits again.
  virtual void setRoundEnd(std::function<void()> onRoundEnd) = 0;
  // From any thread: runs work on the loop's thread, after what was posted before.
  virtual void post(std::function<void()> work) = 0;
  // From any thread but the loop's own: runs work on the loop's thread and waits for it.
  virtual void call(const std::function<void()> &work) = 0;
  // Monotonic nanoseconds.
  virtual uint64_t now() = 0;
};

// The real one: a thread, started at once and ended (joined) when the loop is destroyed. When
// the loop cannot be set up (no descriptor for its epoll or its wake-up, say) it says why in
// one line of the log and gives nullptr: a tap without a loop would leave its mice dead.
std::unique_ptr<InputLoop> makeThreadLoop(const Context &context);

}  // namespace platform::evdev
