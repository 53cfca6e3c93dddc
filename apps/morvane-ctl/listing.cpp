#include "listing.h"

#include "sim/kernel/registry.h"
#include "timeunits.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ctl {

namespace {

struct Control {
  const char *name;
  ULONG id;
};
const Control kControls[] = {
    {"brightness", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS},
    {"contrast", KSPROPERTY_VIDEOPROCAMP_CONTRAST},
    {"hue", KSPROPERTY_VIDEOPROCAMP_HUE},
    {"saturation", KSPROPERTY_VIDEOPROCAMP_SATURATION},
    {"sharpness", KSPROPERTY_VIDEOPROCAMP_SHARPNESS},
};

struct StandardEntry {
  const char *name;
  uint32_t value;
};
const StandardEntry kStandards[] = {
    {"NTSC_M", 0x1},       {"NTSC_M_J", 0x2},    {"NTSC_433", 0x4},     {"PAL_B", 0x10},
    {"PAL_D", 0x20},       {"PAL_G", 0x40},      {"PAL_H", 0x80},       {"PAL_I", 0x100},
    {"PAL_M", 0x200},      {"PAL_N", 0x400},     {"PAL_60", 0x800},     {"SECAM_B", 0x1000},
    {"SECAM_D", 0x2000},   {"SECAM_G", 0x4000},  {"SECAM_H", 0x8000},   {"SECAM_K", 0x10000},
    {"SECAM_K1", 0x20000}, {"SECAM_L", 0x40000}, {"SECAM_L1", 0x80000}, {"PAL_N_COMBO", 0x100000},
};

std::string Status(NTSTATUS s) { return Hex(static_cast<uint32_t>(s)); }

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string CategoryName(const GUID &g) {
  if (g == KSCATEGORY_VIDEO) return "video";
  if (g == KSCATEGORY_AUDIO) return "audio";
  if (g == KSCATEGORY_CAPTURE) return "capture";
  return GuidText(g);
}

std::string FourCc(uint32_t v) {
  if (v == 0) return "BI_RGB";
  if (v == 3) return "BI_BITFIELDS";
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::string Fps(LONGLONG interval) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", IntervalToFps(interval));
  return buf;
}

std::string PinNameOf(Rig &rig, sim::ks::Handle filter) {
  std::u16string name;
  if (NT_SUCCESS(rig.client().PinName(filter, 0, &name))) return sim::Utf16ToUtf8(name);
  GUID category{};
  if (NT_SUCCESS(rig.client().PinCategory(filter, 0, &category))) return CategoryName(category);
  return "?";
}

const Control *FindControl(const std::string &name) {
  for (const Control &c : kControls)
    if (Lower(name) == c.name) return &c;
  return nullptr;
}

std::string ControlNames() {
  std::string s;
  for (const Control &c : kControls) s += std::string(s.empty() ? "" : ", ") + c.name;
  return s;
}

std::vector<FilterId> VideoOnly(const std::vector<FilterId> &filters, const char *what) {
  std::vector<FilterId> out;
  for (const FilterId &f : filters)
    if (f.video) out.push_back(f);
  if (out.empty())
    throw UsageError(filters.front().Name() + " is an audio filter: " + what +
                     " belong to the video filters (use " +
                     FilterId{filters.front().card, true, filters.front().channel}.Name() + ")");
  return out;
}

// Basic support of one picture control: range, step and default.
struct ControlRange {
  LONG minimum = 0, maximum = 0, step = 0, defaultValue = 0;
  bool hasDefault = false;
};
bool ReadControlRange(Rig &rig, sim::ks::Handle filter, ULONG id, ControlRange *r) {
  std::vector<uint8_t> d;
  if (!NT_SUCCESS(rig.client().BasicSupport(filter, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &d)) ||
      d.size() < sizeof(KSPROPERTY_DESCRIPTION))
    return false;
  KSPROPERTY_DESCRIPTION desc;
  std::memcpy(&desc, d.data(), sizeof desc);
  size_t at = sizeof desc;
  for (ULONG i = 0; i < desc.MembersListCount; ++i) {
    KSPROPERTY_MEMBERSHEADER h;
    if (at + sizeof h > d.size()) return false;
    std::memcpy(&h, d.data() + at, sizeof h);
    at += sizeof h;
    size_t bytes = static_cast<size_t>(h.MembersSize) * h.MembersCount;
    if (at + bytes > d.size()) return false;
    if ((h.MembersFlags == KSPROPERTY_MEMBER_RANGES ||
         h.MembersFlags == KSPROPERTY_MEMBER_STEPPEDRANGES) &&
        h.MembersSize >= sizeof(KSPROPERTY_STEPPING_LONG) && h.MembersCount > 0) {
      KSPROPERTY_STEPPING_LONG s;
      std::memcpy(&s, d.data() + at, sizeof s);
      r->minimum = s.Bounds.SignedMinimum;
      r->maximum = s.Bounds.SignedMaximum;
      r->step = static_cast<LONG>(s.SteppingDelta);
    } else if (h.MembersFlags == KSPROPERTY_MEMBER_VALUES &&
               (h.Flags & KSPROPERTY_MEMBER_FLAG_DEFAULT) && h.MembersSize >= sizeof(LONG) &&
               h.MembersCount > 0) {
      std::memcpy(&r->defaultValue, d.data() + at, sizeof(LONG));
      r->hasDefault = true;
    }
    at += bytes;
  }
  return true;
}

bool ReadControl(Rig &rig, sim::ks::Handle filter, ULONG id, LONG *value) {
  KSPROPERTY_VIDEOPROCAMP_S s{};
  NTSTATUS st = rig.client().GetS(filter, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &s);
  if (!NT_SUCCESS(st)) return false;
  *value = s.Value;
  return true;
}

Json &Section(Report *report, const char *name) { return report->json[name] = Json::array(); }

void ListDevices(Rig &rig, const std::vector<FilterId> &filters, Report *report) {
  Json &cards = Section(report, "devices");
  int lastCard = -1;
  Json *filterList = nullptr;
  for (const FilterId &f : filters) {
    if (f.card != lastCard) {
      lastCard = f.card;
      sim::Card &card = rig.card(f.card);
      char id[16];
      std::snprintf(id, sizeof id, "%04X:%04X", sim::Card::kVendorId, card.deviceId());
      report->text += "card" + std::to_string(f.card) + ": variant " + VariantName(card.variant()) +
                      " (" + id + "), " + rig.instancePath(f.card) + "\n";
      Json &c = cards.emplace_back(Json::object());
      c["card"] = f.card;
      c["variant"] = VariantName(card.variant());
      c["pciId"] = std::string(id);
      c["instancePath"] = rig.instancePath(f.card);
      filterList = &(c["filters"] = Json::array());
    }
    sim::ks::DeviceInterface i = rig.Interface(f);
    sim::ks::Handle h = rig.Open(f);
    std::string categories;
    Json cats = Json::array();
    for (const GUID &g : i.categories) {
      if (g == GUID{}) continue;  // the list's terminator, published with it
      categories += (categories.empty() ? "" : ", ") + CategoryName(g);
      cats.emplace_back(CategoryName(g));
    }
    std::string pin = PinNameOf(rig, h);
    char line[256];
    std::snprintf(line, sizeof line, "  %-13s %-16s %s  pin 0 \"%s\"\n", f.Name().c_str(),
                  categories.c_str(), GuidText(i.referenceGuid).c_str(), pin.c_str());
    report->text += line;
    Json &j = filterList->emplace_back(Json::object());
    j["device"] = f.Name();
    j["kind"] = f.video ? "video" : "audio";
    j["channel"] = f.channel;
    j["referenceGuid"] = GuidText(i.referenceGuid);
    j["categories"] = std::move(cats);
    j["symbolicLink"] = i.symbolicLink;
    Json &pins = j["pins"] = Json::array();
    ULONG count = 0;
    rig.client().PinCount(h, &count);
    for (ULONG p = 0; p < count; ++p) {
      Json &pj = pins.emplace_back(Json::object());
      pj["id"] = static_cast<unsigned>(p);
      std::u16string name;
      if (NT_SUCCESS(rig.client().PinName(h, p, &name))) pj["name"] = sim::Utf16ToUtf8(name);
      GUID category{};
      if (NT_SUCCESS(rig.client().PinCategory(h, p, &category)))
        pj["category"] = CategoryName(category);
      KSPIN_DATAFLOW flow{};
      if (NT_SUCCESS(rig.client().PinDataFlow(h, p, &flow)))
        pj["dataFlow"] = flow == KSPIN_DATAFLOW_OUT ? "out" : "in";
    }
  }
}

// ------------------------------------------------------------------ every field

Json SizeJson(const SIZE &s) { return Json{{"cx", s.cx}, {"cy", s.cy}}; }
Json RectJson(const RECT &r) {
  return Json{{"left", r.left}, {"top", r.top}, {"right", r.right}, {"bottom", r.bottom}};
}

Json DataRangeJson(const KSDATARANGE &r) {
  Json j = Json::object();
  j["FormatSize"] = r.FormatSize;
  j["Flags"] = r.Flags;
  j["SampleSize"] = r.SampleSize;
  j["Reserved"] = r.Reserved;
  j["MajorFormat"] = GuidText(r.MajorFormat);
  j["SubFormat"] = GuidText(r.SubFormat);
  j["Specifier"] = GuidText(r.Specifier);
  return j;
}

Json ConfigCapsJson(const KS_VIDEO_STREAM_CONFIG_CAPS &c) {
  Json j = Json::object();
  j["guid"] = GuidText(c.guid);
  j["VideoStandard"] = c.VideoStandard;
  j["InputSize"] = SizeJson(c.InputSize);
  j["MinCroppingSize"] = SizeJson(c.MinCroppingSize);
  j["MaxCroppingSize"] = SizeJson(c.MaxCroppingSize);
  j["CropGranularityX"] = c.CropGranularityX;
  j["CropGranularityY"] = c.CropGranularityY;
  j["CropAlignX"] = c.CropAlignX;
  j["CropAlignY"] = c.CropAlignY;
  j["MinOutputSize"] = SizeJson(c.MinOutputSize);
  j["MaxOutputSize"] = SizeJson(c.MaxOutputSize);
  j["OutputGranularityX"] = c.OutputGranularityX;
  j["OutputGranularityY"] = c.OutputGranularityY;
  j["StretchTapsX"] = c.StretchTapsX;
  j["StretchTapsY"] = c.StretchTapsY;
  j["ShrinkTapsX"] = c.ShrinkTapsX;
  j["ShrinkTapsY"] = c.ShrinkTapsY;
  j["MinFrameInterval"] = c.MinFrameInterval;
  j["MaxFrameInterval"] = c.MaxFrameInterval;
  j["MinBitsPerSecond"] = c.MinBitsPerSecond;
  j["MaxBitsPerSecond"] = c.MaxBitsPerSecond;
  return j;
}

Json VideoInfoHeaderJson(const KS_VIDEOINFOHEADER &v) {
  Json j = Json::object();
  j["rcSource"] = RectJson(v.rcSource);
  j["rcTarget"] = RectJson(v.rcTarget);
  j["dwBitRate"] = v.dwBitRate;
  j["dwBitErrorRate"] = v.dwBitErrorRate;
  j["AvgTimePerFrame"] = v.AvgTimePerFrame;
  const KS_BITMAPINFOHEADER &b = v.bmiHeader;
  Json &bmi = j["bmiHeader"] = Json::object();
  bmi["biSize"] = b.biSize;
  bmi["biWidth"] = b.biWidth;
  bmi["biHeight"] = b.biHeight;
  bmi["biPlanes"] = b.biPlanes;
  bmi["biBitCount"] = b.biBitCount;
  bmi["biCompression"] = b.biCompression;
  bmi["biCompressionText"] = FourCc(b.biCompression);
  bmi["biSizeImage"] = b.biSizeImage;
  bmi["biXPelsPerMeter"] = b.biXPelsPerMeter;
  bmi["biYPelsPerMeter"] = b.biYPelsPerMeter;
  bmi["biClrUsed"] = b.biClrUsed;
  bmi["biClrImportant"] = b.biClrImportant;
  return j;
}

std::string HexBytes(const uint8_t *data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < size; ++i) {
    if (i != 0) s += ' ';
    s += kDigits[data[i] >> 4];
    s += kDigits[data[i] & 15];
  }
  return s;
}

