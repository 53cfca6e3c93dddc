#include "compliance.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "listing.h"
#include "sim/kernel/registry.h"
#include "timeunits.h"

namespace ctl {

namespace {

using sim::ks::Client;
using sim::ks::Handle;
using Bytes = std::vector<uint8_t>;

// A set no one defines, for the requests that must be refused.
constexpr GUID kUnknownSet = {
    0x6d2b3f10, 0x8a44, 0x4c1e, {0x9e, 0x07, 0x2f, 0x51, 0x7c, 0x33, 0xa0, 0x19}};

std::string Status(NTSTATUS s) {
  std::string name = StatusName(s);
  return Hex(static_cast<uint32_t>(s)) + (name.empty() ? "" : " " + name);
}

template <class T>
Bytes BytesOf(const T &value) {
  Bytes b(sizeof value);
  std::memcpy(b.data(), &value, sizeof value);
  return b;
}

template <class T>
T As(const Bytes &b) {
  T value{};
  if (!b.empty()) std::memcpy(&value, b.data(), std::min(sizeof value, b.size()));
  return value;
}

// The checks of one run: each prints one line, ok or FAIL with the reason.
class Checker {
 public:
  Checker(Client &client, sim::Machine &machine, ComplianceResult *result)
      : client_(client), machine_(machine), result_(result) {}

  void Filter(const ComplianceTarget &target);

 private:
  void Check(const std::string &what, bool ok, const std::string &why = "") {
    std::string line = scope_ + ": " + what + ": " + (ok ? "ok" : "FAIL: " + why);
    result_->text += line + "\n";
    Json &j = (*checks_).emplace_back(Json::object());
    j["check"] = what;
    j["ok"] = ok;
    if (!ok) j["why"] = why;
    ok ? ++result_->passed : ++result_->failed;
  }
  void CheckFailure(const std::string &what, NTSTATUS s, const std::string &expectation) {
    Check(what, !NT_SUCCESS(s), "returned " + Status(s) + ", " + expectation);
  }

  NTSTATUS RawProperty(Handle h, const GUID &set, ULONG id, ULONG flags, ULONG propertyLength,
                       Bytes *data, ULONG *returned) {
    Bytes request(std::max<size_t>(propertyLength, sizeof(KSPROPERTY)), 0);
    KSPROPERTY p{};
    p.Set = set;
    p.Id = id;
    p.Flags = flags;
    std::memcpy(request.data(), &p, sizeof p);
    if (data->size() >= sizeof p) std::memcpy(data->data(), &p, sizeof p);
    return client_.Property(h, request.data(), propertyLength,
                            data->empty() ? nullptr : data->data(),
                            static_cast<ULONG>(data->size()), returned);
  }

  void PinFactory(Handle filter, ULONG pinId);
  void Ranges(Handle filter, ULONG pinId, const std::vector<Bytes> &ranges);
  void Intersection(Handle filter, ULONG pinId, const std::vector<Bytes> &ranges);
  void Creation(Handle filter, ULONG pinId, const std::vector<Bytes> &ranges);
  void Instances(Handle filter, ULONG pinId, const Bytes &format);
  void States(Handle filter, ULONG pinId, const Bytes &format);
  void Streaming(Handle filter, ULONG pinId, const Bytes &format);
  void ProcAmp(Handle filter);
  // A frame with the KS_FRAME_INFO a video client hands in (audio pins take the same
  // size). A pin of another kind wants its own header size, which a client learns by
  // trying: the one that worked is kept.
  NTSTATUS Queue(Handle pin, ULONG size) {
    auto attempt = [&](size_t extra) {
      sim::ks::FrameRequest r;
      r.bufferSize = size;
      r.extendedHeader.resize(extra);
      KS_FRAME_INFO info{};
      info.ExtendedHeaderSize = static_cast<ULONG>(extra);
      if (extra != 0) std::memcpy(r.extendedHeader.data(), &info, std::min(extra, sizeof info));
      return client_.QueueFrame(pin, std::move(r));
    };
    NTSTATUS s = attempt(headerExtra_);
    if (s == STATUS_PENDING || video_ || audio_) return s;
    for (size_t extra : {size_t{0}, size_t{8}, size_t{16}, size_t{32}, sizeof(KS_FRAME_INFO)}) {
      s = attempt(extra);
      if (s == STATUS_PENDING) {
        headerExtra_ = extra;
        break;
      }
    }
    return s;
  }
  static ULONG FrameSize(const Bytes &format) {
    return std::max<ULONG>(As<KSDATAFORMAT>(format).SampleSize, 4096);
  }
  void Decoder(Handle filter);
  void UnknownProperties(Handle object, const char *what);

