// Processes and pipes: NSTask on the backend's launcher, NSPipe on pipe2, NSFileHandle reads.
#include <corvassel/Foundation.h>
#include <platform/Backend.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace corvassel::ns {

namespace {

std::string Describe(const char *what, int error) {
  return std::string(what) + ": " + strerror(error);
}

[[noreturn]] void ThrowReadError(int error) {
  throw NSException(NSFileHandleOperationException, Describe("read failed", error));
}

// Reads at most limit bytes once, retrying interruptions; 0 at end of file.
size_t ReadOnce(int fd, std::vector<UInt8> &into, size_t limit) {
  size_t old = into.size();
  into.resize(old + limit);
  ssize_t got;
  do {
    got = read(fd, into.data() + old, limit);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    int error = errno;
    into.resize(old);
    ThrowReadError(error);
  }
  into.resize(old + static_cast<size_t>(got));
  return static_cast<size_t>(got);
}

constexpr size_t kChunk = 64 * 1024;

}  // namespace

// ---- NSFileHandle ----

void NSFileHandle::closeFile() {
  fd_.reset();
}

std::vector<UInt8> NSFileHandle::readDataToEndOfFile() {
  if (!fd_) throw NSException(NSFileHandleOperationException, "file handle is closed");
  std::vector<UInt8> data;
  while (ReadOnce(fd_.get(), data, kChunk) > 0) {
  }
  return data;
}

std::vector<UInt8> NSFileHandle::readDataUntilExitOfTask(NSTask &task) {
  if (!fd_) throw NSException(NSFileHandleOperationException, "file handle is closed");
  const int fd = fd_.get();
  if (task.processIdentifier() <= 0)
    throw NSException(NSInvalidArgumentException, "task not launched");
  std::vector<UInt8> data;
  // Once the process has gone, the pipe holds everything it wrote. Take exactly that much: a
  // process it left behind may keep the write end open, or keep writing, for ever.
  auto takeBuffered = [&] {
    int available = 0;
    if (ioctl(fd, FIONREAD, &available) < 0) ThrowReadError(errno);
    size_t left = static_cast<size_t>(available > 0 ? available : 0);
    while (left > 0) {
      size_t got = ReadOnce(fd, data, left);
      if (got == 0) break;
      left -= got;
    }
  };
  for (;;) {
    int exitFd = task.exitDescriptor();
    struct pollfd watched[2] = {{fd, POLLIN, 0}, {exitFd, POLLIN, 0}};
    // Without an exit descriptor, look at the process now and then.
    int ready = poll(watched, exitFd >= 0 ? 2 : 1, exitFd >= 0 ? -1 : 20);
    if (ready < 0) {
      if (errno == EINTR) continue;
      ThrowReadError(errno);
    }
    bool exited = exitFd >= 0 ? (watched[1].revents != 0) : !task.isRunning();
    if (exited) {
      takeBuffered();
      return data;
    }
    if (watched[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      if (ReadOnce(fd, data, kChunk) == 0) return data;  // every writer has closed
    } else if (watched[0].revents & POLLNVAL) {
      throw NSException(NSFileHandleOperationException, "read failed: bad file descriptor");
    }
  }
}

// ---- NSPipe ----

std::pair<int, int> NSPipe::makePipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw NSException(NSFileHandleOperationException, Describe("cannot make a pipe", errno));
  return {fds[0], fds[1]};
}

NSPipe::NSPipe() : NSPipe(makePipe()) {}

NSPipe::NSPipe(std::pair<int, int> fds) : reading_(fds.first), writing_(fds.second) {}

// ---- NSTask ----

NSTask::~NSTask() {
  // Never leave a zombie behind.
  if (pid_ > 0 && !exited_) reap(true);
}

void NSTask::launch() {
  if (pid_ > 0) throw NSException(NSInvalidArgumentException, "task already launched");
  if (launchPath_.empty()) throw NSException(NSInvalidArgumentException, "launch path not set");
  int output = -1;
  if (standardOutput_) {
    output = standardOutput_->fileHandleForWriting().fileDescriptor();
    if (output < 0) throw NSException(NSInvalidArgumentException, "standard output pipe is closed");
  }
  platform::Launcher::Started started = platform::backend().launcher().launch(launchPath_, output);
  // The wording leaves the path out: it is the caller's to show or not.
  if (started.pid <= 0)
    throw NSException(NSInvalidArgumentException,
                      Describe("launch path not accessible", started.error));
  pid_ = started.pid;
  pidfd_ = std::move(started.exit);
  // The child has its copy; ours would keep the reader from ever seeing end of file.
  if (standardOutput_) standardOutput_->fileHandleForWriting().closeFile();
}

void NSTask::reap(bool block) {
  if (pid_ <= 0 || exited_) return;
  int status = 0;
  pid_t got;
  do {
    got = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return;  // still running
  exited_ = true;
  if (got < 0) {
    terminationStatus_ = 0;  // reaped elsewhere (SIGCHLD ignored): nothing to report
  } else if (WIFEXITED(status)) {
    terminationStatus_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    terminationStatus_ = WTERMSIG(status);
  }
  pidfd_.reset();
}

void NSTask::waitUntilExit() {
  if (pid_ <= 0) throw NSException(NSInvalidArgumentException, "task not launched");
  reap(true);
}

bool NSTask::isRunning() {
  if (pid_ <= 0) return false;
  reap(false);
  return !exited_;
}

}  // namespace corvassel::ns
