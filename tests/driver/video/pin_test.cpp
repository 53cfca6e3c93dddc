// The video pin through the client: formats the card cannot capture are refused, pin
// creation programs the channel, framing, one pin per channel, and the state machine.
#include "decoder/decoder.h"
#include "driver/client_bench.h"
#include "video/stream.h"

namespace {

using bench::ClientBench;
using sim::Card;
using sim::ks::Handle;

uint32_t DmaWord(const ClientBench &b, ULONG c, ULONG offset) {
  return b.card.Peek(0x200 + 0x20 * c + offset);
}

TEST(VideoPin, CreationProgramsTheChannel) {
  ClientBench b;
  CCaptureDevice *d = b.dev();
  struct Case {
    ULONG channel;
    bool lines625;
    int range;
    uint32_t geometry;
    uint32_t formatCode;
  };
  // The 525-line ranges' 333,667 interval is 29 frames per second by the keep table.
  const Case cases[] = {{1, false, 0, 0x3C2D05A0, 6}, {2, false, 1, 0x3C2D05A0, 0},
                        {3, false, 3, 0x3C2D05A0, 5}, {4, false, 2, 0x3C21C438, 3},
                        {5, true, 0, 0x482D05A0, 6},  {6, true, 1, 0x482D05A0, 0},
                        {7, true, 2, 0x4821C438, 3}};
  for (const Case &k : cases) {
    b.card.SetInputSignal(k.channel, {true, k.lines625});
    Handle f = b.Open(true, k.channel);
    std::vector<uint8_t> format = b.VideoFormat(f, k.range);
    Handle p = b.CreatePin(f, format);
    ASSERT_NE(p, 0u) << k.channel;
    EXPECT_EQ(DmaWord(b, k.channel, 0x04), k.geometry) << k.channel;
    EXPECT_EQ(DmaWord(b, k.channel, 0x14), k.geometry) << k.channel;
    for (ULONG i = 0; i < 4; ++i)
      EXPECT_EQ(DmaWord(b, k.channel, 8 * i), d->videoBufferAddresses[k.channel][i].LowPart);
    EXPECT_EQ((b.card.Peek(0x40 + 4 * k.channel) >> 20) & 7, k.formatCode) << k.channel;
    EXPECT_EQ(b.card.Peek(CHANNEL_ROUTING) & (3u << (16 + 2 * k.channel)),
              3u << (16 + 2 * k.channel));
    EXPECT_EQ(b.card.Peek(0xE4 + 4 * k.channel), k.lines625 ? 0xBFFFFFFFu : 0x8FFFFFFFu)
        << k.channel;
    EXPECT_NE(d->openPinMask & (1u << k.channel), 0u);
    EXPECT_NE(d->videoStreams[k.channel], nullptr);
    KSALLOCATOR_FRAMING_EX framing;
    ASSERT_EQ(b.client->GetAllocatorFraming(p, &framing), STATUS_SUCCESS);
    ULONG image = ClientBench::Vih(format).bmiHeader.biSizeImage;
    EXPECT_EQ(framing.FramingItem[0].Frames, 2u);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MinFrameSize, image);
    EXPECT_EQ(framing.FramingItem[0].FramingRange.Range.MaxFrameSize, image);
    EXPECT_EQ(framing.FramingItem[0].PhysicalRange.Stepping, 0u);
  }
  EXPECT_EQ(kVideoPinDescriptors[0].AllocatorFraming->FramingItem[0].Frames, 2u);
  EXPECT_EQ(
      kVideoPinDescriptors[0].AllocatorFraming->FramingItem[0].FramingRange.Range.MaxFrameSize,
      8192u)
      << "the shared descriptor stays as published";
  EXPECT_EQ(b.m.connectedInterrupts(), 1u);
}

TEST(VideoPin, OnePinPerChannelAcrossFilterInstances) {
  ClientBench b;
  Handle f1 = b.Open(true, 3), f2 = b.Open(true, 3);
  std::vector<uint8_t> format = b.VideoFormat(f1, 0);
  Handle p1 = b.CreatePin(f1, format);
  ASSERT_NE(p1, 0u);
  b.CreatePin(f2, format, STATUS_INSUFFICIENT_RESOURCES);
  ASSERT_EQ(b.client->Close(p1), STATUS_SUCCESS);
  EXPECT_EQ(b.dev()->videoStreams[3], nullptr);
  EXPECT_EQ(b.dev()->openPinMask & (1u << 3), 0u);
  EXPECT_NE(b.CreatePin(f2, format), 0u);
}