  Client &client_;
  sim::Machine &machine_;
  ComplianceResult *result_;
  std::string scope_;
  Json *checks_ = nullptr;
  bool video_ = false;
  bool audio_ = false;
  bool preview_ = false;
  std::vector<GUID> cachedNames_;  // per pin factory, from the device interface
  size_t headerExtra_ = sizeof(KS_FRAME_INFO);
  bool wildcardSubtype_ = false;  // a range that takes any subtype
};

// ------------------------------------------------------------------ formats

// Bytes per row of a bitmap: whole 32-bit words.
ULONG Stride(const KS_BITMAPINFOHEADER &b) {
  return ((static_cast<ULONG>(b.biBitCount) * static_cast<ULONG>(std::labs(b.biWidth)) + 31) / 32) *
         4;
}

// What the published video formats promise of one range (the platform's documented
// KS_DATARANGE_VIDEO): sizes, rates and the default picture agreeing with each other.
std::string VideoRangeProblem(const Bytes &r) {
  if (r.size() < sizeof(KS_DATARANGE_VIDEO))
    return "FormatSize " + std::to_string(r.size()) + " is less than a KS_DATARANGE_VIDEO";
  KS_DATARANGE_VIDEO v = As<KS_DATARANGE_VIDEO>(r);
  const KS_VIDEO_STREAM_CONFIG_CAPS &c = v.ConfigCaps;
  const KS_BITMAPINFOHEADER &b = v.VideoInfoHeader.bmiHeader;
  if (v.DataRange.MajorFormat != KSDATAFORMAT_TYPE_VIDEO) return "MajorFormat is not video";
  if (v.DataRange.Specifier != KSDATAFORMAT_SPECIFIER_VIDEOINFO)
    return "Specifier is not VIDEOINFO";
  if (c.MinOutputSize.cx > c.MaxOutputSize.cx || c.MinOutputSize.cy > c.MaxOutputSize.cy)
    return "MinOutputSize exceeds MaxOutputSize";
  if (c.MaxOutputSize.cx > c.InputSize.cx || c.MaxOutputSize.cy > c.InputSize.cy)
    return "MaxOutputSize exceeds InputSize";
  if (c.MinFrameInterval <= 0 || c.MinFrameInterval > c.MaxFrameInterval)
    return "MinFrameInterval and MaxFrameInterval out of order";
  if (v.VideoInfoHeader.AvgTimePerFrame < c.MinFrameInterval ||
      v.VideoInfoHeader.AvgTimePerFrame > c.MaxFrameInterval)
    return "AvgTimePerFrame outside the frame intervals";
  if (b.biSize < sizeof(KS_BITMAPINFOHEADER)) return "biSize is less than a bitmap header";
  if (std::labs(b.biWidth) > c.MaxOutputSize.cx || std::labs(b.biHeight) > c.MaxOutputSize.cy)
    return "the default picture is larger than MaxOutputSize";
  if (b.biSizeImage != Stride(b) * static_cast<ULONG>(std::labs(b.biHeight)))
    return "biSizeImage " + std::to_string(b.biSizeImage) + " is not stride x height " +
           std::to_string(Stride(b) * static_cast<ULONG>(std::labs(b.biHeight)));
  if (c.OutputGranularityX <= 0 || c.OutputGranularityY <= 0) return "granularity is not positive";
  return "";
}

std::string AudioRangeProblem(const Bytes &r) {
  if (r.size() < sizeof(KSDATARANGE_AUDIO))
    return "FormatSize " + std::to_string(r.size()) + " is less than a KSDATARANGE_AUDIO";
  KSDATARANGE_AUDIO a = As<KSDATARANGE_AUDIO>(r);
  if (a.DataRange.MajorFormat != KSDATAFORMAT_TYPE_AUDIO) return "MajorFormat is not audio";
  if (a.MaximumChannels < 1) return "MaximumChannels is 0";
  if (a.MinimumBitsPerSample > a.MaximumBitsPerSample) return "bits per sample out of order";
  if (a.MinimumSampleFrequency > a.MaximumSampleFrequency || a.MinimumSampleFrequency == 0)
    return "sample frequencies out of order";
  return "";
}

// The client's view of an intersection request: KSP_PIN, KSMULTIPLE_ITEM, ranges on
// 8-byte boundaries; `size` and `count` as given so they can lie.
Bytes IntersectionRequest(ULONG pinId, const std::vector<Bytes> &ranges, std::optional<ULONG> size,
                          std::optional<ULONG> count) {
  KSP_PIN pin{};
  pin.Property.Set = KSPROPSETID_Pin;
  pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  pin.Property.Flags = KSPROPERTY_TYPE_GET;
  pin.PinId = pinId;
  Bytes bytes(sizeof pin + sizeof(KSMULTIPLE_ITEM));
  std::memcpy(bytes.data(), &pin, sizeof pin);
  for (const Bytes &r : ranges) {
    size_t at = bytes.size();
    bytes.resize(at + ((r.size() + 7) & ~size_t{7}));
    std::memcpy(bytes.data() + at, r.data(), r.size());
  }
  KSMULTIPLE_ITEM items{size.value_or(static_cast<ULONG>(bytes.size() - sizeof pin)),
                        count.value_or(static_cast<ULONG>(ranges.size()))};
  std::memcpy(bytes.data() + sizeof pin, &items, sizeof items);
  return bytes;
}

void SetFormatSize(Bytes *r, ULONG size) { std::memcpy(r->data(), &size, sizeof size); }

// ------------------------------------------------------------------ the checks

void Checker::Filter(const ComplianceTarget &target) {
  scope_ = target.name;
  Json &filter = result_->json["filters"].emplace_back(Json::object());
  filter["device"] = target.name;
  checks_ = &(filter["checks"] = Json::array());
  cachedNames_.clear();
  for (const sim::ks::DeviceInterface &i : client_.AllInterfaces())
    if (i.symbolicLink == target.symbolicLink && cachedNames_.empty())
      for (const sim::ks::CachedPin &p : i.pins) cachedNames_.push_back(p.name);
  Handle h = 0;
  NTSTATUS s = client_.OpenFilter(target.symbolicLink, &h);
  Check("the filter opens", NT_SUCCESS(s), Status(s));
  if (!NT_SUCCESS(s)) return;
  ULONG pins = 0;
  s = client_.PinCount(h, &pins);
  Check("KSPROPERTY_PIN_CTYPES gives the pin factories", NT_SUCCESS(s) && pins >= 1,
        NT_SUCCESS(s) ? "no pin factory" : Status(s));
  std::vector<Bytes> probe;
  s = client_.PinDataRanges(h, pins, &probe);
  CheckFailure("KSPROPERTY_PIN_DATARANGES for a pin id beyond the count is refused", s,
               "a pin that does not exist has no ranges");
  for (ULONG p = 0; p < pins; ++p) PinFactory(h, p);
  UnknownProperties(h, "filter");
  if (video_) {
    ProcAmp(h);
    Decoder(h);
  }
  client_.Close(h);
}

void Checker::PinFactory(Handle filter, ULONG pinId) {
  const std::string base = scope_;
  scope_ = base + " pin " + std::to_string(pinId);
  KSPIN_DATAFLOW flow{};
  NTSTATUS s = client_.PinDataFlow(filter, pinId, &flow);
  Check("a capture pin's data flows out", NT_SUCCESS(s) && flow == KSPIN_DATAFLOW_OUT,
        NT_SUCCESS(s) ? "KSPIN_DATAFLOW_IN" : Status(s));
  KSPIN_COMMUNICATION comm{};
  s = client_.PinCommunication(filter, pinId, &comm);
  Check("the pin can be instantiated (communication sink or both)",
        NT_SUCCESS(s) && (comm == KSPIN_COMMUNICATION_SINK || comm == KSPIN_COMMUNICATION_BOTH),
        NT_SUCCESS(s) ? "communication " + std::to_string(comm) : Status(s));
  std::vector<Bytes> ranges;
  s = client_.PinDataRanges(filter, pinId, &ranges);
  Check("KSPROPERTY_PIN_DATARANGES lists ranges", NT_SUCCESS(s) && !ranges.empty(),
        NT_SUCCESS(s) ? "no range" : Status(s));
  video_ = audio_ = false;
  wildcardSubtype_ = false;
  headerExtra_ = sizeof(KS_FRAME_INFO);
  if (!ranges.empty()) {
    // The video and audio checks are for the platform's video-info and wave formats.
    KSDATARANGE first = As<KSDATARANGE>(ranges[0]);
    video_ = first.MajorFormat == KSDATAFORMAT_TYPE_VIDEO &&
             first.Specifier == KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    audio_ = first.MajorFormat == KSDATAFORMAT_TYPE_AUDIO &&
             first.Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    for (const Bytes &r : ranges)
      if (As<KSDATARANGE>(r).SubFormat == KSDATAFORMAT_SUBTYPE_WILDCARD) wildcardSubtype_ = true;
  }
  GUID category{};
  s = client_.PinCategory(filter, pinId, &category);
  // A preview pin (by category, or by the name GUID the class driver cached) stamps no
  // presentation times.
  preview_ = (NT_SUCCESS(s) && category == PINNAME_VIDEO_PREVIEW) ||
             (pinId < cachedNames_.size() && cachedNames_[pinId] == PINNAME_VIDEO_PREVIEW);
  if (video_)
    Check("a video pin's category is capture or preview",
          NT_SUCCESS(s) && (category == PINNAME_VIDEO_CAPTURE || preview_),
          NT_SUCCESS(s) ? GuidText(category) : Status(s));
  std::u16string name;
  s = client_.PinName(filter, pinId, &name);
  // Without a name registered for its name (or category) GUID the platform has none.
  Check("KSPROPERTY_PIN_NAME gives a name or STATUS_NOT_FOUND",
        (NT_SUCCESS(s) && !name.empty()) || s == STATUS_NOT_FOUND,
        NT_SUCCESS(s) ? "an empty name" : Status(s));
  if (!ranges.empty()) {
    Ranges(filter, pinId, ranges);
    Intersection(filter, pinId, ranges);
    Creation(filter, pinId, ranges);
  }
  scope_ = base;
}

void Checker::Ranges(Handle, ULONG, const std::vector<Bytes> &ranges) {
  for (size_t n = 0; n < ranges.size(); ++n) {
    const Bytes &r = ranges[n];
    KSDATARANGE base = As<KSDATARANGE>(r);
    std::string what = "range " + std::to_string(n);
    Check(what + ": FormatSize covers the KSDATARANGE",
          base.FormatSize >= sizeof(KSDATARANGE) && base.FormatSize == r.size(),
          "FormatSize " + std::to_string(base.FormatSize));
    if (video_) {
      std::string problem = VideoRangeProblem(r);
      Check(what + " (" + SubtypeName(base.SubFormat) + "): a consistent KS_DATARANGE_VIDEO",
            problem.empty(), problem);
    } else if (audio_) {
      std::string problem = AudioRangeProblem(r);
      Check(what + ": a consistent KSDATARANGE_AUDIO", problem.empty(), problem);
    }
  }
}

void Checker::Intersection(Handle filter, ULONG pinId, const std::vector<Bytes> &ranges) {
  // Every published range, handed back, gives a format of that range.
  for (size_t n = 0; n < ranges.size(); ++n) {
    const std::string what = "intersection with published range " + std::to_string(n);
    KSDATARANGE range = As<KSDATARANGE>(ranges[n]);
    ULONG size = 0;
    NTSTATUS s = client_.DataIntersectionSize(filter, pinId, {ranges[n]}, &size);
    Check(what + ": the size query answers STATUS_BUFFER_OVERFLOW with a size",
          s == STATUS_BUFFER_OVERFLOW && size >= sizeof(KSDATAFORMAT), Status(s));
    Bytes format;
    s = client_.DataIntersection(filter, pinId, {ranges[n]}, &format);
    if (!NT_SUCCESS(s)) {
      Check(what, false, Status(s) + ": a pin must accept its own ranges");
      continue;
    }
    KSDATAFORMAT df = As<KSDATAFORMAT>(format);
    std::string problem;
    if (format.size() < sizeof df || df.FormatSize != format.size())
      problem = "FormatSize " + std::to_string(df.FormatSize) + " but " +
                std::to_string(format.size()) + " bytes returned";
    else if (df.MajorFormat != range.MajorFormat ||
             (range.SubFormat != GUID{} && df.SubFormat != range.SubFormat) ||
             (range.Specifier != GUID{} && df.Specifier != range.Specifier))
      problem = "the format's GUIDs are not the range's";
    else if (video_ && format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
      problem = "shorter than a KS_DATAFORMAT_VIDEOINFOHEADER";
    else if (video_) {
      KS_DATAFORMAT_VIDEOINFOHEADER v = As<KS_DATAFORMAT_VIDEOINFOHEADER>(format);
      const KS_BITMAPINFOHEADER &b = v.VideoInfoHeader.bmiHeader;
      if (b.biSizeImage != Stride(b) * static_cast<ULONG>(std::labs(b.biHeight)))
        problem = "biSizeImage is not stride x height";
      else if (v.DataFormat.SampleSize != b.biSizeImage)
        problem = "SampleSize differs from biSizeImage";
    }
    Check(what + " gives a format of that range", problem.empty(), problem);
    if (size >= sizeof(KSDATAFORMAT)) {
      // One byte short of the size it asked for: refused, nothing written past it.
      Bytes request = IntersectionRequest(pinId, {ranges[n]}, {}, {});
      Bytes small(size - 1);
      ULONG returned = 0;
      s = client_.Property(filter, request.data(), static_cast<ULONG>(request.size()), small.data(),
                           static_cast<ULONG>(small.size()), &returned);
      Check(what + " into a buffer one byte short is refused", s == STATUS_BUFFER_TOO_SMALL,
            "returned " + Status(s));
    }
  }
  // Malformed requests: refused, and the sanitizer builds see that nothing is overrun.
  Bytes range = ranges[0];
  Bytes format;
  {
    Bytes tiny = range;
    SetFormatSize(&tiny, sizeof(KSDATARANGE) / 2);
    tiny.resize(sizeof(KSDATARANGE) / 2);
    Bytes request = IntersectionRequest(pinId, {tiny}, {}, {});
    Bytes out(4096);
    ULONG returned = 0;
    NTSTATUS s = client_.Property(filter, request.data(), static_cast<ULONG>(request.size()),
                                  out.data(), static_cast<ULONG>(out.size()), &returned);
    CheckFailure("intersection with a range shorter than a KSDATARANGE is refused", s,
                 "a malformed range matches nothing");
  }
  {
    Bytes header(range.begin(), range.begin() + sizeof(KSDATARANGE));
    SetFormatSize(&header, sizeof(KSDATARANGE));
    NTSTATUS s = client_.DataIntersection(filter, pinId, {header}, &format);
    if (video_ || audio_)
      CheckFailure("intersection with a range cut to its KSDATARANGE is refused", s,
                   "the range's specifier needs the whole structure");
  }
  {
    // The list says more bytes than there are: the class driver must not read past it.
    Bytes request = IntersectionRequest(pinId, {range}, {}, {});
    KSMULTIPLE_ITEM items = As<KSMULTIPLE_ITEM>(
        Bytes(request.begin() + sizeof(KSP_PIN), request.begin() + sizeof(KSP_PIN) + 8));
    items.Size += 4096;
    std::memcpy(request.data() + sizeof(KSP_PIN), &items, sizeof items);
    Bytes out(4096);
    ULONG returned = 0;
    NTSTATUS s = client_.Property(filter, request.data(), static_cast<ULONG>(request.size()),
                                  out.data(), static_cast<ULONG>(out.size()), &returned);
    CheckFailure("intersection whose KSMULTIPLE_ITEM overstates its size is refused", s,
                 "the request is shorter than it says");
  }
  {
    Bytes overflowing = range;
    SetFormatSize(&overflowing, 0xFFFFFFF0u);
    Bytes request = IntersectionRequest(pinId, {overflowing}, {}, {});
    Bytes out(4096);
    ULONG returned = 0;
    NTSTATUS s = client_.Property(filter, request.data(), static_cast<ULONG>(request.size()),
                                  out.data(), static_cast<ULONG>(out.size()), &returned);
    CheckFailure("intersection with a FormatSize that overflows the list is refused", s,
                 "the range runs past the request");
  }
  {
    Bytes wildcard(sizeof(KSDATARANGE), 0);
    KSDATARANGE w{};
    w.FormatSize = sizeof w;
    w.MajorFormat = As<KSDATARANGE>(range).MajorFormat;
    w.SubFormat = KSDATAFORMAT_SUBTYPE_WILDCARD;
    w.Specifier = KSDATAFORMAT_SPECIFIER_WILDCARD;
    std::memcpy(wildcard.data(), &w, sizeof w);
    NTSTATUS s = client_.DataIntersection(filter, pinId, {wildcard}, &format);
    KSDATAFORMAT df = As<KSDATAFORMAT>(format);
    Check("intersection with a wildcard range proposes a complete format or no match",
          s == STATUS_NO_MATCH || (NT_SUCCESS(s) && df.FormatSize == format.size() &&
                                   df.MajorFormat == w.MajorFormat && df.SubFormat != GUID{}),
          Status(s));
  }
  {
    Bytes other = range;
    KSDATARANGE r = As<KSDATARANGE>(other);
    r.MajorFormat = kUnknownSet;
    std::memcpy(other.data(), &r, sizeof r);
    NTSTATUS s = client_.DataIntersection(filter, pinId, {other}, &format);
    Check("intersection with a foreign major format finds no match", s == STATUS_NO_MATCH,
          "returned " + Status(s));
  }
}

void Checker::Creation(Handle filter, ULONG pinId, const std::vector<Bytes> &ranges) {
  Bytes format;
  NTSTATUS s = client_.DataIntersection(filter, pinId, {ranges[0]}, &format);
  if (!NT_SUCCESS(s)) return;  // reported by the intersection checks
  Handle pin = 0;
  s = client_.CreatePin(filter, pinId, format, &pin);
  Check("a pin is created with its own proposed format", NT_SUCCESS(s), Status(s));
  if (!NT_SUCCESS(s)) return;
  Bytes connection;
  s = client_.GetConnectionFormat(pin, &connection);
  // The pin may complete what the client left open (rectangles); the format stays the one
  // asked for: same KSDATAFORMAT, same size.
  Check("KSPROPERTY_CONNECTION_DATAFORMAT gives back the format",
        NT_SUCCESS(s) && connection.size() == format.size() &&
            std::equal(format.begin(), format.begin() + sizeof(KSDATAFORMAT), connection.begin()),
        NT_SUCCESS(s)
            ? std::to_string(connection.size()) + " bytes for " + std::to_string(format.size())
            : Status(s));
  KSALLOCATOR_FRAMING_EX framing{};
  s = client_.GetAllocatorFraming(pin, &framing);
  Check("KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX answers",
        NT_SUCCESS(s) && framing.CountItems >= 1 && framing.FramingItem[0].Frames >= 1, Status(s));
  UnknownProperties(pin, "pin");
  client_.Close(pin);

  // Refusals: formats that are not of the pin's ranges.
  auto refused = [&](const std::string &what, Bytes bad) {
    Handle p = 0;
    NTSTATUS st = client_.CreatePin(filter, pinId, bad, &p);
    if (NT_SUCCESS(st)) client_.Close(p);
    CheckFailure("pin creation refuses " + what, st, "the format is not of the pin's ranges");
  };
  {
    Bytes bad = format;
    KSDATAFORMAT df = As<KSDATAFORMAT>(bad);
    df.MajorFormat = kUnknownSet;
    std::memcpy(bad.data(), &df, sizeof df);
    refused("a foreign major format", bad);
  }
  {
    Bytes bad = format;
    KSDATAFORMAT df = As<KSDATAFORMAT>(bad);
    df.SubFormat = kUnknownSet;
    std::memcpy(bad.data(), &df, sizeof df);
    if (!wildcardSubtype_) refused("a subtype it does not publish", bad);
  }
  {
    Bytes bad(format.begin(), format.begin() + sizeof(KSDATAFORMAT));
    SetFormatSize(&bad, sizeof(KSDATAFORMAT));
    if (video_ || audio_) refused("a format cut to its KSDATAFORMAT", bad);
  }
  if (video_ && format.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    KS_DATARANGE_VIDEO range = As<KS_DATARANGE_VIDEO>(ranges[0]);
    auto edited = [&](auto edit) {
      Bytes bad = format;
      KS_DATAFORMAT_VIDEOINFOHEADER v = As<KS_DATAFORMAT_VIDEOINFOHEADER>(bad);
      edit(v);
      std::memcpy(bad.data(), &v, sizeof v);
      return bad;
    };
    refused("a picture wider than MaxOutputSize", edited([&](KS_DATAFORMAT_VIDEOINFOHEADER &v) {
              KS_BITMAPINFOHEADER &b = v.VideoInfoHeader.bmiHeader;
              b.biWidth = range.ConfigCaps.MaxOutputSize.cx + range.ConfigCaps.OutputGranularityX;
              b.biSizeImage = Stride(b) * static_cast<ULONG>(std::labs(b.biHeight));
              v.DataFormat.SampleSize = b.biSizeImage;
            }));
    refused("a picture of zero width", edited([&](KS_DATAFORMAT_VIDEOINFOHEADER &v) {
              v.VideoInfoHeader.bmiHeader.biWidth = 0;
            }));
    refused("a biSizeImage smaller than the picture", edited([&](KS_DATAFORMAT_VIDEOINFOHEADER &v) {
              v.VideoInfoHeader.bmiHeader.biSizeImage /= 2;
              v.DataFormat.SampleSize = v.VideoInfoHeader.bmiHeader.biSizeImage;
            }));
  }
  if (audio_ && format.size() >= sizeof(KSDATAFORMAT_WAVEFORMATEX)) {
    KSDATARANGE_AUDIO range = As<KSDATARANGE_AUDIO>(ranges[0]);
    auto edited = [&](auto edit) {
      Bytes bad = format;
      KSDATAFORMAT_WAVEFORMATEX w = As<KSDATAFORMAT_WAVEFORMATEX>(bad);
      edit(w.WaveFormatEx);
      std::memcpy(bad.data(), &w, sizeof w);
      return bad;
    };
    refused("more channels than MaximumChannels", edited([&](WAVEFORMATEX &w) {
              w.nChannels = static_cast<WORD>(range.MaximumChannels + 1);
              w.nBlockAlign = static_cast<WORD>(w.nChannels * w.wBitsPerSample / 8);
              w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
            }));
    refused("bits per sample outside the range", edited([&](WAVEFORMATEX &w) {
              w.wBitsPerSample = static_cast<WORD>(range.MaximumBitsPerSample + 8);
              w.nBlockAlign = static_cast<WORD>(w.nChannels * w.wBitsPerSample / 8);
              w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
            }));
    refused("a sample rate above the range", edited([&](WAVEFORMATEX &w) {
              w.nSamplesPerSec = range.MaximumSampleFrequency + 1;
              w.nAvgBytesPerSec = w.nSamplesPerSec * w.nBlockAlign;
            }));
  }
  Streaming(filter, pinId, format);
  Instances(filter, pinId, format);
  States(filter, pinId, format);
}

void Checker::Instances(Handle filter, ULONG pinId, const Bytes &format) {
  KSPIN_CINSTANCES counts{};
  NTSTATUS s = client_.PinInstances(filter, pinId, &counts);
  Check("KSPROPERTY_PIN_CINSTANCES answers with none open",
        NT_SUCCESS(s) && counts.CurrentCount == 0 && counts.PossibleCount >= 1, Status(s));
  if (!NT_SUCCESS(s) || counts.PossibleCount < 1 || counts.PossibleCount > 8) return;
  std::vector<Handle> open;
  for (ULONG i = 0; i < counts.PossibleCount; ++i) {
    Handle p = 0;
    s = client_.CreatePin(filter, pinId, format, &p);
    if (!NT_SUCCESS(s)) break;
    open.push_back(p);
  }
  Check("as many pins open as PossibleCount says", open.size() == counts.PossibleCount,
        std::to_string(open.size()) + " of " + std::to_string(counts.PossibleCount) + ": " +
            Status(s));
  Handle extra = 0;
  s = client_.CreatePin(filter, pinId, format, &extra);
  if (NT_SUCCESS(s)) client_.Close(extra);
  CheckFailure("one pin more than PossibleCount is refused", s, "the instance limit is published");
  KSPIN_CINSTANCES now{};
  client_.PinInstances(filter, pinId, &now);
  Check("CurrentCount counts the open pins", now.CurrentCount == open.size(),
        std::to_string(now.CurrentCount) + " for " + std::to_string(open.size()));
  for (Handle p : open) client_.Close(p);
}

void Checker::States(Handle filter, ULONG pinId, const Bytes &format) {
  Handle pin = 0;
  if (!NT_SUCCESS(client_.CreatePin(filter, pinId, format, &pin))) return;
  client_.SetMasterClock(pin, true);
  const KSSTATE walk[] = {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE,
                          KSSTATE_RUN,     KSSTATE_STOP,  KSSTATE_RUN, KSSTATE_ACQUIRE,
                          KSSTATE_STOP,    KSSTATE_PAUSE, KSSTATE_STOP};
  const char *names[] = {"STOP", "ACQUIRE", "PAUSE", "RUN"};
  std::string failed;
  KSSTATE from = KSSTATE_STOP;
  const ULONG bufferSize = FrameSize(format);
  size_t queued = 0;
  for (KSSTATE to : walk) {
    // Frames are queued at every step: a walk must keep or return every one of them.
    if (from != KSSTATE_STOP && Queue(pin, bufferSize) == STATUS_PENDING) ++queued;
    NTSTATUS s = client_.SetState(pin, to);
    KSSTATE now{};
    client_.GetState(pin, &now);
    if (!NT_SUCCESS(s) || now != to) {
      failed = std::string(names[from]) + " to " + names[to] + ": " + Status(s);
      break;
    }
    from = to;
  }
  Check("every state walk succeeds and KSPROPERTY_CONNECTION_STATE follows", failed.empty(),
        failed);
  NTSTATUS s = client_.SetState(pin, static_cast<KSSTATE>(4));
  CheckFailure("a state beyond KSSTATE_RUN is refused", s, "there is no such state");
  sim::ks::Frame frame;
  size_t back = 0;
  bool allCancelled = true;
  while (NT_SUCCESS(client_.TakeFrame(pin, &frame))) {
    ++back;
    if (frame.status != STATUS_CANCELLED && !NT_SUCCESS(frame.status)) allCancelled = false;
  }
  Check("frames queued during the walk all come back by STOP",
        queued > 0 && back == queued && allCancelled,
        std::to_string(back) + " of " + std::to_string(queued) + " came back");
  client_.Close(pin);
}

void Checker::Streaming(Handle filter, ULONG pinId, const Bytes &format) {
  if (!video_ && !audio_) return;
  Handle pin = 0;
  if (!NT_SUCCESS(client_.CreatePin(filter, pinId, format, &pin))) return;
  client_.SetMasterClock(pin, true);
  KSDATAFORMAT df = As<KSDATAFORMAT>(format);
  Hns interval = 0;
  ULONG image = df.SampleSize;
  ULONG rate = 0, blockAlign = 2;
  if (video_) {
    KS_DATAFORMAT_VIDEOINFOHEADER v = As<KS_DATAFORMAT_VIDEOINFOHEADER>(format);
    interval = v.VideoInfoHeader.AvgTimePerFrame;
    image = v.VideoInfoHeader.bmiHeader.biSizeImage;
  } else {
    KSDATAFORMAT_WAVEFORMATEX w = As<KSDATAFORMAT_WAVEFORMATEX>(format);
    rate = w.WaveFormatEx.nSamplesPerSec;
    blockAlign = std::max<ULONG>(w.WaveFormatEx.nBlockAlign, 1);
  }
  KSALLOCATOR_FRAMING_EX framing{};
  client_.GetAllocatorFraming(pin, &framing);
  const ULONG block =
      audio_ ? std::max<ULONG>(framing.FramingItem[0].PhysicalRange.MinFrameSize, 1) : image;
  auto queue = [&](ULONG size) { return Queue(pin, size); };
  // Streaming requests go to a pin that has left KSSTATE_STOP.
  NTSTATUS s = client_.SetState(pin, KSSTATE_RUN);
  Check("the pin runs", NT_SUCCESS(s), Status(s));
  for (int i = 0; i < 4; ++i) queue(block);
  const size_t wanted = video_ ? 30 : 8;  // a second of video; blocks of 8000 Hz are slow
  std::vector<sim::ks::Frame> frames;
  const sim::Nanos limit = machine_.now() + 4 * sim::kSecond;
  NTSTATUS waited = STATUS_SUCCESS;
  while (frames.size() < wanted && machine_.now() < limit) {
    sim::ks::Frame f;
    waited = client_.WaitForFrame(pin, limit - machine_.now(), &f);
    if (waited != STATUS_SUCCESS) break;
    frames.push_back(std::move(f));
    queue(block);
  }
  Check("frames arrive while running (" + std::to_string(wanted) + " wanted)",
        frames.size() == wanted, std::to_string(frames.size()) + " came, then " + Status(waited));
  // Header invariants, as the platform documents KSSTREAM_HEADER and KS_FRAME_INFO.
  std::string problem;
  int64_t lastPicture = -1;
  Hns lastTime = INT64_MIN;
  for (size_t i = 0; i < frames.size() && problem.empty(); ++i) {
    const sim::ks::Frame &f = frames[i];
    const KSSTREAM_HEADER &h = f.header;
    const std::string at = "frame " + std::to_string(i) + ": ";
    if (!NT_SUCCESS(f.status)) {
      problem = at + "completed with " + Status(f.status);
    } else if (h.DataUsed > h.FrameExtent) {
      problem = at + "DataUsed beyond FrameExtent";
    } else if (video_ && h.DataUsed != image) {
      problem = at + "DataUsed " + std::to_string(h.DataUsed) + " is not the image size " +
                std::to_string(image);
    } else if (audio_ && h.DataUsed % blockAlign != 0) {
      problem = at + "DataUsed is not whole samples";
    } else if (!preview_ && !(h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID)) {
      problem = at + "no valid presentation time on a pin with a clock";
    } else if ((h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) &&
               h.PresentationTime.Time <= lastTime) {
      problem = at + "presentation time does not increase";
    } else if (video_ && (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) &&
               h.Duration != interval) {
      problem = at + "Duration " + std::to_string(h.Duration) + " is not the format's interval " +
                std::to_string(interval);
    } else if (audio_ && (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) &&
               std::llabs(h.Duration - SamplesToHns(h.DataUsed / blockAlign, rate)) > 1) {
      problem = at + "Duration " + std::to_string(h.Duration) + " is not the block's " +
                std::to_string(SamplesToHns(h.DataUsed / blockAlign, rate));
    }
    if (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) lastTime = h.PresentationTime.Time;
    if (video_ && problem.empty()) {
      KS_FRAME_INFO info{};
      if (!f.Extended(&info)) {
        problem = at + "no KS_FRAME_INFO";
      } else if (info.PictureNumber <= lastPicture) {
        problem = at + "PictureNumber does not increase";
      } else if (info.DropCount != 0) {
        problem =
            at + "DropCount " + std::to_string(info.DropCount) + " although buffers stayed queued";
      } else if (info.PictureNumber - info.DropCount != static_cast<int64_t>(i) + 1) {
        problem = at + "PictureNumber - DropCount is " +
                  std::to_string(info.PictureNumber - info.DropCount) + " after " +
                  std::to_string(i + 1) + " frames";
      }
      lastPicture = info.PictureNumber;
    }
  }
  Check(std::string(video_ ? "frame" : "block") + " headers keep their invariants", problem.empty(),
        problem);
  if (video_) {
    // A frame too small for the image: refused or filled only as far as it goes (the
    // sanitizer builds see any write past it).
    while (client_.CompletedFrames(pin) > 0) {
      sim::ks::Frame f;
      client_.TakeFrame(pin, &f);
    }
    s = client_.SetState(pin, KSSTATE_PAUSE);
    sim::ks::Frame f;
    while (NT_SUCCESS(client_.TakeFrame(pin, &f))) {
    }
    NTSTATUS q = queue(image / 2);
    client_.SetState(pin, KSSTATE_RUN);
    NTSTATUS w = q == STATUS_PENDING ? client_.WaitForFrame(pin, sim::kSecond, &f) : q;
    Check("a frame too small for the image is refused or filled only as far as it goes",
          !NT_SUCCESS(q) || (w == STATUS_SUCCESS &&
                             (!NT_SUCCESS(f.status) || f.header.DataUsed <= f.header.FrameExtent)),
          "queued: " + Status(q) + ", came back: " + Status(w) + " with DataUsed " +
              std::to_string(f.header.DataUsed));
  }
  if (audio_) {
    // Paused and run again, the pin goes on delivering.
    s = client_.SetState(pin, KSSTATE_PAUSE);
    NTSTATUS r = client_.SetState(pin, KSSTATE_RUN);
    sim::ks::Frame f;
    NTSTATUS w = client_.WaitForFrame(pin, sim::kSecond, &f);
    Check("paused and run again, blocks go on",
          NT_SUCCESS(s) && NT_SUCCESS(r) && w == STATUS_SUCCESS,
          Status(s) + ", " + Status(r) + ", " + Status(w));
  }
  client_.SetState(pin, KSSTATE_STOP);
  sim::ks::Frame f;
  while (NT_SUCCESS(client_.TakeFrame(pin, &f))) {
  }
  client_.Close(pin);
}

// A property item as the platform publishes it: the _S structure carries its own
// KSPROPERTY, so MinProperty and MinData are both its size.
struct Item {
  const GUID *set;
  ULONG id;
  const char *name;
  ULONG size;
  bool settable;
};

void Checker::ProcAmp(Handle filter) {
  const Item items[] = {
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, "brightness",
       sizeof(KSPROPERTY_VIDEOPROCAMP_S), true},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_CONTRAST, "contrast",
       sizeof(KSPROPERTY_VIDEOPROCAMP_S), true},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, "hue",
       sizeof(KSPROPERTY_VIDEOPROCAMP_S), true},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SATURATION, "saturation",
       sizeof(KSPROPERTY_VIDEOPROCAMP_S), true},
      {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, "sharpness",
       sizeof(KSPROPERTY_VIDEOPROCAMP_S), true},
  };
  for (const Item &item : items) {
    const std::string name = std::string("VIDEOPROCAMP ") + item.name;
    Bytes d;
    NTSTATUS s = client_.BasicSupport(filter, *item.set, item.id, &d);
    KSPROPERTY_DESCRIPTION desc = As<KSPROPERTY_DESCRIPTION>(d);
    bool described = NT_SUCCESS(s) && d.size() >= sizeof desc &&
                     (desc.AccessFlags & KSPROPERTY_TYPE_GET) &&
                     (desc.AccessFlags & KSPROPERTY_TYPE_SET) && desc.DescriptionSize == d.size();
    Check(name + ": basic support describes get and set", described, Status(s));
    // Range and default from the members lists.
    LONG lo = 0, hi = -1, step = 0, def = 0;
    bool hasDefault = false;
    size_t at = sizeof desc;
    for (ULONG i = 0; described && i < desc.MembersListCount; ++i) {
      if (at + sizeof(KSPROPERTY_MEMBERSHEADER) > d.size()) break;
      KSPROPERTY_MEMBERSHEADER h;
      std::memcpy(&h, d.data() + at, sizeof h);
      at += sizeof h;
      if ((h.MembersFlags == KSPROPERTY_MEMBER_RANGES ||
           h.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES) &&
          h.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG) &&
          at + sizeof(KSPROPERTY_STEPPING_LONG) <= d.size()) {
        KSPROPERTY_STEPPING_LONG r;
        std::memcpy(&r, d.data() + at, sizeof r);
        lo = r.Bounds.SignedMinimum;
        hi = r.Bounds.SignedMaximum;
        step = static_cast<LONG>(r.SteppingDelta);
      } else if (h.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
                 (h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) && at + sizeof(LONG) <= d.size()) {
        std::memcpy(&def, d.data() + at, sizeof def);
        hasDefault = true;
      }
      at += static_cast<size_t>(h.MembersSize) * h.MembersCount;
    }
    Check(name + ": a range with a step and a default inside it",
          lo <= hi && step > 0 && hasDefault && def >= lo && def <= hi,
          "range " + std::to_string(lo) + ".." + std::to_string(hi) + " step " +
              std::to_string(step) +
              (hasDefault ? " default " + std::to_string(def) : " no default"));
    KSPROPERTY_VIDEOPROCAMP_S v{};
    s = client_.GetS(filter, *item.set, item.id, &v);
    Check(name + ": get gives a value inside the range",
          NT_SUCCESS(s) && v.Value >= lo && v.Value <= hi,
          Status(s) + " value " + std::to_string(v.Value));
    const LONG original = v.Value;
    // MinProperty: a bare KSPROPERTY is shorter than the item's request.
    Bytes data(item.size);
    ULONG returned = 0;
    s = RawProperty(filter, *item.set, item.id, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), &data,
                    &returned);
    Check(name + ": a request shorter than MinProperty is refused with STATUS_BUFFER_TOO_SMALL",
          s == STATUS_BUFFER_TOO_SMALL || (static_cast<uint32_t>(s) & ~0x20000000u) == 0xC0000023u,
          "returned " + Status(s));
    Bytes none;
    s = RawProperty(filter, *item.set, item.id, KSPROPERTY_TYPE_GET, item.size, &none, &returned);
    Check(name + ": a size query answers STATUS_BUFFER_OVERFLOW with MinData",
          s == STATUS_BUFFER_OVERFLOW && returned == item.size,
          Status(s) + ", " + std::to_string(returned) + " bytes");
    Bytes shortData(item.size - 1);
    s = RawProperty(filter, *item.set, item.id, KSPROPERTY_TYPE_GET, item.size, &shortData,
                    &returned);
    CheckFailure(name + ": data one byte short of MinData is refused", s,
                 "the structure does not fit");
    // Set: the extremes are taken and read back; beyond them is refused and changes nothing.
    for (LONG value : {lo, hi}) {
      KSPROPERTY_VIDEOPROCAMP_S set{};
      set.Value = value;
      set.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
      s = client_.SetS(filter, *item.set, item.id, set);
      KSPROPERTY_VIDEOPROCAMP_S back{};
      client_.GetS(filter, *item.set, item.id, &back);
      Check(name + ": set " + std::to_string(value) + " is taken and read back",
            NT_SUCCESS(s) && back.Value == value,
            Status(s) + ", read " + std::to_string(back.Value));
    }
    KSPROPERTY_VIDEOPROCAMP_S beyond{};
    beyond.Value = hi + 1;
    beyond.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    s = client_.SetS(filter, *item.set, item.id, beyond);
    KSPROPERTY_VIDEOPROCAMP_S back{};
    client_.GetS(filter, *item.set, item.id, &back);
    Check(name + ": set beyond the range is refused and changes nothing",
          !NT_SUCCESS(s) && back.Value == hi, Status(s) + ", read " + std::to_string(back.Value));
    KSPROPERTY_VIDEOPROCAMP_S restore{};
    restore.Value = original;
    restore.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
    client_.SetS(filter, *item.set, item.id, restore);
  }
  KSPROPERTY_VIDEOPROCAMP_S v{};
  NTSTATUS s = client_.GetS(filter, PROPSETID_VIDCAP_VIDEOPROCAMP, 0x7FFF, &v);
  CheckFailure("VIDEOPROCAMP: an id the set does not have is refused", s, "no such item");
}

