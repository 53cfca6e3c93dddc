// morvane-ctl's command line: the input is split at NUL bytes into arguments. Any command
// line parses or is refused with one message; what parses is within the documented limits;
// nothing of one parse reaches the next, and the same arguments parsed again give the same
// answer; the number parsers agree with their own limits.
#include <sstream>
#include <string>
#include <vector>

#include "options.h"
#include "support/fuzz.h"

namespace {

// What a parse produced, to compare two parses.
std::string Describe(bool ok, const ctl::Options &o, const std::string &error) {
  std::ostringstream s;
  if (!ok) return "error: " + error;
  s << o.cards << ' ' << o.variants.size() << ' ' << o.inputs.size() << ' ' << o.registryFile << ' '
    << o.settings.size() << ' ' << o.realtime << ' ' << o.traceFile << ' ' << o.device << ' '
    << o.listDevices << o.listFormats << o.listControls << ' ' << o.getControls.size() << ' '
    << o.setControls.size() << ' ' << o.getStandard << ' ' << o.setStandard << ' ' << o.json << ' '
    << o.video.width.value_or(-1) << ' ' << o.video.height.value_or(-1) << ' '
    << o.video.pixelFormat << ' ' << o.fps.value_or(-1) << ' ' << o.audioRate << ' ' << o.noAudio
    << ' ' << o.streamCount.value_or(-1) << ' ' << o.duration.value_or(-1) << ' ' << o.streamTo
    << ' ' << o.contactSheet << ' ' << o.faults.size() << ' ' << o.seconds << ' ' << o.help;
  for (const auto &i : o.inputs) s << " i" << i.card << '/' << i.channel << '/' << i.path;
  for (const auto &f : o.faults) s << " f" << f.card << '/' << f.channel << '@' << f.at;
  return s.str();
}

void CheckParsed(const ctl::Options &o) {
  FUZZ_CHECK(o.cards >= 1 && o.cards <= 4, "--cards within 1-4");
  FUZZ_CHECK(o.variants.size() <= 1 || o.variants.size() == static_cast<size_t>(o.cards),
             "one variant, or one per card");
  for (const auto &i : o.inputs) {
    FUZZ_CHECK(i.channel < ctl::kChannels, "an input's channel exists");
    FUZZ_CHECK(i.kind != ctl::InputSpec::Kind::File || !i.path.empty(), "a file input has a path");
  }
  for (const auto &s : o.settings)
    FUZZ_CHECK(s.name.size() >= 7 && s.name.back() >= '0' && s.name.back() <= '7',
               "a setting names a channel 0-7");
  for (const auto &f : o.faults) {
    FUZZ_CHECK(f.channel < ctl::kChannels, "a fault's channel exists");
    FUZZ_CHECK(f.at >= 0 && f.at <= 86400 && f.length >= 0, "a fault's times are in range");
  }
  FUZZ_CHECK(o.audioRate > 0 && o.audioRate <= 192000, "the audio rate is in range");
  FUZZ_CHECK(!o.video.width || (*o.video.width > 0 && *o.video.width <= 4096), "width in range");
  FUZZ_CHECK(!o.video.height || (*o.video.height > 0 && *o.video.height <= 4096),
             "height in range");
  FUZZ_CHECK(!o.fps || (*o.fps >= 1 && *o.fps <= 30), "the frame rate is in range");
  FUZZ_CHECK(!(o.streamCount && o.duration), "--stream-count and --duration together");
  FUZZ_CHECK(o.seconds >= 0 && o.seconds <= 86400, "--seconds in range");
}

// The arguments as a program gets them; kept by the caller for as long as it likes.
struct Argv {
  explicit Argv(const std::vector<std::string> &args) {
    for (const std::string &a : args) {
      storage.emplace_back(a.begin(), a.end());
      storage.back().push_back('\0');
    }
    for (auto &s : storage) pointers.push_back(s.data());
    pointers.push_back(nullptr);
  }
  bool Parse(ctl::Options *o, std::string *error) {
    return ctl::ParseOptions(static_cast<int>(storage.size()), pointers.data(), o, error);
  }
  std::vector<std::vector<char>> storage;
  std::vector<char *> pointers;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> args = {"morvane-ctl"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 64; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() || size == 0) args.push_back(current);

  ctl::Options first, second;
  std::string firstError, secondError;
  Argv argv(args);
  bool ok = argv.Parse(&first, &firstError);
  FUZZ_CHECK(ok || !firstError.empty(), "a refused command line has a message");
  if (ok) CheckParsed(first);
  // Nothing of that parse reaches the next one (its arguments still in memory, as the
  // program's are).
  ctl::Options plain;
  std::string plainError;
  Argv plainArgv({"morvane-ctl", "--cards", "2"});
  FUZZ_CHECK(plainArgv.Parse(&plain, &plainError) && plain.cards == 2 && !plain.WantsInspection() &&
                 plain.inputs.empty(),
             "a plain command line after this one: " + plainError);
  bool again = Argv(args).Parse(&second, &secondError);
  FUZZ_CHECK(Describe(ok, first, firstError) == Describe(again, second, secondError),
             "the same command line parsed twice gives another answer");

  for (const std::string &a : args) {
    long n = 0;
    if (ctl::ParseLong(a, &n)) FUZZ_CHECK(a.size() <= 20, "a number of more than 20 characters");
    double s = -1;
    if (ctl::ParseSeconds(a, &s)) FUZZ_CHECK(s >= 0 && s <= 86400, "seconds out of range");
    std::vector<unsigned> channels;
    if (ctl::ParseChannelList(a, &channels)) {
      FUZZ_CHECK(!channels.empty(), "an empty channel list accepted");
      for (unsigned c : channels) FUZZ_CHECK(c < ctl::kChannels, "a channel beyond 7");
    }
  }
  return 0;
}
