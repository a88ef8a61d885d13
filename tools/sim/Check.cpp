#include "Check.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace corvassel::sim {

namespace {

// Virtual time makes scenarios quick; a run this long in real time has hung.
constexpr int kScenarioTimeoutMillis = 60000;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string Quoted(const std::vector<std::string> &lines, size_t i) {
  return i < lines.size() ? "\"" + lines[i] + "\"" : "nothing";
}

struct ChildResult {
  std::string output;
  int status = 0;  // wait status
  bool timedOut = false;
  bool started = true;
};

ChildResult RunChild(const std::string &program, const std::string &scenario) {
  ChildResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    result.started = false;
    return result;
  }
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    result.started = false;
    return result;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    execl(program.c_str(), program.c_str(), scenario.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kScenarioTimeoutMillis);
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.output.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
  }
  return result;
}

bool ReadFile(const std::string &path, std::string *text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::stringstream s;
  s << in.rdbuf();
  *text = s.str();
  return true;
}

}  // namespace

std::optional<std::string> FirstDifference(const std::string &expected, const std::string &actual) {
  if (expected == actual) return std::nullopt;
  std::vector<std::string> want = Lines(expected), got = Lines(actual);
  size_t i = 0;
  while (i < want.size() && i < got.size() && want[i] == got[i]) ++i;
  if (i == want.size() && i == got.size()) {
    // Same lines, different bytes: only the final newline can differ.
    return "line " + std::to_string(i) + ": the final newline differs";
  }
  return "line " + std::to_string(i + 1) + ": expected " + Quoted(want, i) + ", got " +
         Quoted(got, i);
}

int CheckDirectory(const std::string &program, const std::string &directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto &entry : std::filesystem::directory_iterator(directory, ec)) {
    std::filesystem::path path = entry.path();
    if (path.extension() == ".scenario") names.push_back(path.stem().string());
  }
  if (ec) {
    fprintf(stderr, "%s: %s\n", directory.c_str(), ec.message().c_str());
    return 2;
  }
  std::sort(names.begin(), names.end());

  int passed = 0, failed = 0;
  for (const std::string &name : names) {
    std::string base = directory + "/" + name;
    std::string expected;
    std::string problem;
    if (!ReadFile(base + ".expected", &expected)) {
      problem = "no " + name + ".expected";
    } else {
      ChildResult child = RunChild(program, base + ".scenario");
      if (!child.started) {
        problem = "the simulator could not be started";
      } else if (child.timedOut) {
        problem = "no result after " + std::to_string(kScenarioTimeoutMillis / 1000) + " s";
      } else if (WIFSIGNALED(child.status)) {
        problem = "the simulator died of signal " + std::to_string(WTERMSIG(child.status));
      } else if (WIFEXITED(child.status) && WEXITSTATUS(child.status) == 2 &&
                 child.output.empty()) {
        problem = "the scenario file has mistakes";
      } else if (auto difference = FirstDifference(expected, child.output)) {
        problem = *difference;
      }
    }
    if (problem.empty()) {
      printf("ok %s\n", name.c_str());
      ++passed;
    } else {
      printf("FAIL %s: %s\n", name.c_str(), problem.c_str());
      ++failed;
    }
    fflush(stdout);
  }
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}

}  // namespace corvassel::sim
