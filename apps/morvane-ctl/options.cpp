#include "options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "timeline.h"

namespace ctl {

namespace {

enum LongOnly {
  kCards = 1000,
  kVariant,
  kRegistry,
  kSetting,
  kRealtime,
  kTrace,
  kListDevices,
  kListFormats,
  kGetStandard,
  kJson,
  kAudioRate,
  kNoAudio,
  kStreamCount,
  kDuration,
  kStreamTo,
  kContactSheet,
  kFault,
  kSeconds,
  kFrameLog,
  kGetProp,
  kSetProp,
  kBasicSupport,
  kCompliance,
  kCpus,
  kDriver,
  kCodec,
  kCostModel,
  kPnp,
  kSurpriseRemove,
  kSleep,
  kSetTime,
  kLowResources,
};

const option kLongOptions[] = {
    {"help", no_argument, nullptr, 'h'},
    {"cards", required_argument, nullptr, kCards},
    {"variant", required_argument, nullptr, kVariant},
    {"input", required_argument, nullptr, 'i'},
    {"registry", required_argument, nullptr, kRegistry},
    {"setting", required_argument, nullptr, kSetting},
    {"realtime", no_argument, nullptr, kRealtime},
    {"cpus", required_argument, nullptr, kCpus},
    {"driver", required_argument, nullptr, kDriver},
    {"cost-model", required_argument, nullptr, kCostModel},
    {"trace", required_argument, nullptr, kTrace},
    {"device", required_argument, nullptr, 'd'},
    {"list-devices", no_argument, nullptr, kListDevices},
    {"list-formats-ext", no_argument, nullptr, kListFormats},
    {"list-ctrls", no_argument, nullptr, 'l'},
    {"get-ctrl", required_argument, nullptr, 'C'},
    {"set-ctrl", required_argument, nullptr, 'c'},
    {"get-standard", no_argument, nullptr, kGetStandard},
    {"set-standard", required_argument, nullptr, 's'},
    {"json", no_argument, nullptr, kJson},
    {"set-fmt-video", required_argument, nullptr, 'v'},
    {"set-parm", required_argument, nullptr, 'p'},
    {"audio-rate", required_argument, nullptr, kAudioRate},
    {"no-audio", no_argument, nullptr, kNoAudio},
    {"codec", required_argument, nullptr, kCodec},
    {"stream-count", required_argument, nullptr, kStreamCount},
    {"duration", required_argument, nullptr, kDuration},
    {"stream-to", required_argument, nullptr, kStreamTo},
    {"contact-sheet", required_argument, nullptr, kContactSheet},
    {"fault", required_argument, nullptr, kFault},
    {"seconds", required_argument, nullptr, kSeconds},
    {"frame-log", required_argument, nullptr, kFrameLog},
    {"get-prop", required_argument, nullptr, kGetProp},
    {"set-prop", required_argument, nullptr, kSetProp},
    {"basic-support", required_argument, nullptr, kBasicSupport},
    {"compliance", no_argument, nullptr, kCompliance},
    {"pnp", required_argument, nullptr, kPnp},
    {"surprise-remove", required_argument, nullptr, kSurpriseRemove},
    {"sleep", required_argument, nullptr, kSleep},
    {"set-time", required_argument, nullptr, kSetTime},
    {"low-resources", required_argument, nullptr, kLowResources},
    {nullptr, 0, nullptr, 0},
};

std::vector<std::string> Split(const std::string &text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

// "card2/rest" -> card 2 and "rest"; no prefix -> kAllCards (or `fallback`).
bool SplitCardPrefix(const std::string &text, int fallback, int *card, std::string *rest) {
  *card = fallback;
  *rest = text;
  if (text.rfind("card", 0) != 0) return true;
  size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  long n;
  if (!ParseLong(text.substr(4, slash - 4), &n) || n < 0 || n > 15) return false;
  *card = static_cast<int>(n);
  *rest = text.substr(slash + 1);
  return true;
}

bool ParseInput(const std::string &text, std::vector<InputSpec> *inputs, std::string *error) {
  size_t eq = text.find('=');
  int card;
  std::string channels;
  std::vector<unsigned> list;
  if (eq == std::string::npos ||
      !SplitCardPrefix(text.substr(0, eq), kAllCards, &card, &channels) ||
      !ParseChannelList(channels, &list)) {
    *error = "--input '" + Shown(text) +
             "': expected [cardK/]CHANNELS=SOURCE[:525|:625], e.g. 0-3=pattern:625";
    return false;
  }
  std::string source = text.substr(eq + 1);
  InputSpec parsed;
  parsed.card = card;
  for (const char *suffix : {":525", ":625"}) {
    if (source.size() > 4 && source.compare(source.size() - 4, 4, suffix) == 0) {
      parsed.lines625 = std::strcmp(suffix, ":625") == 0;
      source.resize(source.size() - 4);
    }
  }
  if (source == "525" || source == "625") {
    parsed.lines625 = source == "625";
    source = "pattern";
  }
  if (source == "pattern") {
    parsed.kind = InputSpec::Kind::Pattern;
  } else if (source == "none" || source == "absent") {
    parsed.kind = InputSpec::Kind::Absent;
  } else if (!source.empty()) {
    parsed.kind = InputSpec::Kind::File;
    parsed.path = source;
  } else {
    *error = "--input '" + Shown(text) + "': no source (pattern, none or a media file)";
    return false;
  }
  for (unsigned c : list) {
    parsed.channel = c;
    inputs->push_back(parsed);
  }
  return true;
}

bool ParseSettings(const std::string &text, std::vector<SettingSpec> *settings,
                   std::string *error) {
  for (const std::string &item : Split(text, ',')) {
    size_t eq = item.find('=');
    SettingSpec s;
    std::string name;
    long value;
    if (eq == std::string::npos ||
        !SplitCardPrefix(item.substr(0, eq), kAllCards, &s.card, &name) ||
        !ParseLong(item.substr(eq + 1), &value) || value < 0 || value > 0xFFFFFFFFl) {
      *error = "--setting '" + Shown(item) + "': expected [cardK/]NAME=VALUE, e.g. INTMODE2=2";
      return false;
    }
    bool known = false;
    for (const char *prefix : {"Preview", "INTMODE", "HDELAY"}) {
      size_t n = std::strlen(prefix);
      if (name.size() == n + 1 && name.compare(0, n, prefix) == 0 && name[n] >= '0' &&
          name[n] <= '7')
        known = true;
    }
    if (!known) {
      *error = "--setting: unknown setting '" + Shown(name) +
               "' (the card reads Preview0-7, INTMODE0-7 and HDELAY0-7)";
      return false;
    }
    s.name = name;
    s.value = static_cast<uint32_t>(value);
    settings->push_back(s);
  }
  return true;
}

bool ParseFault(const std::string &text, std::vector<FaultSpec> *faults, std::string *error) {
  auto fail = [&] {
    *error = "--fault '" + Shown(text) +
             "': expected error:[cardK/]CH@SECONDS, loss:[cardK/]CH@SECONDS[+SECONDS] or "
             "standard:[cardK/]CH@SECONDS=525|625";
    return false;
  };
  size_t colon = text.find(':');
  size_t at = text.find('@');
  if (colon == std::string::npos || at == std::string::npos || at < colon) return fail();
  FaultSpec f;
  std::string kind = text.substr(0, colon);
  std::string rest = text.substr(at + 1);
  if (kind == "error") {
    f.kind = FaultSpec::Kind::ChannelError;
  } else if (kind == "loss") {
    f.kind = FaultSpec::Kind::SignalLoss;
    size_t plus = rest.find('+');
    if (plus != std::string::npos) {
      if (!ParseSeconds(rest.substr(plus + 1), &f.length) || f.length <= 0) return fail();
      rest.resize(plus);
    }
  } else if (kind == "standard") {
    f.kind = FaultSpec::Kind::StandardChange;
    size_t eq = rest.find('=');
    if (eq == std::string::npos) return fail();
    std::string lines = rest.substr(eq + 1);
    if (lines != "525" && lines != "625") return fail();
    f.lines625 = lines == "625";
    rest.resize(eq);
  } else {
    return fail();
  }
  std::string channel;
  long c;
  if (!SplitCardPrefix(text.substr(colon + 1, at - colon - 1), 0, &f.card, &channel) ||
      !ParseLong(channel, &c) || c < 0 || c >= static_cast<long>(kChannels) ||
      !ParseSeconds(rest, &f.at))
    return fail();
  f.channel = static_cast<unsigned>(c);
  faults->push_back(f);
  return true;
}

bool ParseVideoFormat(const std::string &text, VideoFormatRequest *v, std::string *error) {
  for (const std::string &item : Split(text, ',')) {
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
    long n = 0;
    if (key == "width" || key == "height") {
      if (!ParseLong(value, &n) || n <= 0 || n > 4096) {
        *error = "--set-fmt-video: " + key + " takes a positive whole number, not '" +
                 Shown(value) + "'";
        return false;
      }
      (key == "width" ? v->width : v->height) = static_cast<int>(n);
    } else if (key == "pixelformat") {
      std::string p;
      for (char ch : value)
        p.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(ch))));
      if (p == "YUYV") p = "YUY2";
      if (p == "RGBP" || p == "RGB16") p = "RGB565";
      if (p != "YUY2" && p != "UYVY" && p != "Y41P" && p != "RGB565") {
        *error = "--set-fmt-video: unknown pixel format '" + Shown(value) +
                 "' (the card captures YUY2, UYVY, Y41P and RGB565)";
        return false;
      }
      v->pixelFormat = p;
    } else {
      *error = "--set-fmt-video: unknown key '" + Shown(key) + "' (width, height, pixelformat)";
      return false;
    }
  }
  return true;
}

}  // namespace

