#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

#include <functional>

#include "ManualTimeBackend.h"
#include "main/CorvasselMain.h"

namespace {

// Start-up on the manual clock, for the paths that never leave the main thread.
struct StartupCase {
  const char *name;
  bool trusted;
  std::function<void(ManualTimeBackend &)> during;  // scheduled on the main queue at 1 s
  const char *exitLine;
};

void PrintTo(const StartupCase &c, std::ostream *os) {
  *os << c.name;
}

const StartupCase kCases[] = {
    {"TrustedAndSwitchedOffExitsAtOnceWithoutATap", true, nullptr,
     "exit 0 at 0\\.000 taps 0 armed 0 invalidated 0 trust P\n"},
    {"UntrustedAndSwitchedOffExitsAfterTwoSeconds", false, nullptr,
     "exit 0 at 2\\.000 taps 0 armed 0 invalidated 0 trust P\n"},
    {"TrustArrivingInTheTwoSecondsChangesNothing", false,
     [](ManualTimeBackend &world) { world.tapInput.trusted = true; },
     "exit 0 at 2\\.000 taps 0 armed 0 invalidated 0 trust P\n"},
};

class Startup : public ::testing::TestWithParam<StartupCase> {};

TEST_P(Startup, ExitStatusAndTime) {
  UseFreshProcessForDeathTests();
  const StartupCase &c = GetParam();
  EXPECT_EXIT(
      {
        ManualTimeBackend world;
        world.tapInput.trusted = c.trusted;
        if (c.during) {
          dispatch_after(dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_SEC), dispatch_get_main_queue(),
                         [&world, &c] { c.during(world); });
        }
        CorvasselHelperMain();
        fprintf(stderr, "returned\n");
        _exit(1);
      },
      ::testing::ExitedWithCode(0), c.exitLine);
}

INSTANTIATE_TEST_SUITE_P(Cases, Startup, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<StartupCase> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
