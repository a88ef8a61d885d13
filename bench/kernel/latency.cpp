// The end-to-end benchmark, run on a real kernel by scripts/bench (through scripts/kernel-test):
// corvassel-helper against a minimal forwarder, each grabbing a mouse of its own and re-emitting
// it. A round trip is one motion frame written on the mouse until the same frame is read from
// the re-emitting device. Round trips run in alternating blocks, so that the machine's noise
// falls on both; CPU time is what the forwarding process used (every thread, from schedstat).
//   corvassel_kernel_bench [ROUND_TRIPS [BLOCK]]
#include "KernelSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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

struct Target {
  const char *name = "";
  SourceDevice *mouse = nullptr;
  int out = -1;  // the re-emitting device, read raw
  pid_t pid = -1;
  std::vector<uint64_t> latencies;
  uint64_t cpu = 0;
  int sign = 1;

  // One frame there and back; false if it did not come back within a second.
  bool roundTrip(bool measure) {
    sign = -sign;
    const uint64_t start = NowNanos();
    mouse->frame({Rel(REL_X, sign)});
    for (;;) {
      pollfd p{out, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) return false;
      input_event events[16];
      ssize_t n = read(out, events, sizeof events);
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

  // The forwarder's mouse carries the name the helper gives its own device, so that the helper
  // leaves it alone rather than asking the forwarder's grab for it again while it is measured.
  SourceDevice forwarderMouse(kVirtualPointer);
  pid_t forwarder = fork();
  if (forwarder == 0) {
    execl(CORVASSEL_BENCH_FORWARDER, CORVASSEL_BENCH_FORWARDER, forwarderMouse.node().c_str(),
          kVirtualPointer, static_cast<char *>(nullptr));
    _exit(127);
  }
  const std::string forwarderOut =
      FindDevice(kVirtualPointer, Millis(5000), {forwarderMouse.node()});
  SourceDevice helperMouse("bench mouse h");
  Home home;
  Helper helper(home);
  const std::string helperOut =
      FindDevice(kVirtualPointer, Millis(5000), {forwarderMouse.node(), forwarderOut});
  std::this_thread::sleep_for(Millis(300));  // its mouse is grabbed just after
  if (forwarderOut.empty() || helperOut.empty()) {
    fprintf(stderr, "corvassel_kernel_bench: a forwarder did not start\n");
    kill(forwarder, SIGKILL);
    return 1;
  }
  Target targets[2];
  targets[0].name = "helper";
  targets[0].mouse = &helperMouse;
  targets[1].name = "forwarder";
  targets[1].mouse = &forwarderMouse;
  targets[0].out = open(helperOut.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  targets[0].pid = helper.pid();
  targets[1].out = open(forwarderOut.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  targets[1].pid = forwarder;

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
      const uint64_t before = CpuNanos(t.pid);
      for (int i = 0; i < block && status == 0; ++i)
        if (!t.roundTrip(true)) status = 1;
      t.cpu += CpuNanos(t.pid) - before;
    }
  }
  kill(forwarder, SIGKILL);
  waitpid(forwarder, nullptr, 0);
  if (status != 0) {
    fprintf(stderr, "corvassel_kernel_bench: a frame did not come back\n");
    return 1;
  }
  for (const Target &t : targets) {
    const double frames = static_cast<double>(t.latencies.size());
    printf("%s: round_trips=%zu p50_ns=%llu p99_ns=%llu cpu_ns_per_frame=%.0f\n", t.name,
           t.latencies.size(), static_cast<unsigned long long>(Percentile(t.latencies, 0.5)),
           static_cast<unsigned long long>(Percentile(t.latencies, 0.99)),
           static_cast<double>(t.cpu) / frames);
  }
  const auto ratio = [&](double p) {
    return static_cast<double>(Percentile(targets[0].latencies, p)) /
           static_cast<double>(Percentile(targets[1].latencies, p));
  };
  printf(
      "ratios: p50=%.3f p99=%.3f cpu=%.3f\n", ratio(0.5), ratio(0.99),
      (static_cast<double>(targets[0].cpu) / static_cast<double>(targets[0].latencies.size())) /
          (static_cast<double>(targets[1].cpu) / static_cast<double>(targets[1].latencies.size())));
  return 0;
}
