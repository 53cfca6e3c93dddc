// Each concurrency fix of the driver, at a schedule that broke it before the fix. The
// seeds were found by running the scenario with that one fix taken out (see
// docs/concurrency.md): a change to the machine or the scenario that moves the schedule
// needs them found again.
#include <gtest/gtest.h>

#include "concurrency/scenarios.h"

namespace {

struct Pinned {
  const char *fix;
  const char *scenario;
  unsigned processors;
  uint64_t seed;
};

const Pinned kPinned[] = {
    // Two pin creations on different filters both saw no interrupt object and both
    // connected it; the leaked connection outlived removal.
    {"ConnectOnce", "two-creations", 2, 2},
    {"ConnectOnceOnFour", "two-creations", 4, 25},
    // Two creations on one channel both passed the openPinMask test.
    {"OnePinPerChannel", "two-creations", 2, 11},
    {"OnePinPerChannelOnFour", "two-creations", 4, 11},
    // STOP gave the clock back (and the held frame) while a process call still used it.
    {"StopWaitsForTheProcessCall", "stop-processing", 2, 619},
    {"StopWaitsForTheProcessCallOnFour", "stop-processing", 4, 17},
    // The last stop's request to end the watchdog and another pin's start crossed.
    {"WatchdogDecidedUnderItsLock", "watchdog", 2, 62},
    {"WatchdogDecidedUnderItsLockOnFour", "watchdog", 4, 20},
    // Found by ThreadSanitizer (the linux-tsan runs fail without the fix, the others pass):
    // pin close cleared its table entry without busLock while the interrupt DPC read it;
    {"CloseTakesTheStreamOutUnderBusLock", "pin-close", 2, 9},
    {"CloseTakesTheStreamOutUnderBusLockOnFour", "pin-close", 4, 9},
    // framePending set by the DPC and cleared by the process call as a plain flag.
    {"FramePendingInterlocked", "pin-close", 2, 1},
    {"FramePendingInterlockedOnFour", "pin-close", 4, 1},
};

void PrintTo(const Pinned &p, std::ostream *os) {
  *os << p.fix << " (" << p.scenario << " on " << p.processors << ", seed " << p.seed << ")";
}

class Regression : public ::testing::TestWithParam<Pinned> {};

TEST_P(Regression, PinnedScheduleRunsClean) {
  const Pinned &p = GetParam();
  const scenarios::Scenario *s = scenarios::Find(p.scenario);
  ASSERT_NE(s, nullptr);
  scenarios::Result r = scenarios::Run(*s, p.processors, p.seed);
  EXPECT_TRUE(r.passed) << r.report;
}

INSTANTIATE_TEST_SUITE_P(Concurrency, Regression, ::testing::ValuesIn(kPinned),
                         [](const ::testing::TestParamInfo<Pinned> &info) {
                           return std::string(info.param.fix);
                         });

}  // namespace