void Checker::Decoder(Handle filter) {
  KSPROPERTY_VIDEODECODER_CAPS_S caps{};
  NTSTATUS s =
      client_.GetS(filter, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, &caps);
  Check("VIDEODECODER caps: get lists supported standards",
        NT_SUCCESS(s) && caps.StandardsSupported != 0, Status(s));
  KSPROPERTY_VIDEODECODER_S standard{};
  s = client_.GetS(filter, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD,
                   &standard);
  Check("VIDEODECODER standard: get gives one of the supported standards",
        NT_SUCCESS(s) && (standard.Value & caps.StandardsSupported) != 0,
        Status(s) + " standard " + Hex(standard.Value));
  KSPROPERTY_VIDEODECODER_STATUS_S status{};
  s = client_.GetS(filter, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, &status);
  Check("VIDEODECODER status: 525 or 625 lines",
        NT_SUCCESS(s) && (status.NumberOfLines == 525 || status.NumberOfLines == 625),
        Status(s) + ", " + std::to_string(status.NumberOfLines) + " lines");
  for (ULONG id : {KSPROPERTY_VIDEODECODER_CAPS, KSPROPERTY_VIDEODECODER_STANDARD,
                   KSPROPERTY_VIDEODECODER_STATUS}) {
    Bytes d;
    s = client_.BasicSupport(filter, PROPSETID_VIDCAP_VIDEODECODER, id, &d);
    KSPROPERTY_DESCRIPTION desc = As<KSPROPERTY_DESCRIPTION>(d);
    Check("VIDEODECODER item " + std::to_string(id) + ": basic support answers with get access",
          NT_SUCCESS(s) && d.size() >= sizeof(ULONG) && (desc.AccessFlags & KSPROPERTY_TYPE_GET),
          Status(s));
  }
}

