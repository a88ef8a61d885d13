#include "KernelSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/uinput.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace kcheck {

void PrintTo(const Ev &ev, std::ostream *os) {
  const char *type = libevdev_event_type_get_name(ev.type);
  const char *code = libevdev_event_code_get_name(ev.type, ev.code);
  *os << (type ? type : "?") << " " << (code ? code : std::to_string(ev.code)) << " " << ev.value;
}

bool Eventually(const std::function<bool()> &cond, Millis timeout) {
  return EventuallyEvery(cond, timeout, Millis(10));
}

bool EventuallyEvery(const std::function<bool()> &cond, Millis timeout, Millis interval) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(interval);
  }
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const std::string &path, const std::string &text, int mode) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

int Shell(const std::string &command) {
  int status = std::system(command.c_str());
  return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellOutput(const std::string &command) {
  std::string out;
  if (FILE *p = popen(command.c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// ---- devices --------------------------------------------------------------------------------

SourceDevice::SourceDevice(const std::string &name, Kind kind) : name_(name) {
  libevdev *tmpl = libevdev_new();
  libevdev_set_name(tmpl, name.c_str());
  libevdev_set_id_bustype(tmpl, BUS_USB);
  libevdev_set_id_vendor(tmpl, 0x1234);
  libevdev_set_id_product(tmpl, kind == Mouse ? 0x5678 : 0x5679);
  if (kind == Mouse || kind == MouseThatTypes) {
    for (unsigned rel : {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES})
      libevdev_enable_event_code(tmpl, EV_REL, rel, nullptr);
    for (unsigned btn = BTN_LEFT; btn <= BTN_TASK; ++btn)
      libevdev_enable_event_code(tmpl, EV_KEY, btn, nullptr);
  }
  if (kind == MouseThatTypes) {
    for (unsigned key = KEY_ESC; key <= KEY_SLASH; ++key)
      libevdev_enable_event_code(tmpl, EV_KEY, key, nullptr);
  } else if (kind == Keyboard) {
    for (unsigned key = KEY_ESC; key <= KEY_SLASH; ++key)
      libevdev_enable_event_code(tmpl, EV_KEY, key, nullptr);
    libevdev_enable_event_type(tmpl, EV_REP);
  }
  make(tmpl, "");
}

SourceDevice::SourceDevice(const MouseLook &look) : name_(look.name) {
  libevdev *tmpl = libevdev_new();
  libevdev_set_name(tmpl, look.name.c_str());
  libevdev_set_id_bustype(tmpl, BUS_USB);
  libevdev_set_id_vendor(tmpl, look.vendor);
  libevdev_set_id_product(tmpl, look.product);
  libevdev_set_id_version(tmpl, look.version);
  for (unsigned rel : {REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES})
    libevdev_enable_event_code(tmpl, EV_REL, rel, nullptr);
  for (unsigned btn = BTN_LEFT; btn <= BTN_TASK; ++btn)
    if (look.buttons.empty() ||
        std::find(look.buttons.begin(), look.buttons.end(), btn) != look.buttons.end())
      libevdev_enable_event_code(tmpl, EV_KEY, btn, nullptr);
  libevdev_enable_event_code(tmpl, EV_MSC, MSC_SCAN, nullptr);
  make(tmpl, look.phys);
}

// libevdev sets no phys, and finds the node it made by the device's name, which an output
// shares: the phys is set and the node found through uinput itself.
void SourceDevice::make(libevdev *tmpl, const std::string &phys) {
  fd_ = open("/dev/uinput", O_RDWR | O_CLOEXEC);
  int rc = fd_ < 0 ? -errno : 0;
  if (rc == 0 && !phys.empty() && ioctl(fd_, UI_SET_PHYS, phys.c_str()) != 0) rc = -errno;
  if (rc == 0) rc = libevdev_uinput_create_from_device(tmpl, fd_, &ui_);
  libevdev_free(tmpl);
  if (rc != 0) {
    ADD_FAILURE() << "cannot make " << name_ << " through uinput: " << strerror(-rc);
    ui_ = nullptr;
    return;
  }
  char sysname[64] = {};
  if (ioctl(fd_, UI_GET_SYSNAME(sizeof sysname - 1), sysname) >= 0) {
    std::error_code ec;
    for (fs::directory_iterator it(std::string("/sys/devices/virtual/input/") + sysname, ec), end;
         !ec && it != end; it.increment(ec))
      if (it->path().filename().string().rfind("event", 0) == 0)
        node_ = "/dev/input/" + it->path().filename().string();
  }
  // sysfs has the device a moment before devtmpfs has its node.
  if (node_.empty() || !Eventually([&] { return access(node_.c_str(), F_OK) == 0; }, Millis(3000)))
    ADD_FAILURE() << "no node appeared for " << name_;
}

SourceDevice::~SourceDevice() {
  unplug();
}

void SourceDevice::frame(std::initializer_list<Ev> events) {
  frame(Frame(events));
}

void SourceDevice::frame(const Frame &events) {
  if (!ui_) return;
  for (const Ev &ev : events) libevdev_uinput_write_event(ui_, ev.type, ev.code, ev.value);
  libevdev_uinput_write_event(ui_, EV_SYN, SYN_REPORT, 0);
}

void SourceDevice::unplug() {
  if (ui_) libevdev_uinput_destroy(ui_);
  ui_ = nullptr;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

Reader::Reader(const std::string &node) : node_(node) {
  fd_ = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0 || libevdev_new_from_fd(fd_, &dev_) != 0) {
    ADD_FAILURE() << "cannot read " << node << ": " << strerror(errno);
    dev_ = nullptr;
    return;
  }
  libevdev_set_clock_id(dev_, CLOCK_MONOTONIC);  // times comparable across devices
}

Reader::~Reader() {
  if (dev_) libevdev_free(dev_);
  if (fd_ >= 0) close(fd_);
}

// Whether the node has events to read within `timeout`; false once it went (ENODEV is all a read
// of a removed device gives, however much was queued).
bool Reader::wait(Millis timeout) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) gone_ = true;
  return !gone_;
}

bool Reader::readPending(std::vector<Frame> &out, std::vector<uint64_t> *times) {
  if (!dev_) return false;
  bool any = false;
  input_event e;
  for (;;) {
    int rc = libevdev_next_event(dev_, LIBEVDEV_READ_FLAG_NORMAL, &e);
    if (rc == LIBEVDEV_READ_STATUS_SYNC) {
      ++drops_;
      // Dropped: libevdev brings its state back in line; the frames in between are lost.
      while (libevdev_next_event(dev_, LIBEVDEV_READ_FLAG_SYNC, &e) == LIBEVDEV_READ_STATUS_SYNC) {
      }
      partial_.clear();
      continue;
    }
    if (rc != LIBEVDEV_READ_STATUS_SUCCESS) break;
    any = true;
    if (e.type == EV_SYN && e.code == SYN_REPORT) {
      out.push_back(std::move(partial_));
      partial_.clear();
      if (times)
        times->push_back(static_cast<uint64_t>(e.input_event_sec) * 1000000u +
                         static_cast<uint64_t>(e.input_event_usec));
    } else if (e.type != EV_SYN) {
      partial_.push_back({e.type, e.code, e.value});
    }
  }
  return any;
}

std::vector<Frame> Reader::frames(Millis quiet) {
  std::vector<Frame> out;
  for (;;) {
    readPending(out);
    if (!wait(quiet)) return out;
  }
}

std::vector<TimedFrame> Reader::timedFrames(Millis quiet) {
  std::vector<Frame> frames;
  std::vector<uint64_t> times;
  for (;;) {
    readPending(frames, &times);
    if (!wait(quiet)) break;
  }
  std::vector<TimedFrame> out;
  for (size_t i = 0; i < frames.size(); ++i) out.push_back({std::move(frames[i]), times[i]});
  return out;
}

std::vector<Frame> Reader::waitFrames(size_t count, Millis timeout) {
  std::vector<Frame> out;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (out.size() < count) {
    readPending(out);
    auto left = std::chrono::duration_cast<Millis>(end - std::chrono::steady_clock::now());
    if (out.size() >= count || left.count() <= 0) break;
    if (!wait(left)) break;
  }
  return out;
}

Collector::Collector(const std::string &node) : reader_(node) {
  thread_ = std::thread([this] {
    while (!stop_ && !reader_.gone()) {
      std::vector<TimedFrame> got = reader_.timedFrames(Millis(20));
      std::lock_guard lock(mutex_);
      frames_.insert(frames_.end(), got.begin(), got.end());
    }
  });
}

Collector::~Collector() {
  finish();
}

std::vector<TimedFrame> Collector::finish() {
  if (thread_.joinable()) {
    stop_ = true;
    thread_.join();
  }
  std::lock_guard lock(mutex_);
  return frames_;
}

bool Reader::held(uint16_t code) {
  std::vector<Frame> ignored;
  readPending(ignored);
  return dev_ && libevdev_get_event_value(dev_, EV_KEY, code) != 0;
}

bool Reader::anyButtonHeld() {
  for (uint16_t code = BTN_MOUSE; code < BTN_JOYSTICK; ++code)
    if (held(code)) return true;
  return false;
}

bool Forwarded(SourceDevice &mouse, Reader &out, Millis timeout) {
  const bool forwarded = Eventually(
      [&] {
        mouse.frame({Rel(REL_X, 1)});
        return !out.waitFrames(1, Millis(50)).empty();
      },
      timeout);
  // A helper slower than the retries (a loaded machine) still has motion on its way: read it
  // here, not as the next frames a check waits for.
  if (forwarded) out.frames(Millis(100));
  return forwarded;
}

std::vector<std::string> InputNodes() {
  std::vector<std::string> nodes = {"/dev/uinput"};
  for (const auto &entry : fs::directory_iterator("/dev/input"))
    if (entry.path().filename().string().rfind("event", 0) == 0)
      nodes.push_back(entry.path().string());
  return nodes;
}

void Modes::set(const std::string &path, mode_t mode) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return;
  saved_.emplace_back(path, st.st_mode & 07777);
  chmod(path.c_str(), mode);
}

Modes::~Modes() {
  // Latest first, so that a node changed twice ends as it began.
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) chmod(it->first.c_str(), it->second);
}

