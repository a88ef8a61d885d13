#include "SystemHost.h"

#include <dirent.h>
#include <fcntl.h>
#include <libevdev/libevdev.h>
#include <linux/major.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "linux/input/EvdevDescription.h"
#include "linux/session/LogindRecords.h"
#include "linux/input/UinputDevice.h"

namespace uinputd {

namespace {

using namespace platform::evdev;
using platform::logind::SessionRecord;

struct BusClose {
  void operator()(sd_bus *bus) const { sd_bus_flush_close_unref(bus); }
};
struct EvdevFree {
  void operator()(libevdev *dev) const { libevdev_free(dev); }
};

constexpr uint64_t kLogindTimeoutMicros = 5'000'000;

std::string Errno(const char *call, int error) {
  return std::string(call) + ": " + strerror(error);
}

// The event node of the input device uinput made (sysfs name "inputN"), opened for writing only.
bool OpenEventNode(const std::string &sysname, UniqueFd &node, std::string &devnode,
                   std::string &why) {
  const std::string device = "/sys/devices/virtual/input/" + sysname;
  std::string event;
  if (DIR *dir = opendir(device.c_str())) {
    while (dirent *entry = readdir(dir))
      if (strncmp(entry->d_name, "event", 5) == 0) event = entry->d_name;
    closedir(dir);
  }
  unsigned major = 0, minor = 0;
  char colon = 0;
  std::ifstream numbers(device + "/" + event + "/dev");
  if (event.empty() || !(numbers >> major >> colon >> minor) || colon != ':') {
    why = "the made device has no event node in " + device;
    return false;
  }
  devnode = "/dev/input/" + event;
  // devtmpfs makes the node as the device is added; allow it a moment all the same.
  for (int attempt = 0; attempt < 50 && !node; ++attempt) {
    node.reset(open(devnode.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    if (!node && errno != ENOENT) break;
    if (!node) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  struct stat st {};
  if (!node) {
    why = Errno(devnode.c_str(), errno);
    return false;
  }
  if (fstat(node.get(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != makedev(major, minor)) {
    why = devnode + " is not the made device's node";
    return false;
  }
  return true;
}

class SystemHost final : public Host {
 public:
  explicit SystemHost(std::string uinputPath) : uinputPath_(std::move(uinputPath)) {}

  std::string seatRefusal(uid_t uid) override {
    sd_bus *raw = nullptr;
    const int r = sd_bus_open_system(&raw);  // DBUS_SYSTEM_BUS_ADDRESS, else the default socket
    std::unique_ptr<sd_bus, BusClose> bus(raw);
    if (r < 0) return std::string("cannot ask logind: no system bus (") + strerror(-r) + ")";
    sd_bus_set_method_call_timeout(bus.get(), kLogindTimeoutMicros);
    std::map<std::string, SessionRecord> sessions;
    std::string why;
    if (!platform::logind::ReadUserSessions(bus.get(), uid, sessions, why))
      return "cannot ask logind: " + why;
    std::vector<SessionRecord> records;
    for (const auto &[path, record] : sessions) records.push_back(record);
    if (platform::logind::ActiveSeats(records).empty())
      return "the user has no active session at a seat";
    return {};
  }

  bool describe(int fd, DeviceIdentity &identity, Capabilities &capabilities,
                std::string &why) override {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || major(st.st_rdev) != INPUT_MAJOR) {
      why = "the descriptor is not an input device's";
      return false;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_WRONLY) {
      why = "the descriptor is not open for reading";
      return false;
    }
    libevdev *raw = nullptr;
    const int rc = libevdev_new_from_fd(fd, &raw);
    std::unique_ptr<libevdev, EvdevFree> dev(raw);
    if (rc < 0) {
      why = "the descriptor is not an event device's (" + std::string(strerror(-rc)) + ")";
      return false;
    }
    identity = DescribeIdentity(dev.get());
    capabilities = DescribeCapabilities(dev.get());
    return true;
  }

  bool create(const OutputSpec &wanted, UniqueFd &keep, UniqueFd &handOver, std::string &devnode,
              std::string &why) override {
    UniqueFd uinput(open(uinputPath_.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK));
    if (!uinput) {
      why = Errno(uinputPath_.c_str(), errno);
      return false;
    }
    if (int error = MakeUinputDevice(uinput.get(), wanted)) {
      why = Errno("cannot make the device", error);
      return false;
    }
    char sysname[64] = {};
    if (ioctl(uinput.get(), UI_GET_SYSNAME(sizeof sysname - 1), sysname) < 0) {
      why = Errno("UI_GET_SYSNAME", errno);
      return false;
    }
    if (!OpenEventNode(sysname, handOver, devnode, why)) return false;
    keep = std::move(uinput);
    return true;
  }

 private:
  std::string uinputPath_;
};

}  // namespace

std::unique_ptr<Host> makeSystemHost(std::string uinputPath) {
  return std::make_unique<SystemHost>(std::move(uinputPath));
}

}  // namespace uinputd
