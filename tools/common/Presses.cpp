// Presses of mouse buttons: every pointer device is read, never grabbed, as the desktop reads
// it. While the helper runs, a mouse it holds is seen through its output device (which carries
// the mouse's name), where a button it maps arrives as the click it makes for it.
#include "Presses.h"

#include "ButtonNumbers.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <platform/InputNodes.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace corvassel::tools {

namespace {

using platform::evdev::buttonNumber;
using platform::evdev::kSysfsInputDirectory;

constexpr const char *kInputDirectory = "/dev/input";

bool EventNode(const std::string &name) {
  return name.rfind("event", 0) == 0 && name.size() > 5 &&
         std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<PointerNode> Describe(const std::string &node) {
  if (!EventNode(node) || !platform::evdev::isPointerNode(kSysfsInputDirectory, node))
    return std::nullopt;
  PointerNode pointer;
  pointer.node = node;
  pointer.path = std::string(kInputDirectory) + "/" + node;
  pointer.name = platform::evdev::deviceName(kSysfsInputDirectory, node);
  pointer.outputOf =
      platform::evdev::outputSource(platform::evdev::devicePhys(kSysfsInputDirectory, node));
  return pointer;
}

}  // namespace

// An output carries its mouse's name: where it is, and which mouse it re-emits, tell them apart.
std::string DeviceLabel(const PointerNode &device) {
  return "\"" + device.name + "\" (" + device.path +
         (device.output()
              ? ", the helper's output for " + std::string(kInputDirectory) + "/" + device.outputOf
              : std::string()) +
         ")";
}

PressWatch::PressWatch(Say say) : say_(std::move(say)) {}

PressWatch::~PressWatch() {
  for (const auto &[fd, device] : devices_) close(fd);
  if (watch_ >= 0) close(watch_);
}

bool PressWatch::start(std::string *error) {
  watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch_ >= 0 && inotify_add_watch(watch_, kInputDirectory, IN_CREATE | IN_ATTRIB) < 0) {
    close(watch_);
    watch_ = -1;
  }
  int refused = 0;
  for (const PointerNode &device : PointerNodes())
    if (!open(device, true)) ++refused;
  if (devices_.empty() && refused > 0) {
    *error = "no mouse can be read; 'corvassel-prefs doctor' says how to fix it";
    return false;
  }
  if (devices_.empty()) say_("No mouse is plugged in; waiting for one.", false);
  return true;
}

std::optional<Press> PressWatch::next(int stop) {
  while (queued_.empty()) {
    std::vector<pollfd> fds;
    if (stop >= 0) fds.push_back({stop, POLLIN, 0});
    if (watch_ >= 0) fds.push_back({watch_, POLLIN, 0});
    for (const auto &[fd, device] : devices_) fds.push_back({fd, POLLIN, 0});
    if (fds.empty()) return std::nullopt;
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    for (const pollfd &ready : fds) {
      if (ready.revents == 0) continue;
      if (ready.fd == stop) return std::nullopt;
      if (ready.fd == watch_)
        readNotices();
      else
        readDevice(ready.fd);
    }
  }
  Press press = queued_.front();
  queued_.pop_front();
  return press;
}

bool PressWatch::open(const PointerNode &device, bool sayRefusal) {
  for (const auto &[fd, known] : devices_)
    if (known.node == device.node) return true;
  int fd = ::open(device.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (sayRefusal) say_("cannot read " + DeviceLabel(device) + ": " + strerror(errno), true);
    return false;
  }
  devices_[fd] = device;
  say_("Reading " + DeviceLabel(device), false);
  return true;
}

void PressWatch::readNotices() {
  alignas(inotify_event) char buffer[4096];
  ssize_t n;
  while ((n = read(watch_, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
      const auto *notice = reinterpret_cast<const inotify_event *>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + notice->len);
      if (notice->len == 0 || at > n) continue;
      // A new node may be readable only once udev has set its permissions.
      if (std::optional<PointerNode> device =
              Describe(std::string(notice->name, strnlen(notice->name, notice->len))))
        open(*device, false);
    }
  }
}

void PressWatch::readDevice(int fd) {
  input_event events[64];
  ssize_t n = read(fd, events, sizeof events);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {  // unplugged
    close(fd);
    devices_.erase(fd);
    return;
  }
  for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
    const input_event &event = events[i];
    int number = event.type == EV_KEY && event.value == 1 ? buttonNumber(event.code) : -1;
    if (number >= 0) queued_.push_back({number, devices_[fd]});
  }
}

std::vector<PointerNode> PointerNodes() {
  std::vector<std::string> names;
  if (DIR *dir = opendir(kInputDirectory)) {
    while (dirent *entry = readdir(dir))
      if (EventNode(entry->d_name)) names.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;  // event2 before event10
  });
  std::vector<PointerNode> pointers;
  for (const std::string &name : names)
    if (std::optional<PointerNode> pointer = Describe(name)) pointers.push_back(*pointer);
  return pointers;
}

size_t HeldMice() {
  const std::vector<PointerNode> pointers = PointerNodes();
  return static_cast<size_t>(std::count_if(pointers.begin(), pointers.end(),
                                           [](const PointerNode &p) { return p.output(); }));
}

PressVerdict JudgePress(const std::string &key, int64_t number, bool onOutput,
                        const Effective &effective) {
  PressVerdict verdict;
  if (number == 0) {
    verdict.note = "The left button cannot be mapped; press another.";
    return verdict;
  }
  if (!SettingTakes(number)) {
    const std::optional<ButtonRole> role = ButtonRoleOf(key);
    verdict.note = "The settings take " + AcceptedButtons(role ? *role : ButtonRole::kAction) +
                   "; press another.";
    return verdict;
  }
  verdict.take = true;
  const char *clicked = nullptr;
  if (onOutput && effective.enabled && number == 3 && CorvasselMapsButton(effective.back))
    clicked = "BackButton";
  if (onOutput && effective.enabled && number == 4 && CorvasselMapsButton(effective.forward))
    clicked = "ForwardButton";
  if (clicked)
    verdict.note = std::string("This is also the click the helper makes for ") + clicked +
                   ": if you pressed that button, it is mapped already.";
  return verdict;
}

}  // namespace corvassel::tools
