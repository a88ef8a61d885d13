// The end-to-end benchmark's baseline: the least a grabbing forwarder can do. It grabs one
// mouse, makes a uinput device that can do what the mouse does (so the kernel treats both
// virtual devices alike), and writes each frame it reads there with one write(). The device is
// named as the bench says: the helper, measured beside it, leaves alone a device of its own name.
//   corvassel-bench-forwarder /dev/input/eventN NAME
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: corvassel-bench-forwarder /dev/input/eventN NAME\n");
    return 2;
  }
  libevdev *source = nullptr;
  int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
  if (fd < 0 || libevdev_new_from_fd(fd, &source) != 0 || libevdev_grab(source, LIBEVDEV_GRAB)) {
    fprintf(stderr, "corvassel-bench-forwarder: cannot grab %s\n", argv[1]);
    return 1;
  }
  libevdev_set_name(source, argv[2]);  // the copy's name; the mouse keeps its own
  libevdev_uinput *sink = nullptr;
  if (libevdev_uinput_create_from_device(source, LIBEVDEV_UINPUT_OPEN_MANAGED, &sink) != 0) {
    fprintf(stderr, "corvassel-bench-forwarder: no uinput device\n");
    return 1;
  }
  const int out = libevdev_uinput_get_fd(sink);
  input_event frame[64];
  size_t count = 0;
  for (;;) {
    input_event ev;
    int rc =
        libevdev_next_event(source, LIBEVDEV_READ_FLAG_NORMAL | LIBEVDEV_READ_FLAG_BLOCKING, &ev);
    if (rc == LIBEVDEV_READ_STATUS_SYNC) {
      while (libevdev_next_event(source, LIBEVDEV_READ_FLAG_SYNC, &ev) ==
             LIBEVDEV_READ_STATUS_SYNC) {
      }
      count = 0;
      continue;
    }
    if (rc == -EAGAIN || rc == -EINTR) continue;
    if (rc != LIBEVDEV_READ_STATUS_SUCCESS) return 0;  // the mouse went
    memset(&ev.time, 0, sizeof ev.time);
    frame[count++] = ev;
    if ((ev.type == EV_SYN && ev.code == SYN_REPORT) || count == 64) {
      if (write(out, frame, count * sizeof frame[0]) < 0) return 1;
      count = 0;
    }
  }
}
