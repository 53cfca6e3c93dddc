// The video pin through the client: formats the card cannot capture are refused, pin
// creation programs the channel, framing, one pin per channel, and the state machine.
#include <tuple>

#include "decoder/decoder.h"
#include "support/client_rig.h"
#include "video/stream.h"

namespace {

using sim::Card;
using sim::ks::Handle;
using suite::ClientRig;

uint32_t DmaWord(const ClientRig &b, ULONG c, ULONG offset) {
  return b.card.Peek(DmaBlock(c) + offset);
}

TEST(VideoPin, CreationProgramsTheChannel) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  struct Case {
    ULONG channel;
    bool lines625;
    int range;
    uint32_t geometry;
    uint32_t formatCode;
  };
  // Both nominal intervals keep every frame (333,667 is 29.97 frames per second).
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
    EXPECT_EQ((b.card.Peek(ChannelControlRegister(k.channel)) >> 20) & 7, k.formatCode)
        << k.channel;
    EXPECT_EQ(b.card.Peek(CHANNEL_ROUTING) & (3u << (16 + 2 * k.channel)),
              3u << (16 + 2 * k.channel));
    EXPECT_EQ(b.card.Peek(FrameKeepRegister(k.channel)), 0xBFFFFFFFu) << k.channel;
    EXPECT_NE(d->openPinMask & (1u << k.channel), 0u);
    EXPECT_NE(d->videoStreams[k.channel], nullptr);
    KSALLOCATOR_FRAMING_EX framing;
    ASSERT_EQ(b.client->GetAllocatorFraming(p, &framing), STATUS_SUCCESS);
    ULONG image = ClientRig::Vih(format).bmiHeader.biSizeImage;
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

// The channel's DMA block is written addresses first, in bank order, then the two
// geometry words, each store fenced; then the routing bits by read-modify-write.
TEST(VideoPin, DmaBlockWriteOrder) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle f = b.Open(true, 5);
  std::vector<uint8_t> format = b.VideoFormat(f, 0);
  size_t mark = b.card.trace().size();
  ASSERT_NE(b.CreatePin(f, format), 0u);
  using Kind = sim::CardTraceEntry::Kind;
  std::vector<std::tuple<Kind, uint32_t, uint32_t>> ops;
  const uint32_t block = DmaBlock(5);
  bool inBlock = false;
  for (size_t i = mark; i < b.card.trace().size(); ++i) {
    const sim::CardTraceEntry &e = b.card.trace()[i];
    bool ours = (e.offset >= block && e.offset < block + 0x20) || e.offset == CHANNEL_ROUTING;
    if (e.kind == Kind::Barrier ? !inBlock : !ours) continue;
    if (e.kind != Kind::Read && e.kind != Kind::Write && e.kind != Kind::Barrier) continue;
    inBlock = e.kind != Kind::Barrier || inBlock;
    ops.emplace_back(e.kind, e.kind == Kind::Barrier ? 0 : e.offset,
                     e.kind == Kind::Write ? e.value : 0);
    if (e.kind == Kind::Read && e.offset == CHANNEL_ROUTING && ops.size() > 14) break;
  }
  std::vector<std::tuple<Kind, uint32_t, uint32_t>> expected;
  for (ULONG k = 0; k < 4; ++k) {
    expected.emplace_back(Kind::Write, block + 8 * k, d->videoBufferAddresses[5][k].LowPart);
    expected.emplace_back(Kind::Barrier, 0, 0);
  }
  for (ULONG offset : {0x04u, 0x14u}) {
    expected.emplace_back(Kind::Write, block + offset, 0x3C2D05A0u);
    expected.emplace_back(Kind::Barrier, 0, 0);
  }
  uint32_t routing = 0x144Du | (3u << (16 + 2 * 5));
  expected.emplace_back(Kind::Read, CHANNEL_ROUTING, 0);
  expected.emplace_back(Kind::Write, CHANNEL_ROUTING, routing);
  expected.emplace_back(Kind::Barrier, 0, 0);
  expected.emplace_back(Kind::Read, CHANNEL_ROUTING, 0);
  EXPECT_EQ(ops, expected);
}

