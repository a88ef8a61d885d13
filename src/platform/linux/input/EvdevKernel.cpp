// The real kernel: event devices through libevdev, output devices through uinput, hotplug
// through inotify, retries through a timerfd. Every descriptor is close-on-exec so that no
// extra script inherits a grabbed device.
#include "linux/input/EvdevKernel.h"

#include "linux/input/EvdevDescription.h"
#include "linux/input/PointerNodes.h"
#include "linux/input/UinputDevice.h"

#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <linux/uinput.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bitset>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <filesystem>
#include <set>
#include <tuple>
#include <utility>

#include "linux/system/RawCalls.h"
#include "linux/system/UniqueFd.h"

namespace platform::evdev {

namespace {

using EvdevHandle = std::unique_ptr<libevdev, decltype(&libevdev_free)>;

uint64_t Nanos(const timeval &time) {
  return static_cast<uint64_t>(time.tv_sec) * 1000000000u +
         static_cast<uint64_t>(time.tv_usec) * 1000u;
}

class EvdevDevice : public Device {
 public:
  // Closing fd (after dev) also ends any grab.
  EvdevDevice(UniqueFd fd, EvdevHandle dev) : fd_(std::move(fd)), dev_(std::move(dev)) {
    libevdev *d = dev_.get();
    // Times on the clock the tap merges devices by, which never jumps.
    libevdev_set_clock_id(d, CLOCK_MONOTONIC);
    identity_ = DescribeIdentity(d);
    const char *phys = libevdev_get_phys(d);
    phys_ = phys ? phys : "";
    caps_ = DescribeCapabilities(d);
    queryKeys(keys_);
  }
  int fd() const override { return fd_.get(); }
  const DeviceIdentity &identity() const override { return identity_; }
  const std::string &phys() const override { return phys_; }
  const Capabilities &capabilities() const override { return caps_; }
  int grab(bool exclusive) override {
    return -libevdev_grab(dev_.get(), exclusive ? LIBEVDEV_GRAB : LIBEVDEV_UNGRAB);
  }
  // The kernel's own state: what the hardware holds now, read or not.
  bool keysDown() const override {
    KeyBits now;
    if (!queryKeys(now)) return false;
    return now.any();
  }
  ReadStatus next(Event &ev, uint64_t &time) override {
    ReadStatus status;
    return read(&ev, &time, 1, status) == 1 ? ReadStatus::Event : status;
  }
  // The descriptor is read directly, a run at a time: a read that comes back short means
  // nothing more is waiting, so the hot path takes one read() per wake-up. libevdev describes
  // the device; its events are followed here, as the kernel's protocol asks: after SYN_DROPPED,
  // what follows up to the next SYN_REPORT is dropped too, and the key state the kernel reports
  // then is compared with what was read, the differences coming out as ordinary events.
  size_t read(Event *out, uint64_t *times, size_t max, ReadStatus &status) override {
    // What is held back goes first, alone.
    if (size_t n = takeCatchUp(out, times, max)) {
      status = ReadStatus::Event;
      return n;
    }
    size_t n = 0;
    constexpr size_t kRun = 64;
    input_event run[kRun];
    const size_t want = std::min(max, kRun);
    ssize_t got;
    do {
      got = RawRead(fd_.get(), run, want * sizeof(input_event));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      status = got < 0 && errno == EAGAIN ? ReadStatus::Again : ReadStatus::Gone;
      return n;
    }
    const size_t count = static_cast<size_t>(got) / sizeof(input_event);
    for (size_t i = 0; i < count; ++i) {
      const input_event &e = run[i];
      if (e.type == EV_SYN && e.code == SYN_DROPPED) {
        dropping_ = true;
        ++drops_;
        continue;
      }
      if (dropping_) {
        if (e.type == EV_SYN && e.code == SYN_REPORT) {
          dropping_ = false;
          catchUp(Nanos(e.time));
          n += takeCatchUp(out + n, times + n, max - n);
        }
        continue;
      }
      if (e.type == EV_KEY && e.code <= KEY_MAX) keys_.set(e.code, e.value != 0);
      out[n] = Event{e.type, e.code, e.value};
      times[n] = Nanos(e.time);
      ++n;
    }
    status = !catchUp_.empty() || count == want ? ReadStatus::Event : ReadStatus::Again;
    return n;
  }
  uint64_t drops() const override { return drops_; }

 private:
  using KeyBits = std::bitset<KEY_MAX + 1>;

