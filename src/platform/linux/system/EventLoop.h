// The one way a thread below the seam waits: an epoll over descriptors, each with its handler,
// and an eventfd that other threads write to wake it. The main run loop's driver and the tap's
// thread are both made of one.
//
// A handler removed while its round runs (by itself, or by the handler before it) is not called
// again and is freed once the round is over, as libinput does: epoll may still name it. A loop
// whose wait breaks cannot serve anything, and one that no longer waits would spin or leave the
// mice dead: it says why and the process ends, freeing what it held.
#pragma once

#include <platform/UniqueFd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class EventLoop {
 public:
  using Handler = std::function<void(uint32_t events)>;
  // Told why the loop cannot go on, just before the process ends.
  using Fatal = std::function<void(const std::string &why)>;

  // nullptr when the epoll or the wake-up cannot be made; why then names the call and its error.
  static std::unique_ptr<EventLoop> make(Fatal fatal, std::string &why);
  EventLoop(const EventLoop &) = delete;
  EventLoop &operator=(const EventLoop &) = delete;

  // From any thread: onReady runs on the waiting thread, inside dispatch(), while fd has any of
  // events; a descriptor watched again gets the new handler. False when it cannot be watched.
  bool watch(int fd, uint32_t events, Handler onReady);
  void unwatch(int fd);

  // Called on the waiting thread, inside dispatch(), after the wake-up was drained; false stops
  // the round there.
  void setOnWake(std::function<bool()> onWake) { onWake_ = std::move(onWake); }
  // From any thread.
  void wake();

  // One round: waits up to timeoutMs (-1: until something is ready) and serves what is ready.
  // False when the wake-up's handler stopped it.
  bool dispatch(int timeoutMs);

 private:
  struct Watch {
    explicit Watch(Handler ready) : onReady(std::move(ready)) {}
    const Handler onReady;
    std::atomic<bool> live{true};  // false once unwatched: a round that still names it skips it
  };

  EventLoop(Fatal fatal, UniqueFd epoll, UniqueFd wake);
  void retireLocked(std::unique_ptr<Watch> watch);

  const Fatal fatal_;
  const UniqueFd epoll_;
  const UniqueFd wake_;
  std::function<bool()> onWake_;
  std::mutex mutex_;
  std::map<int, std::unique_ptr<Watch>> watches_;
  std::vector<std::unique_ptr<Watch>> retired_;  // freed once their round is over
};

}  // namespace platform
