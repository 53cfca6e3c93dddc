// Every concurrency scenario over many seeds, on two and on four processors.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>

#include "concurrency/scenarios.h"
#include "support/image_environment.h"

namespace {

struct Case {
  const scenarios::Scenario *scenario;
  unsigned processors;
};

// MORVANE_SEEDS overrides how many seeds each case runs. The image traps on every register
// access and barrier, so it runs the quick count.
unsigned Seeds(const scenarios::Scenario &s) {
  if (const char *env = std::getenv("MORVANE_SEEDS")) return static_cast<unsigned>(std::atoi(env));
#if defined(MORVANE_SANITIZED)
  return s.quickSeeds;
#else
  return suite::OnDriverImage() ? s.quickSeeds : s.seeds;
#endif
}

void PrintTo(const Case &c, std::ostream *os) { *os << c.scenario->name << " on " << c.processors; }

class Scenarios : public ::testing::TestWithParam<Case> {};

TEST_P(Scenarios, PassOverSeeds) {
  const Case &c = GetParam();
  unsigned seeds = Seeds(*c.scenario);
  unsigned failed = 0;
  for (uint64_t seed = 1; seed <= seeds; ++seed) {
    scenarios::Result r = scenarios::Run(*c.scenario, c.processors, seed);
    if (!r.passed) {
      ADD_FAILURE() << r.report;
      if (++failed == 3) break;  // the first few say enough
    }
  }
}

// A seed and a processor count are one run: the same schedule, register trace and frames
// each time, whatever ran before it in the process; other seeds take other runs.
TEST(Scenarios, ASeedIsOneRunBitForBit) {
  for (const char *name : {"pin-close", "watchdog"}) {
    const scenarios::Scenario *s = scenarios::Find(name);
    ASSERT_NE(s, nullptr);
    for (unsigned cpus : {2u, 4u}) {
      std::set<uint64_t> seen;
      for (uint64_t seed = 1; seed <= 3; ++seed) {
        scenarios::Result first = scenarios::Run(*s, cpus, seed);
        scenarios::Result again = scenarios::Run(*s, cpus, seed);
        EXPECT_TRUE(first.passed) << first.report;
        EXPECT_EQ(first.fingerprint, again.fingerprint)
            << scenarios::ReplayCommand(*s, cpus, seed) << " ran differently the second time";
        EXPECT_EQ(first.switches, again.switches) << scenarios::ReplayCommand(*s, cpus, seed);
        seen.insert(first.fingerprint);
      }
      EXPECT_EQ(seen.size(), 3u) << name << " on " << cpus << " processors: seeds share a run";
    }
  }
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const scenarios::Scenario &s : scenarios::All())
    for (unsigned cpus : {2u, 4u})
      if ((std::string(s.name) != "sixteen-minute" || cpus == 4) &&
          (std::string(s.name) != "pnp-soak" || cpus == 2))
        cases.push_back({&s, cpus});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Concurrency, Scenarios, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case> &info) {
                           std::string name = info.param.scenario->name;
                           for (char &ch : name)
                             if (ch == '-') ch = '_';
                           return name + "_on_" + std::to_string(info.param.processors);
                         });

}  // namespace
