// The picture controls and decoder properties every filter carries, through the host.
#include "decoder/decoder.h"
#include "support/client_rig.h"

namespace {

using sim::Card;
using sim::ks::Handle;
using suite::ClientRig;

KSPROPERTY_VIDEOPROCAMP_S ProcAmp(LONG value = 0) {
  KSPROPERTY_VIDEOPROCAMP_S s{};
  s.Value = value;
  return s;
}

LONG GetControl(ClientRig &b, Handle f, ULONG id) {
  KSPROPERTY_VIDEOPROCAMP_S s = ProcAmp();
  EXPECT_EQ(b.client->GetS(f, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &s), STATUS_SUCCESS);
  EXPECT_EQ(s.Flags, static_cast<ULONG>(KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL));
  EXPECT_EQ(s.Capabilities, static_cast<ULONG>(KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO));
  return s.Value;
}

NTSTATUS SetControl(ClientRig &b, Handle f, ULONG id, LONG value) {
  return b.client->SetS(f, PROPSETID_VIDCAP_VIDEOPROCAMP, id, ProcAmp(value));
}

TEST(PictureControls, MemoryMappedAndBusChannels) {
  ClientRig b;
  Handle f2 = b.Open(true, 2), f6 = b.Open(true, 6), f5 = b.Open(true, 5), f1 = b.Open(true, 1);
  ASSERT_EQ(SetControl(b, f2, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -1), STATUS_SUCCESS);
  EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(0, ChannelRegister(2, DECODER_BRIGHTNESS))),
            0xFFFFFFFFu)
      << "bank 0 register 0x21 takes the whole value";
  EXPECT_EQ(GetControl(b, f2, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS), -1);

  ASSERT_EQ(SetControl(b, f6, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -1), STATUS_SUCCESS);
  EXPECT_EQ(b.card.DecoderRegister(1, 0x21), 0xFFu) << "the bus carries the low byte";
  EXPECT_EQ(GetControl(b, f6, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS), -1);

  ASSERT_EQ(SetControl(b, f5, KSPROPERTY_VIDEOPROCAMP_SATURATION, 200), STATUS_SUCCESS);
  EXPECT_EQ(b.card.DecoderRegister(1, 0x14), 0xC8u);
  EXPECT_EQ(b.card.DecoderRegister(1, 0x15), 0xC8u);
  b.card.SetDecoderRegister(0, 0x14, 0x33);
  EXPECT_EQ(GetControl(b, f5, KSPROPERTY_VIDEOPROCAMP_SATURATION), 200);
  EXPECT_EQ(GetControl(b, f1, KSPROPERTY_VIDEOPROCAMP_SATURATION), 0x33);
  EXPECT_EQ(GetControl(b, f6, KSPROPERTY_VIDEOPROCAMP_CONTRAST), 100) << "set up at start";

  Handle f0 = b.Open(true, 0);
  ASSERT_EQ(SetControl(b, f0, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 9), STATUS_SUCCESS);
  EXPECT_EQ(GetControl(b, f0, KSPROPERTY_VIDEOPROCAMP_SHARPNESS), 9);
  // The audio filter of channel 4 addresses video channel 0.
  Handle a4 = b.Open(false, 4);
  EXPECT_EQ(GetControl(b, a4, KSPROPERTY_VIDEOPROCAMP_SHARPNESS), 9);
  EXPECT_EQ(SetControl(b, f0, KSPROPERTY_VIDEOPROCAMP_HUE, -128), STATUS_SUCCESS);
  EXPECT_EQ(GetControl(b, f0, KSPROPERTY_VIDEOPROCAMP_HUE), -128);
}

// An out-of-range value used to be reported as success with nothing written.
TEST(PictureControls, OutOfRangeValuesAreRefusedAndWriteNothing) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    ClientRig b(v);
    Handle f = b.Open(true, 7);
    ASSERT_EQ(SetControl(b, f, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 77), STATUS_SUCCESS);
    ASSERT_EQ(SetControl(b, f, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 15), STATUS_SUCCESS);
    size_t writes = b.card.trace().size();
    EXPECT_EQ(SetControl(b, f, KSPROPERTY_VIDEOPROCAMP_CONTRAST, 300),
              static_cast<NTSTATUS>(0xE000000D));
    EXPECT_EQ(SetControl(b, f, KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 16),
              static_cast<NTSTATUS>(0xE000000D));
    EXPECT_EQ(SetControl(b, f, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -129),
              static_cast<NTSTATUS>(0xE000000D));
    EXPECT_EQ(b.card.trace().size(), writes) << "nothing reaches the card";
    EXPECT_EQ(GetControl(b, f, KSPROPERTY_VIDEOPROCAMP_CONTRAST), 77);
    EXPECT_EQ(GetControl(b, f, KSPROPERTY_VIDEOPROCAMP_SHARPNESS), 15);
  }
}

