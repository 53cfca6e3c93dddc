// Format negotiation with arbitrary client ranges and formats: the intersection request on
// the video and audio pins (each range the class driver hands to the driver's intersect
// handler, output buffers of every size), then pin creation with what came back or with a
// format changed at will, and a short capture on what was accepted. Beyond no crash, no
// overrun and a silent verifier: nothing is written outside the client's buffers, a refused
// request leaves the output untouched, a proposed format is well formed, a refused pin
// writes no register and leaves no pool behind, and a closed pin leaves nothing behind.
#include <ksmedia.h>

#include <cstddef>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/pool.h"
#include "support/rig.h"

namespace {

using sim::ks::Handle;

bool Refused(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Fields clients and mistakes change most, in a video range and an audio range.
constexpr size_t kVih = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);
constexpr size_t kBmi = kVih + offsetof(KS_VIDEOINFOHEADER, bmiHeader);
const size_t kVideoFields[] = {
    offsetof(KSDATARANGE, FormatSize),
    offsetof(KSDATARANGE, SampleSize),
    offsetof(KS_DATARANGE_VIDEO, bFixedSizeSamples),
    offsetof(KS_DATARANGE_VIDEO, ConfigCaps),
    kVih + offsetof(KS_VIDEOINFOHEADER, rcSource),
    kVih + offsetof(KS_VIDEOINFOHEADER, rcSource) + 8,
    kVih + offsetof(KS_VIDEOINFOHEADER, rcTarget) + 8,
    kVih + offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame),
    kVih + offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) + 4,
    kBmi + offsetof(KS_BITMAPINFOHEADER, biSize),
    kBmi + offsetof(KS_BITMAPINFOHEADER, biWidth),
    kBmi + offsetof(KS_BITMAPINFOHEADER, biHeight),
    kBmi + offsetof(KS_BITMAPINFOHEADER, biBitCount),
    kBmi + offsetof(KS_BITMAPINFOHEADER, biCompression),
    kBmi + offsetof(KS_BITMAPINFOHEADER, biSizeImage),
};
const size_t kAudioFields[] = {
    offsetof(KSDATARANGE, FormatSize),
    offsetof(KSDATARANGE, Specifier),
    offsetof(KSDATARANGE_AUDIO, MaximumChannels),
    offsetof(KSDATARANGE_AUDIO, MinimumBitsPerSample),
    offsetof(KSDATARANGE_AUDIO, MaximumBitsPerSample),
    offsetof(KSDATARANGE_AUDIO, MinimumSampleFrequency),
    offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency),
};
const uint32_t kValues[] = {
    0,   1,   2,   4,   8,   12,  16,  24,  32,   40,         48,         64,         72,        88,
    208, 240, 288, 360, 480, 576, 720, 721, 1440, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFF0};

// Changes some bytes of a range or format: a known field or any offset, to a telling
// value or to any bytes.
void Mutate(fuzz::Input &in, std::vector<uint8_t> &bytes, bool video) {
  int edits = in.Below(6);
  for (int e = 0; e < edits && !bytes.empty(); ++e) {
    size_t at = in.Bool() ? (video ? in.Pick(kVideoFields) : in.Pick(kAudioFields))
                          : in.Below(static_cast<uint32_t>(bytes.size()));
    uint32_t value = in.Bool() ? in.Pick(kValues) : in.U32();
    if (in.Below(4) == 0) value = 0u - value;
    size_t width = in.Pick({1u, 2u, 4u, 4u});
    for (size_t i = 0; i < width && at + i < bytes.size(); ++i) bytes[at + i] = value >> (8 * i);
  }
  switch (in.Below(8)) {
    case 0:  // cut short
      bytes.resize(in.Below(static_cast<uint32_t>(bytes.size()) + 1));
      break;
    case 1:  // trailing bytes
      for (uint32_t n = in.Below(64); n > 0; --n) bytes.push_back(in.Byte());
      break;
  }
}

