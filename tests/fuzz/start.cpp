// Device start with an arbitrary resource list, and the card's settings ("Preview%d",
// "INTMODE%d", "HDELAY%d") of any type and size. A start either succeeds or fails having
// mapped, connected and kept nothing (and the next start with the card's own resources
// works); the settings the driver reads are the ones it acts on, never stack bytes; a
// setting of any kind never makes pin creation or capture fail.
#include <ksmedia.h>

#include <optional>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"
#include "support/rig.h"

namespace {

using sim::ks::Handle;

const char *const kPrefixes[] = {"Preview", "INTMODE", "HDELAY"};
const ULONG kTypes[] = {REG_DWORD, REG_DWORD, REG_SZ,       REG_BINARY,
                        REG_NONE,  REG_QWORD, REG_MULTI_SZ, REG_EXPAND_SZ};

// What the driver can read of a setting: data of at most four bytes, zero-extended.
std::optional<uint32_t> Readable(const std::optional<sim::Registry::Value> &v) {
  if (!v || v->data.size() > 4) return std::nullopt;
  uint32_t n = 0;
  for (size_t i = 0; i < v->data.size(); ++i) n |= static_cast<uint32_t>(v->data[i]) << (8 * i);
  return n;
}

void WriteSettings(fuzz::Input &in, fuzz::Rig &rig) {
  sim::Registry &r = rig.m.registry();
  std::string key = rig.SettingsKey(0);
  for (const char *prefix : kPrefixes) {
    for (ULONG n = 0; n < kVideoChannels; ++n) {
      std::string name = prefix + std::to_string(n);
      switch (in.Below(4)) {
        case 0:
          break;  // missing
        case 1:
          r.SetDword(key, name, in.Below(4) == 0 ? in.U32() : in.Below(4));
          break;
        default: {
          ULONG type = in.Below(4) == 0 ? in.U32() : in.Pick(kTypes);
          uint32_t size = in.Bool() ? in.Below(9) : in.Length(300);
          std::vector<uint8_t> data = in.Bytes(size);
          data.resize(size);
          r.SetValue(key, name, type, data);
        }
      }
    }
  }
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Descriptor(fuzz::Input &in, const sim::Card &card) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  static const UCHAR kKinds[] = {
      CmResourceTypeMemory, CmResourceTypeInterrupt, CmResourceTypePort, CmResourceTypeDma, 0, 7};
  d.Type = in.Below(4) == 0 ? in.Byte() : in.Pick(kKinds);
  d.ShareDisposition = in.Below(4);
  static const USHORT kFlags[] = {CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE,
                                  CM_RESOURCE_INTERRUPT_LATCHED, 2, 3, 0x10};
  d.Flags = in.Bool() ? in.Pick(kFlags) : in.U16();
  if (d.Type == CmResourceTypeInterrupt && in.Below(3) != 0) {
    d.u.Interrupt.Level = in.Bool() ? 6 : in.U32();
    d.u.Interrupt.Vector = in.Bool() ? card.vector() : in.U32();
    d.u.Interrupt.Affinity = in.Bool() ? 1 : in.U64();
    return d;
  }
  if (in.Below(3) != 0) {
    static const ULONG kLengths[] = {0x1000, 0x1000, 0xFFF, 0x2000, 0, 0x800, 0xFFFFFFFF};
    static const LONGLONG kOffsets[] = {0, 0, 4, 0x800, 0x1000, -0x1000, 1};
    d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(card.windowBase()) + in.Pick(kOffsets);
    d.u.Memory.Length = in.Pick(kLengths);
    return d;
  }
  std::vector<uint8_t> raw = in.Bytes(sizeof d.u);
  fuzz::Copy(&d.u, raw.data(), raw.size());
  return d;
}

void CheckNothingHeld(fuzz::Rig &rig, const std::string &why) {
  FUZZ_CHECK(rig.m.liveMappings(rig.cards[0].get()) == 0, why + ": registers left mapped");
  FUZZ_CHECK(rig.m.connectedInterrupts() == 0, why + ": interrupt left connected");
  FUZZ_CHECK(rig.m.dma().liveAdapters() == 0, why + ": DMA adapter kept");
  FUZZ_CHECK(rig.m.dma().liveCommonBuffers() == 0, why + ": common buffers kept");
}

// Whether the interrupt the driver connects (the list's last) is the card's own line, level
// triggered, at a device level: only then can frames arrive. A plug-and-play manager hands out
// nothing else; a list made up otherwise must still do no harm.
bool CardsOwnInterrupt(const sim::ResourceSpec &resources, const sim::Card &card) {
  if (resources.descriptors.empty()) return true;
  const CM_PARTIAL_RESOURCE_DESCRIPTOR *last = nullptr;
  for (const auto &d : resources.descriptors)
    if (d.Type == CmResourceTypeInterrupt) last = &d;
  return last != nullptr && last->u.Interrupt.Vector == card.vector() &&
         (last->u.Interrupt.Level & 0xFF) > DISPATCH_LEVEL &&
         last->Flags == CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE && last->u.Interrupt.Affinity != 0;
}

// The published pins and what pin creation programs follow the settings as read.
void CheckSettings(fuzz::Input &in, fuzz::Rig &rig, bool interrupts) {
  sim::Registry &r = rig.m.registry();
  std::string key = rig.SettingsKey(0);
  for (ULONG n = 0; n < kVideoChannels; ++n) {
    std::optional<uint32_t> preview = Readable(r.GetValue(key, "Preview" + std::to_string(n)));
    sim::ks::DeviceInterface i = rig.Filter(0, true, n);
    FUZZ_CHECK(i.cached && !i.pins.empty(), "a video filter publishes its pin");
    bool isPreview = i.pins[0].name == PINNAME_VIDEO_PREVIEW;
    FUZZ_CHECK(isPreview == (preview.value_or(0) == 1), "channel " + std::to_string(n) +
                                                            ": pin named as \"Preview" +
                                                            std::to_string(n) + "\" says");
    FUZZ_CHECK(preview.has_value(),
               "an unreadable \"Preview" + std::to_string(n) + "\" is replaced by a readable one");
  }
  for (int k = in.Below(3); k >= 0; --k) {
    ULONG c = in.Below(kVideoChannels);
    rig.cards[0]->SetInputSignal(c, {true, in.Bool()});
    Handle filter = rig.Open(0, true, c);
    FUZZ_CHECK(filter != 0, "a video filter opens");
    std::vector<uint8_t> format = rig.Proposal(filter, in.Below(4));
    Handle pin = 0;
    NTSTATUS created = rig.client->CreatePin(filter, 0, format, &pin);
    // A pin whose interrupt cannot be connected is refused: a list that does not give the
    // card its own level-triggered line may leave nothing to connect.
    if (!interrupts && !NT_SUCCESS(created)) {
      FUZZ_CHECK(pin == 0, "a refused pin leaves no handle");
      rig.client->Close(filter);
      continue;
    }
    FUZZ_CHECK(created == STATUS_SUCCESS,
               "whatever the settings, the pin is created with its own proposal");
    CCaptureDevice *d = rig.Device(0);
    bool is625 = Is625LineStandard(d->channelVideo[c].videoStandard);
    uint32_t hdelay =
        Readable(r.GetValue(key, "HDELAY" + std::to_string(c))).value_or(is625 ? 10 : 15);
    uint32_t intmode = Readable(r.GetValue(key, "INTMODE" + std::to_string(c))).value_or(0);
    FUZZ_CHECK(d->hdelay[c] == hdelay, "HDELAY as read");
    FUZZ_CHECK(d->intmode[c] == intmode, "INTMODE as read");
    uint32_t programmed =
        rig.cards[0]->DecoderRegister(ChannelBank(c), static_cast<uint8_t>(ChannelRegister(c, 10)));
    FUZZ_CHECK((programmed & 0xFF) == (hdelay & 0xFF), "the decoder gets HDELAY");

    KSALLOCATOR_FRAMING_EX framing{};
    rig.client->GetAllocatorFraming(pin, &framing);
    FUZZ_CHECK(rig.client->SetState(pin, KSSTATE_RUN) == STATUS_SUCCESS, "the pin runs");
    sim::ks::FrameRequest request;
    request.bufferSize = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
    KS_FRAME_INFO info{};
    info.ExtendedHeaderSize = sizeof info;
    request.extendedHeader.assign(reinterpret_cast<uint8_t *>(&info),
                                  reinterpret_cast<uint8_t *>(&info) + sizeof info);
    FUZZ_CHECK(rig.client->QueueFrame(pin, std::move(request)) == STATUS_PENDING, "queued");
    sim::ks::Frame frame;
    NTSTATUS arrived = rig.client->WaitForFrame(pin, 200 * sim::kMillisecond, &frame);
    if (interrupts) {
      FUZZ_CHECK(arrived == STATUS_SUCCESS, "a frame arrives whatever the settings");
      FUZZ_CHECK(frame.status == STATUS_SUCCESS && frame.header.DataUsed == frame.data.size(),
                 "the frame is filled");
    }
    FUZZ_CHECK(rig.client->Close(pin) == STATUS_SUCCESS, "the pin closes");
    rig.client->Close(filter);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Input in(data, size);
  auto variant = in.Below(4) == 0 ? sim::Card::Variant::Device6864 : sim::Card::Variant::Standard;
  fuzz::Rig rig({variant}, /*start=*/false);
  fuzz::NoVerifierStop("device start", [&] {
    WriteSettings(in, rig);
    sim::ResourceSpec resources;
    resources.absent = in.Below(16) == 0;
    if (in.Below(4) != 0)
      for (uint32_t n = 1 + in.Below(5); n > 0; --n)
        resources.descriptors.push_back(Descriptor(in, *rig.cards[0]));
    size_t poolBefore = rig.m.pool().liveCount();
    for (const auto &d : resources.descriptors)
      FUZZ_LOG("  type %u share %u flags 0x%x: %08x %08x %08x %08x\n", d.Type, d.ShareDisposition,
               d.Flags, d.u.DevicePrivate.Data[0], d.u.DevicePrivate.Data[1],
               d.u.DevicePrivate.Data[2], reinterpret_cast<const ULONG *>(&d.u)[3]);
    NTSTATUS status = rig.m.pnp().StartCard(*rig.pnp[0], resources);
    FUZZ_LOG("start with %zu descriptor(s)%s: 0x%08x\n", resources.descriptors.size(),
             resources.absent ? " (no list)" : "", static_cast<unsigned>(status));
    if (!NT_SUCCESS(status)) {
      CheckNothingHeld(rig, "a failed start");
      // What a failed start may keep is its descriptor copies of the published filters.
      FUZZ_CHECK(rig.m.pool().liveCount() >= poolBefore, "pool freed that was not the start's");
      FUZZ_CHECK(rig.m.pnp().StartCard(*rig.pnp[0]) == STATUS_SUCCESS,
                 "after a failed start the card's own resources start it");
    }
    // After a failed start the card's own resources started it.
    CheckSettings(in, rig, !NT_SUCCESS(status) || CardsOwnInterrupt(resources, *rig.cards[0]));
  });
  rig.ShutDown();
  return 0;
}
