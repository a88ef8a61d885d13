// Programs and files as this machine has them: stat, posix_spawn and pidfd_open.
#include <platform/Host.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char **environ;

namespace platform {

namespace {

// Owns the spawn attributes and file actions for one launch.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup &) = delete;
  SpawnSetup &operator=(const SpawnSetup &) = delete;
};

UniqueFd OpenExitDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  // Always close-on-exec.
  return UniqueFd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
#else
  return UniqueFd();
#endif
}

}  // namespace

bool HostLauncher::exists(const std::string &path) {
  struct stat info;
  return !path.empty() && stat(path.c_str(), &info) == 0;
}

Launcher::Started HostLauncher::launch(const std::string &path, int output) {
  SpawnSetup setup;
  // The child starts with default signal handling and nothing blocked, whatever this process
  // blocks or handles.
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  if (output >= 0) posix_spawn_file_actions_adddup2(&setup.actions, output, STDOUT_FILENO);
  // Our own descriptors are close-on-exec already; this also keeps out any a library opened
  // without it.
  posix_spawn_file_actions_addclosefrom_np(&setup.actions, STDERR_FILENO + 1);

  char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
  Started started;
  started.error =
      posix_spawn(&started.pid, path.c_str(), &setup.actions, &setup.attributes, argv, environ);
  if (started.error != 0) {
    started.pid = -1;
    return started;
  }
  started.exit = OpenExitDescriptor(started.pid);
  return started;
}

}  // namespace platform
