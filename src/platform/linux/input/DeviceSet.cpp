#include "linux/input/DeviceSet.h"

#include "linux/input/PointerNodes.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace platform::evdev {

namespace {

// Reads and drops what is queued (bounded); how the reading ended.
ReadStatus Drain(Device &device) {
  Event events[64];
  uint64_t times[64];
  ReadStatus status = ReadStatus::Event;
  for (int runs = 0; status == ReadStatus::Event && runs < 64; ++runs)
    device.read(events, times, 64, status);
  return status;
}

}  // namespace

DeviceSet::DeviceSet(const Context &context, Kernel &kernel, InputLoop &loop,
                     DeviceSetOptions options, Listener &listener)
    : context_(context), kernel_(kernel), loop_(loop), options_(options), listener_(listener) {
  directory_ = kernel_.watchDirectory();
  retryTimer_ = kernel_.makeTimer();
}

DeviceSet::~DeviceSet() {
  stop();
}

void DeviceSet::start() {
  if (running_) return;
  running_ = true;
  if (directory_) loop_.watch(directory_->fd(), [this] { onDirectory(); });
  if (retryTimer_) loop_.watch(retryTimer_->fd(), [this] { onRetryTimer(); });
  scan();
}

void DeviceSet::stop() {
  running_ = false;
  for (auto &[node, entry] : entries_) {
    loop_.unwatch(entry.device->fd());
    if (entry.grabbed) entry.device->grab(false);
  }
  entries_.clear();  // closing them ends any grab
  grabbed_ = 0;
  pending_.clear();
  ignored_.clear();
  if (directory_) loop_.unwatch(directory_->fd());
  if (retryTimer_) {
    loop_.unwatch(retryTimer_->fd());
    retryTimer_->disarm();
  }
}

void DeviceSet::letGo(const std::function<void()> &meanwhile) {
  std::vector<std::thread> ungrabs;
  for (auto &[node, entry] : entries_) {
    if (!std::exchange(entry.grabbed, false)) continue;
    --grabbed_;
    Device *device = entry.device.get();
    context_.time.threadWillStart();
    try {
      ungrabs.emplace_back([this, device] {
        device->grab(false);
        context_.time.threadDidExit();
      });
    } catch (const std::system_error &) {
      context_.time.threadDidExit();
      device->grab(false);
    }
  }
  if (meanwhile) meanwhile();
  for (std::thread &ungrab : ungrabs) ungrab.join();
}

Device *DeviceSet::device(uint32_t id) {
  for (auto &[node, entry] : entries_)
    if (entry.id == id) return entry.grabbed ? entry.device.get() : nullptr;
  return nullptr;
}

std::string DeviceSet::describe(uint32_t id) const {
  for (const auto &[node, entry] : entries_)
    if (entry.id == id) return path(node) + " (" + entry.device->name() + ")";
  return "a device";
}

void DeviceSet::readWaiting() {
  waiting_.clear();
  for (const auto &[node, entry] : entries_)
    if (entry.grabbed) waiting_.push_back(entry.device->fd());
  kernel_.keepReadable(waiting_);
  // The listener may drop a device it finds gone: look each up again.
  for (int fd : waiting_) {
    for (auto &[node, entry] : entries_) {
      if (entry.grabbed && entry.device->fd() == fd) {
        listener_.deviceReadable(entry.id, *entry.device);
        break;
      }
    }
  }
}

void DeviceSet::remove(uint32_t id) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->second.id != id) continue;
    const std::string node = it->first;
    drop(it, false);
    // Its name may already belong to another device (after notices were lost).
    attempt(node, permissionRetry());
    rearm();
    return;
  }
}

void DeviceSet::scan() {
  for (const std::string &node : kernel_.eventNodes()) attempt(node, permissionRetry());
  rearm();
}

void DeviceSet::attempt(const std::string &node, Retry retry) {
  pending_.erase(node);
  if (!running_ || entries_.count(node) || ignored_.count(node)) return;
  // Neither a keyboard nor an output device is ever opened.
  if (!kernel_.isPointerNode(node) || kernel_.isOutputNode(node)) {
    ignored_.insert(node);
    return;
  }
  const Admission admitted = admission(node);
  if (admitted == Admission::No) return;  // another seat's: not even opened
  int error = 0;
  std::unique_ptr<Device> dev =
      admitted == Admission::Yes ? kernel_.open(path(node), error) : nullptr;
  if (!dev) {
    // udev sets a new node's owner, mode and seat just after it appears: ask again shortly.
    if (admitted == Admission::NotYet || error == EACCES || error == EPERM) {
      if (retry.growing) retry = permissionRetry();
      if (retry.attemptsLeft > 1)
        pending_[node] = {retry.attemptsLeft - 1, retry.intervalNanos, retry.intervalNanos, false};
    }
    return;
  }
  // What sysfs said may have been another device's, gone since under the same name.
  if (!isPointerDevice(dev->capabilities()) || isOutputPhys(dev->phys())) {
    ignored_.insert(node);
    return;
  }
  // A grab refused again goes on with the schedule it came with, one attempt spent.
  const Retry refusals =
      retry.growing
          ? Retry{retry.attemptsLeft - 1, retry.intervalNanos * 2, retry.intervalNanos * 2, true}
          : Retry{options_.grabRetryAttempts, options_.grabRetryFirstNanos,
                  options_.grabRetryFirstNanos, true};
  admit(node, std::move(dev), refusals);
}