// Basic support of all five controls: a stepped signed range and the default, as a
// client lays them out for a slider; the handlers refuse exactly what lies outside.
TEST(PictureControls, BasicSupportAdvertisesWhatTheHandlersAccept) {
  ClientRig b;
  Handle f = b.Open(true, 0);
  struct Control {
    ULONG id;
    LONG minimum, maximum, defaultValue;
  };
  const Control controls[] = {{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -128, 127, 0},
                              {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0, 255, 128},
                              {KSPROPERTY_VIDEOPROCAMP_HUE, -128, 127, 0},
                              {KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, 255, 128},
                              {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 0, 15, 0}};
  for (const Control &c : controls) {
    SCOPED_TRACE(c.id);
    std::vector<uint8_t> d;
    ASSERT_EQ(b.client->BasicSupport(f, PROPSETID_VIDCAP_VIDEOPROCAMP, c.id, &d), STATUS_SUCCESS);
    ASSERT_EQ(d.size(), sizeof(KSPROPERTY_DESCRIPTION) + 2 * sizeof(KSPROPERTY_MEMBERSHEADER) +
                            sizeof(KSPROPERTY_STEPPING_LONG) + sizeof(LONG));
    auto *desc = reinterpret_cast<const KSPROPERTY_DESCRIPTION *>(d.data());
    EXPECT_EQ(desc->MembersListCount, 2u);
    EXPECT_EQ(desc->PropTypeSet.Set, KSPROPTYPESETID_General);
    EXPECT_EQ(desc->PropTypeSet.Id, 3u) << "VT_I4";
    auto *ranges = reinterpret_cast<const KSPROPERTY_MEMBERSHEADER *>(desc + 1);
    EXPECT_EQ(ranges->MembersFlags, static_cast<ULONG>(KSPROPERTY_MEMBER_RANGES));
    EXPECT_EQ(ranges->MembersSize, 16u);
    EXPECT_EQ(ranges->MembersCount, 1u);
    EXPECT_EQ(ranges->Flags, 0u);
    auto *stepping = reinterpret_cast<const KSPROPERTY_STEPPING_LONG *>(ranges + 1);
    EXPECT_EQ(stepping->SteppingDelta, 1u);
    EXPECT_EQ(stepping->Reserved, 0u);
    EXPECT_EQ(stepping->Bounds.SignedMinimum, c.minimum);
    EXPECT_EQ(stepping->Bounds.SignedMaximum, c.maximum);
    auto *values = reinterpret_cast<const KSPROPERTY_MEMBERSHEADER *>(stepping + 1);
    EXPECT_EQ(values->MembersFlags, static_cast<ULONG>(KSPROPERTY_MEMBER_VALUES));
    EXPECT_EQ(values->MembersSize, 4u);
    EXPECT_EQ(values->MembersCount, 1u);
    EXPECT_EQ(values->Flags, static_cast<ULONG>(KSPROPERTY_MEMBER_FLAG_DEFAULT));
    EXPECT_EQ(*reinterpret_cast<const LONG *>(values + 1), c.defaultValue);
    // The advertised range is exactly what a set accepts.
    EXPECT_EQ(SetControl(b, f, c.id, c.minimum), STATUS_SUCCESS);
    EXPECT_EQ(GetControl(b, f, c.id), c.minimum);
    EXPECT_EQ(SetControl(b, f, c.id, c.maximum), STATUS_SUCCESS);
    EXPECT_EQ(GetControl(b, f, c.id), c.maximum);
    EXPECT_EQ(SetControl(b, f, c.id, c.minimum - 1), static_cast<NTSTATUS>(0xE000000D));
    EXPECT_EQ(SetControl(b, f, c.id, c.maximum + 1), static_cast<NTSTATUS>(0xE000000D));
  }
}

