// Running an action's one-line script against the least any launcher must do for it: spawn it
// with a pipe on its output, read the pipe to the end and wait for it.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "scripts/ExtraScripts.h"

extern char **environ;

namespace {

// A private home whose pane bundle holds a one-line back script.
const std::string &ScriptPath() {
  static const std::string path = [] {
    char home[] = "/tmp/corvassel-bench-XXXXXX";
    if (!mkdtemp(home)) abort();
    setenv("HOME", home, 1);
    std::string dir = home;
    for (const char *part : {"/Library", "/PreferencePanes", "/Ombrisk.prefPane", "/Contents",
                             "/Resources", "/Scripts"}) {
      dir += part;
      mkdir(dir.c_str(), 0755);
    }
    std::string script = dir + "/back-extra-script";
    FILE *file = fopen(script.c_str(), "w");
    if (!file) abort();
    fputs("#!/bin/sh\necho complete\n", file);
    fclose(file);
    chmod(script.c_str(), 0755);
    return script;
  }();
  return path;
}

void BM_RunExtraScript(benchmark::State &state) {
  ScriptPath();
  for (auto _ : state) {
    std::optional<std::string> output = RunExtraScript("back-extra-script");
    if (output != std::optional<std::string>("complete")) state.SkipWithError("no output");
    benchmark::DoNotOptimize(output);
  }
}
BENCHMARK(BM_RunExtraScript)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_RunExtraScript_Baseline(benchmark::State &state) {
  const std::string &path = ScriptPath();
  for (auto _ : state) {
    int fds[2];
    if (pipe(fds) != 0) abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ) != 0) abort();
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    char buffer[256];
    std::string output;
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, n);
    close(fds[0]);
    int status;
    waitpid(pid, &status, 0);
    benchmark::DoNotOptimize(output);
  }
}
BENCHMARK(BM_RunExtraScript_Baseline)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
