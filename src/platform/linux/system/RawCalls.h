// The tap thread's system calls on its path from a mouse to its output device, made directly.
// glibc's read, write and epoll_wait are cancellation points: in a process with threads each call
// switches asynchronous cancellation on and off around the kernel's work, which a thread that is
// never cancelled does not need on every frame.
#pragma once

#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>

namespace platform::evdev {

inline ssize_t RawRead(int fd, void *buf, size_t count) {
  return ::syscall(SYS_read, fd, buf, count);
}

inline ssize_t RawWrite(int fd, const void *buf, size_t count) {
  return ::syscall(SYS_write, fd, buf, count);
}

// epoll_pwait with no signal mask: the one form every architecture has.
inline int RawEpollWait(int epfd, epoll_event *events, int maxEvents, int timeout) {
  return static_cast<int>(
      ::syscall(SYS_epoll_pwait, epfd, events, maxEvents, timeout, nullptr, size_t{0}));
}

}  // namespace platform::evdev