std::vector<uint8_t> Wildcard(fuzz::Input &in) {
  KSDATARANGE r{};
  r.FormatSize = sizeof r;
  r.MajorFormat = in.Bool() ? KSDATAFORMAT_TYPE_WILDCARD : KSDATAFORMAT_TYPE_VIDEO;
  r.SubFormat = KSDATAFORMAT_SUBTYPE_WILDCARD;
  r.Specifier = KSDATAFORMAT_SPECIFIER_WILDCARD;
  std::vector<uint8_t> v(sizeof r);
  std::memcpy(v.data(), &r, sizeof r);
  return v;
}

// KSP_PIN, KSMULTIPLE_ITEM and the ranges on 8-byte boundaries; the header may lie.
std::vector<uint8_t> IntersectionRequest(fuzz::Input &in,
                                         const std::vector<std::vector<uint8_t>> &ranges) {
  KSP_PIN pin{};
  pin.Property.Set = KSPROPSETID_Pin;
  pin.Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
  pin.Property.Flags = KSPROPERTY_TYPE_GET;
  pin.PinId = in.Below(16) == 0 ? in.U32() : 0;
  std::vector<uint8_t> bytes(sizeof pin + sizeof(KSMULTIPLE_ITEM));
  std::memcpy(bytes.data(), &pin, sizeof pin);
  for (const auto &r : ranges) {
    size_t at = bytes.size();
    bytes.resize(at + ((r.size() + 7) & ~size_t{7}));
    fuzz::Copy(bytes.data() + at, r.data(), r.size());
  }
  KSMULTIPLE_ITEM items{static_cast<ULONG>(bytes.size() - sizeof pin),
                        static_cast<ULONG>(ranges.size())};
  if (in.Below(8) == 0) items.Size = in.Bool() ? in.U32() : items.Size - in.Below(16);
  if (in.Below(8) == 0) items.Count = in.Below(8);
  std::memcpy(bytes.data() + sizeof pin, &items, sizeof items);
  return bytes;
}

size_t CardWrites(const sim::Card &card) {
  size_t n = 0;
  for (const auto &e : card.trace()) n += e.kind == sim::CardTraceEntry::Kind::Write;
  return n;
}

// A short capture on the new pin: frames of the sizes the pin asks for and of any size.
void Capture(fuzz::Input &in, fuzz::Rig &rig, Handle pin) {
  KSALLOCATOR_FRAMING_EX framing{};
  FUZZ_CHECK(rig.client->GetAllocatorFraming(pin, &framing) == STATUS_SUCCESS,
             "a pin has allocator framing");
  ULONG frameSize = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
  FUZZ_CHECK(rig.client->SetMasterClock(pin, true) == STATUS_SUCCESS, "a clock can be given");
  if (rig.client->SetState(pin, KSSTATE_RUN) != STATUS_SUCCESS) return;
  size_t queued = 0;
  for (uint32_t n = 1 + in.Below(3); n > 0; --n) {
    sim::ks::FrameRequest r;
    r.bufferSize = in.Bool() ? frameSize : in.Length(2 * frameSize + 64);
    KS_FRAME_INFO info{};
    info.ExtendedHeaderSize = sizeof info;
    if (in.Bool())
      r.extendedHeader.assign(reinterpret_cast<uint8_t *>(&info),
                              reinterpret_cast<uint8_t *>(&info) + sizeof info);
    queued += rig.client->QueueFrame(pin, std::move(r)) == STATUS_PENDING;
  }
  rig.m.RunFor((40 + in.Below(80)) * sim::kMillisecond);
  FUZZ_CHECK(rig.client->SetState(pin, KSSTATE_STOP) == STATUS_SUCCESS, "the pin stops");
  size_t back = 0;
  sim::ks::Frame f;
  while (rig.client->TakeFrame(pin, &f) == STATUS_SUCCESS) {
    ++back;
    FUZZ_CHECK(f.header.DataUsed <= f.header.FrameExtent, "DataUsed within the frame");
    FUZZ_CHECK(f.status == STATUS_SUCCESS || f.status == STATUS_CANCELLED,
               "a frame completes or is cancelled");
  }
  FUZZ_CHECK(back == queued, "every frame queued comes back by STOP");
}

