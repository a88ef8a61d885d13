// Finding a button's number: every pointer device is read, never grabbed, as the desktop reads
// it. While the helper runs, a mouse it holds is seen through its output device (which carries
// the mouse's name), where a button it maps arrives as the click it makes for it.
#include <dirent.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>

#include "Prefs.h"
#include "linux/DeviceDescription.h"
#include "linux/FrameFilter.h"
#include "linux/PointerNodes.h"

namespace corvassel::prefs {

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

// An output carries its mouse's name: where it is, and which mouse it re-emits, tell them apart.
std::string Label(const PointerNode &device) {
  return "\"" + device.name + "\" (" + device.path +
         (device.output()
              ? ", the helper's output for " + std::string(kInputDirectory) + "/" + device.outputOf
              : std::string()) +
         ")";
}

struct Press {
  int number;
  PointerNode device;
};

// Every readable pointer device, and the ones plugged in while it waits.
class PressWatch {
 public:
  ~PressWatch() {
    for (const auto &[fd, device] : devices_) close(fd);
    if (watch_ >= 0) close(watch_);
  }

  // Opens what there is; says which cannot be read. False when not one mouse can be read.
  bool start() {
    watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ >= 0 && inotify_add_watch(watch_, kInputDirectory, IN_CREATE | IN_ATTRIB) < 0) {
      close(watch_);
      watch_ = -1;
    }
    int refused = 0;
    for (const PointerNode &device : PointerNodes())
      if (!open(device, true)) ++refused;
    if (devices_.empty() && refused > 0) {
      Fail(kFailed, "no mouse can be read; 'corvassel-prefs doctor' says how to fix it");
      return false;
    }
    if (devices_.empty()) printf("No mouse is plugged in; waiting for one.\n");
    return true;
  }

  // The next press of a mouse button; nothing when the devices cannot be waited for.
  std::optional<Press> next() {
    while (queued_.empty()) {
      std::vector<pollfd> fds;
      if (watch_ >= 0) fds.push_back({watch_, POLLIN, 0});
      for (const auto &[fd, device] : devices_) fds.push_back({fd, POLLIN, 0});
      if (fds.empty()) return std::nullopt;
      if (poll(fds.data(), fds.size(), -1) < 0) {
        if (errno == EINTR) continue;
        return std::nullopt;
      }
      for (const pollfd &ready : fds) {
        if (ready.revents == 0) continue;
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

 private:
  bool open(const PointerNode &device, bool sayRefusal) {
    for (const auto &[fd, known] : devices_)
      if (known.node == device.node) return true;
    int fd = ::open(device.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      if (sayRefusal)
        fprintf(stderr, "corvassel-prefs: cannot read %s: %s\n", Label(device).c_str(),
                strerror(errno));
      return false;
    }
    devices_[fd] = device;
    printf("Reading %s\n", Label(device).c_str());
    return true;
  }

  void readNotices() {
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

  void readDevice(int fd) {
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

  int watch_ = -1;
  std::map<int, PointerNode> devices_;
  std::deque<Press> queued_;
};

std::string Numbered(int64_t number) {
  return std::to_string(number) + " (" + ButtonName(number) + ")";
}

// What a user pressing buttons must know while the helper holds the mice.
void SayHowTheHelperShowsButtons(bool learning) {
  const std::vector<PointerNode> pointers = PointerNodes();
  if (std::none_of(pointers.begin(), pointers.end(),
                   [](const PointerNode &pointer) { return pointer.output(); }))
    return;
  printf(
      "corvassel-helper is running: each mouse it holds is read through its output device, "
      "which has the mouse's name, and where a button it maps shows as the click it makes "
      "(back: button 3, BTN_SIDE; forward: button 4, BTN_EXTRA).\n");
  const Effective effective = EffectiveSettings();
  std::string mapped;
  if (effective.enabled && effective.back > 0) mapped += "BackButton " + Numbered(effective.back);
  if (effective.enabled && effective.forward > 0)
    mapped += (mapped.empty() ? "" : ", ") + ("ForwardButton " + Numbered(effective.forward));
  if (mapped.empty()) {
    printf("Mapped now: nothing.\n");
    return;
  }
  printf("Mapped now: %s.\n", mapped.c_str());
  if (learning)
    printf(
        "To learn a button that is mapped now, run 'corvassel-prefs set Enabled false' first "
        "(and 'corvassel-prefs set Enabled true' after).\n");
  else if (effective.passthrough >= 0)
    printf("Hold button %s to see a mapped button as itself.\n",
           Numbered(effective.passthrough).c_str());
}

void SayPress(const Press &press) {
  printf("button %s on %s\n", Numbered(press.number).c_str(), Label(press.device).c_str());
}

}  // namespace

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

std::string ButtonName(int64_t number) {
  static constexpr const char *kNames[] = {"BTN_LEFT",  "BTN_RIGHT",   "BTN_MIDDLE", "BTN_SIDE",
                                           "BTN_EXTRA", "BTN_FORWARD", "BTN_BACK",   "BTN_TASK"};
  if (number >= 0 && number < 8) return kNames[number];
  if (number >= 8 && number < 16) return "BTN_MOUSE+" + std::to_string(number);
  return "no mouse button";
}

int Learn(PreferencesFile &file, const Setting &setting) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  // Refused before anything is pressed, not after.
  std::string error;
  if (!file.load(&error)) return Fail(kInvalid, error);
  PressWatch watch;
  if (!watch.start()) return kFailed;
  SayHowTheHelperShowsButtons(true);
  printf("Press the mouse button to use as %s (Ctrl-C to stop).\n", setting.key);
  for (;;) {
    std::optional<Press> press = watch.next();
    if (!press) return Fail(kFailed, "cannot wait for the mice");
    SayPress(*press);
    if (press->number == 0) {
      printf("The left button cannot be mapped; press another.\n");
      continue;
    }
    if (press->device.output()) {
      const Effective effective = EffectiveSettings();
      const char *clicked = nullptr;
      if (effective.enabled && press->number == 3 && effective.back > 0) clicked = "BackButton";
      if (effective.enabled && press->number == 4 && effective.forward > 0)
        clicked = "ForwardButton";
      if (clicked)
        printf(
            "This is also the click the helper makes for %s: if you pressed that button, it "
            "is mapped already.\n",
            clicked);
    }
    if (int status = StoreButton(file, setting, press->number)) return status;
    printf("%s is now %d.\n", setting.key, press->number);
    return 0;
  }
}

int Buttons() {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  PressWatch watch;
  if (!watch.start()) return kFailed;
  SayHowTheHelperShowsButtons(false);
  printf("Press mouse buttons to see their numbers (Ctrl-C to stop).\n");
  while (std::optional<Press> press = watch.next()) SayPress(*press);
  return Fail(kFailed, "cannot wait for the mice");
}

}  // namespace corvassel::prefs
