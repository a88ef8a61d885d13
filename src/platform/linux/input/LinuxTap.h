// The event tap on Linux. On a loop of its own (a thread blocked in epoll), it keeps every mouse
// grabbed (DeviceSet), each with an output device made in its likeness, reads their frames in
// the order they happened across mice, runs them through the frame filter (FrameFilter), writes
// what passes on each mouse's own output, and hands right/other button events to the tap's
// client, whose answers come back to the loop. A mouse is grabbed exactly while its output
// exists. Motion never waits for the main thread beyond a short grace, and a client that does
// not answer within the callback timeout switches the tap off (Watchdog).
#pragma once

#include <platform/Backend.h>

#include "linux/input/Context.h"
#include "linux/input/DeviceSet.h"
#include "linux/input/EvdevKernel.h"
#include "linux/input/EventBuffer.h"
#include "linux/input/FrameFilter.h"
#include "linux/input/InputLoop.h"
#include "linux/input/Watchdog.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace platform::evdev {

struct TapOptions {
  uint64_t callbackTimeoutNanos = 1000000000;  // then the tap switches itself off
  uint64_t graceNanos = kQuestionGraceNanos;   // then motion stops waiting for an answer
  DeviceSetOptions devices;
};

class Tap final : public TapDriver, private DeviceSet::Listener {
 public:
  // nullptr when no output device can be made; error then says why.
  static std::unique_ptr<Tap> create(const Context &context, Kernel &kernel,
                                     const TapRequest &request, TapClient &client,
                                     TapOptions options, std::unique_ptr<InputLoop> loop,
                                     int &error);
  // Every device let go, its output gone, the loop ended. From any thread but the loop's, the
  // client's own callback included.
  ~Tap() override;

  void attach(CFRunLoopRef) override {}
  void setEnabled(bool enabled) override;
  bool isEnabled() override;

  // From any thread. Bit n set while button n is held on any grabbed device; while the client
  // judges an event, the buttons held before that event.
  NSUInteger pressedButtons() const;
  // From any thread: press, frame, release, frame of one button on the output of the mouse
  // whose press was judged last, after the frame of the event being judged, if any.
  void click(uint16_t code);
  // For exit paths: every device let go and its output gone; the tap is inert after.
  void shutdown();

  // The user left the seat: what the outputs held is released, every mouse is ungrabbed and
  // closed and the outputs go. Nothing is opened until resume().
  void suspend();
  // The user is back: the mice are taken, each once none of its buttons is down, and each gets
  // its output as it is taken.
  void resume();

 private:
  // Answers reach the tap through this while it lives.
  struct Link {
    std::mutex mutex;
    Tap *tap = nullptr;
    void answer(uint64_t serial, bool pass);
  };
  // A frame read in this round: device, kernel time, where its events lie in readEvents_.
  struct Read {
    uint32_t device;
    uint64_t time;
    size_t begin;
    size_t count;
  };

  Tap(const Context &context, Kernel &kernel, const TapRequest &request, TapClient &client,
      TapOptions options, std::unique_ptr<InputLoop> loop);
  bool begin(int &error);

  // DeviceSet::Listener, on the loop.
  int deviceGrabbed(uint32_t id, Device &device, const std::string &node) override;
  void deviceReadable(uint32_t id, Device &device) override;
  void deviceLost(uint32_t id) override;

  // On the loop.
  void serveRound();
  // Keeps the frames read from reads_[first] on for the next round.
  void holdFrom(size_t first);
  void onAnswer(uint64_t serial, bool pass);
  void onDeadline();
  void afterFilter();
  void ask();
  void flush();
  void armDeadline();
  void disable(CGEventType notice);  // kCGEventNull: no notice for the client
  // Releases what went out, gives every mouse back and ends every output.
  void letGo();
  void logDrops(uint32_t id, Device &device);
  Output *outputOf(uint32_t id);

  const Context context_;
  Kernel &kernel_;
  TapClient &client_;
  const TapOptions options_;
  const std::unique_ptr<InputLoop> loop_;  // first: the rest lives while it runs
  DeviceSet devices_;
  FrameFilter filter_;
  Watchdog watchdog_;
  // Each grabbed mouse's output, by the mouse's id: a few, looked up on every write.
  std::vector<std::pair<uint32_t, std::unique_ptr<Output>>> outputs_;
  std::unique_ptr<Timer> deadline_;
  std::shared_ptr<Link> link_ = std::make_shared<Link>();

  // Frames read in the current round (and any it left for the next), merged by time at its end.
  EventBuffer readEvents_;
  std::vector<Read> reads_;
  std::vector<uint32_t> lost_;
  std::map<uint32_t, std::vector<Event>> partial_;           // a frame split across reads
  std::map<uint32_t, std::pair<uint64_t, uint64_t>> drops_;  // device: count seen, quiet until

  bool asked_ = false;
  uint64_t serial_ = 0;
  bool writeFailed_ = false;
  bool shutDown_ = false;
  bool suspended_ = false;
  std::atomic<bool> enabled_{false};
  std::atomic<bool> judging_{false};
  std::atomic<uint32_t> judgedHeld_{0};
  std::atomic<uint32_t> heldNow_{0};
};

}  // namespace platform::evdev