  bool queryKeys(KeyBits &bits) const {
    unsigned char raw[(KEY_MAX + 8) / 8] = {};
    if (ioctl(fd_.get(), EVIOCGKEY(sizeof raw), raw) < 0) return false;
    for (unsigned code = 0; code <= KEY_MAX; ++code)
      if (raw[code / 8] & (1u << (code % 8))) bits.set(code);
    return true;
  }
  // The keys whose state changed while events were dropped, as events ending in SYN_REPORT.
  void catchUp(uint64_t time) {
    KeyBits now;
    if (!queryKeys(now)) return;
    const KeyBits changed = now ^ keys_;
    if (changed.none()) return;
    for (unsigned code = 0; code <= KEY_MAX; ++code) {
      if (!changed.test(code)) continue;
      catchUp_.push_back(
          {Event{EV_KEY, static_cast<uint16_t>(code), now.test(code) ? 1 : 0}, time});
    }
    catchUp_.push_back({Event{EV_SYN, SYN_REPORT, 0}, time});
    keys_ = now;
  }
  size_t takeCatchUp(Event *out, uint64_t *times, size_t max) {
    size_t n = 0;
    for (; n < max && !catchUp_.empty(); ++n) {
      std::tie(out[n], times[n]) = catchUp_.front();
      catchUp_.pop_front();
    }
    return n;
  }

  UniqueFd fd_;  // declared first: closed after the handle that describes it
  EvdevHandle dev_;
  DeviceIdentity identity_;
  std::string phys_;
  Capabilities caps_;
  KeyBits keys_;  // as far as the events read tell
  bool dropping_ = false;
  std::deque<std::pair<Event, uint64_t>> catchUp_;
  uint64_t drops_ = 0;
};

// An output device made through uinput's own protocol rather than libevdev's, which sets no
// phys and finds the node it made by its name, which here is the mouse's too. Made by the uinput
// broker, fd writes into the device's event node and the device lives while `broker`, the
// connection, stays open.
class UinputOutput : public Output {
 public:
  explicit UinputOutput(UniqueFd fd) : fd_(std::move(fd)) {}
  explicit UinputOutput(BrokerOutput made)
      : fd_(std::move(made.device)), broker_(std::move(made.connection)), devnode_(made.devnode) {}
  ~UinputOutput() override {
    if (!broker_) ioctl(fd_.get(), UI_DEV_DESTROY);
  }
  int write(const Event *events, size_t count) override {
    constexpr size_t kChunk = 16;
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
        ssize_t w = RawWrite(fd_.get(), p, left);
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
  // uinput names the input device it made; its event node lies under it in sysfs.
  std::string devnode() const override {
    if (broker_) return devnode_;
    char sysname[64] = {};
    if (ioctl(fd_.get(), UI_GET_SYSNAME(sizeof sysname - 1), sysname) < 0) return {};
    std::error_code ec;
    for (std::filesystem::directory_iterator
             it(std::string("/sys/devices/virtual/input/") + sysname, ec),
         end;
         !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (name.rfind("event", 0) == 0) return "/dev/input/" + name;
    }
    return {};
  }

 private:
  UniqueFd fd_;
  UniqueFd broker_;
  std::string devnode_;
};

class InotifyWatch : public DirectoryWatch {
 public:
  explicit InotifyWatch(UniqueFd fd) : fd_(std::move(fd)) {}
  int fd() const override { return fd_.get(); }
  std::vector<std::pair<std::string, Change>> read() override {
    std::vector<std::pair<std::string, Change>> out;
    alignas(inotify_event) char buf[4096];
    for (;;) {
      ssize_t n = ::read(fd_.get(), buf, sizeof buf);
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
  UniqueFd fd_;
};

class TimerFd : public Timer {
 public:
  explicit TimerFd(UniqueFd fd) : fd_(std::move(fd)) {}
  int fd() const override { return fd_.get(); }
  void arm(uint64_t nanos) override {
    if (nanos == 0) nanos = 1;  // zero would disarm
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(nanos / 1000000000u);
    when.it_value.tv_nsec = static_cast<long>(nanos % 1000000000u);
    timerfd_settime(fd_.get(), 0, &when, nullptr);
  }
  void disarm() override {
    itimerspec when{};
    timerfd_settime(fd_.get(), 0, &when, nullptr);
    acknowledge();
  }
  void acknowledge() override {
    uint64_t expirations;
    while (::read(fd_.get(), &expirations, sizeof expirations) < 0 && errno == EINTR) {
    }
  }

 private:
  UniqueFd fd_;
};

class RealKernel : public Kernel {
 public:
  RealKernel(std::string inputDirectory, std::string uinputPath, std::string sysfsInput,
             std::string brokerSocket)
      : inputDirectory_(std::move(inputDirectory)),
        uinputPath_(std::move(uinputPath)),
        sysfsInput_(std::move(sysfsInput)),
        brokerSocket_(std::move(brokerSocket)) {}
  std::string inputDirectory() const override { return inputDirectory_; }
  std::string uinputPath() const override { return uinputPath_; }
  std::string outputsThrough() override {
    return brokerInstalled() ? "corvassel-uinputd (" + brokerSocket_ + ")" : uinputPath();
  }
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
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
      error = errno;
      return nullptr;
    }
    libevdev *dev = nullptr;
    int rc = libevdev_new_from_fd(fd.get(), &dev);
    if (rc < 0) {
      error = -rc;
      return nullptr;
    }
    error = 0;
    return std::make_unique<EvdevDevice>(std::move(fd), EvdevHandle(dev, &libevdev_free));
  }