TEST(VideoPin, OnePinPerChannelAcrossFilterInstances) {
  ClientRig b;
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

// Formats the card cannot capture are refused with nothing programmed or registered:
// a depth other than the subtype's already when the host sets the format, the rest by
// creation (each of these gets past the format check with a consistent image size).
TEST(VideoPin, RefusesFormatsTheCardCannotCapture) {
  ClientRig b;
  Handle f = b.Open(true, 2);
  std::vector<uint8_t> yuy2 = b.VideoFormat(f, 0);
  std::vector<uint8_t> y41p = b.VideoFormat(f, 2);
  std::vector<uint8_t> rgb = b.VideoFormat(f, 3);
  auto with = [](std::vector<uint8_t> format, auto change) {
    change(ClientRig::Vih(format).bmiHeader, ClientRig::Vih(format));
    return format;
  };
  auto size = [](KS_BITMAPINFOHEADER &h, LONG width, LONG height, ULONG lineBytes) {
    h.biWidth = width;
    h.biHeight = height;
    h.biSizeImage = lineBytes * static_cast<ULONG>(height < 0 ? -height : height);
  };
  const std::pair<std::vector<uint8_t>, NTSTATUS> refused[] = {
      {with(yuy2, [](auto &h, auto &) { h.biBitCount = 12; }), STATUS_UNSUCCESSFUL},
      // Deeper than the subtype, with room for it: only the depth is wrong.
      {with(y41p,
            [&](auto &h, auto &) {
              h.biBitCount = 16;
              size(h, 720, 480, 1440);
            }),
       STATUS_UNSUCCESSFUL},
      {with(rgb,
            [&](auto &h, auto &) {
              h.biBitCount = 24;
              size(h, 720, 480, 2160);
            }),
       STATUS_UNSUCCESSFUL},
      {with(yuy2, [&](auto &h, auto &) { size(h, 0, 480, 0); }), STATUS_INVALID_PARAMETER},
      {with(yuy2, [&](auto &h, auto &) { size(h, 722, 480, 1444); }), STATUS_INVALID_PARAMETER},
      {with(y41p, [&](auto &h, auto &) { size(h, 728, 480, 1092); }), STATUS_INVALID_PARAMETER},
      {with(yuy2, [&](auto &h, auto &) { size(h, 358, 480, 716); }), STATUS_SUCCESS},
      {with(yuy2, [&](auto &h, auto &) { size(h, 359, 480, 720); }), STATUS_INVALID_PARAMETER},
      {with(y41p, [&](auto &h, auto &) { size(h, 708, 480, 1064); }), STATUS_INVALID_PARAMETER},
      {with(yuy2, [&](auto &h, auto &) { size(h, 720, 0, 1440); }), STATUS_INVALID_PARAMETER},
      {with(yuy2, [&](auto &h, auto &) { size(h, 720, 578, 1440); }), STATUS_INVALID_PARAMETER},
      {with(yuy2, [&](auto &h, auto &) { size(h, 720, 479, 1440); }), STATUS_INVALID_PARAMETER},
      {with(yuy2, [](auto &, auto &v) { v.AvgTimePerFrame = 0; }), STATUS_INVALID_PARAMETER},
      {with(yuy2, [](auto &, auto &v) { v.AvgTimePerFrame = -333667; }), STATUS_INVALID_PARAMETER},
  };
  size_t dmaWrites = b.card.CountWrites(DmaGeometryRegister(2, 0));
  size_t geometryWrites = b.card.CountWrites(CaptureGeometryRegister(2));
  for (const auto &[format, status] : refused) {
    if (status == STATUS_SUCCESS) continue;  // the even width beside the odd one below
    Handle p = 0;
    EXPECT_EQ(b.client->CreatePin(f, 0, format, &p), status)
        << ClientRig::Vih(const_cast<std::vector<uint8_t> &>(format)).bmiHeader.biWidth;
  }
  EXPECT_EQ(b.card.CountWrites(DmaGeometryRegister(2, 0)), dmaWrites);
  EXPECT_EQ(b.card.CountWrites(CaptureGeometryRegister(2)), geometryWrites);
  EXPECT_EQ(b.dev()->openPinMask, 0u);
  EXPECT_EQ(b.dev()->videoStreams[2], nullptr);
  // Creation holds the same depth rule on its own, and takes only what the card packs.
  std::vector<uint8_t> deep = refused[0].first;
  auto *format = reinterpret_cast<KSDATAFORMAT *>(deep.data());
  EXPECT_EQ(CheckCapturableFormat(b.dev(), 2, format, &ClientRig::Vih(deep)),
            STATUS_INVALID_PARAMETER);
  ClientRig::Vih(deep).bmiHeader.biBitCount = 16;
  EXPECT_EQ(CheckCapturableFormat(b.dev(), 2, format, &ClientRig::Vih(deep)), STATUS_SUCCESS);
  format->SubFormat = KSDATAFORMAT_SUBTYPE_RGB555;
  EXPECT_EQ(CheckCapturableFormat(b.dev(), 2, format, &ClientRig::Vih(deep)),
            STATUS_INVALID_PARAMETER);
  // What the card can do still works: 352 x 240 is one field of 240 lines of 704 bytes, and
  // an odd height is fine in one field.
  ASSERT_NE(b.CreatePin(f, with(yuy2, [&](auto &h, auto &) { size(h, 352, 240, 704); })), 0u);
  EXPECT_EQ(DmaWord(b, 2, 0x04), (240u << 22) | (704u << 11) | 704u);
  EXPECT_EQ(static_cast<CVideoStream *>(b.dev()->videoStreams[2])->fieldsPerFrame, 1u);
  Handle f3 = b.Open(true, 3);
  ASSERT_NE(b.CreatePin(f3, with(yuy2, [&](auto &h, auto &) { size(h, 720, 239, 1440); })), 0u);
  EXPECT_EQ(DmaWord(b, 3, 0x04), (239u << 22) | (1440u << 11) | 1440u);
  Handle f4 = b.Open(true, 4);
  ASSERT_NE(b.CreatePin(f4, refused[6].first), 0u) << "358 is a whole number of pixel pairs";
  EXPECT_TRUE(b.ok());
}

TEST(VideoPin, ALargeBitmapHeaderIsTruncatedInTheSnapshot) {
  ClientRig b;
  Handle f = b.Open(true, 1);
  std::vector<uint8_t> format = b.VideoFormat(f, 0);
  format.resize(format.size() + 64, 0xEE);  // a bitmap header with a colour table behind it
  ClientRig::Vih(format).bmiHeader.biSize = 40 + 64;
  reinterpret_cast<KSDATAFORMAT *>(format.data())->FormatSize = static_cast<ULONG>(format.size());
  ASSERT_NE(b.CreatePin(f, format), 0u);
  auto *stream = static_cast<CVideoStream *>(b.dev()->videoStreams[1]);
  EXPECT_EQ(stream->formatSnapshot->bmiHeader.biSize, 40u);
  EXPECT_EQ(stream->formatSnapshot->bmiHeader.biWidth, 720);
  EXPECT_TRUE(b.ok());
}

TEST(VideoPin, SetDataFormatRules) {
  ClientRig b;
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
  ClientRig &b;
  bool video;
  ULONG channel;
  LONGLONG lastStop = 0;
  size_t stops = 0, videoStarts = 0;
  size_t starts() const { return video ? videoStarts : b.card.CountReads(CARD_SETUP_2C); }
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
    ClientRig b;
    ULONG bit = video ? 1u << 4 : 1u << 12;
    Handle f = b.Open(video, 4);
    std::vector<uint8_t> format =
        video ? b.VideoFormat(f, 0) : b.Intersect(f, ClientRig::AudioRange(8000, 8000));
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
      EXPECT_EQ(snapshot.bmiHeader.biSizeImage, ClientRig::Vih(format).bmiHeader.biSizeImage);
      EXPECT_EQ(snapshot.dwBitErrorRate, ClientRig::Vih(format).dwBitErrorRate);
    }

    // Powered down: the pin runs, its channel's start waits for D0 (the platform may run
    // the pins before the card is back) and is made then.
    ASSERT_EQ(b.client->SetState(p, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
    size_t asleep = n.starts();
    EXPECT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
    KSSTATE state;
    ASSERT_EQ(b.client->GetState(p, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    EXPECT_NE(b.dev()->deferredStartMask & bit, 0u);
    EXPECT_EQ(b.dev()->runningMask & bit, 0u);
    EXPECT_EQ(n.starts(), asleep) << "nothing starts in D3";
    ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(b.dev()->deferredStartMask, 0u);
    EXPECT_NE(b.dev()->runningMask & bit, 0u) << "the deferred start is made at D0";
    ASSERT_EQ(b.client->SetState(p, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(b.client->Close(p), STATUS_SUCCESS);
    EXPECT_TRUE(b.ok());
  }
}

}  // namespace