std::string Shown(const std::string &text) {
  constexpr size_t kShown = 80;
  if (text.size() <= kShown) return text;
  size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "... (" + std::to_string(text.size()) + " characters)";
}

bool ParseLong(const std::string &text, long *value) {
  if (text.empty() || text.size() > 20) return false;
  errno = 0;
  char *end = nullptr;
  long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0') return false;
  *value = v;
  return true;
}

bool ParseSeconds(const std::string &text, double *seconds) {
  if (text.empty()) return false;
  errno = 0;
  char *end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0 || v > 86400) return false;
  *seconds = v;
  return true;
}

bool ParseChannelList(const std::string &text, std::vector<unsigned> *channels) {
  channels->clear();
  for (const std::string &part : Split(text, ',')) {
    size_t dash = part.find('-');
    long first, last;
    if (dash == std::string::npos) {
      if (!ParseLong(part, &first)) return false;
      last = first;
    } else if (!ParseLong(part.substr(0, dash), &first) ||
               !ParseLong(part.substr(dash + 1), &last)) {
      return false;
    }
    if (first < 0 || last >= static_cast<long>(kChannels) || first > last) return false;
    for (long c = first; c <= last; ++c) channels->push_back(static_cast<unsigned>(c));
  }
  return !channels->empty();
}