bool StartUdev() {
  const bool started = access("/run/udev/control", F_OK) != 0;
  // The input and misc devices are all the checks need udev to know (a trigger of every device
  // would also load drivers, a PS/2 mouse's among them, and take many seconds).
  if (started)
    Shell(
        "/lib/systemd/systemd-udevd --daemon >/dev/null 2>&1 && udevadm trigger --action=add "
        "--subsystem-match=input --subsystem-match=misc >/dev/null 2>&1");
  SettleUdev();
  return started;
}

void StopUdev() {
  Shell("udevadm control --exit >/dev/null 2>&1; rm -f /run/udev/control");
}

void SettleUdev() {
  if (access("/run/udev/control", F_OK) == 0) Shell("udevadm settle -t 20");
}

std::string FindDevice(const std::string &name, Millis timeout,
                       const std::vector<std::string> &except) {
  std::string found;
  Eventually(
      [&] {
        std::error_code ec;
        for (fs::directory_iterator it("/dev/input", ec), end; !ec && it != end; it.increment(ec)) {
          const std::string path = it->path().string();
          if (it->path().filename().string().rfind("event", 0) != 0 ||
              std::find(except.begin(), except.end(), path) != except.end())
            continue;
          int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
          if (fd < 0) continue;
          char buf[256] = {};
          bool match = ioctl(fd, EVIOCGNAME(sizeof buf - 1), buf) >= 0 && name == buf;
          close(fd);
          if (match) {
            found = path;
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

std::string Attribute(const std::string &node, const std::string &attribute) {
  const std::string name = fs::path(node).filename().string();
  std::string text = ReadFile("/sys/class/input/" + name + "/device/" + attribute);
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::vector<std::string> OutputNodes() {
  std::vector<std::string> nodes;
  std::error_code ec;
  for (fs::directory_iterator it("/dev/input", ec), end; !ec && it != end; it.increment(ec)) {
    const std::string path = it->path().string();
    if (it->path().filename().string().rfind("event", 0) == 0 &&
        Attribute(path, "phys").rfind(kOutputPhysPrefix, 0) == 0)
      nodes.push_back(path);
  }
  std::sort(nodes.begin(), nodes.end());
  return nodes;
}

std::string OutputOf(const std::string &node, Millis timeout) {
  const std::string phys = kOutputPhysPrefix + fs::path(node).filename().string();
  std::string found;
  // Not too often: the helper and udev need the machine's one processor meanwhile.
  EventuallyEvery(
      [&] {
        for (const std::string &output : OutputNodes()) {
          if (Attribute(output, "phys") != phys || access(output.c_str(), F_OK) != 0) continue;
          found = output;
          return true;
        }
        return false;
      },
      timeout, Millis(40));
  return found;
}

bool GrabbedByAnother(const std::string &node) {
  int fd = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  bool busy = false;
  if (ioctl(fd, EVIOCGRAB, 1) == 0)
    ioctl(fd, EVIOCGRAB, 0);
  else
    busy = errno == EBUSY;
  close(fd);
  return busy;
}

bool HoldsOpen(pid_t pid, const std::string &node) {
  std::error_code ec;
  for (const auto &fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    if (fs::read_symlink(fd.path(), ec) == node) return true;
  return false;
}

// ---- the helper -----------------------------------------------------------------------------

Home::Home() {
  char tmpl[] = "/tmp/corvassel-home-XXXXXX";
  path_ = mkdtemp(tmpl) ? tmpl : "";
  chmod(path_.c_str(), 0755);
  settings();
}

Home::~Home() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void Home::settings(bool enabled, int back, int forward, int passthrough) {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
         "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\"><dict>"
      << "<key>Enabled</key>" << (enabled ? "<true/>" : "<false/>")
      << "<key>BackButton</key><integer>" << back << "</integer>"
      << "<key>ForwardButton</key><integer>" << forward << "</integer>"
      << "<key>PassthroughButton</key><integer>" << passthrough << "</integer>"
      << "</dict></plist>\n";
  WriteFile(path_ + "/Library/Preferences/Quendrith.tavrel.prefpane.plist", xml.str());
}

void Home::script(const std::string &name, const std::string &body) {
  WriteFile(path_ + "/Library/PreferencePanes/Ombrisk.prefPane/Contents/Resources/Scripts/" + name,
            "#!/bin/sh\n" + body + "\n", 0755);
}

void Home::chown(uid_t uid) {
  for (const auto &entry : fs::recursive_directory_iterator(path_))
    lchown(entry.path().c_str(), uid, uid);
  lchown(path_.c_str(), uid, uid);
}

// A program whose output is kept has a log of its own for each run, beside the helper's.
static std::string LogPath(const Home &home, const std::string &exe, bool keepOutput) {
  static int runs = 0;
  if (!keepOutput) return home.path() + "/helper.log";
  return home.path() + "/" + fs::path(exe).filename().string() + "-" + std::to_string(++runs) +
         ".log";
}

Helper::Helper(Home &home, Options options)
    : logPath_(LogPath(home, options.exe, options.keepOutput)) {
  std::vector<std::string> args = {options.exe.empty() ? CORVASSEL_HELPER_EXE : options.exe};
  args.insert(args.end(), options.args.begin(), options.args.end());
  std::vector<std::string> env = {"HOME=" + home.path(), "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                  "LANG=C.UTF-8"};
  env.insert(env.end(), options.env.begin(), options.env.end());
  int log = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (options.uid != 0) fchown(log, options.uid, options.uid);
  pid_ = fork();
  if (pid_ == 0) {
    dup2(log, 2);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(options.keepOutput ? log : null, 1);
    if (options.uinputIsDevNull || options.noBroker) {
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) ||
          (options.uinputIsDevNull &&
           mount("/dev/null", "/dev/uinput", nullptr, MS_BIND, nullptr)) ||
          (options.noBroker &&
           mount("/dev/null", "/run/corvassel-uinputd.sock", nullptr, MS_BIND, nullptr)))
        _exit(120);
    }
    if (options.uid != 0 &&
        (setgroups(0, nullptr) != 0 || setresgid(options.uid, options.uid, options.uid) != 0 ||
         setresuid(options.uid, options.uid, options.uid) != 0))
      _exit(121);
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    for (auto &e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(log);
}

Helper::~Helper() {
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Helper::signal(int sig) {
  if (!reaped_ && pid_ > 0) kill(pid_, sig);
}

bool Helper::running() {
  if (reaped_ || pid_ <= 0) return false;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
  return !reaped_;
}

int Helper::waitExit(Millis timeout) {
  Eventually([&] { return !running(); }, timeout);
  if (!reaped_ || !WIFEXITED(status_)) return -1;
  return WEXITSTATUS(status_);
}

namespace {
// Where the machine's system log is kept: the helper logs there when it has no terminal.
const char *const kSystemLog = "/run/corvassel-checks-syslog";

class SystemLog : public ::testing::Environment {
 public:
  void SetUp() override {
    if (access("/dev/log", F_OK) != 0) Shell(std::string("busybox syslogd -S -O ") + kSystemLog);
    Eventually([] { return access("/dev/log", F_OK) == 0; }, Millis(3000));
  }
};
const auto *const gSystemLog = ::testing::AddGlobalTestEnvironment(new SystemLog);
}  // namespace

std::string Helper::log() const {
  std::istringstream all(fullLog());
  std::string kept;
  for (std::string line; std::getline(all, line);)
    if (line.find("login sessions are not followed") == std::string::npos) kept += line + "\n";
  return kept;
}

std::string Helper::fullLog() const {
  // What it wrote to standard error, then its lines in the system log, without their prefix.
  std::string said = ReadFile(logPath_);
  const std::string tag = "corvassel-helper[" + std::to_string(pid_) + "]: ";
  std::istringstream lines(ReadFile(kSystemLog));
  for (std::string line; std::getline(lines, line);) {
    const auto at = line.find(tag);
    if (at != std::string::npos) said += line.substr(at + tag.size()) + "\n";
  }
  return said;
}

Running::Running(Home &home, std::initializer_list<SourceDevice *> mice, Helper::Options options)
    : helper(home, std::move(options)) {
  // A mouse's output is made once it is grabbed: probing the grab before would take the mouse
  // from under the helper.
  const auto until = std::chrono::steady_clock::now() + Millis(8000);
  for (SourceDevice *mouse : mice) {
    const std::string output = OutputOf(
        *mouse, std::chrono::duration_cast<Millis>(until - std::chrono::steady_clock::now()));
    if (output.empty())
      ADD_FAILURE() << "no output for " << mouse->name() << " " << mouse->node()
                    << (HoldsOpen(helper.pid(), mouse->node()) ? " (opened)" : " (not opened)")
                    << "; the helper said: " << helper.log();
    outputs[mouse->node()] = output;
  }
}

const std::string &Running::output(const SourceDevice &mouse) const {
  static const std::string none;
  auto it = outputs.find(mouse.node());
  return it == outputs.end() ? none : it->second;
}

}  // namespace kcheck
