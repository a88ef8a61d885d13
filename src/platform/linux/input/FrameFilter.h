// The Linux tap's engine, pure and single-threaded: frames of evdev events in, the frames to
// write on each mouse's output device out, and at most one question for the tap's client at a
// time.
//
// Motion, wheels and the left button pass at once. A right or other button event the client
// subscribed to becomes a question; until it is answered everything after it, on every mouse,
// waits in order. Once the client is slow (overtake()), motion and wheel frames flow again
// ahead of it, while every button event stays queued behind it in order. Each device's presses
// and releases stay paired: a release whose press went out always follows it, one whose press
// was swallowed never does, and what a device held is released when it goes. Everything a
// device's frames put out, and the clicks posted for a press judged on it, go to that device's
// own output.
//
//   FrameFilter filter(mask, false);
//   filter.frame(device, events, count);      // whole frames, each ending in SYN_REPORT
//   if (filter.question()) ... filter.answer(pass);
//   for each run of filter.output(): write its events on its device's output;
//   end the outputs of filter.output().finished; filter.output().clear();
#pragma once

#include <CoreGraphics/CoreGraphics.h>
#include <platform/InputNodes.h>

#include "linux/input/EvdevKernel.h"

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace platform::evdev {

// A button event the client judges. heldBefore: bit n set while button n is held on any
// device, before this event.
struct Question {
  CGEventType type;
  int button;
  uint32_t heldBefore;
  friend bool operator==(const Question &, const Question &) = default;
};

// What the filter put out since it was last cleared: events in order, cut into runs that each
// go to one device's output, and the devices that went, whose outputs may go once every run is
// written (none of them has events after it went).
struct FilterOutput {
  struct Run {
    uint32_t device;
    size_t begin;  // its events run up to the next run's begin, or to the end
  };
  std::vector<Event> events;
  std::vector<Run> runs;
  std::vector<uint32_t> finished;

  size_t end(size_t run) const {
    return run + 1 < runs.size() ? runs[run + 1].begin : events.size();
  }
  bool empty() const { return events.empty() && finished.empty(); }
  void clear() {
    events.clear();
    runs.clear();
    finished.clear();
  }
};

class FrameFilter {
 public:
  // subscribed: the event types the client wants (bit n for type n); a listen-only client's
  // answers cannot swallow.
  FrameFilter(CGEventMask subscribed, bool listenOnly);

  // One frame of `device`: its events, the last of them SYN_REPORT.
  void frame(uint32_t device, const Event *events, size_t count);
  // The device went: after its frames, whatever it held that went out is released, and its
  // output is finished.
  void deviceGone(uint32_t device);

  const std::optional<Question> &question() const { return question_; }
  void answer(bool pass);
  // The client has taken too long with the question: motion stops waiting for it.
  void overtake();
  // Press, frame, release, frame of one button, on the output of the device whose press was
  // judged last: while a question waits, after its frame; dropped when that device went.
  void click(uint16_t code);
  // Drops the question and everything waiting (devices that went included: every output is the
  // caller's to end); releases every button that went out, each on its device's output.
  void reset();

  // Bit n set while button n is held on any device, as far as decided.
  uint32_t held() const;
  // Whole frames to write, in order. The caller writes and clears them.
  FilterOutput &output() { return out_; }

 private:
  struct DeviceState {
    uint32_t id;
    uint32_t held = 0;    // buttons down on this device
    uint32_t passed = 0;  // of those, the ones whose press went out
  };
  struct Waiting {
    bool gone = false;
    uint32_t device = 0;
    std::vector<Event> events;  // the frame, SYN_REPORT last
    size_t next = 0;            // events before this one are done
  };

  // Runs what waits until a question stops it.
  void run();
  // Processes events [from, count) of a frame; false when a question stopped it at `stoppedAt`.
  bool process(DeviceState &device, const Event *events, size_t count, size_t from,
               size_t &stoppedAt);
  void decide(DeviceState &device, const Event &ev, int number, bool pass);
  void gone(uint32_t device);
  // Motion of a frame goes out now; its button events (if any) are kept, with its SYN_REPORT.
  void splitOut(uint32_t device, const Event *events, size_t count, std::vector<Event> &buttons);
  DeviceState &state(uint32_t device);
  bool subscribed(CGEventType type) const;
  // What is put out from now on goes to the device's output.
  void openRun(uint32_t device) {
    if (out_.runs.empty() || out_.runs.back().device != device) openNewRun(device);
  }
  void openNewRun(uint32_t device);
  // Takes back what was put out from `size` on.
  void truncate(size_t size);

  const CGEventMask subscribed_;
  const bool listenOnly_;
  std::vector<DeviceState> devices_;
  std::deque<Waiting> waiting_;
  std::optional<Question> question_;
  std::optional<uint32_t> lastJudged_;  // the device of the latest question, while it is here
  bool overtaking_ = false;
  std::vector<Event> current_;     // output of the frame the question stopped, so far
  std::vector<Event> afterFrame_;  // clicks posted while the question waits
  uint32_t afterFrameDevice_ = 0;  // the question's device, whose output they go to
  FilterOutput out_;
};

}  // namespace platform::evdev
