// Where the Linux tap runs: on the real machine a thread of its own blocked in epoll (or, with a
// single mouse, in that mouse's read), so that reading and forwarding never wait for the main
// thread; in tests, the test's own hand.
// Handlers and posted work run one at a time on the loop's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace platform::evdev {

class InputLoop {
 public:
  virtual ~InputLoop() = default;
  // Calls onReady on the loop's thread while fd is readable. False when it cannot be watched.
  virtual bool watch(int fd, std::function<void()> onReady) = 0;
  virtual void unwatch(int fd) = 0;
  // Called on the loop's thread after each round of handlers, before it waits again.
  virtual void setRoundEnd(std::function<void()> onRoundEnd) = 0;
  // On the loop's thread: while nothing else is ready, wait in fd's own handler, whose read
  // blocks (the descriptor is blocking meanwhile), rather than in epoll and then the read. Each
  // round of that handler reads once. -1: wait in epoll. fd is then watched and unwatched on the
  // loop's thread only.
  virtual void waitIn(int fd) = 0;
  // From any thread: runs work on the loop's thread, after what was posted before.
  virtual void post(std::function<void()> work) = 0;
  // From any thread but the loop's own: runs work on the loop's thread and waits for it.
  virtual void call(const std::function<void()> &work) = 0;
  // Monotonic nanoseconds.
  virtual uint64_t now() = 0;
};

// The real one: a thread, started at once and ended (joined) when the loop is destroyed.
std::unique_ptr<InputLoop> makeThreadLoop();

}  // namespace platform::evdev
