// The real kernel: event devices through libevdev, the virtual device through uinput, hotplug
// through inotify, retries through a timerfd. Every descriptor is close-on-exec so that no
// extra script inherits a grabbed device.
#include "linux/EvdevKernel.h"

#include "linux/PointerNodes.h"

#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <sys/inotify.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>
#include <utility>

namespace platform::evdev {

void Capabilities::merge(const Capabilities &other) {
  codes.insert(other.codes.begin(), other.codes.end());
  for (const auto &[code, info] : other.abs) abs.emplace(code, info);
  properties.insert(other.properties.begin(), other.properties.end());
}

namespace {

// Types carried over to the virtual device. EV_REP stays out: the kernel would then repeat on
// its own besides passing on the device's repeats.
struct TypeRange {
  unsigned type;
  unsigned max;
};
constexpr TypeRange kTypes[] = {{EV_KEY, KEY_MAX}, {EV_REL, REL_MAX}, {EV_ABS, ABS_MAX},
                                {EV_MSC, MSC_MAX}, {EV_SW, SW_MAX},   {EV_LED, LED_MAX},
                                {EV_SND, SND_MAX}};

class EvdevDevice : public Device {
 public:
  EvdevDevice(int fd, libevdev *dev) : fd_(fd), dev_(dev) {
    const char *n = libevdev_get_name(dev);
    name_ = n ? n : "";
    for (const TypeRange &t : kTypes) {
      if (!libevdev_has_event_type(dev, t.type)) continue;
      for (unsigned code = 0; code <= t.max; ++code) {
        if (!libevdev_has_event_code(dev, t.type, code)) continue;
        caps_.codes.insert({static_cast<uint16_t>(t.type), static_cast<uint16_t>(code)});
        if (t.type == EV_ABS) {
          if (const input_absinfo *info = libevdev_get_abs_info(dev, code))
            caps_.abs[static_cast<uint16_t>(code)] = *info;
        }
      }
    }
    for (int prop = 0; prop <= INPUT_PROP_MAX; ++prop)
      if (libevdev_has_property(dev, prop)) caps_.properties.insert(prop);
  }
  ~EvdevDevice() override {
    libevdev_free(dev_);
    close(fd_);  // also ends any grab
  }
  int fd() const override { return fd_; }
  const std::string &name() const override { return name_; }
  const Capabilities &capabilities() const override { return caps_; }
  int grab(bool exclusive) override {
    return -libevdev_grab(dev_, exclusive ? LIBEVDEV_GRAB : LIBEVDEV_UNGRAB);
  }
  bool keysDown() const override {
    for (const auto &[type, code] : caps_.codes)
      if (type == EV_KEY && libevdev_get_event_value(dev_, EV_KEY, code) != 0) return true;
    return false;
  }
  ReadStatus next(Event &ev) override {
    for (;;) {
      input_event e{};
      int rc = libevdev_next_event(
          dev_, syncing_ ? LIBEVDEV_READ_FLAG_SYNC : LIBEVDEV_READ_FLAG_NORMAL, &e);
      if (syncing_) {
        if (rc == LIBEVDEV_READ_STATUS_SYNC) return take(e, ev);
        syncing_ = false;
        if (rc == -EAGAIN) continue;  // caught up: back to the ordinary stream
      }
      if (rc == LIBEVDEV_READ_STATUS_SUCCESS) return take(e, ev);
      if (rc == LIBEVDEV_READ_STATUS_SYNC) {
        syncing_ = true;  // e is SYN_DROPPED; the state changes follow
        continue;
      }
      if (rc == -EAGAIN || rc == -EINTR) return ReadStatus::Again;
      return ReadStatus::Gone;
    }
  }

 private:
  static ReadStatus take(const input_event &e, Event &ev) {
    ev = Event{e.type, e.code, e.value};
    return ReadStatus::Event;
  }
  int fd_;
  libevdev *dev_;
  std::string name_;
  Capabilities caps_;
  bool syncing_ = false;
};

class UinputOutput : public Output {
 public:
  UinputOutput(int fd, libevdev_uinput *ui) : fd_(fd), ui_(ui) {}
  ~UinputOutput() override {
    libevdev_uinput_destroy(ui_);
    close(fd_);
  }
  int write(const Event *events, size_t count) override {
    constexpr size_t kChunk = 64;
    input_event buf[kChunk];
    while (count > 0) {
      size_t n = std::min(count, kChunk);
      for (size_t i = 0; i < n; ++i) {
        buf[i] = input_event{};  // the kernel stamps the time
        buf[i].type = events[i].type;
        buf[i].code = events[i].code;
        buf[i].value = events[i].value;
      }
      const char *p = reinterpret_cast<const char *>(buf);
      size_t left = n * sizeof(input_event);
      while (left > 0) {
        ssize_t w = ::write(fd_, p, left);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return w < 0 ? errno : EIO;
        p += w;
        left -= static_cast<size_t>(w);
      }
      events += n;
      count -= n;
    }
    return 0;
  }
  std::string devnode() const override {
    const char *node = libevdev_uinput_get_devnode(ui_);
    return node ? node : "";
  }

