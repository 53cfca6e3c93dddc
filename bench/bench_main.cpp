// The benchmarks' own main: Google Benchmark's console output, then a short table of
// what each measurement is held against; the exit status is 1 when one could not be
// taken. MORVANE_BENCH_QUICK=1 makes every measurement short (the test suite's pass).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (!r.error_occurred)
        runs_.push_back(r);
      else
        ++errors_;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  const std::vector<Run> &runs() const { return runs_; }
  int errors() const { return errors_; }

 private:
  std::vector<Run> runs_;
  int errors_ = 0;
};

double Counter(const benchmark::BenchmarkReporter::Run &r, const char *name) {
  auto it = r.counters.find(name);
  return it == r.counters.end() ? 0 : static_cast<double>(it->second);
}

void Table(const std::vector<benchmark::BenchmarkReporter::Run> &runs) {
  std::printf("\n%-44s %12s %12s %8s  %s\n", "measurement", "ours", "reference", "ratio", "target");
  for (const auto &r : runs) {
    const std::string name = r.benchmark_name();
    if (name.rfind("DeliveryVsCopy", 0) == 0) {
      std::printf("%-44s %9.1f us %9.1f us %8.2f  <= 1.10 (copy)\n",
                  ("delivery " + r.report_label).c_str(), Counter(r, "driver_us"),
                  Counter(r, "copy_us"), Counter(r, "ratio"));
    } else if (name.rfind("WholeMachine", 0) == 0) {
      const bool worker = name.find("worker:1") != std::string::npos;
      const std::string cards = name.substr(name.find("cards:") + 6, 1);
      std::printf("%-44s %8.1f s/s %8.1f s/s %8.2f  >= 0.8 (two copies); %.2f by the wall clock\n",
                  ("machine, " + cards + " card(s)" + (worker ? ", render worker" : "")).c_str(),
                  Counter(r, "sim_per_cpu_s"), Counter(r, "bound"), Counter(r, "ratio"),
                  Counter(r, "ratio_wall"));
    } else if (name.rfind("MainJob/0", 0) == 0) {
      std::printf("%-44s %10.2f s %10.2f s %8.2f  <= 1.2 (plain writer); %.0f MB, %.0f faults\n",
                  "main job, raw", Counter(r, "job_s"), Counter(r, "writer_s"), Counter(r, "ratio"),
                  Counter(r, "MB"), Counter(r, "minor_faults"));
    } else if (name.rfind("MainJob/1", 0) == 0) {
      std::printf("%-44s %10.2f s %10.2f s %8.2f  >= 1 x real time; %.1f MB\n", "main job, h264",
                  Counter(r, "job_s"), Counter(r, "job_s") * Counter(r, "realtime"),
                  Counter(r, "realtime"), Counter(r, "MB"));
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  Table(collector.runs());
  benchmark::Shutdown();
  // A measurement that could not be taken is a failure of the smoke run.
  return collector.errors() == 0 ? 0 : 1;
}