// Formats the card cannot capture are refused with nothing programmed or registered.
TEST(VideoPin, RefusesFormatsTheCardCannotCapture) {
  ClientBench b;
  Handle f = b.Open(true, 2);
  std::vector<uint8_t> yuy2 = b.VideoFormat(f, 0);
  std::vector<uint8_t> y41p = b.VideoFormat(f, 2);
  auto with = [](std::vector<uint8_t> format, auto change) {
    change(ClientBench::Vih(format));
    return format;
  };
  const std::vector<std::vector<uint8_t>> refused = {
      with(yuy2, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biWidth = 0; }),
      with(yuy2, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biWidth = 722; }),
      with(yuy2, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biWidth = 359; }),
      with(y41p, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biWidth = 708; }),
      with(yuy2, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biBitCount = 32; }),
      with(yuy2, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biHeight = 0; }),
      with(yuy2,
           [](KS_VIDEOINFOHEADER &v) {
             v.bmiHeader.biHeight = 578;  // 289 lines per field
             v.bmiHeader.biSizeImage = 1440 * 578;
           }),
      with(yuy2, [](KS_VIDEOINFOHEADER &v) { v.AvgTimePerFrame = 0; }),
      with(yuy2, [](KS_VIDEOINFOHEADER &v) { v.AvgTimePerFrame = -333667; }),
  };
  size_t dmaWrites = b.card.CountWrites(0x200 + 0x20 * 2 + 4);
  size_t geometryWrites = b.card.CountWrites(0x128 + 4 * 2);
  for (const auto &format : refused) {
    Handle p = 0;
    EXPECT_LT(b.client->CreatePin(f, 0, format, &p), 0);
  }
  EXPECT_EQ(b.card.CountWrites(0x200 + 0x20 * 2 + 4), dmaWrites);
  EXPECT_EQ(b.card.CountWrites(0x128 + 4 * 2), geometryWrites);
  EXPECT_EQ(b.dev()->openPinMask, 0u);
  EXPECT_EQ(b.dev()->videoStreams[2], nullptr);
  // What the card can do still works: 352 x 240 is one field of 240 lines of 704 bytes.
  std::vector<uint8_t> cif = with(yuy2, [](KS_VIDEOINFOHEADER &v) {
    v.bmiHeader.biWidth = 352;
    v.bmiHeader.biHeight = 240;
    v.bmiHeader.biSizeImage = 704 * 240;
  });
  ASSERT_NE(b.CreatePin(f, cif), 0u);
  EXPECT_EQ(DmaWord(b, 2, 0x04), (240u << 22) | (704u << 11) | 704u);
  EXPECT_EQ(static_cast<CVideoStream *>(b.dev()->videoStreams[2])->fieldsPerFrame, 1u);
}

TEST(VideoPin, ALargeBitmapHeaderIsTruncatedInTheSnapshot) {
  ClientBench b;
  Handle f = b.Open(true, 1);
  std::vector<uint8_t> format = b.VideoFormat(f, 0);
  format.resize(format.size() + 64, 0xEE);  // a bitmap header with a colour table behind it
  ClientBench::Vih(format).bmiHeader.biSize = 40 + 64;
  reinterpret_cast<KSDATAFORMAT *>(format.data())->FormatSize = static_cast<ULONG>(format.size());
  ASSERT_NE(b.CreatePin(f, format), 0u);
  auto *stream = static_cast<CVideoStream *>(b.dev()->videoStreams[1]);
  EXPECT_EQ(stream->formatSnapshot->bmiHeader.biSize, 40u);
  EXPECT_EQ(stream->formatSnapshot->bmiHeader.biWidth, 720);
  EXPECT_TRUE(b.ok());
}