 private:
  int fd_;
  libevdev_uinput *ui_;
};

class InotifyWatch : public DirectoryWatch {
 public:
  explicit InotifyWatch(int fd) : fd_(fd) {}
  ~InotifyWatch() override { close(fd_); }
  int fd() const override { return fd_; }
  std::vector<std::pair<std::string, Change>> read() override {
    std::vector<std::pair<std::string, Change>> out;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      ssize_t n = ::read(fd_, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
        const auto *e = reinterpret_cast<const inotify_event *>(buf + off);
        off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        if (e->mask & IN_Q_OVERFLOW) {
          out.emplace_back(std::string(), Overflowed);
          continue;
        }
        if (e->len == 0 || off > n) continue;
        std::string name(e->name, strnlen(e->name, e->len));
        if (e->mask & IN_DELETE)
          out.emplace_back(name, Deleted);
        else if (e->mask & IN_CREATE)
          out.emplace_back(name, Created);
        else if (e->mask & IN_ATTRIB)
          out.emplace_back(name, AttributesChanged);
      }
    }
    return out;
  }

 private:
  int fd_;
};

class TimerFd : public Timer {
 public:
  explicit TimerFd(int fd) : fd_(fd) {}
  ~TimerFd() override { close(fd_); }
  int fd() const override { return fd_; }
  void arm(uint64_t nanos) override {
    if (nanos == 0) nanos = 1;  // zero would disarm
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(nanos / 1000000000u);
    when.it_value.tv_nsec = static_cast<long>(nanos % 1000000000u);
    timerfd_settime(fd_, 0, &when, nullptr);
  }
  void disarm() override {
    itimerspec when{};
    timerfd_settime(fd_, 0, &when, nullptr);
    acknowledge();
  }
  void acknowledge() override {
    uint64_t expirations;
    while (::read(fd_, &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
  }

 private:
  int fd_;
};

class RealKernel : public Kernel {
 public:
  RealKernel(std::string inputDirectory, std::string uinputPath, std::string sysfsInput)
      : inputDirectory_(std::move(inputDirectory)),
        uinputPath_(std::move(uinputPath)),
        sysfsInput_(std::move(sysfsInput)) {}
  std::string inputDirectory() const override { return inputDirectory_; }
  std::string uinputPath() const override { return uinputPath_; }
  std::vector<std::string> eventNodes() override {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(inputDirectory(), ec), end; !ec && it != end;
         it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name.rfind("event", 0) == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<Device> open(const std::string &path, int &error) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = errno;
      return nullptr;
    }
    libevdev *dev = nullptr;
    int rc = libevdev_new_from_fd(fd, &dev);
    if (rc < 0) {
      error = -rc;
      close(fd);
      return nullptr;
    }
    error = 0;
    return std::make_unique<EvdevDevice>(fd, dev);
  }

  std::unique_ptr<Output> createOutput(const std::string &name, const Capabilities &capabilities,
                                       int &error) override {
    int fd = ::open(uinputPath().c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      error = errno;
      return nullptr;
    }
    libevdev *tmpl = libevdev_new();
    libevdev_set_name(tmpl, name.c_str());
    libevdev_set_id_bustype(tmpl, BUS_VIRTUAL);
    for (const auto &[type, code] : capabilities.codes) {
      if (type == EV_ABS) {
        auto it = capabilities.abs.find(code);
        if (it == capabilities.abs.end()) continue;
        libevdev_enable_event_code(tmpl, type, code, &it->second);
      } else {
        libevdev_enable_event_code(tmpl, type, code, nullptr);
      }
    }
    for (int prop : capabilities.properties) libevdev_enable_property(tmpl, prop);
    libevdev_uinput *ui = nullptr;
    int rc = libevdev_uinput_create_from_device(tmpl, fd, &ui);
    libevdev_free(tmpl);
    if (rc < 0) {
      error = -rc;
      close(fd);
      return nullptr;
    }
    error = 0;
    return std::make_unique<UinputOutput>(fd, ui);
  }

  std::unique_ptr<DirectoryWatch> watchDirectory() override {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return nullptr;
    if (inotify_add_watch(fd, inputDirectory().c_str(), IN_CREATE | IN_ATTRIB | IN_DELETE) < 0) {
      close(fd);
      return nullptr;
    }
    return std::make_unique<InotifyWatch>(fd);
  }

  std::unique_ptr<Timer> makeTimer() override {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) return nullptr;
    return std::make_unique<TimerFd>(fd);
  }

  int mayAccess(const std::string &path, int mode) override {
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
  }

  bool isPointerNode(const std::string &node) override {
    return evdev::isPointerNode(sysfsInput_, node);
  }

 private:
  std::string inputDirectory_;
  std::string uinputPath_;
  std::string sysfsInput_;
};

}  // namespace

Kernel &realKernel() {
  static RealKernel kernel("/dev/input", "/dev/uinput", kSysfsInputDirectory);
  return kernel;
}

std::unique_ptr<Kernel> makeRealKernel(const std::string &inputDirectory,
                                       const std::string &uinputPath,
                                       const std::string &sysfsInput) {
  return std::make_unique<RealKernel>(inputDirectory, uinputPath, sysfsInput);
}

}  // namespace platform::evdev
