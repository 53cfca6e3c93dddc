// The main job (morvane-ctl capturing all eight channels of a card with their sound into
// eight files and a contact sheet) next to a plain writer of the same bytes to the same
// disk: eight files written frame by frame with write(2). Each side starts with the
// page cache clean (a sync first, not timed), so neither pays for the other's writes.
// MORVANE_BENCH_SECONDS sets the capture's length (default 10), MORVANE_BENCH_DIR where
// the files go (default the temporary folder).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_rig.h"

namespace {

namespace fs = std::filesystem;

double Seconds() {
  const char *s = std::getenv("MORVANE_BENCH_SECONDS");
  return s != nullptr ? std::atof(s) : bench::Quick() ? 0.2 : 10.0;
}

// Dirty pages of a run before are written back first, not on the next one's time.
void CleanPageCache() {
  if (!bench::Quick()) ::sync();
}

fs::path Folder(const std::string &name) {
  const char *d = std::getenv("MORVANE_BENCH_DIR");
  fs::path p = fs::path(d != nullptr ? d : fs::temp_directory_path().string()) / name;
  fs::remove_all(p);
  fs::create_directories(p);
  return p;
}

struct Child {
  double wall = 0;
  double cpu = 0;  // user and system, its threads included
  long faults = 0;
  int status = -1;
};

Child RunCtl(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  std::string program = MORVANE_CTL;
  argv.push_back(program.data());
  std::vector<std::string> copy = args;
  for (std::string &a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child c;
  const double w0 = bench::WallSeconds();
  pid_t pid = fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage u{};
  ::wait4(pid, &status, 0, &u);
  c.wall = bench::WallSeconds() - w0;
  c.cpu = static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
          static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
  c.faults = u.ru_minflt;
  c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return c;
}

uint64_t Bytes(const fs::path &folder) {
  uint64_t total = 0;
  for (const auto &e : fs::directory_iterator(folder))
    if (e.path().extension() == ".avi") total += fs::file_size(e.path());
  return total;
}

// The same number of bytes into eight files, a frame at a time, in turn.
double PlainWriter(const fs::path &folder, uint64_t bytes) {
  const size_t frame = 691200;
  std::vector<uint8_t> data(frame, 0x5A);
  std::vector<int> fds;
  const double w0 = bench::WallSeconds();
  for (int i = 0; i < 8; ++i)
    fds.push_back(::open((folder / ("channel" + std::to_string(i) + ".raw")).c_str(),
                         O_WRONLY | O_CREAT | O_TRUNC, 0644));
  for (uint64_t done = 0; done < bytes;)
    for (int fd : fds) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(frame, bytes - done));
      if (n == 0 || ::write(fd, data.data(), n) != static_cast<ssize_t>(n)) break;
      done += n;
    }
  for (int fd : fds) ::close(fd);
  return bench::WallSeconds() - w0;
}

void MainJob(benchmark::State &state) {
  const bool h264 = state.range(0) != 0;
  const double seconds = Seconds();
  double job = 0, plain = 0, cpu = 0;
  long faults = 0;
  uint64_t bytes = 0;
  for (auto _ : state) {
    fs::path out = Folder("morvane-main-job");
    CleanPageCache();
    std::vector<std::string> args = {"-d",          "card0",
                                     "-i",          "0-3=pattern:525",
                                     "-i",          "4-7=pattern:625",
                                     "--duration",  std::to_string(seconds),
                                     "--stream-to", (out / "").string()};
    if (h264) args.insert(args.end(), {"--codec", "h264"});
    Child c = RunCtl(args);
    if (c.status != 0) {
      state.SkipWithError("the main job failed");
      break;
    }
    bytes = Bytes(out);
    job += c.wall;
    cpu += c.cpu;
    faults += c.faults;
    fs::remove_all(out);
    if (!h264) {
      fs::path raw = Folder("morvane-plain-writer");
      CleanPageCache();
      plain += PlainWriter(raw, bytes);
      fs::remove_all(raw);
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["job_s"] = job / n;
  state.counters["cpu_s"] = cpu / n;
  state.counters["MB"] = static_cast<double>(bytes) / 1e6;
  state.counters["minor_faults"] = static_cast<double>(faults) / n;
  state.counters["realtime"] = seconds * n / job;  // simulated seconds per wall second
  if (!h264) {
    state.counters["writer_s"] = plain / n;
    state.counters["ratio"] = plain > 0 ? job / plain : 0;
  }
  state.SetLabel(h264 ? "eight channels, h264" : "eight channels, raw");
}
BENCHMARK(MainJob)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