// Everything the range holds, field by field; bytes past the structure (a bitmap's
// colour masks) as hex.
Json RangeFields(const std::vector<uint8_t> &r, bool video) {
  Json j = Json::object();
  KSDATARANGE base;
  std::memcpy(&base, r.data(), sizeof base);
  j["DataRange"] = DataRangeJson(base);
  size_t used = sizeof base;
  if (video && r.size() >= sizeof(KS_DATARANGE_VIDEO)) {
    KS_DATARANGE_VIDEO v;
    std::memcpy(&v, r.data(), sizeof v);
    j["bFixedSizeSamples"] = v.bFixedSizeSamples;
    j["bTemporalCompression"] = v.bTemporalCompression;
    j["StreamDescriptionFlags"] = v.StreamDescriptionFlags;
    j["MemoryAllocationFlags"] = v.MemoryAllocationFlags;
    j["ConfigCaps"] = ConfigCapsJson(v.ConfigCaps);
    j["VideoInfoHeader"] = VideoInfoHeaderJson(v.VideoInfoHeader);
    used = sizeof v;
  } else if (!video && r.size() >= sizeof(KSDATARANGE_AUDIO)) {
    KSDATARANGE_AUDIO a;
    std::memcpy(&a, r.data(), sizeof a);
    j["MaximumChannels"] = a.MaximumChannels;
    j["MinimumBitsPerSample"] = a.MinimumBitsPerSample;
    j["MaximumBitsPerSample"] = a.MaximumBitsPerSample;
    j["MinimumSampleFrequency"] = a.MinimumSampleFrequency;
    j["MaximumSampleFrequency"] = a.MaximumSampleFrequency;
    used = sizeof a;
  }
  if (r.size() > used) j["extraBytes"] = HexBytes(r.data() + used, r.size() - used);
  return j;
}