  // The broker, when it is installed, answers each request itself. Otherwise the uinput driver
  // answers its version to anything that may make devices through it; a node that is no uinput
  // (a /dev/null in its place, say) answers ENOTTY.
  int canMakeOutputs() override {
    if (brokerInstalled()) return 0;
    UniqueFd fd(::open(uinputPath().c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) return errno;
    unsigned version = 0;
    return ioctl(fd.get(), UI_GET_VERSION, &version) == 0 ? 0 : errno;
  }

  // The broker first, handed the source's descriptor as proof that it may be read; where the
  // broker is not installed (or its socket is left with nobody behind it), uinput itself, which
  // takes the description as it is.
  std::unique_ptr<Output> createOutput(const OutputSpec &wanted, const Device &source,
                                       int &error) override {
    if (brokerInstalled()) {
      BrokerOutput made = RequestOutput(brokerSocket_, wanted, source.fd());
      error = made.error;
      if (made.device) return std::make_unique<UinputOutput>(std::move(made));
      if (error != ECONNREFUSED && error != ENOENT) return nullptr;
    }
    UniqueFd fd(::open(uinputPath().c_str(), O_RDWR | O_CLOEXEC));
    if (!fd) {
      error = errno;
      return nullptr;
    }
    if ((error = MakeUinputDevice(fd.get(), wanted))) return nullptr;
    return std::make_unique<UinputOutput>(std::move(fd));
  }

  std::unique_ptr<DirectoryWatch> watchDirectory() override {
    UniqueFd fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd) return nullptr;
    if (inotify_add_watch(fd.get(), inputDirectory().c_str(), IN_CREATE | IN_ATTRIB | IN_DELETE) <
        0)
      return nullptr;
    return std::make_unique<InotifyWatch>(std::move(fd));
  }

  std::unique_ptr<Timer> makeTimer() override {
    UniqueFd fd(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!fd) return nullptr;
    return std::make_unique<TimerFd>(std::move(fd));
  }

  int mayAccess(const std::string &path, int mode) override {
    return faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0 ? 0 : errno;
  }

  bool isPointerNode(const std::string &node) override {
    return evdev::isPointerNode(sysfsInput_, node);
  }
  bool isOutputNode(const std::string &node) override {
    return isOutputPhys(devicePhys(sysfsInput_, node));
  }

  uint64_t eventTimeNow() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
  }
  void keepReadable(std::vector<int> &fds) override {
    constexpr size_t kOnStack = 16;  // more mice than that is rare: they go on the heap
    pollfd onStack[kOnStack];
    std::vector<pollfd> onHeap(fds.size() > kOnStack ? fds.size() : 0);
    pollfd *polled = onHeap.empty() ? onStack : onHeap.data();
    for (size_t i = 0; i < fds.size(); ++i) polled[i] = pollfd{fds[i], POLLIN, 0};
    int n;
    do {
      n = ::poll(polled, fds.size(), 0);
    } while (n < 0 && errno == EINTR);
    const size_t count = fds.size();
    fds.clear();
    if (n <= 0) return;
    for (size_t i = 0; i < count; ++i)
      if (polled[i].revents != 0) fds.push_back(polled[i].fd);  // a hang-up is read, to be seen
  }

 private:
  bool brokerInstalled() const {
    return FindOutputWay(brokerSocket_, uinputPath_).kind == OutputWay::Broker;
  }

  std::string inputDirectory_;
  std::string uinputPath_;
  std::string sysfsInput_;
  std::string brokerSocket_;
};

}  // namespace

Kernel &realKernel() {
  static RealKernel kernel("/dev/input", "/dev/uinput", kSysfsInputDirectory, kBrokerSocket);
  return kernel;
}

std::unique_ptr<Kernel> makeRealKernel(const std::string &inputDirectory,
                                       const std::string &uinputPath, const std::string &sysfsInput,
                                       const std::string &brokerSocket) {
  return std::make_unique<RealKernel>(inputDirectory, uinputPath, sysfsInput, brokerSocket);
}

}  // namespace platform::evdev
