// Runs one of the project's programs as its user would: its own process, standard output and
// error captured, extra environment on top of the test's own, and a time limit.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

struct ToolRun {
  int status = -1;  // exit status, 128 + signal, or -1 when it did not end in time
  std::string out;
  std::string err;
};

// env entries are NAME=VALUE and replace the test's own NAME.
inline ToolRun RunTool(const std::string &program, const std::vector<std::string> &args,
                       const std::string &scratch, const std::vector<std::string> &env = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  std::vector<std::string> argStore = {program};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<std::string> envStore;
  for (char **entry = environ; *entry; ++entry) {
    std::string current = *entry;
    bool replaced = false;
    for (const std::string &extra : env)
      replaced =
          replaced || current.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0;
    if (!replaced) envStore.push_back(current);
  }
  envStore.insert(envStore.end(), env.begin(), env.end());
  std::vector<char *> argv, envp;
  for (std::string &arg : argStore) argv.push_back(arg.data());
  for (std::string &entry : envStore) envp.push_back(entry.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);

  const std::string outPath = scratch + "/tool-out.txt", errPath = scratch + "/tool-err.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  pid_t pid = 0;
  ToolRun result;
  int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << program;
  if (spawned != 0) return result;
  int wstatus = 0;
  const auto end = std::chrono::steady_clock::now() + timeout;
  pid_t done = 0;
  while ((done = waitpid(pid, &wstatus, WNOHANG)) == 0 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  } else {
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
  auto read = [](const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  result.out = read(outPath);
  result.err = read(errPath);
  unlink(outPath.c_str());
  unlink(errPath.c_str());
  return result;
}