Json FramingJson(const KSALLOCATOR_FRAMING_EX &f) {
  Json j = Json::object();
  j["CountItems"] = f.CountItems;
  j["PinFlags"] = f.PinFlags;
  j["OutputCompression"] = Json{{"RatioNumerator", f.OutputCompression.RatioNumerator},
                                {"RatioDenominator", f.OutputCompression.RatioDenominator},
                                {"RatioConstantMargin", f.OutputCompression.RatioConstantMargin}};
  j["PinWeight"] = f.PinWeight;
  const KS_FRAMING_ITEM &i = f.FramingItem[0];
  auto range = [](const KS_FRAMING_RANGE &r) {
    return Json{{"MinFrameSize", r.MinFrameSize},
                {"MaxFrameSize", r.MaxFrameSize},
                {"Stepping", r.Stepping}};
  };
  Json item = Json::object();
  item["MemoryType"] = GuidText(i.MemoryType);
  item["BusType"] = GuidText(i.BusType);
  item["MemoryFlags"] = i.MemoryFlags;
  item["BusFlags"] = i.BusFlags;
  item["Flags"] = i.Flags;
  item["Frames"] = i.Frames;
  item["FileAlignment"] = i.FileAlignment;
  item["MemoryTypeWeight"] = i.MemoryTypeWeight;
  item["PhysicalRange"] = range(i.PhysicalRange);
  item["FramingRange"] = Json{{"Range", range(i.FramingRange.Range)},
                              {"InPlaceWeight", i.FramingRange.InPlaceWeight},
                              {"NotInPlaceWeight", i.FramingRange.NotInPlaceWeight}};
  j["FramingItem"] = Json::array({item});
  return j;
}