TEST(DecoderProperties, StandardCapsAndStatus) {
  ClientRig b(Card::Variant::Standard);
  Handle f1 = b.Open(true, 1);
  KSPROPERTY_VIDEODECODER_S standard{};
  standard.Value = KS_AnalogVideo_PAL_B;
  ASSERT_EQ(
      b.client->SetS(f1, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, standard),
      STATUS_SUCCESS);
  EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(0, ChannelRegister(1, DECODER_MODE))), 0x18u);
  EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(0, ChannelRegister(1, DECODER_DELAY))), 10u);
  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(b.client->PinDataRanges(f1, 0, &ranges), STATUS_SUCCESS);
  EXPECT_EQ(reinterpret_cast<const KS_DATARANGE_VIDEO *>(ranges[0].data())->ConfigCaps.InputSize.cy,
            576);
  KSPROPERTY_VIDEODECODER_STATUS_S status{};
  ASSERT_EQ(
      b.client->GetS(f1, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, &status),
      STATUS_SUCCESS);
  EXPECT_EQ(status.NumberOfLines, 625u);
  EXPECT_EQ(status.SignalLocked, 1u);

  standard.Value = KS_AnalogVideo_PAL_M;  // a 525-line standard
  ASSERT_EQ(
      b.client->SetS(f1, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, standard),
      STATUS_SUCCESS);
  EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(0, ChannelRegister(1, DECODER_MODE))), 0x14u);
  EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(0, ChannelRegister(1, DECODER_DELAY))), 15u);
  KSPROPERTY_VIDEODECODER_S got{};
  ASSERT_EQ(
      b.client->GetS(f1, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STANDARD, &got),
      STATUS_SUCCESS);
  EXPECT_EQ(got.Value, static_cast<ULONG>(KS_AnalogVideo_PAL_M));
  b.client->GetS(f1, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, &status);
  EXPECT_EQ(status.NumberOfLines, 525u);

  b.card.SetInputSignal(2, {false, false});
  Handle f2 = b.Open(true, 2);
  b.client->GetS(f2, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_STATUS, &status);
  EXPECT_EQ(status.SignalLocked, 1u) << "reported locked even with no input";

  KSPROPERTY_VIDEODECODER_CAPS_S caps{};
  caps.SettlingTime = 1234;
  ASSERT_EQ(b.client->GetS(f1, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_CAPS, &caps),
            STATUS_SUCCESS);
  EXPECT_EQ(caps.StandardsSupported, 0x000FF7F7u);
  EXPECT_EQ(caps.Capabilities, 7u);
  EXPECT_EQ(caps.HSyncPerVSync, 6u);
  EXPECT_EQ(caps.SettlingTime, 1234u);
}

TEST(DecoderProperties, SetsThatAlwaysFailCarryTheCustomerBit) {
  ClientRig b;
  Handle f = b.Open(true, 0);
  KSPROPERTY_VIDEODECODER_S s{};
  s.Value = 1;
  EXPECT_EQ(
      b.client->SetS(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, s),
      static_cast<NTSTATUS>(0xE00000BB));
  EXPECT_EQ(b.client->SetS(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_VCR_TIMING, s),
            static_cast<NTSTATUS>(0xE00000BB));
  ASSERT_EQ(
      b.client->GetS(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, &s),
      STATUS_SUCCESS);
  EXPECT_EQ(s.Value, 1u);
  s.Value = 77;
  ASSERT_EQ(
      b.client->GetS(f, PROPSETID_VIDCAP_VIDEODECODER, KSPROPERTY_VIDEODECODER_VCR_TIMING, &s),
      STATUS_SUCCESS);
  EXPECT_EQ(s.Value, 0u) << "VCR timing reads 0";
  KSPROPERTY_VIDEOCONTROL_CAPS_S vc{};
  EXPECT_EQ(b.client->GetS(f, PROPSETID_VIDCAP_VIDEOCONTROL, KSPROPERTY_VIDEOCONTROL_CAPS, &vc),
            static_cast<NTSTATUS>(0xE0000002));
  KSALLOCATOR_FRAMING framing{};
  EXPECT_EQ(b.client->GetProperty(f, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING,
                                  &framing, sizeof(framing)),
            static_cast<NTSTATUS>(0xE0000002));
  KSPROPERTY_VIDEOPROCAMP_S gamma = ProcAmp();
  EXPECT_EQ(b.client->GetS(f, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, &gamma),
            STATUS_NOT_FOUND)
      << "an item the table lacks never reaches the handler";
  // The handlers' own guards, for requests the host would not pass on.
  EXPECT_EQ(VideoPropertyGet(nullptr, nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

}  // namespace
