// Running the built morvane-ctl and the independent readers (ffprobe, ffmpeg) from tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "support/image_environment.h"

namespace e2e {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string Slurp(const std::filesystem::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The image the suite runs on instead of the built-in driver, when there is one.
inline std::vector<std::string> DriverArguments() {
  if (const char *image = suite::DriverImagePath()) return {"--driver", image};
  return {};
}
// The command that starts morvane-ctl, quoted for the shell.
inline std::string Program() {
  std::string command = Quote(MORVANE_CTL);
  for (const std::string &a : DriverArguments()) command += " " + Quote(a);
  return command;
}

// Runs a shell command line; stdout and stderr are kept apart.
inline Outcome Shell(const std::string &command, const std::filesystem::path &dir) {
  std::filesystem::path err = dir / ".stderr";
  std::string line = "cd " + Quote(dir.string()) + " && " + command + " 2>" + Quote(err.string());
  Outcome o;
  FILE *p = popen(line.c_str(), "r");
  if (p == nullptr) return o;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) o.out.append(buf, n);
  int raw = pclose(p);
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  o.err = Slurp(err);
  std::filesystem::remove(err);
  return o;
}

// A fresh folder per test, removed afterwards.
class Workdir {
 public:
  Workdir() {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            ("morvane-ctl-" + std::string(info->test_suite_name()) + "-" + info->name() + "-" +
             std::to_string(::getpid()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~Workdir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path &path() const { return path_; }
  std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

  Outcome Ctl(const std::string &args) const { return Shell(Program() + " " + args, path_); }
  Outcome Run(const std::string &command) const { return Shell(command, path_); }

  // ffprobe's view of one stream ("v:0", "a:0") as key=value pairs.
  std::map<std::string, std::string> Probe(const std::string &file,
                                           const std::string &stream) const {
    Outcome o = Run("ffprobe -v error -count_frames -select_streams " + stream +
                    " -show_entries stream -of default=nw=1 " + Quote(file));
    std::map<std::string, std::string> m;
    std::istringstream in(o.out);
    std::string line;
    while (std::getline(in, line)) {
      size_t eq = line.find('=');
      if (eq != std::string::npos) m[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return m;
  }
  // Seconds of sound in the file's first audio stream, decoded (AVI reports no duration).
  double SoundSeconds(const std::string &file, int rate) const {
    return static_cast<double>(
               Run("ffmpeg -v error -i " + Quote(file) + " -map 0:a:0 -f s16le -ac 1 -")
                   .out.size()) /
           2 / rate;
  }
  // Decoded frames as raw bytes in the given pixel format.
  std::string Raw(const std::string &file, const std::string &pixfmt,
                  const std::string &extra = "") const {
    return Run("ffmpeg -v error -i " + Quote(file) + " " + extra + " -f rawvideo -pix_fmt " +
               pixfmt + " -")
        .out;
  }

 private:
  std::filesystem::path path_;
};

// JSON read back by a library that is not the writer's code path.
using Json = nlohmann::ordered_json;
inline bool JsonValid(const std::string &text) { return Json::accept(text); }
// The parsed document; a null value when the text is not JSON.
inline Json ParseJson(const std::string &text) {
  return Json::parse(text, nullptr, /*allow_exceptions=*/false);
}

// Every name in the folder, hidden ones too, sorted.
inline std::vector<std::string> Listing(const std::filesystem::path &dir) {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(dir))
    names.push_back(std::filesystem::relative(entry.path(), dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

// morvane-ctl started in `dir` without waiting for it; stdout and stderr go to files there.
inline pid_t Spawn(const std::filesystem::path &dir, const std::vector<std::string> &args) {
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    FILE *out = std::freopen(".stdout", "w", stdout);
    FILE *err = std::freopen(".stderr", "w", stderr);
    (void)out;
    (void)err;
    std::vector<char *> argv;
    std::string program = MORVANE_CTL;
    argv.push_back(program.data());
    std::vector<std::string> copy = DriverArguments();
    copy.insert(copy.end(), args.begin(), args.end());
    for (auto &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

inline size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace e2e