// A pin's framing belongs to a pin instance: one is created with the pin's own proposal
// for its first range, read and closed again, as a client would probe it.
bool ReadFraming(Rig &rig, sim::ks::Handle filter, const std::vector<uint8_t> &firstRange,
                 KSALLOCATOR_FRAMING_EX *framing, std::string *why) {
  std::vector<uint8_t> format;
  NTSTATUS s = rig.client().DataIntersection(filter, 0, {firstRange}, &format);
  if (!NT_SUCCESS(s)) {
    *why = "no format proposed: " + Status(s);
    return false;
  }
  sim::ks::Handle pin = 0;
  s = rig.client().CreatePin(filter, 0, format, &pin);
  if (!NT_SUCCESS(s)) {
    *why = "no pin created: " + Status(s);
    return false;
  }
  s = rig.client().GetAllocatorFraming(pin, framing);
  rig.client().Close(pin);
  if (!NT_SUCCESS(s)) *why = "framing not returned: " + Status(s);
  return NT_SUCCESS(s);
}

// ------------------------------------------------------------------ raw properties

struct NamedSet {
  const char *name;
  const GUID *guid;
};
const NamedSet kSets[] = {
    {"VIDEOPROCAMP", &PROPSETID_VIDCAP_VIDEOPROCAMP},
    {"VIDEODECODER", &PROPSETID_VIDCAP_VIDEODECODER},
    {"VIDEOCONTROL", &PROPSETID_VIDCAP_VIDEOCONTROL},
    {"CROSSBAR", &PROPSETID_VIDCAP_CROSSBAR},
    {"TVAUDIO", &PROPSETID_VIDCAP_TVAUDIO},
    {"CAMERACONTROL", &PROPSETID_VIDCAP_CAMERACONTROL},
    {"DROPPEDFRAMES", &PROPSETID_VIDCAP_DROPPEDFRAMES},
    {"PIN", &KSPROPSETID_Pin},
    {"CONNECTION", &KSPROPSETID_Connection},
    {"GENERAL", &KSPROPSETID_General},
    {"STREAM", &KSPROPSETID_Stream},
};

bool ParseGuid(const std::string &text, GUID *guid) {
  unsigned d1, d2, d3, b[8];
  char end;
  if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%c", &d1, &d2, &d3, &b[0],
                  &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &end) != 11 ||
      text.size() != 38)
    return false;
  guid->Data1 = d1;
  guid->Data2 = static_cast<USHORT>(d2);
  guid->Data3 = static_cast<USHORT>(d3);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<UCHAR>(b[i]);
  return true;
}

GUID PropertySet(const std::string &text) {
  GUID g{};
  if (ParseGuid(text, &g)) return g;
  std::string upper;
  for (char c : text)
    upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  for (const NamedSet &s : kSets)
    if (upper == s.name) return *s.guid;
  std::string names;
  for (const NamedSet &s : kSets) names += std::string(names.empty() ? "" : ", ") + s.name;
  throw UsageError("unknown property set '" + Shown(text) + "' (" + names +
                   ", or a GUID as {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX})");
}

std::string SetText(const GUID &set) {
  for (const NamedSet &s : kSets)
    if (set == *s.guid) return s.name;
  return GuidText(set);
}

Json DescriptionJson(const std::vector<uint8_t> &d) {
  Json j = Json::object();
  if (d.size() < sizeof(KSPROPERTY_DESCRIPTION)) return j;
  KSPROPERTY_DESCRIPTION desc;
  std::memcpy(&desc, d.data(), sizeof desc);
  j["AccessFlags"] = Hex(desc.AccessFlags);
  j["DescriptionSize"] = desc.DescriptionSize;
  j["PropTypeSet"] = Json{{"Set", GuidText(desc.PropTypeSet.Set)},
                          {"Id", desc.PropTypeSet.Id},
                          {"Flags", desc.PropTypeSet.Flags}};
  j["MembersListCount"] = desc.MembersListCount;
  Json &lists = j["members"] = Json::array();
  size_t at = sizeof desc;
  for (ULONG i = 0; i < desc.MembersListCount; ++i) {
    KSPROPERTY_MEMBERSHEADER h;
    if (at + sizeof h > d.size()) break;
    std::memcpy(&h, d.data() + at, sizeof h);
    at += sizeof h;
    Json &m = lists.emplace_back(Json::object());
    m["MembersFlags"] = h.MembersFlags;
    m["MembersSize"] = h.MembersSize;
    m["MembersCount"] = h.MembersCount;
    m["Flags"] = h.Flags;
    size_t bytes = static_cast<size_t>(h.MembersSize) * h.MembersCount;
    if (at + bytes > d.size()) break;
    Json &values = m["values"] = Json::array();
    for (size_t k = 0; k + 4 <= bytes; k += 4) {
      LONG v;
      std::memcpy(&v, d.data() + at + k, sizeof v);
      values.push_back(v);
    }
    at += bytes;
  }
  return j;
}

