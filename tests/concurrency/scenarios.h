// The concurrency scenarios: each one a run of the real driver on a threaded machine, the
// same for a seed and a processor count, judged by the verifier, the sanitizers and its
// own checks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "concurrency/rig.h"

namespace scenarios {

struct Scenario {
  const char *name;
  const char *what;
  void (*run)(Rig &rig);
  sim::Card::Variant variant;
  uint64_t steps;       // the schedule's expected run length (see sim::Scheduler)
  unsigned seeds;       // seeds per processor count in the normal test run
  unsigned quickSeeds;  // with the sanitizers, which run several times slower
};

const std::vector<Scenario> &All();
const Scenario *Find(const std::string &name);

struct Result {
  bool passed = true;
  std::string report;  // what failed, with the seed and how to replay it
  uint64_t steps = 0;
  uint64_t switches = 0;
  std::vector<std::string> notes;  // what the run measured
  uint64_t fingerprint = 0;        // see Rig::Fingerprint
};

// One run. The replay command is part of every report.
Result Run(const Scenario &scenario, unsigned processors, uint64_t seed);
std::string ReplayCommand(const Scenario &scenario, unsigned processors, uint64_t seed);

}  // namespace scenarios
