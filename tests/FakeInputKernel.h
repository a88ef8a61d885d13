// Scripted event devices for the Linux input tap: a test lays out nodes, queues the events they
// produce (what libevdev would hand out, catch-up events after a drop included), plugs and
// unplugs them, drives the tap's loop by hand and reads what reached each mouse's output
// device. The benchmarks drive the tap on the same doubles.
#pragma once

#include "linux/input/EvdevKernel.h"
#include "linux/input/InputLoop.h"
#include "linux/input/PointerNodes.h"

#include <corvassel/AppKit.h>
#include <platform/Backend.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace fake {

using platform::evdev::Capabilities;
using platform::evdev::DeviceIdentity;
using platform::evdev::Event;
using platform::evdev::OutputSpec;

inline Capabilities mouseCaps() {
  Capabilities caps;
  for (uint16_t rel : {REL_X, REL_Y, REL_WHEEL}) caps.codes.insert({EV_REL, rel});
  for (uint16_t btn = BTN_LEFT; btn <= BTN_EXTRA; ++btn) caps.codes.insert({EV_KEY, btn});
  caps.codes.insert({EV_MSC, MSC_SCAN});
  return caps;
}

inline Capabilities keyboardCaps() {
  Capabilities caps;
  for (uint16_t key = KEY_ESC; key <= KEY_Z; ++key) caps.codes.insert({EV_KEY, key});
  return caps;
}

struct Node {
  DeviceIdentity identity{"Fake Mouse", BUS_USB, 0x1234, 0x5678, 0x0111};
  std::string phys;
  Capabilities caps = mouseCaps();
  std::vector<std::pair<Event, uint64_t>> queue;  // with kernel times
  size_t consumed = 0;                            // handed out so far (a bench may rewind it)
  bool unplugged = false;
  int refusals = 0;         // opens refused with EACCES before one succeeds
  int grabRefusals = 0;     // grabs refused with EBUSY (another program holds it) before one works
  std::set<uint16_t> down;  // keys down, as far as the events handed out tell
  bool grabbed = false;
  int opened = 0;  // descriptors open on it now
  uint64_t drops = 0;
  int fd = -1;
};

class Device : public platform::evdev::Device {
 public:
  explicit Device(std::shared_ptr<Node> node) : node_(std::move(node)) { ++node_->opened; }
  ~Device() override {
    node_->grabbed = false;  // closing ends a grab
    --node_->opened;
  }
  int fd() const override { return node_->fd; }
  const DeviceIdentity &identity() const override { return node_->identity; }
  const std::string &phys() const override { return node_->phys; }
  const Capabilities &capabilities() const override { return node_->caps; }
  int grab(bool exclusive) override {
    if (exclusive && node_->grabRefusals > 0) {
      --node_->grabRefusals;
      return EBUSY;
    }
    node_->grabbed = exclusive;
    return 0;
  }
  bool keysDown() const override { return !node_->down.empty(); }
  platform::evdev::ReadStatus next(Event &ev, uint64_t &time) override {
    platform::evdev::ReadStatus status;
    return read(&ev, &time, 1, status) == 1 ? platform::evdev::ReadStatus::Event : status;
  }
  // A run at a time, as the real device is read.
  size_t read(Event *out, uint64_t *times, size_t max,
              platform::evdev::ReadStatus &status) override {
    const auto &queue = node_->queue;
    const size_t from = node_->consumed;
    const size_t n = std::min(max, queue.size() - from);
    for (size_t i = 0; i < n; ++i) {
      const auto &[ev, time] = queue[from + i];
      out[i] = ev;
      times[i] = time;
      if (ev.type != EV_KEY) continue;
      if (ev.value == 0)
        node_->down.erase(ev.code);
      else
        node_->down.insert(ev.code);
    }
    node_->consumed = from + n;
    status = n == max           ? platform::evdev::ReadStatus::Event
             : node_->unplugged ? platform::evdev::ReadStatus::Gone
                                : platform::evdev::ReadStatus::Again;
    return n;
  }
  uint64_t drops() const override { return node_->drops; }