void RawProperties(Rig &rig, const std::vector<FilterId> &filters,
                   const std::vector<PropertyRequest> &requests, Report *report) {
  Json &list = Section(report, "properties");
  for (const PropertyRequest &r : requests) {
    const GUID set = PropertySet(r.set);
    for (const FilterId &f : filters) {
      sim::ks::Handle h = rig.Open(f);
      const ULONG id = static_cast<ULONG>(r.id);
      NTSTATUS s;
      std::vector<uint8_t> data;
      ULONG returned = 0;
      const char *verb = r.kind == PropertyRequest::Kind::Get   ? "get"
                         : r.kind == PropertyRequest::Kind::Set ? "set"
                                                                : "basic-support";
      if (r.kind == PropertyRequest::Kind::BasicSupport) {
        s = rig.client().BasicSupport(h, set, id, &data);
        returned = static_cast<ULONG>(data.size());
      } else {
        // The request travels as the platform's _S structures do: the data with the
        // KSPROPERTY over its first bytes (the KSPROPERTY alone when the data is shorter).
        KSPROPERTY p{};
        p.Set = set;
        p.Id = id;
        p.Flags = r.kind == PropertyRequest::Kind::Get ? KSPROPERTY_TYPE_GET : KSPROPERTY_TYPE_SET;
        if (r.kind == PropertyRequest::Kind::Get) {
          size_t size = r.size.value_or(0);
          if (!r.size) {
            // The size query: no data buffer, the size needed comes back.
            std::vector<uint8_t> request(sizeof p);
            std::memcpy(request.data(), &p, sizeof p);
            rig.client().Property(h, request.data(), sizeof p, nullptr, 0, &returned);
            size = std::min<size_t>(returned, kMaxPropertyBytes);
          }
          data.assign(size, 0);
        } else {
          data = r.data;
        }
        std::vector<uint8_t> request(std::max(sizeof p, data.size()), 0);
        std::copy(data.begin(), data.end(), request.begin());
        std::memcpy(request.data(), &p, sizeof p);
        if (data.size() >= sizeof p) std::memcpy(data.data(), &p, sizeof p);
        returned = 0;
        s = rig.client().Property(h, request.data(), static_cast<ULONG>(request.size()),
                                  data.empty() ? nullptr : data.data(),
                                  static_cast<ULONG>(data.size()), &returned);
        if (r.kind == PropertyRequest::Kind::Get)
          data.resize(NT_SUCCESS(s) ? std::min<size_t>(returned, data.size()) : 0);
      }
      Json &j = list.emplace_back(Json::object());
      j["device"] = f.Name();
      j["request"] = verb;
      j["set"] = GuidText(set);
      j["setName"] = SetText(set);
      j["id"] = id;
      j["status"] = Status(s);
      j["statusName"] = StatusName(s);
      j["returned"] = returned;
      if (r.kind != PropertyRequest::Kind::Set) j["data"] = HexBytes(data.data(), data.size());
      if (r.kind == PropertyRequest::Kind::BasicSupport && NT_SUCCESS(s))
        j["description"] = DescriptionJson(data);
      report->text += f.Name() + " " + verb + " " + SetText(set) + ":" + std::to_string(id) + ": " +
                      Status(s) + " " + StatusName(s) + ", " + std::to_string(returned) +
                      " byte(s)";
      if (r.kind != PropertyRequest::Kind::Set && !data.empty())
        report->text += ": " + HexBytes(data.data(), data.size());
      report->text += "\n";
    }
  }
}

