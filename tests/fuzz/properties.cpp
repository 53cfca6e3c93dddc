// Property requests on every filter and pin object through the simulated class driver, with
// arbitrary sets, ids, flags and buffers of arbitrary sizes (the class driver's MinProperty /
// MinData checks in front, as on the platform). Beyond no crash, no overrun and a silent
// verifier: nothing is written outside the client's buffers, a refused request changes
// neither the buffer nor the card, a query changes nothing, and what a successful set stores
// is what the next get reads.
#include <ksmedia.h>

#include <array>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "filters/filters.h"
#include "support/rig.h"
#include "video/formats.h"

namespace {

using sim::ks::Handle;

// Severity "error": the request was refused (warnings such as a size answer are not).
bool Refused(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

const GUID kSets[] = {PROPSETID_VIDCAP_VIDEOPROCAMP, PROPSETID_VIDCAP_VIDEODECODER,
                      PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPSETID_Connection, KSPROPSETID_Pin};
const ULONG kFlags[] = {KSPROPERTY_TYPE_GET,
                        KSPROPERTY_TYPE_SET,
                        KSPROPERTY_TYPE_BASICSUPPORT,
                        KSPROPERTY_TYPE_SETSUPPORT,
                        KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
                        KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY,
                        KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
                        0};
// The sizes of the request structures in use, and a few around them.
const ULONG kSizes[] = {0,  4,  8,  16, 23, 24, 25, 28, 31, 32, 33,
                        39, 40, 41, 48, 56, 64, 72, 80, 96, 128};

// What a request may change: the card's decoder registers, the driver's view of each
// channel's standard and format list, and the pin's state.
struct Observed {
  std::vector<uint32_t> decoder;
  std::array<ULONG, kVideoChannels> standards{};
  std::array<PKSDATARANGE, kVideoChannels> formats{};
  KSSTATE pinState = KSSTATE_STOP;
  bool operator==(const Observed &) const = default;
};

Observed Observe(fuzz::Rig &rig, Handle pin) {
  Observed o;
  for (int bank = 0; bank < 2; ++bank)
    for (int r = 0; r < 256; ++r)
      o.decoder.push_back(rig.cards[0]->DecoderRegister(bank, static_cast<uint8_t>(r)));
  for (ULONG c = 0; c < kVideoChannels; ++c) {
    o.standards[c] = rig.Device(0)->channelVideo[c].videoStandard;
    o.formats[c] = rig.Device(0)->channelFormats[c][0];
  }
  if (pin != 0) rig.client->GetState(pin, &o.pinState);
  return o;
}

// A successful set is read back by a get of the same item.
void CheckReadBack(fuzz::Rig &rig, Handle object, const GUID &set, ULONG id,
                   const std::vector<uint8_t> &stored) {
  if (set == PROPSETID_VIDCAP_VIDEOPROCAMP && stored.size() >= sizeof(KSPROPERTY_VIDEOPROCAMP_S)) {
    KSPROPERTY_VIDEOPROCAMP_S wrote, read{};
    std::memcpy(&wrote, stored.data(), sizeof wrote);
    FUZZ_CHECK(rig.client->GetS(object, set, id, &read) == STATUS_SUCCESS,
               "a control that was set can be read");
    FUZZ_CHECK(read.Value == wrote.Value, "control " + std::to_string(id) + " set to " +
                                              std::to_string(wrote.Value) + " reads back " +
                                              std::to_string(read.Value));
  }
  if (set == PROPSETID_VIDCAP_VIDEODECODER && id == KSPROPERTY_VIDEODECODER_STANDARD &&
      stored.size() >= sizeof(KSPROPERTY_VIDEODECODER_S)) {
    KSPROPERTY_VIDEODECODER_S wrote, read{};
    std::memcpy(&wrote, stored.data(), sizeof wrote);
    FUZZ_CHECK(rig.client->GetS(object, set, id, &read) == STATUS_SUCCESS,
               "the standard that was set can be read");
    FUZZ_CHECK(read.Value == wrote.Value, "the standard reads back as set");
    KSPROPERTY_VIDEODECODER_STATUS_S status{};
    FUZZ_CHECK(
        rig.client->GetS(object, set, KSPROPERTY_VIDEODECODER_STATUS, &status) == STATUS_SUCCESS,
        "the decoder status can be read");
    FUZZ_CHECK(status.NumberOfLines == (Is625LineStandard(wrote.Value) ? 625u : 525u),
               "the line count follows the standard set");
  }
}

void Request(fuzz::Input &in, fuzz::Rig &rig, Handle object, Handle pin) {
  // The property: a known set or any GUID, an id, flags, then any bytes after it.
  GUID set;
  if (in.Below(8) == 0) {
    std::vector<uint8_t> raw = in.Bytes(sizeof set);
    raw.resize(sizeof set);
    std::memcpy(&set, raw.data(), sizeof set);
  } else {
    set = in.Pick(kSets);
  }
  ULONG id = in.Below(4) == 0 ? in.U32() : in.Below(12);
  // Intersection has its own target, which builds ranges that reach the handlers.
  if (set == KSPROPSETID_Pin && id == KSPROPERTY_PIN_DATAINTERSECTION) id = KSPROPERTY_PIN_NAME;
  ULONG flags = in.Below(8) == 0 ? in.U32() : in.Pick(kFlags);
  ULONG propertyLength = in.Bool() ? in.Pick(kSizes) : in.Length(512);
  ULONG dataLength = in.Bool() ? in.Pick(kSizes) : in.Length(2048);

  fuzz::GuardedBuffer property(propertyLength);
  std::vector<uint8_t> bytes = in.Bytes(propertyLength);
  fuzz::Copy(property.data(), bytes.data(), bytes.size());
  KSPROPERTY header{};
  header.Set = set;
  header.Id = id;
  header.Flags = flags;
  fuzz::Copy(property.data(), &header, std::min<size_t>(sizeof header, propertyLength));
  fuzz::GuardedBuffer data(dataLength, in.Byte());
  bytes = in.Bytes(dataLength);
  fuzz::Copy(data.data(), bytes.data(), bytes.size());
  // Request structures that begin with their KSPROPERTY usually carry it in the data too.
  if (in.Bool()) fuzz::Copy(data.data(), &header, std::min<size_t>(sizeof header, dataLength));

  const std::vector<uint8_t> propertyBefore = property.Contents();
  const std::vector<uint8_t> dataBefore = data.Contents();
  const Observed before = Observe(rig, pin);
  ULONG returned = 0xDEADBEEF;
  NTSTATUS status = rig.client->Property(object, property.data(), propertyLength, data.data(),
                                         dataLength, &returned);
  const std::string what = "property " + std::to_string(id) + " flags " + std::to_string(flags) +
                           " sizes " + std::to_string(propertyLength) + "/" +
                           std::to_string(dataLength) + " status " + std::to_string(status);
  property.CheckGuards(what + " (request)");
  data.CheckGuards(what + " (data)");
  FUZZ_CHECK(property.Contents() == propertyBefore, what + ": the request was written to");
  if (Refused(status)) {
    FUZZ_CHECK(data.Contents() == dataBefore, what + ": a refused request wrote data");
    FUZZ_CHECK(returned == 0, what + ": a refused request reports bytes returned");
    FUZZ_CHECK(Observe(rig, pin) == before, what + ": a refused request changed the card");
    return;
  }
  FUZZ_CHECK(returned <= dataLength || status == STATUS_BUFFER_OVERFLOW,
             what + ": more bytes returned than the buffer holds");
  ULONG type = flags & ~KSPROPERTY_TYPE_TOPOLOGY;
  if (type != KSPROPERTY_TYPE_SET) {
    FUZZ_CHECK(Observe(rig, pin) == before, what + ": a query changed the card");
  } else if (NT_SUCCESS(status)) {
    CheckReadBack(rig, object, set, id, data.Contents());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  auto variant = in.Bool() ? sim::Card::Variant::Standard : sim::Card::Variant::Device6864;
  fuzz::Rig rig({variant});
  fuzz::NoVerifierStop("property requests", [&] {
    bool video = in.Bool();
    ULONG channel = in.Below(kVideoChannels);
    rig.cards[0]->SetInputSignal(channel, {true, in.Bool()});
    Handle filter = rig.Open(0, video, channel);
    FUZZ_CHECK(filter != 0, "the filter opens");
    // Sometimes a pin too, so that its object's requests are reached.
    Handle pin = 0;
    if (in.Bool()) {
      std::vector<uint8_t> format =
          video ? rig.Proposal(filter, in.Below(4)) : rig.Proposal(filter, in.Below(6));
      FUZZ_CHECK(!format.empty(), "the pin proposes a format for its own range");
      FUZZ_CHECK(rig.client->CreatePin(filter, 0, format, &pin) == STATUS_SUCCESS,
                 "the pin is created with its own proposal");
    }
    while (!in.empty()) {
      Handle object = pin != 0 && in.Bool() ? pin : filter;
      Request(in, rig, object, pin);
      if (in.Below(4) == 0) rig.m.RunFor(in.Below(20) * sim::kMillisecond);
    }
  });
  rig.ShutDown();
  return 0;
}