 private:
  std::shared_ptr<Node> node_;
};

// What was made for one source node's outputs, and what reached them, over every output made
// for it.
struct OutputRecord {
  OutputSpec wanted;  // of the latest
  std::vector<Event> written;
  bool live = false;
  int made = 0;
};

class Output : public platform::evdev::Output {
 public:
  explicit Output(std::function<int(const Event *, size_t)> sink) : sink_(std::move(sink)) {}
  ~Output() override {
    if (gone) gone();
  }
  std::function<void()> gone;
  int write(const Event *events, size_t count) override { return sink_(events, count); }
  std::string devnode() const override { return devnode_; }
  std::string devnode_;

 private:
  std::function<int(const Event *, size_t)> sink_;
};

class DirectoryWatch : public platform::evdev::DirectoryWatch {
 public:
  explicit DirectoryWatch(std::vector<std::pair<std::string, Change>> &changes)
      : changes_(changes) {}
  int fd() const override { return 9001; }
  std::vector<std::pair<std::string, Change>> read() override {
    auto out = std::move(changes_);
    changes_.clear();
    return out;
  }

 private:
  std::vector<std::pair<std::string, Change>> &changes_;
};

struct TimerState {
  int fd = 0;
  bool armed = false;
  uint64_t nanos = 0;
};

class Timer : public platform::evdev::Timer {
 public:
  explicit Timer(TimerState &state) : state_(state) {}
  int fd() const override { return state_.fd; }
  void arm(uint64_t nanos) override {
    state_.armed = true;
    state_.nanos = nanos;
  }
  void disarm() override { state_.armed = false; }
  void acknowledge() override { state_.armed = false; }

 private:
  TimerState &state_;
};

class Kernel : public platform::evdev::Kernel {
 public:
  std::string inputDirectory() const override { return "/fake/input"; }

  std::shared_ptr<Node> add(const std::string &node) {
    auto n = std::make_shared<Node>();
    n->fd = nextFd_++;
    nodes[node] = n;
    return n;
  }
  // A node that appears while the tap runs.
  std::shared_ptr<Node> plug(const std::string &node) {
    auto n = add(node);
    changes.emplace_back(node, DirectoryWatch::Created);
    return n;
  }
  // The node goes: its reader sees the device gone, and the directory entry is deleted.
  void unplug(const std::string &node) {
    nodes[node]->unplugged = true;
    nodes.erase(node);
    changes.emplace_back(node, DirectoryWatch::Deleted);
  }
  // Events of a node, stamped with the time they happen (in feeding order across nodes).
  void queue(Node &node, const std::vector<Event> &events) {
    for (const Event &ev : events) node.queue.emplace_back(ev, ++clock_);
  }
  // A node that is an output device: this helper's, or another instance's.
  std::shared_ptr<Node> addOutput(const std::string &node, const std::string &source) {
    auto n = add(node);
    n->phys = platform::evdev::kOutputPhysPrefix + source;
    return n;
  }