void ListFormats(Rig &rig, const std::vector<FilterId> &filters, Report *report) {
  Json &list = Section(report, "formats");
  for (const FilterId &f : filters) {
    sim::ks::Handle h = rig.Open(f);
    std::vector<std::vector<uint8_t>> ranges;
    NTSTATUS s = rig.client().PinDataRanges(h, 0, &ranges);
    if (!NT_SUCCESS(s)) throw StepError(f.Name() + ": the pin's data ranges: " + Status(s));
    Json &j = list.emplace_back(Json::object());
    j["device"] = f.Name();
    j["pin"] = PinNameOf(rig, h);
    GUID category{};
    if (NT_SUCCESS(rig.client().PinCategory(h, 0, &category)))
      j["pinCategory"] = GuidText(category);
    // The pin's name GUID is what the class driver cached from the descriptor.
    sim::ks::DeviceInterface itf = rig.Interface(f);
    if (!itf.pins.empty()) j["pinNameGuid"] = GuidText(itf.pins[0].name);
    if (!ranges.empty()) {
      KSALLOCATOR_FRAMING_EX framing{};
      std::string why;
      if (ReadFraming(rig, h, ranges[0], &framing, &why))
        j["allocatorFraming"] = FramingJson(framing);
      else
        j["allocatorFraming"] = why;
    }
    Json &rj = j["ranges"] = Json::array();
    report->text += f.Name() + " pin 0 \"" + PinNameOf(rig, h) + "\":\n";
    for (size_t n = 0; n < ranges.size(); ++n) {
      const std::vector<uint8_t> &r = ranges[n];
      KSDATARANGE base;
      std::memcpy(&base, r.data(), sizeof base);
      Json &one = rj.emplace_back(Json::object());
      one["index"] = static_cast<unsigned>(n);
      one["subtype"] = SubtypeName(base.SubFormat);
      one["fields"] = RangeFields(r, f.video);
      char line[320];
      if (f.video && r.size() >= sizeof(KS_DATARANGE_VIDEO)) {
        KS_DATARANGE_VIDEO v;
        std::memcpy(&v, r.data(), sizeof v);
        const KS_VIDEO_STREAM_CONFIG_CAPS &caps = v.ConfigCaps;
        const KS_BITMAPINFOHEADER &bmi = v.VideoInfoHeader.bmiHeader;
        std::snprintf(
            line, sizeof line,
            "  [%zu] %-6s%s %2u bits, %ldx%ld (%s), sizes %ldx%ld to %ldx%ld step %dx%d, "
            "%s to %s fps (default %s), standards %s\n",
            n, SubtypeName(base.SubFormat).c_str(),
            FourCc(bmi.biCompression) == SubtypeName(base.SubFormat)
                ? ""
                : (" " + FourCc(bmi.biCompression)).c_str(),
            bmi.biBitCount, static_cast<long>(bmi.biWidth),
            static_cast<long>(std::labs(bmi.biHeight)),
            // Only RGB bitmaps run bottom-up with a positive height.
            bmi.biCompression == 0 && bmi.biHeight > 0 ? "bottom-up" : "top-down",
            static_cast<long>(caps.MinOutputSize.cx), static_cast<long>(caps.MinOutputSize.cy),
            static_cast<long>(caps.MaxOutputSize.cx), static_cast<long>(caps.MaxOutputSize.cy),
            caps.OutputGranularityX, caps.OutputGranularityY, Fps(caps.MaxFrameInterval).c_str(),
            Fps(caps.MinFrameInterval).c_str(), Fps(v.VideoInfoHeader.AvgTimePerFrame).c_str(),
            Hex(caps.VideoStandard).c_str());
        report->text += line;
        one["compression"] = FourCc(bmi.biCompression);
        one["bitCount"] = static_cast<unsigned>(bmi.biBitCount);
        one["width"] = static_cast<long>(bmi.biWidth);
        one["height"] = static_cast<long>(bmi.biHeight);
        one["minWidth"] = static_cast<long>(caps.MinOutputSize.cx);
        one["minHeight"] = static_cast<long>(caps.MinOutputSize.cy);
        one["maxWidth"] = static_cast<long>(caps.MaxOutputSize.cx);
        one["maxHeight"] = static_cast<long>(caps.MaxOutputSize.cy);
        one["stepWidth"] = caps.OutputGranularityX;
        one["stepHeight"] = caps.OutputGranularityY;
        one["minFrameInterval"] = static_cast<long long>(caps.MinFrameInterval);
        one["maxFrameInterval"] = static_cast<long long>(caps.MaxFrameInterval);
        one["defaultFrameInterval"] = static_cast<long long>(v.VideoInfoHeader.AvgTimePerFrame);
        one["videoStandards"] = Hex(caps.VideoStandard);
        one["lines"] = caps.InputSize.cy == 576 ? 625 : 525;
      } else if (!f.video && r.size() >= sizeof(KSDATARANGE_AUDIO)) {
        KSDATARANGE_AUDIO a;
        std::memcpy(&a, r.data(), sizeof a);
        std::snprintf(line, sizeof line, "  [%zu] %s %u channel(s), %u-%u bits, %u-%u Hz\n", n,
                      SubtypeName(base.SubFormat).c_str(), static_cast<unsigned>(a.MaximumChannels),
                      static_cast<unsigned>(a.MinimumBitsPerSample),
                      static_cast<unsigned>(a.MaximumBitsPerSample),
                      static_cast<unsigned>(a.MinimumSampleFrequency),
                      static_cast<unsigned>(a.MaximumSampleFrequency));
        report->text += line;
        one["channels"] = static_cast<unsigned>(a.MaximumChannels);
        one["minBits"] = static_cast<unsigned>(a.MinimumBitsPerSample);
        one["maxBits"] = static_cast<unsigned>(a.MaximumBitsPerSample);
        one["minRate"] = static_cast<unsigned>(a.MinimumSampleFrequency);
        one["maxRate"] = static_cast<unsigned>(a.MaximumSampleFrequency);
      } else {
        std::snprintf(line, sizeof line, "  [%zu] %s\n", n, SubtypeName(base.SubFormat).c_str());
        report->text += line;
      }
    }
  }
}