TEST(VideoPin, SetDataFormatRules) {
  ClientBench b;
  Handle f = b.Open(true, 0);
  std::vector<uint8_t> format = b.VideoFormat(f, 0);
  Handle p = b.CreatePin(f, format);
  ASSERT_NE(p, 0u);
  PKSPIN pin = static_cast<CVideoStream *>(b.dev()->videoStreams[0])->pin;
  // Rectangles are cleared; an image smaller than its size is refused.
  EXPECT_EQ(VideoPinSetDataFormat(pin, nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
  auto *vih = reinterpret_cast<PKS_VIDEOINFOHEADER>(pin->ConnectionFormat + 1);
  EXPECT_EQ(vih->rcSource.right, 0);
  vih->bmiHeader.biSizeImage = 1000;
  EXPECT_EQ(VideoPinSetDataFormat(pin, nullptr, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
  vih->bmiHeader.biSizeImage = 691200;
  vih->bmiHeader.biSize = 0xFFFFFFF0;
  EXPECT_EQ(VideoPinSetDataFormat(pin, nullptr, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
  vih->bmiHeader.biSize = 40;
  vih->bmiHeader.biWidth = 0x10000;
  vih->bmiHeader.biHeight = 0x10000;
  EXPECT_EQ(VideoPinSetDataFormat(pin, nullptr, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL)
      << "the area overflows 32 bits";
  vih->bmiHeader.biWidth = 720;
  vih->bmiHeader.biHeight = 480;
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  vih->rcSource.right = 720;
  EXPECT_EQ(VideoPinSetDataFormat(pin, nullptr, nullptr, nullptr, nullptr),
            STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(vih->rcSource.right, 720) << "nothing changes outside STOP";
}

// Channel starts and stops as the stream objects make them: a video start refills the pin's
// format snapshot (marked here after every step, so that a refill shows), an audio start
// reads 0x2C, every stop stamps lastErrorTime.
struct Counter {
  static constexpr DWORD kMark = 0x5EE17u;
  ClientBench &b;
  bool video;
  ULONG channel;
  LONGLONG lastStop = 0;
  size_t stops = 0, videoStarts = 0;
  size_t starts() const { return video ? videoStarts : b.card.CountReads(0x2C); }
  void Step() {
    if (b.dev()->lastErrorTime != lastStop) {
      lastStop = b.dev()->lastErrorTime;
      ++stops;
    }
    auto *stream = static_cast<CVideoStream *>(b.dev()->videoStreams[channel]);
    if (video && stream != nullptr && stream->formatSnapshot != nullptr) {
      if (stream->formatSnapshot->dwBitErrorRate != kMark) ++videoStarts;
      stream->formatSnapshot->dwBitErrorRate = kMark;
    }
  }
};

TEST(StreamStates, RunPauseAcquireWalksStartAndStopTheChannel) {
  for (bool video : {true, false}) {
    ClientBench b;
    ULONG bit = video ? 1u << 4 : 1u << 12;
    Handle f = b.Open(video, 4);
    std::vector<uint8_t> format =
        video ? b.VideoFormat(f, 0) : b.Intersect(f, ClientBench::AudioRange(8000, 8000));
    Handle p = b.CreatePin(f, format);
    // With a clock: every reference taken at ACQUIRE must be released by STOP, or the host
    // stops when the pin goes away.
    ASSERT_EQ(b.client->SetMasterClock(p, true), STATUS_SUCCESS);
    Counter n{b, video, 4, b.dev()->lastErrorTime};
    n.Step();
    size_t startsBefore = n.starts();
    ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
    n.Step();
    EXPECT_NE(b.dev()->runningMask & bit, 0u);
    ASSERT_EQ(b.client->SetState(p, KSSTATE_PAUSE), STATUS_SUCCESS);
    n.Step();
    EXPECT_NE(b.dev()->runningMask & bit, 0u) << "the card keeps capturing while paused";
    ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
    n.Step();
    EXPECT_EQ(n.starts() - startsBefore, 1u) << "resuming a pause does not restart";
    EXPECT_EQ(n.stops, 0u);
    ASSERT_EQ(b.client->SetState(p, KSSTATE_ACQUIRE), STATUS_SUCCESS);
    n.Step();
    EXPECT_EQ(n.stops, 1u);
    EXPECT_EQ(b.dev()->runningMask & bit, 0u);
    ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
    n.Step();
    EXPECT_EQ(n.starts() - startsBefore, 2u);
    EXPECT_EQ(n.stops, 1u);
    if (video) {
      // However often a pin restarts, it keeps one format snapshot until it closes.
      for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(b.client->SetState(p, KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
      }
      EXPECT_EQ(b.m.pool().liveCount(kTagSnapshot), 1u);
      const KS_VIDEOINFOHEADER &snapshot =
          *static_cast<CVideoStream *>(b.dev()->videoStreams[4])->formatSnapshot;
      EXPECT_EQ(snapshot.bmiHeader.biSizeImage, ClientBench::Vih(format).bmiHeader.biSizeImage);
      EXPECT_EQ(snapshot.dwBitErrorRate, ClientBench::Vih(format).dwBitErrorRate);
    }

    // Powered down: the start is refused and the state stays where it was.
    ASSERT_EQ(b.client->SetState(p, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_DEVICE_POWERED_OFF);
    KSSTATE state;
    ASSERT_EQ(b.client->GetState(p, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_PAUSE);
    EXPECT_NE(b.dev()->deferredStartMask & bit, 0u);
    ASSERT_EQ(b.client->Close(p), STATUS_SUCCESS);
    EXPECT_TRUE(b.ok());
  }
}

}  // namespace