  std::vector<std::string> eventNodes() override {
    std::vector<std::string> names;
    for (auto &[name, node] : nodes) names.push_back(name);
    return names;
  }
  std::unique_ptr<platform::evdev::Device> open(const std::string &path, int &error) override {
    ++opens;
    auto slash = path.rfind('/');
    auto it = nodes.find(path.substr(slash + 1));
    if (it == nodes.end()) {
      error = ENOENT;
      return nullptr;
    }
    if (it->second->refusals > 0) {
      --it->second->refusals;
      error = EACCES;
      return nullptr;
    }
    error = 0;
    return std::make_unique<Device>(it->second);
  }
  int canMakeOutputs() override {
    return uinputUsable ? mayAccess(uinputPath(), R_OK | W_OK) : ENODEV;
  }
  std::unique_ptr<platform::evdev::Output> createOutput(const OutputSpec &wanted,
                                                        const platform::evdev::Device &source,
                                                        int &error) override {
    const std::string node = platform::evdev::outputSource(wanted.phys);
    if (!uinputUsable || outputRefused.count(node)) {
      error = uinputUsable ? ENOSPC : ENODEV;
      return nullptr;
    }
    sources[node] = source.fd();
    OutputRecord &record = outputs[node];
    record.wanted = wanted;
    record.live = true;
    ++record.made;
    ++outputsMade;
    auto out = std::make_unique<Output>([this, &record](const Event *events, size_t count) {
      if (countOnly) {  // a bench's: no lock, nothing kept
        counted += count;
        return 0;
      }
      std::lock_guard<std::mutex> lock(mutex);
      if (writeError) return writeError;
      written.insert(written.end(), events, events + count);
      record.written.insert(record.written.end(), events, events + count);
      return 0;
    });
    out->devnode_ = "/fake/input/out-" + node;
    out->gone = [this, &record] {
      record.live = false;
      ++outputsGone;
    };
    return out;
  }
  std::unique_ptr<platform::evdev::DirectoryWatch> watchDirectory() override {
    return std::make_unique<DirectoryWatch>(changes);
  }
  // The first timer made is the device set's retry timer, the second the tap's deadline.
  std::unique_ptr<platform::evdev::Timer> makeTimer() override {
    timers.push_back(std::make_unique<TimerState>());
    timers.back()->fd = 9002 + static_cast<int>(timers.size()) - 1;
    return std::make_unique<Timer>(*timers.back());
  }
  int mayAccess(const std::string &path, int mode) override {
    const std::string name = path.substr(path.rfind('/') + 1);
    return missing.count(name) ? ENOENT : denied.count(name) ? EACCES : 0;
  }
  bool isPointerNode(const std::string &node) override {
    auto it = nodes.find(node);
    return it != nodes.end() && platform::evdev::isPointerDevice(it->second->caps);
  }
  bool isOutputNode(const std::string &node) override {
    auto it = nodes.find(node);
    return it != nodes.end() && !sysfsHidesPhys && platform::evdev::isOutputPhys(it->second->phys);
  }
  // Unless a test sets the time, now is when the last event was queued.
  uint64_t eventTimeNow() override { return eventTime ? *eventTime : clock_; }
  void keepReadable(std::vector<int> &) override {}  // reading a quiet device costs nothing here

  // What reached every output, in the order it was written.
  std::vector<Event> output() {
    std::lock_guard<std::mutex> lock(mutex);
    return written;
  }
  // What reached the outputs made for one node.
  std::vector<Event> output(const std::string &node) {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = outputs.find(node);
    return it == outputs.end() ? std::vector<Event>() : it->second.written;
  }
  bool hasOutput(const std::string &node) const {
    auto it = outputs.find(node);
    return it != outputs.end() && it->second.live;
  }
  void clearOutput() {
    std::lock_guard<std::mutex> lock(mutex);
    written.clear();
    for (auto &[node, record] : outputs) record.written.clear();
  }
  TimerState &retryTimer() { return *timers.at(0); }
  TimerState &deadline() { return *timers.at(1); }

  std::map<std::string, std::shared_ptr<Node>> nodes;
  std::vector<std::pair<std::string, DirectoryWatch::Change>> changes;
  std::vector<std::unique_ptr<TimerState>> timers;
  bool uinputUsable = true;
  std::set<std::string> outputRefused;  // source nodes whose output cannot be made
  bool sysfsHidesPhys = false;          // an output found only once opened
  int writeError = 0;                   // what every write to an output fails with, 0 for none
  bool countOnly = false;               // outputs keep nothing, only the count of events written
  size_t counted = 0;
  std::map<std::string, OutputRecord> outputs;  // by source node
  std::map<std::string, int> sources;  // node: the source descriptor its latest output was for
  std::set<std::string> denied;        // entry names access() refuses
  std::set<std::string> missing;       // entry names access() does not find
  std::vector<std::string> ruleDirectories;  // none by default: no udev rule is installed
  std::vector<std::string> udevRuleDirectories() const override { return ruleDirectories; }
  std::optional<uint64_t> eventTime;
  int opens = 0;
  std::mutex mutex;
  std::vector<Event> written;
  // Output devices made, and destroyed (on the threads that let their mice go).
  std::atomic<int> outputsMade{0}, outputsGone{0};