void ListControls(Rig &rig, const std::vector<FilterId> &filters,
                  const std::vector<std::string> &only, bool ranges, Report *report) {
  Json &list = Section(report, ranges ? "controls" : "values");
  std::vector<const Control *> wanted;
  for (const std::string &name : only) {
    const Control *c = FindControl(name);
    if (c == nullptr)
      throw UsageError("unknown control '" + name + "' (the card has " + ControlNames() + ")");
    wanted.push_back(c);
  }
  if (only.empty())
    for (const Control &c : kControls) wanted.push_back(&c);
  for (const FilterId &f : VideoOnly(filters, "picture controls")) {
    sim::ks::Handle h = rig.Open(f);
    Json &j = list.emplace_back(Json::object());
    j["device"] = f.Name();
    Json &cj = j["controls"] = Json::array();
    if (ranges) report->text += f.Name() + ":\n";
    for (const Control *c : wanted) {
      LONG value = 0;
      if (!ReadControl(rig, h, c->id, &value))
        throw StepError(f.Name() + ": reading " + c->name + " failed");
      Json &one = cj.emplace_back(Json::object());
      one["name"] = c->name;
      one["value"] = static_cast<long>(value);
      char line[200];
      if (ranges) {
        ControlRange r;
        if (!ReadControlRange(rig, h, c->id, &r))
          throw StepError(f.Name() + ": the basic support of " + c->name + " failed");
        std::snprintf(
            line, sizeof line, "  %-10s (int): min=%ld max=%ld step=%ld default=%ld value=%ld\n",
            c->name, static_cast<long>(r.minimum), static_cast<long>(r.maximum),
            static_cast<long>(r.step), static_cast<long>(r.defaultValue), static_cast<long>(value));
        one["min"] = static_cast<long>(r.minimum);
        one["max"] = static_cast<long>(r.maximum);
        one["step"] = static_cast<long>(r.step);
        if (r.hasDefault) one["default"] = static_cast<long>(r.defaultValue);
      } else {
        std::snprintf(line, sizeof line, "%s %s: %ld\n", f.Name().c_str(), c->name,
                      static_cast<long>(value));
      }
      report->text += line;
    }
  }
}

void SetControls(Rig &rig, const std::vector<FilterId> &filters,
                 const std::vector<std::pair<std::string, long>> &values) {
  std::vector<FilterId> video = VideoOnly(filters, "picture controls");
  for (const auto &[name, value] : values) {
    const Control *c = FindControl(name);
    if (c == nullptr)
      throw UsageError("unknown control '" + name + "' (the card has " + ControlNames() + ")");
    for (const FilterId &f : video) {
      sim::ks::Handle h = rig.Open(f);
      ControlRange r;
      // The range a client reads first; the driver's own refusal stays the last word.
      if (ReadControlRange(rig, h, c->id, &r) && (value < r.minimum || value > r.maximum))
        throw UsageError(std::string(c->name) + "=" + std::to_string(value) +
                         " is out of range: " + f.Name() + " takes " + std::to_string(r.minimum) +
                         " to " + std::to_string(r.maximum));
      KSPROPERTY_VIDEOPROCAMP_S s{};
      s.Value = static_cast<LONG>(value);
      s.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
      NTSTATUS st = rig.client().SetS(h, PROPSETID_VIDCAP_VIDEOPROCAMP, c->id, s);
      if (!NT_SUCCESS(st))
        throw UsageError(f.Name() + " refused " + c->name + "=" + std::to_string(value) + " (" +
                         Status(st) + ")");
    }
  }
}

void SetStandard(Rig &rig, const std::vector<FilterId> &filters, const std::string &text) {
  uint32_t standard;
  if (!ParseStandard(text, &standard))
    throw UsageError("unknown video standard '" + text +
                     "' (ntsc, pal, secam, a name such as PAL_B or NTSC_M_J, or a number)");
  for (const FilterId &f : VideoOnly(filters, "video standards")) {
    sim::ks::Handle h = rig.Open(f);
    KSPROPERTY_VIDEODECODER_CAPS_S caps{};
    if (NT_SUCCESS(rig.client().GetS(h, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS,
                                     &caps)) &&
        (standard == 0 || (standard & ~caps.StandardsSupported) != 0))
      throw UsageError(f.Name() + " does not support the standard " + StandardName(standard) +
                       " (supported: " + Hex(caps.StandardsSupported) + ")");
    KSPROPERTY_VIDEODECODER_S s{};
    s.Value = standard;
    NTSTATUS st =
        rig.client().SetS(h, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, s);
    if (!NT_SUCCESS(st))
      throw UsageError(f.Name() + " refused the standard " + StandardName(standard) + " (" +
                       Status(st) + ")");
  }
}

void GetStandard(Rig &rig, const std::vector<FilterId> &filters, Report *report) {
  Json &list = Section(report, "standards");
  for (const FilterId &f : VideoOnly(filters, "video standards")) {
    sim::ks::Handle h = rig.Open(f);
    KSPROPERTY_VIDEODECODER_S standard{};
    KSPROPERTY_VIDEODECODER_STATUS_S status{};
    KSPROPERTY_VIDEODECODER_CAPS_S caps{};
    NTSTATUS s1 = rig.client().GetS(h, PROPSETID_VIDCAP_VIDEODECODER,
                                    KSPROPERTY_VIDEODECODER_STANDARD, &standard);
    NTSTATUS s2 = rig.client().GetS(h, PROPSETID_VIDCAP_VIDEODECODER,
                                    KSPROPERTY_VIDEODECODER_STATUS, &status);
    NTSTATUS s3 =
        rig.client().GetS(h, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, &caps);
    if (!NT_SUCCESS(s1) || !NT_SUCCESS(s2) || !NT_SUCCESS(s3))
      throw StepError(f.Name() + ": the decoder properties failed");
    char line[200];
    std::snprintf(line, sizeof line, "%s: standard %s (%s), %u lines, signal %s, supported %s\n",
                  f.Name().c_str(), StandardName(standard.Value).c_str(),
                  Hex(standard.Value).c_str(), static_cast<unsigned>(status.NumberOfLines),
                  status.SignalLocked ? "locked" : "not locked",
                  Hex(caps.StandardsSupported).c_str());
    report->text += line;
    Json &j = list.emplace_back(Json::object());
    j["device"] = f.Name();
    j["standard"] = StandardName(standard.Value);
    j["value"] = static_cast<unsigned>(standard.Value);
    j["lines"] = static_cast<unsigned>(status.NumberOfLines);
    j["signalLocked"] = status.SignalLocked != 0;
    j["supported"] = static_cast<unsigned>(caps.StandardsSupported);
  }
}

}  // namespace