// The option getopt stopped at, as the user typed it: a short one alone even inside a
// group ("-ql" names "-q"), a long one without its value.
static std::string Typed(const char *word) {
  std::string w = word;
  if (optopt > 0 && optopt < 128 && std::isalnum(optopt) && w.rfind("--", 0) != 0)
    return std::string("-") + static_cast<char>(optopt);
  return Shown(w.substr(0, w.find('=')));
}

static bool ParsePropertyRequest(const std::string &text, PropertyRequest::Kind kind,
                                 std::vector<PropertyRequest> *out, std::string *error) {
  const char *option = kind == PropertyRequest::Kind::Get   ? "--get-prop"
                       : kind == PropertyRequest::Kind::Set ? "--set-prop"
                                                            : "--basic-support";
  const char *form = kind == PropertyRequest::Kind::Get   ? "SET:ID[:SIZE]"
                     : kind == PropertyRequest::Kind::Set ? "SET:ID=HEX"
                                                          : "SET:ID";
  auto fail = [&](const std::string &why) {
    *error = std::string(option) + " '" + Shown(text) + "': " + why + " (expected " + form +
             ", e.g. VIDEOPROCAMP:0" + (kind == PropertyRequest::Kind::Set ? "=1400000000" : "") +
             ")";
    return false;
  };
  PropertyRequest r;
  r.kind = kind;
  r.text = text;
  std::string rest = text;
  if (kind == PropertyRequest::Kind::Set) {
    size_t eq = rest.find('=');
    if (eq == std::string::npos) return fail("no data");
    std::string hex;
    for (char c : rest.substr(eq + 1))
      if (c != ',' && c != ' ' && c != ':') hex.push_back(c);
    if (hex.size() % 2 != 0) return fail("odd number of hex digits");
    if (hex.size() / 2 > kMaxPropertyBytes)
      return fail("more than " + std::to_string(kMaxPropertyBytes) + " bytes");
    for (size_t i = 0; i < hex.size(); i += 2) {
      unsigned byte = 0;
      for (size_t k = 0; k < 2; ++k) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(hex[i + k])));
        if (!std::isxdigit(static_cast<unsigned char>(c)))
          return fail("not a hex digit in the data");
        byte = byte * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                     ? c - '0'
                                                     : c - 'a' + 10);
      }
      r.data.push_back(static_cast<uint8_t>(byte));
    }
    rest.resize(eq);
  }
  std::vector<std::string> parts = Split(rest, ':');
  size_t expected = kind == PropertyRequest::Kind::Get ? 3 : 2;
  if (parts.size() < 2 || parts.size() > expected || parts[0].empty()) return fail("malformed");
  r.set = parts[0];
  long n = 0;
  if (!ParseLong(parts[1], &n) || n < 0 || n > 0xFFFFFFFFl) return fail("bad property id");
  r.id = static_cast<unsigned long>(n);
  if (parts.size() == 3) {
    if (!ParseLong(parts[2], &n) || n < 0 || n > static_cast<long>(kMaxPropertyBytes))
      return fail("the size is 0 to " + std::to_string(kMaxPropertyBytes) + " bytes");
    r.size = static_cast<unsigned long>(n);
  }
  out->push_back(std::move(r));
  return true;
}

