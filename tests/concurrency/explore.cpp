// Runs one concurrency scenario over many seeds and says which fail and how fast it went:
//   morvane-explore SCENARIO SEEDS [--first S] [--cpus N[,M...]] [--steps K] [--notes 1]
// With --notes 1 it prints what each run measured.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "concurrency/scenarios.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: morvane-explore SCENARIO SEEDS [--first S] [--cpus N[,M...]] "
               "[--steps K] [--notes 1]\n"
               "scenarios:\n");
  for (const auto &s : scenarios::All()) std::fprintf(stderr, "  %-16s %s\n", s.name, s.what);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) return Usage();
  const scenarios::Scenario *found = scenarios::Find(argv[1]);
  if (found == nullptr) return Usage();
  scenarios::Scenario scenario = *found;
  char *end = nullptr;
  uint64_t seeds = std::strtoull(argv[2], &end, 10);
  if (*end != 0 || seeds == 0) return Usage();
  uint64_t first = 1;
  std::vector<unsigned> cpus = {2, 4};
  bool notes = false;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--first") {
      first = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (option == "--cpus") {
      cpus.clear();
      for (const char *p = argv[i + 1]; *p != 0;) {
        unsigned n = static_cast<unsigned>(std::strtoul(p, &end, 10));
        if (n < 1 || n > 8) return Usage();
        cpus.push_back(n);
        p = *end == ',' ? end + 1 : end;
      }
    } else if (option == "--steps") {
      scenario.steps = std::strtoull(argv[i + 1], nullptr, 10);
    } else if (option == "--notes") {
      notes = std::strcmp(argv[i + 1], "0") != 0;
    } else {
      return Usage();
    }
  }
  uint64_t runs = 0, failures = 0, steps = 0, switches = 0;
  auto start = std::chrono::steady_clock::now();
  for (unsigned n : cpus) {
    for (uint64_t seed = first; seed < first + seeds; ++seed) {
      scenarios::Result r = scenarios::Run(scenario, n, seed);
      ++runs;
      steps += r.steps;
      switches += r.switches;
      if (notes)
        for (const std::string &note : r.notes)
          std::printf("%s seed %llu on %u: %s\n", scenario.name,
                      static_cast<unsigned long long>(seed), n, note.c_str());
      if (!r.passed) {
        ++failures;
        std::printf("FAIL %s\n", r.report.c_str());
        std::fflush(stdout);
      }
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "%s: %llu runs, %llu failed, %.1f s, %.1f interleavings/s, %.0f steps and %.0f "
      "switches per run\n",
      scenario.name, static_cast<unsigned long long>(runs),
      static_cast<unsigned long long>(failures), seconds,
      seconds > 0 ? static_cast<double>(runs) / seconds : 0.0,
      runs ? static_cast<double>(steps) / static_cast<double>(runs) : 0.0,
      runs ? static_cast<double>(switches) / static_cast<double>(runs) : 0.0);
  return failures == 0 ? 0 : 1;
}
