// The end-to-end benchmark's baseline: the least a grabbing forwarder can do. It grabs one
// mouse, makes a uinput device that can do what the mouse does and has its phys (so the kernel
// treats it as the helper's outputs, and the helper, measured beside it, leaves it alone when
// that phys is an output's), and writes each frame it reads there with one write().
//   corvassel-bench-forwarder /dev/input/eventN NAME
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
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
  // libevdev leaves the phys out of the copy: uinput is told it first.
  const int uinput = open("/dev/uinput", O_RDWR | O_CLOEXEC);
  const char *phys = libevdev_get_phys(source);
  libevdev_uinput *sink = nullptr;
  if (uinput < 0 || (phys && ioctl(uinput, UI_SET_PHYS, phys) != 0) ||
      libevdev_uinput_create_from_device(source, uinput, &sink) != 0) {
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