bool ParseOptions(int argc, char **argvGiven, Options *o, std::string *error) {
  // "--sleep@2+1" and the like are "--sleep=2+1".
  std::vector<std::string> args = SplitAttachedTimelineArguments(argc, argvGiven);
  std::vector<char *> pointers;
  for (std::string &a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  char **argv = pointers.data();
  // 0, not 1: the C library then also forgets where it was inside a group of short options,
  // which a refused command line leaves pointing into its (since freed) arguments.
  optind = 0;
  bool costModelGiven = false;
  opterr = 0;
  const char *shortOptions = ":hi:d:lC:c:s:v:p:";
  for (;;) {
    int index = 0;
    int opt = getopt_long(argc, argv, shortOptions, kLongOptions, &index);
    if (opt == -1) break;
    std::string arg = optarg != nullptr ? optarg : "";
    long n = 0;
    switch (opt) {
      case 'h':
        o->help = true;
        break;
      case kCards:
        if (!ParseLong(arg, &n) || n < 1 || n > 4) {
          *error = "--cards takes a number from 1 to 4";
          return false;
        }
        o->cards = static_cast<int>(n);
        break;
      case kVariant:
        o->variants.clear();
        for (const std::string &v : Split(arg, ',')) {
          if (v == "6864") {
            o->variants.push_back(sim::Card::Variant::Device6864);
          } else if (v == "standard") {
            o->variants.push_back(sim::Card::Variant::Standard);
          } else {
            *error = "unknown card variant '" + Shown(v) + "' (use 6864 or standard)";
            return false;
          }
        }
        break;
      case 'i':
        if (!ParseInput(arg, &o->inputs, error)) return false;
        break;
      case kRegistry:
        o->registryFile = arg;
        break;
      case kSetting:
        if (!ParseSettings(arg, &o->settings, error)) return false;
        break;
      case kRealtime:
        o->realtime = true;
        break;
      case kCpus:
        if (!ParseLong(arg, &n) || n < 1 || n > 8) {
          *error = "--cpus takes a whole number from 1 to 8";
          return false;
        }
        o->cpus = static_cast<int>(n);
        break;
      case kTrace:
        o->traceFile = arg;
        break;
      case kDriver:
        if (arg.empty()) {
          *error = "--driver takes the path of a driver image (.sys)";
          return false;
        }
        o->driverFile = arg;
        break;
      case 'd':
        o->device = arg;
        break;
      case kListDevices:
        o->listDevices = true;
        break;
      case kListFormats:
        o->listFormats = true;
        break;
      case 'l':
        o->listControls = true;
        break;
      case 'C':
        for (const std::string &name : Split(arg, ',')) o->getControls.push_back(name);
        break;
      case 'c':
        for (const std::string &item : Split(arg, ',')) {
          size_t eq = item.find('=');
          long value;
          if (eq == std::string::npos || eq == 0 || !ParseLong(item.substr(eq + 1), &value)) {
            *error = "--set-ctrl '" + Shown(item) + "': expected name=value, e.g. brightness=20";
            return false;
          }
          o->setControls.emplace_back(item.substr(0, eq), value);
        }
        break;
      case kGetStandard:
        o->getStandard = true;
        break;
      case 's':
        o->setStandard = arg;
        break;
      case kJson:
        o->json = true;
        break;
      case 'v':
        if (!ParseVideoFormat(arg, &o->video, error)) return false;
        break;
      case 'p': {
        double fps;
        if (!ParseSeconds(arg, &fps) || fps < 1 || fps > 30) {
          *error = "--set-parm takes a frame rate from 1 to 30 frames per second";
          return false;
        }
        o->fps = fps;
        break;
      }
      case kAudioRate:
        if (!ParseLong(arg, &n) || n <= 0 || n > 192000) {
          *error = "--audio-rate takes a sample rate in Hz";
          return false;
        }
        o->audioRate = static_cast<unsigned>(n);
        break;
      case kNoAudio:
        o->noAudio = true;
        break;
      case kCodec:
        if (!ParseCodec(arg, &o->codec)) {
          *error = "--codec '" + Shown(arg) + "': unknown codec (use raw, ffv1, h264 or mjpeg)";
          return false;
        }
        break;
      case kCostModel:
        costModelGiven = true;
        if (arg == "x64") {
          o->costModel = Options::CostModel::X64;
        } else if (arg == "uncached") {
          o->costModel = Options::CostModel::Uncached;
        } else if (arg == "none") {
          o->costModel = Options::CostModel::None;
        } else {
          *error = "--cost-model '" + Shown(arg) + "': use x64, uncached or none";
          return false;
        }
        break;
      case kStreamCount:
        if (!ParseLong(arg, &n) || n < 1 || n > 1000000) {
          *error = "--stream-count takes a number of frames from 1 to 1000000";
          return false;
        }
        o->streamCount = n;
        break;
      case kDuration: {
        double s;
        if (!ParseSeconds(arg, &s) || s <= 0) {
          *error = "--duration takes a positive number of seconds";
          return false;
        }
        o->duration = s;
        break;
      }
      case kStreamTo:
        if (arg.empty()) {
          *error = "--stream-to needs a file or folder name";
          return false;
        }
        o->streamTo = arg;
        break;
      case kContactSheet:
        o->contactSheet = arg;
        break;
      case kFault:
        if (!ParseFault(arg, &o->faults, error)) return false;
        break;
      case kFrameLog:
        if (arg.empty()) {
          *error = "--frame-log needs a file name";
          return false;
        }
        o->frameLog = arg;
        break;
      case kGetProp:
        if (!ParsePropertyRequest(arg, PropertyRequest::Kind::Get, &o->properties, error))
          return false;
        break;
      case kSetProp:
        if (!ParsePropertyRequest(arg, PropertyRequest::Kind::Set, &o->properties, error))
          return false;
        break;
      case kBasicSupport:
        if (!ParsePropertyRequest(arg, PropertyRequest::Kind::BasicSupport, &o->properties, error))
          return false;
        break;
      case kCompliance:
        o->compliance = true;
        break;
      case kPnp:
      case kSurpriseRemove:
      case kSleep:
      case kSetTime:
      case kLowResources:
        if (!ParseTimelineAction(std::string("--") + kLongOptions[index].name, arg, &o->timeline,
                                 error))
          return false;
        break;
      case kSeconds:
        if (!ParseLong(arg, &n) || n < 0 || n > 86400) {
          *error = "--seconds takes a whole number from 0 to 86400";
          return false;
        }
        o->seconds = n;
        break;
      case ':':
        *error = "option '" + Typed(argv[optind - 1]) + "' needs a value";
        return false;
      default:
        *error = "unknown option '" + Typed(argv[optind - 1]) + "'";
        return false;
    }
  }
  if (optind < argc) {
    *error = "unexpected argument '" + Shown(argv[optind]) + "'";
    return false;
  }
  if (!o->variants.empty() && o->variants.size() != 1 &&
      o->variants.size() != static_cast<size_t>(o->cards)) {
    *error = "--variant lists " + std::to_string(o->variants.size()) + " variants for " +
             std::to_string(o->cards) + " card(s)";
    return false;
  }
  if (o->streamCount && o->duration) {
    *error = "--stream-count and --duration exclude each other";
    return false;
  }
  // The cost model charges the copies the Linux-built driver reports; an image copies with
  // inline stores the machine never sees, so its charges would be register reads alone.
  if (!o->driverFile.empty()) {
    if (costModelGiven && o->costModel != Options::CostModel::None) {
      *error =
          "--cost-model x64 and uncached charge the built-in driver's copies, which an "
          "image does not report: use --cost-model none with --driver";
      return false;
    }
    o->costModel = Options::CostModel::None;
  }
  if (o->codec != Codec::Raw && !o->WantsCapture()) {
    *error = std::string("--codec ") + CodecName(o->codec) +
             " chooses how a capture stores video: add --stream-to";
    return false;
  }
  if (!o->frameLog.empty() && !o->WantsCapture()) {
    *error = "--frame-log records a capture: add --stream-to (or --contact-sheet)";
    return false;
  }
  if (o->compliance && (o->WantsCapture() || o->WantsInspection())) {
    *error = "--compliance runs alone (with -d and --json)";
    return false;
  }
  // Cards named beyond --cards: found now, before anything is opened.
  auto beyond = [&](int card, const char *option) {
    if (card == kAllCards || card < o->cards) return false;
    *error = std::string(option) + " names card" + std::to_string(card) + " but there " +
             (o->cards == 1 ? "is 1 card" : "are " + std::to_string(o->cards) + " cards");
    return true;
  };
  for (const InputSpec &in : o->inputs)
    if (beyond(in.card, "--input")) return false;
  for (const SettingSpec &s : o->settings)
    if (beyond(s.card, "--setting")) return false;
  for (const FaultSpec &f : o->faults)
    if (beyond(f.card, "--fault")) return false;
  for (const TimelineSpec &t : o->timeline)
    if (beyond(t.card, t.text.substr(0, t.text.find(' ')).c_str())) return false;
  if (!o->timeline.empty() && o->compliance) {
    *error = "--compliance runs alone (timeline actions go with a capture or a --seconds run)";
    return false;
  }
  return true;
}

const char *UsageText() {
  return R"(usage: morvane-ctl [options]

Brings up a simulated machine with emulated capture cards running the real driver,
inspects them, and captures video and audio to files.

Machine:
  --cards N                  number of cards (1-4, default 1)
  --variant 6864|standard[,...]  card variant, one for all cards or one per card
  -i, --input [cardK/]CH=SRC[:525|:625]
                             what reaches input(s) CH (e.g. 3, 0-3, 1,5): 'pattern' (built-in),
                             'none' (no signal) or a media file, looped; 525 (default) or 625 lines
  --registry FILE.reg        load the registry from FILE (created if missing) and save it back
  --setting [cardK/]NAME=VALUE[,...]
                             set Preview0-7, INTMODE0-7 or HDELAY0-7 before the cards start
  --realtime                 pace the simulated clock to the wall clock
  --cpus N                   simulated processors (1-8, default 2; 1 runs everything in turn)
  --cost-model x64|uncached|none
                             what the driver's copies and register reads cost the simulated
                             processors: x64 (default: field buffers cached, as the platform
                             gives them), uncached (as the driver asks for them), none
  --trace FILE               write the cards' register and bus trace to FILE
  --driver FILE.sys          run this Windows build of the driver (the image itself)
                             instead of the one built into morvane-ctl
  --fault error:[cardK/]CH@T | loss:[cardK/]CH@T[+LEN] | standard:[cardK/]CH@T=525|625
                             inject a fault T seconds into the capture

Timeline (T seconds into the capture, or into the --seconds run):
  --pnp [cardK/]rebalance@T  query-stop, stop, a new register window, start again
  --pnp [cardK/]remove@T     orderly removal (refused while handles are open)
  --pnp [cardK/]surprise-remove@T, --surprise-remove@T
                             the card leaves the bus without warning
  --pnp [cardK/]sleep@T+LEN, --sleep@T+LEN
                             the system sleeps LEN seconds: running pins pause, the card
                             goes to D3, then D0 and the pins run again
  --set-time@T=OFFSET        the system clock moves OFFSET seconds (-3600: back an hour)
  --low-resources SEED:RATE[@T]
                             from T on, each allocation the driver asks for fails with
                             chance RATE (0 < RATE <= 1), reproducibly: SEED gives the same failures

Inspection (of -d DEVICE, or of everything):
  -d, --device DEVICE        card0, card0/video3, card0/audio3 (video3 = card0/video3)
  --list-devices             filters with reference GUIDs, categories and pins
  --list-formats-ext         each pin's formats after standard detection
  -l, --list-ctrls           controls with ranges, defaults and current values
  -C, --get-ctrl NAME[,...]  print controls (brightness, contrast, hue, saturation, sharpness)
  -c, --set-ctrl NAME=VALUE[,...]
  --get-standard             the decoder's video standard and status
  -s, --set-standard STD     ntsc, pal, secam or a name such as PAL_B, NTSC_M_J, or 0xVALUE
  --json                     print the inspection and the capture summary as JSON

Capture:
  --stream-to FILE           .avi or .mkv (video with the channel's audio), .wav (audio),
                             .png (a still); for a card (-d card0): a folder, or a name
                             with %d for the channel, and a contact sheet beside it
  --stream-count N           frames (audio: 4096-byte blocks) per stream
  --duration SECONDS         how long to capture (default 10 s, or 1 frame for a still)
  -v, --set-fmt-video width=W,height=H,pixelformat=YUY2|UYVY|Y41P|RGB565
  -p, --set-parm FPS         frame rate
  --audio-rate HZ            8000, 16000, 24000, 32000, 44100 or 48000 (default 48000)
  --no-audio                 video only
  --codec raw|ffv1|h264|mjpeg
                             how .avi and .mkv files store the pictures: raw as captured
                             (default), ffv1 lossless, h264 or mjpeg
  --contact-sheet FILE.png   a still of every channel of the card in one picture
  --frame-log FILE           every frame's and block's header as received, as JSON lines

Properties (of -d DEVICE, a filter):
  --get-prop SET:ID[:SIZE]   raw get: the NTSTATUS and the bytes returned; SET is a name
                             (VIDEOPROCAMP, VIDEODECODER, PIN, CONNECTION, ...) or a GUID
  --set-prop SET:ID=HEX      raw set with the given bytes
  --basic-support SET:ID     the basic-support answer, raw and decoded

Compliance:
  --compliance               check every filter (or -d DEVICE) against the platform's
                             contracts and the published formats; one line per check,
                             exit 0 only when all pass

Without inspection or capture: starts the cards, runs --seconds N simulated seconds
(default 1) and prints the register trace summary and the verifier's verdict.

Exit status: 0 everything asked for was done (losses only where injected faults or
timeline actions explain them), 1 a capture came out incomplete, a step or a compliance check failed,
2 bad command line or input (nothing is written), 3 the verifier stopped the machine.
SIGINT or SIGTERM end the run and remove what it was writing.
)";
}

}  // namespace ctl
