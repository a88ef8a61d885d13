#include <platform/Backend.h>

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "runloop/RunLoopInternal.h"

namespace platform {

namespace {
Backend *gInstalled = nullptr;
}

Backend &backend() {
  static Backend real;
  return gInstalled ? *gInstalled : real;
}

void setBackend(Backend *b) {
  gInstalled = b;
  runLoopsBackendChanged();  // loops made on the old clock cannot serve the new one
}

TimeSource &Backend::time() {
  return systemTime();
}
InputBackend &Backend::input() {
  return linuxInput();
}
NotificationTransport &Backend::notifications() {
  return sessionBusNotifications();
}

void Backend::log(const std::string &line) {
  static std::once_flag opened;
  std::call_once(opened, [] { openlog("corvassel-helper", LOG_PID, LOG_USER); });
  syslog(LOG_NOTICE, "%s", line.c_str());
  fprintf(stderr, "%s\n", line.c_str());
}

void Backend::exitProcess(int status) {
  fflush(nullptr);
  std::exit(status);
}

}  // namespace platform
