// The audio pin through the client: intersection, creation programming the channel,
// framing, one pin per channel and the close that leaves no dangling stream.
#include "support/client_rig.h"

namespace {

using sim::Card;
using sim::ks::Handle;
using suite::ClientRig;

WAVEFORMATEX Wave(const std::vector<uint8_t> &format) {
  WAVEFORMATEX w;
  std::memcpy(&w, format.data() + sizeof(KSDATAFORMAT), sizeof(w));
  return w;
}

TEST(AudioIntersection, ThroughTheHostInListOrder) {
  ClientRig b;
  Handle f = b.Open(false, 2);
  std::vector<uint8_t> wildcard(sizeof(KSDATARANGE), 0);
  auto *w = reinterpret_cast<KSDATARANGE *>(wildcard.data());
  w->FormatSize = sizeof(KSDATARANGE);
  w->MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
  w->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
  w->Specifier = KSDATAFORMAT_SPECIFIER_WILDCARD;
  std::vector<uint8_t> format = b.Intersect(f, wildcard);
  ASSERT_EQ(format.size(), 82u);
  WAVEFORMATEX wave = Wave(format);
  EXPECT_EQ(wave.nSamplesPerSec, 8000u);
  EXPECT_EQ(wave.nChannels, 1);
  EXPECT_EQ(wave.wBitsPerSample, 16);
  EXPECT_EQ(wave.nBlockAlign, 2);
  EXPECT_EQ(wave.nAvgBytesPerSec, 16000u);
  EXPECT_EQ(reinterpret_cast<KSDATAFORMAT *>(format.data())->SampleSize, 2u);
  EXPECT_EQ(reinterpret_cast<KSDATAFORMAT *>(format.data())->FormatSize, 82u);

  EXPECT_EQ(Wave(b.Intersect(f, ClientRig::AudioRange(44100, 44100, 2, 8, 16))).nSamplesPerSec,
            44100u);
  EXPECT_EQ(Wave(b.Intersect(f, ClientRig::AudioRange(44100, 44100, 2, 8, 16))).nAvgBytesPerSec,
            88200u);
  EXPECT_EQ(Wave(b.Intersect(f, ClientRig::AudioRange(32000, 96000))).nSamplesPerSec, 48000u);

  std::vector<uint8_t> shortRange = ClientRig::AudioRange(8000, 48000);
  shortRange.resize(64);
  reinterpret_cast<KSDATARANGE *>(shortRange.data())->FormatSize = 64;
  std::vector<uint8_t> none;
  EXPECT_EQ(b.client->DataIntersection(f, 0, {shortRange}, &none), STATUS_NO_MATCH);
  EXPECT_EQ(b.client->DataIntersection(f, 0, {ClientRig::AudioRange(96000, 192000)}, &none),
            STATUS_NO_MATCH);
  ULONG size = 0;
  EXPECT_EQ(b.client->DataIntersectionSize(f, 0, {wildcard}, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 82u);
}

// The six ranges as the pin publishes them, in the order the host tries them, and the pin.
TEST(AudioPin, EveryFieldOfTheSixRangesInListOrder) {
  ClientRig b;
  Handle f = b.Open(false, 6);
  std::vector<std::vector<uint8_t>> ranges;
  ASSERT_EQ(b.client->PinDataRanges(f, 0, &ranges), STATUS_SUCCESS);
  const ULONG rates[] = {8000, 48000, 44100, 32000, 24000, 16000};
  ASSERT_EQ(ranges.size(), 6u);
  for (size_t i = 0; i < 6; ++i) {
    ASSERT_EQ(ranges[i].size(), sizeof(KSDATARANGE_AUDIO));
    KSDATARANGE_AUDIO r;
    std::memcpy(&r, ranges[i].data(), sizeof r);
    EXPECT_EQ(r.DataRange.FormatSize, 88u);
    EXPECT_EQ(r.DataRange.Flags, 0u);
    EXPECT_EQ(r.DataRange.SampleSize, 0u);
    EXPECT_EQ(r.DataRange.Reserved, 0u);
    EXPECT_EQ(r.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(r.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    EXPECT_EQ(r.MaximumChannels, 1u);
    EXPECT_EQ(r.MinimumBitsPerSample, 16u);
    EXPECT_EQ(r.MaximumBitsPerSample, 16u);
    EXPECT_EQ(r.MinimumSampleFrequency, rates[i]);
    EXPECT_EQ(r.MaximumSampleFrequency, rates[i]);
  }
  GUID category;
  ASSERT_EQ(b.client->PinCategory(f, 0, &category), STATUS_SUCCESS);
  EXPECT_EQ(category, KSCATEGORY_AUDIO);
  const GUID name = {0xBA1184B9, 0x1FE6, 0x488A, {0xAE, 0x78, 0x6E, 0x99, 0x7B, 0x02, 0xCA, 0xEA}};
  EXPECT_EQ(*kAudioPinDescriptors[6].PinDescriptor.Name, name);
  EXPECT_EQ(kAudioPinDescriptors[6].Flags, 0x00110010u);
  EXPECT_EQ(kAudioPinDescriptors[6].InstancesPossible, 1u);
  EXPECT_EQ(kAudioPinDescriptors[6].InstancesNecessary, 0u);
  const KS_FRAMING_ITEM &item = kAudioFraming.FramingItem[0];
  EXPECT_EQ(kAudioFraming.CountItems, 1u);
  EXPECT_EQ(item.MemoryType, KSMEMORY_TYPE_KERNEL_NONPAGED);
  EXPECT_EQ(item.Flags, 0x80000002u);
  EXPECT_EQ(item.Frames, 25u);
  EXPECT_EQ(item.PhysicalRange.MinFrameSize, 0u);
  EXPECT_EQ(item.PhysicalRange.MaxFrameSize, 0xFFFFFFFFu);
  EXPECT_EQ(item.FramingRange.Range.MinFrameSize, 8192u);
  EXPECT_EQ(item.FramingRange.Range.MaxFrameSize, 8192u);
}

TEST(AudioPin, CreationProgramsBlocksClockAndLength) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    ClientRig b(v);
    CCaptureDevice *d = b.dev();
    b.card.Poke(AUDIO_BLOCK_LENGTH, 0x0007FFFF);  // bits 10..0 must survive, 18..11 are cleared
    Handle f = b.Open(false, 5);
    Handle p = b.CreatePin(f, b.Intersect(f, ClientRig::AudioRange(48000, 48000)));
    ASSERT_NE(p, 0u);
    EXPECT_EQ(b.card.Peek(AUDIO_SAMPLE_CLOCK), 0x0A2C2AAAu);
    EXPECT_EQ(b.card.Peek(AUDIO_BLOCK_LENGTH), 0x800007FFu);
    EXPECT_EQ(b.card.Peek(AudioBlockRegister(5, 0)), d->audioBufferAddresses[10].LowPart);
    EXPECT_EQ(b.card.Peek(AudioBlockRegister(5, 1)), d->audioBufferAddresses[11].LowPart);
    EXPECT_EQ(b.card.CountWrites(DecoderRegisterOffset(1, DecoderAudioRegister(5))),
              v == Card::Variant::Standard ? 1u : 0u);
    if (v == Card::Variant::Standard) {
      EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(1, DecoderAudioRegister(5))), 0x20u);
    }
    EXPECT_NE(d->openPinMask & (1u << 13), 0u);

    KSALLOCATOR_FRAMING_EX framing;
    ASSERT_EQ(b.client->GetAllocatorFraming(p, &framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FramingItem[0].Frames, 8u);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, 4096u);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.Stepping, 0u);
    EXPECT_EQ(kAudioFraming.FramingItem[0].Frames, 25u) << "the shared framing stays as published";
    EXPECT_EQ(kAudioFraming.FramingItem[0].FramingRange.Range.MaxFrameSize, 8192u);