 private:
  int nextFd_ = 100;
  uint64_t clock_ = 0;
};

// The tap's loop in the test's hand: ready(fd) runs a descriptor's handler and then the end of
// the round; work posted from elsewhere runs when the test says.
class Loop : public platform::evdev::InputLoop {
 public:
  bool watch(int fd, std::function<void()> onReady) override {
    if (refused.count(fd)) return false;
    handlers[fd] = std::move(onReady);
    return true;
  }
  void unwatch(int fd) override { handlers.erase(fd); }
  void setRoundEnd(std::function<void()> onRoundEnd) override { roundEnd = std::move(onRoundEnd); }
  void post(std::function<void()> work) override { posted.push_back(std::move(work)); }
  void call(const std::function<void()> &work) override { work(); }
  uint64_t now() override { return clock; }

  bool watching(int fd) const { return handlers.count(fd) != 0; }
  // Several descriptors ready at once are served in one round.
  void ready(std::initializer_list<int> fds) {
    for (int fd : fds) {
      auto it = handlers.find(fd);
      if (it == handlers.end()) continue;
      auto handler = it->second;  // the handler may unwatch itself
      handler();
    }
    if (roundEnd) roundEnd();
  }
  void ready(int fd) { ready({fd}); }
  void runPosted() {
    while (!posted.empty()) {
      auto work = std::move(posted.front());
      posted.erase(posted.begin());
      work();
    }
    if (roundEnd) roundEnd();
  }

  std::map<int, std::function<void()>> handlers;
  std::function<void()> roundEnd;
  std::vector<std::function<void()>> posted;
  std::set<int> refused;  // descriptors that cannot be watched
  uint64_t clock = 0;
};

// The port as the tap sees it: records what it is asked and answers when the test lets the
// "main thread" run, as decide says (seeing the held buttons as a callback would).
class Client : public platform::TapClient {
 public:
  void submit(platform::TapEvent event, std::function<void(bool)> answer) override {
    seen.emplace_back(event.type, event.button);
    waiting.push_back({event, std::move(answer)});
  }
  // Runs the callbacks of everything submitted so far.
  bool respond() {
    if (waiting.empty()) return false;
    auto batch = std::move(waiting);
    waiting.clear();
    for (auto &[event, answer] : batch) {
      masks.push_back(corvassel::ns::NSEvent::pressedMouseButtons());
      answer(decide(event.type, event.button));
    }
    return true;
  }
  std::function<bool(CGEventType, int64_t)> decide = [](CGEventType, int64_t) { return true; };
  std::vector<std::pair<CGEventType, int64_t>> seen;
  std::vector<platform::NSUInteger> masks;
  std::vector<std::pair<platform::TapEvent, std::function<void(bool)>>> waiting;
};

// One report's pieces, as the kernel hands them out.
inline Event syn() {
  return {EV_SYN, SYN_REPORT, 0};
}
inline Event key(uint16_t code, int32_t value) {
  return {EV_KEY, code, value};
}
inline Event rel(uint16_t code, int32_t value) {
  return {EV_REL, code, value};
}

// Lets everything settle: the client answers, the loop takes the answers, until quiet.
inline void Settle(Client &client, Loop &loop) {
  while (client.respond() || !loop.posted.empty()) loop.runPosted();
}
// The node produces the events and the loop reports it readable; then everything settles.
inline void Feed(Kernel &kernel, Loop &loop, Client &client, const std::string &node,
                 const std::vector<Event> &events) {
  kernel.queue(*kernel.nodes.at(node), events);
  loop.ready(kernel.nodes.at(node)->fd);
  Settle(client, loop);
}

}  // namespace fake