void Negotiate(fuzz::Input &in, fuzz::Rig &rig, bool video, ULONG channel) {
  Handle filter = rig.Open(0, video, channel);
  FUZZ_CHECK(filter != 0, "the filter opens");
  std::vector<std::vector<uint8_t>> ours = rig.Ranges(filter);
  // The client's ranges: the pin's own, a wildcard, each possibly changed.
  std::vector<std::vector<uint8_t>> ranges;
  for (uint32_t n = 1 + in.Below(3); n > 0; --n) {
    std::vector<uint8_t> r =
        in.Below(6) == 0 ? Wildcard(in) : ours[in.Below(static_cast<uint32_t>(ours.size()))];
    if (in.Below(4) != 0) Mutate(in, r, video);
    ranges.push_back(std::move(r));
  }
  std::vector<uint8_t> request = IntersectionRequest(in, ranges);
  const ULONG outputs[] = {0, 1, 64, 111, 112, 135, 136, 152, 208, 256};
  ULONG length = in.Bool() ? in.Pick(outputs) : in.Length(1024);
  fuzz::GuardedBuffer out(length);
  const std::vector<uint8_t> outBefore = out.Contents();
  ULONG returned = 0;
  NTSTATUS status = rig.client->Property(filter, request.data(), static_cast<ULONG>(request.size()),
                                         out.data(), length, &returned);
  const std::string what =
      "intersection into " + std::to_string(length) + " bytes, status " + std::to_string(status);
  out.CheckGuards(what);
  std::vector<uint8_t> format;
  if (Refused(status)) {
    FUZZ_CHECK(out.Contents() == outBefore, what + ": a refused request wrote the output");
  } else if (status == STATUS_SUCCESS) {
    FUZZ_CHECK(returned >= sizeof(KSDATAFORMAT) && returned <= length, what + ": format size");
    format = out.Contents();
    format.resize(returned);
    KSDATAFORMAT header;
    std::memcpy(&header, format.data(), sizeof header);
    FUZZ_CHECK(header.FormatSize == returned, what + ": FormatSize is the size returned");
    FUZZ_CHECK(header.MajorFormat != KSDATAFORMAT_TYPE_WILDCARD &&
                   header.SubFormat != KSDATAFORMAT_SUBTYPE_WILDCARD &&
                   header.Specifier != KSDATAFORMAT_SPECIFIER_WILDCARD,
               what + ": a proposed format names no wildcard");
  }
  if (format.empty()) format = rig.Proposal(filter, in.Below(6));
  if (in.Below(3) == 0) Mutate(in, format, video);
  if (format.empty()) return;

  sim::Pool &pool = rig.m.pool();
  size_t poolBefore = pool.liveCount();
  size_t writesBefore = CardWrites(*rig.cards[0]);
  ULONG openBefore = rig.Device(0)->openPinMask;
  Handle pin = 0;
  status = rig.client->CreatePin(filter, 0, format, &pin);
  if (!NT_SUCCESS(status)) {
    FUZZ_CHECK(pool.liveCount() == poolBefore, "a refused pin left pool behind");
    FUZZ_CHECK(CardWrites(*rig.cards[0]) == writesBefore, "a refused pin wrote registers");
    FUZZ_CHECK(rig.Device(0)->openPinMask == openBefore, "a refused pin changed openPinMask");
    return;
  }
  Capture(in, rig, pin);
  FUZZ_CHECK(rig.client->Close(pin) == STATUS_SUCCESS, "the pin closes");
  FUZZ_CHECK(pool.liveCount() == poolBefore, "a closed pin left pool behind");
  FUZZ_CHECK(rig.Device(0)->openPinMask == openBefore, "a closed pin left openPinMask set");
  FUZZ_CHECK(rig.Device(0)->runningMask == 0, "a closed pin left its channel running");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  auto variant = in.Bool() ? sim::Card::Variant::Standard : sim::Card::Variant::Device6864;
  fuzz::Rig rig({variant});
  fuzz::NoVerifierStop("format negotiation", [&] {
    while (!in.empty()) {
      bool video = in.Below(3) != 0;
      ULONG channel = in.Below(kVideoChannels);
      rig.cards[0]->SetInputSignal(channel, {true, in.Bool()});
      Negotiate(in, rig, video, channel);
    }
  });
  rig.ShutDown();
  return 0;
}
