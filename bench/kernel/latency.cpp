// The end-to-end benchmark, run on a real kernel by scripts/bench (through scripts/kernel-test):
// corvassel-helper against minimal forwarders, each mouse grabbed and re-emitted on a device of
// its own: the helper with MICE mice, as many forwarder processes with one mouse each. A round
// trip is one motion frame written on a mouse until the same frame is read from its re-emitting
// device, the mice taking turns. Round trips run in alternating blocks, so that the machine's
// noise falls on both; CPU time is what the forwarding processes used (every thread, from
// schedstat).
//   corvassel_kernel_bench [ROUND_TRIPS [BLOCK [MICE]]]
#include "KernelSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace kcheck;

namespace {

uint64_t NowNanos() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// CPU time of every thread of pid, in nanoseconds.
uint64_t CpuNanos(pid_t pid) {
  uint64_t total = 0;
  std::error_code ec;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (std::filesystem::directory_iterator it(tasks, ec), end; !ec && it != end; it.increment(ec)) {
    std::ifstream stat(it->path() / "schedstat");
    uint64_t running = 0;
    if (stat >> running) total += running;
  }
  return total;
}

// A mouse and the device it is re-emitted on, read raw.
struct Relay {
  std::unique_ptr<SourceDevice> mouse;
  int out = -1;
};

struct Target {
  const char *name = "";
  std::vector<Relay> mice;
  std::vector<pid_t> pids;  // the forwarding processes
  std::vector<uint64_t> latencies;
  uint64_t cpu = 0;
  int sign = 1;
  size_t turn = 0;

  uint64_t cpuNanos() const {
    uint64_t total = 0;
    for (pid_t pid : pids) total += CpuNanos(pid);
    return total;
  }

  // One frame there and back on the next mouse; false if it did not come back within a second.
  bool roundTrip(bool measure) {
    sign = -sign;
    const Relay &next = mice[turn++ % mice.size()];
    const uint64_t start = NowNanos();
    next.mouse->frame({Rel(REL_X, sign)});
    for (;;) {
      pollfd p{next.out, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) return false;
      input_event events[16];
      ssize_t n = read(next.out, events, sizeof events);
      for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof events[0]); ++i) {
        if (events[i].type == EV_SYN && events[i].code == SYN_REPORT) {
          if (measure) latencies.push_back(NowNanos() - start);
          return true;
        }
      }
    }
  }
};

uint64_t Percentile(std::vector<uint64_t> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

}  // namespace

int main(int argc, char **argv) {
  const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int block = argc > 2 ? std::atoi(argv[2]) : 100;
  const int mice = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;

  Target targets[2];
  targets[0].name = "helper";
  targets[1].name = "forwarder";
  Target &helperSide = targets[0], &forwarders = targets[1];
  // The forwarders' mice and their copies carry an output's phys, so that the helper leaves
  // them alone rather than asking the forwarders' grabs for them while they are measured.
  for (int i = 0; i < mice; ++i) {
    const std::string n = std::to_string(i + 1);
    MouseLook look;
    look.name = "bench mouse f" + n;
    look.phys = std::string(kOutputPhysPrefix) + "bench-f" + n;
    forwarders.mice.push_back({std::make_unique<SourceDevice>(look)});
    const std::string copy = "bench forwarder " + n;
    const pid_t pid = fork();
    if (pid == 0) {
      execl(CORVASSEL_BENCH_FORWARDER, CORVASSEL_BENCH_FORWARDER,
            forwarders.mice.back().mouse->node().c_str(), copy.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    forwarders.pids.push_back(pid);
    const std::string out = FindDevice(copy, Millis(5000));
    forwarders.mice.back().out =
        out.empty() ? -1 : open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  for (int i = 0; i < mice; ++i)
    helperSide.mice.push_back(
        {std::make_unique<SourceDevice>("bench mouse h" + std::to_string(i + 1))});
  Home home;
  Helper helper(home);
  helperSide.pids.push_back(helper.pid());
  for (Relay &each : helperSide.mice) {
    const std::string out = OutputOf(*each.mouse, Millis(5000));
    each.out = out.empty() ? -1 : open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  const auto stopForwarders = [&] {
    for (pid_t pid : forwarders.pids) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  };
  for (const Target &t : targets) {
    for (const Relay &each : t.mice) {
      if (each.out >= 0) continue;
      fprintf(stderr, "corvassel_kernel_bench: the %s did not re-emit a mouse\n", t.name);
      stopForwarders();
      return 1;
    }
  }

  int status = 0;
  for (Target &t : targets) {
    for (int i = 0; i < 100; ++i) {  // warm up: caches, page faults, the grab settling
      if (!t.roundTrip(false)) {
        fprintf(stderr, "corvassel_kernel_bench: no frame came back from the %s\n", t.name);
        status = 1;
        break;
      }
    }
  }
  for (int done = 0; status == 0 && done < roundTrips; done += block) {
    for (Target &t : targets) {
      const uint64_t before = t.cpuNanos();
      for (int i = 0; i < block && status == 0; ++i)
        if (!t.roundTrip(true)) status = 1;
      t.cpu += t.cpuNanos() - before;
    }
  }
  stopForwarders();
  if (status != 0) {
    fprintf(stderr, "corvassel_kernel_bench: a frame did not come back\n");
    return 1;
  }
  for (const Target &t : targets) {
    const double frames = static_cast<double>(t.latencies.size());
    printf("%s: mice=%d round_trips=%zu p50_ns=%llu p99_ns=%llu cpu_ns_per_frame=%.0f\n", t.name,
           mice, t.latencies.size(), static_cast<unsigned long long>(Percentile(t.latencies, 0.5)),
           static_cast<unsigned long long>(Percentile(t.latencies, 0.99)),
           static_cast<double>(t.cpu) / frames);
  }
  const auto ratio = [&](double p) {
    return static_cast<double>(Percentile(targets[0].latencies, p)) /
           static_cast<double>(Percentile(targets[1].latencies, p));
  };
  printf(
      "ratios: mice=%d p50=%.3f p99=%.3f cpu=%.3f\n", mice, ratio(0.5), ratio(0.99),
      (static_cast<double>(targets[0].cpu) / static_cast<double>(targets[0].latencies.size())) /
          (static_cast<double>(targets[1].cpu) / static_cast<double>(targets[1].latencies.size())));
  return 0;
}
