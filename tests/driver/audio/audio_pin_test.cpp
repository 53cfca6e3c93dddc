// The audio pin through the client: intersection, creation programming the channel,
// framing, one pin per channel and the close that leaves no dangling stream.
#include "driver/client_bench.h"

namespace {

using bench::ClientBench;
using sim::Card;
using sim::ks::Handle;

WAVEFORMATEX Wave(const std::vector<uint8_t> &format) {
  WAVEFORMATEX w;
  std::memcpy(&w, format.data() + sizeof(KSDATAFORMAT), sizeof(w));
  return w;
}

TEST(AudioIntersection, ThroughTheHostInListOrder) {
  ClientBench b;
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

  EXPECT_EQ(Wave(b.Intersect(f, ClientBench::AudioRange(44100, 44100, 2, 8, 16))).nSamplesPerSec,
            44100u);
  EXPECT_EQ(Wave(b.Intersect(f, ClientBench::AudioRange(44100, 44100, 2, 8, 16))).nAvgBytesPerSec,
            88200u);
  EXPECT_EQ(Wave(b.Intersect(f, ClientBench::AudioRange(32000, 96000))).nSamplesPerSec, 48000u);

  std::vector<uint8_t> shortRange = ClientBench::AudioRange(8000, 48000);
  shortRange.resize(64);
  reinterpret_cast<KSDATARANGE *>(shortRange.data())->FormatSize = 64;
  std::vector<uint8_t> none;
  EXPECT_EQ(b.client->DataIntersection(f, 0, {shortRange}, &none), STATUS_NO_MATCH);
  EXPECT_EQ(b.client->DataIntersection(f, 0, {ClientBench::AudioRange(96000, 192000)}, &none),
            STATUS_NO_MATCH);
  ULONG size = 0;
  EXPECT_EQ(b.client->DataIntersectionSize(f, 0, {wildcard}, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 82u);
}

TEST(AudioPin, CreationProgramsBlocksClockAndLength) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    ClientBench b(v);
    CCaptureDevice *d = b.dev();
    b.card.Poke(0xB0, 0x0007FFFF);  // bits 10..0 must survive, 18..11 are cleared
    Handle f = b.Open(false, 5);
    Handle p = b.CreatePin(f, b.Intersect(f, ClientBench::AudioRange(48000, 48000)));
    ASSERT_NE(p, 0u);
    EXPECT_EQ(b.card.Peek(0xB4), 0x0A2C2AAAu);
    EXPECT_EQ(b.card.Peek(0xB0), 0x800007FFu);
    EXPECT_EQ(b.card.Peek(0x60 + 8 * 5), d->audioBufferAddresses[10].LowPart);
    EXPECT_EQ(b.card.Peek(0x64 + 8 * 5), d->audioBufferAddresses[11].LowPart);
    EXPECT_EQ(b.card.CountWrites(0xB44), v == Card::Variant::Standard ? 1u : 0u);
    if (v == Card::Variant::Standard) {
      EXPECT_EQ(b.card.Peek(0xB44), 0x20u);
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
    ASSERT_NE(b.CreatePin(f0, b.Intersect(f0, ClientBench::AudioRange(8000, 8000))), 0u);
    EXPECT_EQ(b.card.Peek(0x740), 0x20u);
    EXPECT_EQ(b.card.Peek(0xB4), 0x3D090000u) << "one sample clock for all channels";
  }
}

TEST(AudioPin, OnePerChannelAndCloseLeavesNoDanglingStream) {
  ClientBench b;
  CCaptureDevice *d = b.dev();
  Handle f1 = b.Open(false, 3), f2 = b.Open(false, 3);
  std::vector<uint8_t> format = b.Intersect(f1, ClientBench::AudioRange(44100, 44100));
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
  ClientBench b;
  Handle f = b.Open(false, 1);
  Handle p = b.CreatePin(f, b.Intersect(f, ClientBench::AudioRange(16000, 16000)));
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