std::vector<FilterId> SelectedFilters(const Rig &rig, const std::string &device) {
  std::vector<FilterId> out;
  if (!device.empty()) {
    DeviceSelection sel = rig.Select(device);
    if (!sel.wholeCard) return {sel.filter};
    for (bool video : {true, false})
      for (unsigned c = 0; c < kChannels; ++c) out.push_back(FilterId{sel.card, video, c});
    return out;
  }
  for (int card = 0; card < rig.cardCount(); ++card)
    for (bool video : {true, false})
      for (unsigned c = 0; c < kChannels; ++c) out.push_back(FilterId{card, video, c});
  return out;
}

std::string SubtypeName(const GUID &g) {
  if (g == KSDATAFORMAT_SUBTYPE_YUY2) return "YUY2";
  if (g == KSDATAFORMAT_SUBTYPE_UYVY) return "UYVY";
  if (g == KSDATAFORMAT_SUBTYPE_Y41P) return "Y41P";
  if (g == KSDATAFORMAT_SUBTYPE_RGB565) return "RGB565";
  if (g == KSDATAFORMAT_SUBTYPE_PCM) return "PCM";
  return GuidText(g);
}

std::string StandardName(uint32_t standard) {
  for (const StandardEntry &e : kStandards)
    if (e.value == standard) return e.name;
  return Hex(standard);
}

bool ParseStandard(const std::string &text, uint32_t *standard) {
  std::string t = Lower(text);
  if (t == "ntsc") t = "ntsc_m";
  if (t == "pal") t = "pal_b";
  if (t == "secam") t = "secam_b";
  for (const StandardEntry &e : kStandards)
    if (t == Lower(e.name)) {
      *standard = e.value;
      return true;
    }
  long v;
  if (ParseLong(text, &v) && v > 0 && v <= 0xFFFFFFFFl) {
    *standard = static_cast<uint32_t>(v);
    return true;
  }
  return false;
}

void Inspect(Rig &rig, const Options &o, Report *report) {
  std::vector<FilterId> filters = SelectedFilters(rig, o.device);
  if (!o.setControls.empty()) SetControls(rig, filters, o.setControls);
  if (!o.setStandard.empty()) SetStandard(rig, filters, o.setStandard);
  if (o.listDevices) ListDevices(rig, filters, report);
  if (o.listFormats) ListFormats(rig, filters, report);
  if (o.listControls) ListControls(rig, filters, {}, true, report);
  if (!o.getControls.empty()) ListControls(rig, filters, o.getControls, false, report);
  if (o.getStandard) GetStandard(rig, filters, report);
  if (!o.properties.empty()) {
    if (o.device.empty())
      throw UsageError("--get-prop, --set-prop and --basic-support need a filter: -d card0/video3");
    RawProperties(rig, filters, o.properties, report);
  }
}

std::string StatusName(NTSTATUS s) {
  // Property handlers may add the customer bit to a failure; the code below it still names it.
  const uint32_t code = static_cast<uint32_t>(s) & ~0x20000000u;
  const struct {
    uint32_t code;
    const char *name;
  } known[] = {
      {0x00000000, "STATUS_SUCCESS"},
      {0x00000103, "STATUS_PENDING"},
      {0x80000005, "STATUS_BUFFER_OVERFLOW"},
      {0x8000001A, "STATUS_NO_MORE_ENTRIES"},
      {0xC0000001, "STATUS_UNSUCCESSFUL"},
      {0xC0000002, "STATUS_NOT_IMPLEMENTED"},
      {0xC0000008, "STATUS_INVALID_HANDLE"},
      {0xC000000D, "STATUS_INVALID_PARAMETER"},
      {0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
      {0xC0000017, "STATUS_NO_MEMORY"},
      {0xC0000022, "STATUS_ACCESS_DENIED"},
      {0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
      {0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
      {0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
      {0xC00000BB, "STATUS_NOT_SUPPORTED"},
      {0xC0000120, "STATUS_CANCELLED"},
      {0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
      {0xC0000206, "STATUS_INVALID_BUFFER_SIZE"},
      {0xC0000225, "STATUS_NOT_FOUND"},
      {0xC0000272, "STATUS_NO_MATCH"},
      {0xC00002B6, "STATUS_DEVICE_REMOVED"},
  };
  for (const auto &k : known)
    if (k.code == code)
      return std::string(k.name) + (code != static_cast<uint32_t>(s) ? " (customer bit)" : "");
  return "";
}

}  // namespace ctl