    Handle f0 = b.Open(false, 0);
    ASSERT_NE(b.CreatePin(f0, b.Intersect(f0, ClientRig::AudioRange(8000, 8000))), 0u);
    EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(0, DecoderAudioRegister(0))), 0x20u);
    EXPECT_EQ(b.card.Peek(AUDIO_SAMPLE_CLOCK), 0x3D090000u) << "one sample clock for all channels";
  }
}

TEST(AudioPin, OnePerChannelAndCloseLeavesNoDanglingStream) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle f1 = b.Open(false, 3), f2 = b.Open(false, 3);
  std::vector<uint8_t> format = b.Intersect(f1, ClientRig::AudioRange(44100, 44100));
  Handle p = b.CreatePin(f1, format);
  ASSERT_NE(p, 0u);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_NE(d->runningMask & (1u << 11), 0u);
  b.CreatePin(f2, format, STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(b.client->Close(p), STATUS_SUCCESS);
  EXPECT_EQ(d->audioStreams[11], nullptr) << "no entry may point at the freed stream";
  EXPECT_EQ(d->runningMask & (1u << 11), 0u);
  EXPECT_EQ(b.card.Peek(CHANNEL_ENABLE) & (1u << 11), 0u);
  // An interrupt for the closed channel reaches nothing.
  b.card.RaiseChannelEvents(1u << 11, 1u << 11);
  b.m.RunFor(sim::kMillisecond);
  EXPECT_NE(b.CreatePin(f2, format), 0u);
  EXPECT_TRUE(b.ok());
}

TEST(AudioPin, SetDataFormatChecksTheFormatAgainstTheRange) {
  ClientRig b;
  Handle f = b.Open(false, 1);
  Handle p = b.CreatePin(f, b.Intersect(f, ClientRig::AudioRange(16000, 16000)));
  ASSERT_NE(p, 0u);
  auto *stream = static_cast<CAudioStream *>(b.dev()->audioStreams[9]);
  PKSPIN pin = stream->pin;
  EXPECT_EQ(stream->sampleRate, 16000u);
  KsPinAcquireControl(pin);  // as the class driver calls the dispatch
  EXPECT_EQ(AudioPinSetDataFormat(pin, nullptr, nullptr, &kAudioRanges[5].DataRange, nullptr),
            STATUS_SUCCESS);
  KSALLOCATOR_FRAMING_EX framing;
  b.client->GetAllocatorFraming(p, &framing);
  EXPECT_EQ(framing.FramingItem[0].Frames, 5u);
  EXPECT_EQ(AudioPinSetDataFormat(pin, nullptr, nullptr, &kAudioRanges[1].DataRange, nullptr),
            STATUS_NO_MATCH);
  KsPinReleaseControl(pin);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(AudioPinSetDataFormat(pin, nullptr, nullptr, &kAudioRanges[5].DataRange, nullptr),
            STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(AudioPinProcess(pin), STATUS_PENDING);
}

}  // namespace
