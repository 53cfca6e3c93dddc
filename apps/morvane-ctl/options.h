// The command line of morvane-ctl: what the user asked for, checked for form only.
// What the machine and the driver make of it is decided later, when they run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "encoder.h"
#include "sim/card/card.h"

namespace ctl {

constexpr unsigned kChannels = 8;
constexpr size_t kMaxPropertyBytes = 65536;  // raw property data, either way
constexpr int kAllCards = -1;

struct InputSpec {
  enum class Kind { Pattern, File, Absent };
  int card = kAllCards;
  unsigned channel = 0;
  Kind kind = Kind::Pattern;
  std::string path;              // Kind::File
  std::optional<bool> lines625;  // unset: the card's default (525 lines)
};

struct SettingSpec {
  int card = kAllCards;
  std::string name;  // "Preview3", "INTMODE0", "HDELAY7"
  uint32_t value = 0;
};

struct FaultSpec {
  enum class Kind { ChannelError, SignalLoss, StandardChange };
  Kind kind = Kind::ChannelError;
  int card = 0;
  unsigned channel = 0;
  double at = 0;          // seconds after the capture starts
  double length = 0;      // SignalLoss: seconds without signal (0: for good)
  bool lines625 = false;  // StandardChange: the new standard
};

// --pnp, --surprise-remove, --sleep, --set-time, --low-resources: what the platform does to
// the machine while it runs (timeline.h).
struct TimelineSpec {
  enum class Kind { Rebalance, Remove, SurpriseRemove, Sleep, SetTime, LowResources };
  Kind kind = Kind::Rebalance;
  int card = 0;
  double at = 0;      // seconds after the capture (or the run) starts
  double length = 0;  // Sleep: seconds asleep
  double offset = 0;  // SetTime: seconds the system clock moves (negative: back)
  uint64_t seed = 0;  // LowResources: the failures' random stream
  double rate = 0;    // LowResources: the chance of each allocation to fail
  std::string text;   // the option and its argument as typed
};

// --get-prop SET:ID[:SIZE], --set-prop SET:ID=HEX, --basic-support SET:ID
struct PropertyRequest {
  enum class Kind { Get, Set, BasicSupport };
  Kind kind = Kind::Get;
  std::string set;                    // a set's name or a GUID, as typed
  unsigned long id = 0;               // the property id
  std::optional<unsigned long> size;  // Get: bytes of data to offer (default: the size query)
  std::vector<uint8_t> data;          // Set
  std::string text;                   // the argument as typed, for messages
};

struct VideoFormatRequest {
  std::optional<int> width;
  std::optional<int> height;
  std::string pixelFormat;  // YUY2, UYVY, Y41P, RGB565 (upper case), empty: the pin's first
};

struct Options {
  // ---- the machine
  int cards = 1;
  std::vector<sim::Card::Variant> variants;  // one for all cards, or one per card
  std::vector<InputSpec> inputs;
  std::string registryFile;
  std::vector<SettingSpec> settings;
  bool realtime = false;
  int cpus = 2;  // simulated processors: 1 is the sequential machine
  // What the driver's work costs the simulated processors: on x64 the field buffers are
  // cached whatever the driver asks; "uncached" honours its CacheEnabled FALSE.
  enum class CostModel { X64, Uncached, None };
  CostModel costModel = CostModel::X64;
  std::string traceFile;
  std::string driverFile;  // a Windows build of the driver to run instead of the built-in one

  // ---- what to look at or do
  std::string device;  // -d: "card0", "card0/video3", "video3", "audio3"
  bool listDevices = false;
  bool listFormats = false;
  bool listControls = false;
  std::vector<std::string> getControls;
  std::vector<std::pair<std::string, long>> setControls;
  bool getStandard = false;
  std::string setStandard;
  std::vector<PropertyRequest> properties;  // in the order given
  bool compliance = false;
  bool json = false;

  // ---- capture
  VideoFormatRequest video;
  std::optional<double> fps;
  unsigned audioRate = 48000;
  bool noAudio = false;
  Codec codec = Codec::Raw;  // how video files store the pictures
  std::optional<long> streamCount;
  std::optional<double> duration;  // seconds
  std::string streamTo;
  std::string contactSheet;
  std::vector<FaultSpec> faults;
  std::vector<TimelineSpec> timeline;
  std::string frameLog;  // JSON lines, one per frame and block

  // ---- the summary run without capture (--seconds)
  long seconds = 1;

  bool help = false;

  bool WantsCapture() const { return !streamTo.empty() || !contactSheet.empty(); }
  bool WantsInspection() const {
    return listDevices || listFormats || listControls || !getControls.empty() ||
           !setControls.empty() || getStandard || !setStandard.empty() || !properties.empty();
  }
};

// Parses argv. On a malformed command line returns false with one message naming the
// problem (without the program name) and the option as it was typed.
bool ParseOptions(int argc, char **argv, Options *options, std::string *error);

const char *UsageText();

// Text from the user in a message: whole when short, cut with its length when huge.
std::string Shown(const std::string &text);

// "3", "0-3", "0,2,5" -> channel numbers, each below kChannels.
bool ParseChannelList(const std::string &text, std::vector<unsigned> *channels);
// A decimal or 0x-prefixed number that fits in `long`.
bool ParseLong(const std::string &text, long *value);
bool ParseSeconds(const std::string &text, double *seconds);

}  // namespace ctl