void Checker::UnknownProperties(Handle object, const char *what) {
  Bytes data(64);
  ULONG returned = 0;
  NTSTATUS s = RawProperty(object, kUnknownSet, 0, KSPROPERTY_TYPE_GET, sizeof(KSPROPERTY), &data,
                           &returned);
  CheckFailure(std::string("a property set the ") + what + " does not have is refused", s,
               "expected STATUS_NOT_FOUND or STATUS_PROPSET_NOT_FOUND");
  s = RawProperty(object, kUnknownSet, 0, KSPROPERTY_TYPE_BASICSUPPORT, sizeof(KSPROPERTY), &data,
                  &returned);
  CheckFailure(std::string("basic support of a set the ") + what + " does not have is refused", s,
               "no such set");
  s = RawProperty(object, KSPROPSETID_Connection, 0, 0x00000400, sizeof(KSPROPERTY), &data,
                  &returned);
  CheckFailure(std::string("a request of no known type to the ") + what + " is refused", s,
               "only get, set and basic support exist");
}

}  // namespace

std::vector<ComplianceTarget> ComplianceTargets(Rig &rig, const std::string &device) {
  std::vector<ComplianceTarget> targets;
  for (const FilterId &f : SelectedFilters(rig, device))
    targets.push_back({f.Name(), rig.Interface(f).symbolicLink});
  return targets;
}

ComplianceResult CheckCompliance(sim::ks::Client &client, sim::Machine &machine,
                                 const std::vector<ComplianceTarget> &targets) {
  ComplianceResult result;
  result.json["filters"] = Json::array();
  Checker checker(client, machine, &result);
  for (const ComplianceTarget &t : targets) checker.Filter(t);
  char line[96];
  std::snprintf(line, sizeof line, "total: %d checks, %d ok, %d failed\n",
                result.passed + result.failed, result.passed, result.failed);
  result.text += line;
  result.json["passed"] = result.passed;
  result.json["failed"] = result.failed;
  return result;
}

ComplianceResult RunCompliance(Rig &rig, const std::string &device) {
  return CheckCompliance(rig.client(), rig.machine(), ComplianceTargets(rig, device));
}

}  // namespace ctl