void DeviceSet::admit(const std::string &node, std::unique_ptr<Device> device, Retry refusals) {
  Entry &entry = entries_[node];
  entry.id = nextId_++;
  entry.node = node;
  entry.device = std::move(device);
  if (!watchEntry(entry)) {
    entries_.erase(node);  // nobody would read it: it must not be grabbed
    return;
  }
  grabWhenNeutral(entry, refusals);
}

// Entries never move (a map's nodes stay put) and are unwatched before they go.
bool DeviceSet::watchEntry(Entry &entry) {
  return loop_.watch(entry.device->fd(), [this, &entry] { onEntryReady(entry); });
}

bool DeviceSet::grabWhenNeutral(Entry &entry, Retry refusals) {
  if (entry.grabbed || !running_) return true;
  // The desktop saw that press: grabbing now would keep its release from it.
  if (entry.device->keysDown()) return true;
  if (int error = entry.device->grab(true)) {
    const std::string node = entry.node;
    refuse(entry, "grab",
           std::string("cannot grab ") + path(node) + " (" + entry.device->name() +
               "): " + strerror(error) + (error == EBUSY ? " (another program holds it)" : "") +
               "; it stays with the desktop and is asked for again");
    if (refusals.attemptsLeft > 0) pending_[node] = refusals;
    rearm();
    return false;
  }
  // What is queued was read by the desktop too: dropped. A press that came in meanwhile means
  // letting go again, so that the desktop sees its release.
  Drain(*entry.device);
  if (entry.device->keysDown()) {
    entry.device->grab(false);
    return true;
  }
  // Never a grabbed mouse without its output: one that cannot have it goes back to the desktop,
  // to be asked for again when its node changes.
  if (int error = listener_.deviceGrabbed(entry.id, *entry.device, entry.node)) {
    entry.device->grab(false);
    refuse(entry, "output",
           "cannot make an output device for " + path(entry.node) + " (" + entry.device->name() +
               ") through " + kernel_.outputsThrough() + ": " + strerror(error) +
               "; it stays with the desktop");
    return false;
  }
  entry.grabbed = true;
  ++grabbed_;
  refusalLogged_.erase({entry.node, "grab"});
  refusalLogged_.erase({entry.node, "output"});
  return true;
}

void DeviceSet::refuse(Entry &entry, const char *what, const std::string &why) {
  const std::string node = entry.node;
  if (refusalLogged_.insert({node, what}).second) context_.say("corvassel-helper: " + why);
  loop_.unwatch(entry.device->fd());
  entries_.erase(node);
}

void DeviceSet::onEntryReady(Entry &entry) {
  if (entry.grabbed) {
    listener_.deviceReadable(entry.id, *entry.device);
    return;
  }
  // Not ours yet: read only to follow its buttons; the desktop has these events.
  if (Drain(*entry.device) == ReadStatus::Gone) {
    drop(entries_.find(entry.node), false);
    return;
  }
  grabWhenNeutral(entry, {options_.grabRetryAttempts, options_.grabRetryFirstNanos,
                          options_.grabRetryFirstNanos, true});
}

void DeviceSet::drop(std::map<std::string, Entry>::iterator it, bool tellListener) {
  const uint32_t id = it->second.id;
  const bool grabbed = it->second.grabbed;
  if (grabbed) --grabbed_;
  loop_.unwatch(it->second.device->fd());
  entries_.erase(it);  // closing it ends the grab
  if (grabbed && tellListener) listener_.deviceLost(id);
}

void DeviceSet::onDirectory() {
  for (const auto &[node, change] : directory_->read()) {
    if (change == DirectoryWatch::Overflowed) {
      context_.say("corvassel-helper: notices of " + kernel_.inputDirectory() +
                   " were lost; looking at every device again");
      ignored_.clear();
      scan();
      continue;
    }
    if (node.rfind("event", 0) != 0) continue;
    if (change == DirectoryWatch::Deleted) {
      ignored_.erase(node);
      pending_.erase(node);
      refusalLogged_.erase({node, "grab"});
      refusalLogged_.erase({node, "output"});
      if (auto it = entries_.find(node); it != entries_.end()) drop(it, true);
      continue;
    }
    // A fresh node may reuse a name we dismissed; a change of mode may admit us now, and a
    // mouse whose grab was refused is asked for again.
    if (change == DirectoryWatch::Created) ignored_.erase(node);
    auto waiting = pending_.find(node);
    const Retry retry = waiting != pending_.end() && change != DirectoryWatch::Created
                            ? waiting->second
                            : permissionRetry();
    attempt(node, retry);
  }
  rearm();
}

void DeviceSet::onRetryTimer() {
  retryTimer_->acknowledge();
  // Every wait shrinks by what the timer was armed with; those spent are due.
  std::vector<std::pair<std::string, Retry>> due;
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.waitNanos <= retryArmedNanos_) {
      due.emplace_back(*it);
      it = pending_.erase(it);
    } else {
      it->second.waitNanos -= retryArmedNanos_;
      ++it;
    }
  }
  for (const auto &[node, retry] : due) attempt(node, retry);
  rearm();
}

void DeviceSet::rearm() {
  if (!retryTimer_) return;
  if (pending_.empty() || !running_) {
    retryTimer_->disarm();
    retryArmedNanos_ = 0;
    return;
  }
  uint64_t soonest = UINT64_MAX;
  for (const auto &[node, retry] : pending_) soonest = std::min(soonest, retry.waitNanos);
  retryArmedNanos_ = soonest;
  retryTimer_->arm(soonest);
}

}  // namespace platform::evdev
