// Frame delivery end to end: the card captures its input field by field, the driver
// weaves or doubles the fields into the client's frames, and the bytes and headers that
// arrive are checked against an independent rendering of the input.
#include <algorithm>
#include <cstring>
#include <optional>

#include "support/client_rig.h"
#include "sim/card/source.h"

namespace {

using sim::Card;
using sim::PatternSource;
using sim::PixelFormat;
using sim::Yuv;
using sim::ks::Frame;
using sim::ks::Handle;
using suite::ClientRig;

constexpr sim::Nanos kSecond = sim::kSecond;

// The card's pixel layouts, packed here independently of the card's own code.
void PackExpected(PixelFormat format, unsigned channel, uint64_t frame, bool fieldB,
                  unsigned fieldLine, bool lines625, unsigned width, std::vector<uint8_t> *out) {
  auto p = [&](unsigned x) {
    return PatternSource::Pixel(channel, frame, fieldB, x * 720 / width, fieldLine, lines625);
  };
  out->clear();
  switch (format) {
    case PixelFormat::Yuy2:
    case PixelFormat::Uyvy:
      for (unsigned x = 0; x < width; x += 2) {
        Yuv a = p(x), b = p(x + 1);
        if (format == PixelFormat::Yuy2)
          out->insert(out->end(), {a.y, a.u, b.y, a.v});
        else
          out->insert(out->end(), {a.u, a.y, a.v, b.y});
      }
      break;
    case PixelFormat::Y41p:
      for (unsigned x = 0; x < width; x += 8) {
        Yuv q[8];
        for (unsigned i = 0; i < 8; ++i) q[i] = p(x + i);
        out->insert(out->end(), {q[0].u, q[0].y, q[0].v, q[1].y, q[4].u, q[2].y, q[4].v, q[3].y,
                                 q[4].y, q[5].y, q[6].y, q[7].y});
      }
      break;
    case PixelFormat::Rgb565:
      for (unsigned x = 0; x < width; ++x) {
        Yuv s = p(x);
        auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
        int c = s.y - 16, d = s.u - 128, e = s.v - 128;
        int r = clamp((298 * c + 409 * e + 128) >> 8);
        int g = clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
        int bl = clamp((298 * c + 516 * d + 128) >> 8);
        uint16_t v = static_cast<uint16_t>((r >> 3) << 11 | (g >> 2) << 5 | bl >> 3);
        out->insert(out->end(), {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>(v >> 8)});
      }
      break;
  }
}

PixelFormat FormatOf(const GUID &subtype) {
  if (subtype == KSDATAFORMAT_SUBTYPE_UYVY) return PixelFormat::Uyvy;
  if (subtype == KSDATAFORMAT_SUBTYPE_Y41P) return PixelFormat::Y41p;
  if (subtype == KSDATAFORMAT_SUBTYPE_RGB565) return PixelFormat::Rgb565;
  return PixelFormat::Yuy2;
}

// One channel's video pin with frames kept queued by the test.
struct Stream {
  ClientRig &b;
  ULONG channel;
  bool lines625;
  std::vector<uint8_t> format;
  Handle pin = 0;

  Stream(ClientRig &rig, ULONG c, bool l625, int range,
         void (*edit)(KS_VIDEOINFOHEADER &) = nullptr)
      : b(rig), channel(c), lines625(l625) {
    b.card.SetInputSignal(c, {true, l625});
    Handle f = b.Open(true, c);
    format = b.VideoFormat(f, range);
    if (edit != nullptr) edit(ClientRig::Vih(format));
    pin = b.CreatePin(f, format);
  }
  const KS_BITMAPINFOHEADER &bmi() { return ClientRig::Vih(format).bmiHeader; }
  ULONG image() { return bmi().biSizeImage; }
  NTSTATUS Queue(ULONG bytes = 0, ULONG optionsFlags = 0, uint8_t fill = 0) {
    sim::ks::FrameRequest r;
    r.bufferSize = bytes ? bytes : image();
    r.extendedHeader = sim::ks::FrameInfoHeader();
    r.optionsFlags = optionsFlags;
    r.storage.assign(r.bufferSize, fill);
    return b.client->QueueFrame(pin, std::move(r));
  }
  Frame Next() {
    Frame f;
    EXPECT_EQ(b.client->WaitForFrame(pin, kSecond, &f), STATUS_SUCCESS);
    return f;
  }
  static KS_FRAME_INFO Info(const Frame &f) {
    KS_FRAME_INFO info{};
    EXPECT_TRUE(f.Extended(&info));
    return info;
  }
  // Output line `line` of a frame, as it sits in the buffer (upright or bottom-up).
  const uint8_t *Line(const Frame &f, unsigned line) {
    unsigned lines = static_cast<unsigned>(bmi().biHeight < 0 ? -bmi().biHeight : bmi().biHeight);
    unsigned pitch = static_cast<unsigned>(f.data.size() / lines);
    bool bottomUp =
        FormatOf(format.size() ? reinterpret_cast<KSDATAFORMAT *>(format.data())->SubFormat
                               : KSDATAFORMAT_SUBTYPE_YUY2) == PixelFormat::Rgb565 &&
        bmi().biHeight > 0;
    return f.data.data() + size_t{bottomUp ? lines - 1 - line : line} * pitch;
  }
  std::optional<PatternSource::Counter> Counter(const Frame &f, unsigned line) {
    return PatternSource::DecodeCounter(
        FormatOf(reinterpret_cast<KSDATAFORMAT *>(format.data())->SubFormat), Line(f, line),
        static_cast<unsigned>(bmi().biWidth));
  }
};

// Every format on both standards: a woven frame, line for line the input's two fields of
// one frame, with the headers a capture pin with a clock gets.
TEST(VideoDelivery, WovenFramesInEveryFormatOnBothStandards) {
  for (bool lines625 : {false, true}) {
    for (int range = 0; range < 4; ++range) {
      ClientRig b(Card::Variant::Standard);
      Stream s(b, 3, lines625, range);
      ASSERT_NE(s.pin, 0u);
      PixelFormat pf = FormatOf(reinterpret_cast<KSDATAFORMAT *>(s.format.data())->SubFormat);
      ASSERT_EQ(b.client->SetMasterClock(s.pin, true), STATUS_SUCCESS);
      ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
      s.Queue(0, KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY);
      s.Queue();
      Frame f = s.Next();
      ASSERT_EQ(f.status, STATUS_SUCCESS);
      SCOPED_TRACE(std::string(lines625 ? "625 " : "525 ") + sim::PixelFormatName(pf));
      EXPECT_EQ(f.header.DataUsed, s.image());
      EXPECT_EQ(f.header.Duration, lines625 ? 400000 : 333667);
      EXPECT_EQ(f.header.OptionsFlags, 0x110u) << "exactly, whatever the client queued";
      // Stamped from the clock when the completing field was processed.
      EXPECT_LE(f.header.PresentationTime.Time, b.m.now() / 100);
      EXPECT_GE(f.header.PresentationTime.Time, b.m.now() / 100 - 100);
      KS_FRAME_INFO info = Stream::Info(f);
      EXPECT_EQ(info.PictureNumber, 1);
      EXPECT_EQ(info.DropCount, 0);
      EXPECT_EQ(s.bmi().biHeight, lines625 ? 576 : 480)
          << "every published range intersects upright";

      auto top = s.Counter(f, 0), second = s.Counter(f, 1);
      ASSERT_TRUE(top && second);
      EXPECT_FALSE(top->fieldB);
      EXPECT_TRUE(second->fieldB);
      EXPECT_EQ(top->frame, second->frame);
      EXPECT_EQ(top->channel, 3u);
      unsigned lines = lines625 ? 576 : 480;
      size_t lineBytes = sim::PackedLineBytes(pf, 720);
      std::vector<uint8_t> expected;
      for (unsigned line = 0; line < lines; ++line) {
        PackExpected(pf, 3, top->frame, line % 2 == 1, line / 2, lines625, 720, &expected);
        ASSERT_EQ(expected.size(), lineBytes);
        ASSERT_EQ(std::memcmp(s.Line(f, line), expected.data(), lineBytes), 0) << "line " << line;
      }
      // The next frame is the next input frame: nothing dropped while buffers wait.
      Frame g = s.Next();
      EXPECT_EQ(Stream::Info(g).PictureNumber, 2);
      EXPECT_EQ(s.Counter(g, 0)->frame, top->frame + 1);
      EXPECT_TRUE(b.ok());
    }
  }
}

// "INTMODE%d" 2 builds frames from field B alone, each line twice; any other value weaves.
TEST(VideoDelivery, LinearModeDoublesFieldBLines) {
  ClientRig b(Card::Variant::Standard, false);
  b.m.registry().SetDword(b.SettingsKey(), "INTMODE2", 2);
  b.m.registry().SetDword(b.SettingsKey(), "INTMODE3", 1);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  Stream woven(b, 3, false, 0);
  ASSERT_EQ(b.dev()->intmode[3], 1u);
  ASSERT_EQ(b.client->SetState(woven.pin, KSSTATE_RUN), STATUS_SUCCESS);
  woven.Queue();
  Frame w = woven.Next();
  ASSERT_TRUE(woven.Counter(w, 0) && woven.Counter(w, 1));
  EXPECT_FALSE(woven.Counter(w, 0)->fieldB);
  EXPECT_TRUE(woven.Counter(w, 1)->fieldB);

  Stream s(b, 2, false, 0);
  ASSERT_EQ(b.dev()->intmode[2], 2u);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.Queue();
  Frame f = s.Next();
  auto c = s.Counter(f, 0);
  ASSERT_TRUE(c.has_value());
  EXPECT_TRUE(c->fieldB) << "field A is only counted";
  for (unsigned line = 0; line < 480; line += 2)
    ASSERT_EQ(std::memcmp(s.Line(f, line), s.Line(f, line + 1), 1440), 0) << line;
  std::vector<uint8_t> expected;
  PackExpected(PixelFormat::Yuy2, 2, c->frame, true, 100, false, 720, &expected);
  EXPECT_EQ(std::memcmp(s.Line(f, 200), expected.data(), 1440), 0);
}

TEST(VideoDelivery, SingleFieldFormatsTakeFieldBOnly) {
  ClientRig b;
  Stream s(b, 1, false, 0, [](KS_VIDEOINFOHEADER &v) {
    v.bmiHeader.biWidth = 352;
    v.bmiHeader.biHeight = 240;
    v.bmiHeader.biSizeImage = 704 * 240;
    v.AvgTimePerFrame = 333333;  // 30 fps keeps every frame
  });
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 4; ++i) s.Queue();
  std::optional<uint32_t> last;
  for (int i = 0; i < 4; ++i) {
    Frame f = s.Next();
    EXPECT_EQ(f.header.DataUsed, 704u * 240u);
    auto top = s.Counter(f, 0);
    ASSERT_TRUE(top.has_value());
    EXPECT_TRUE(top->fieldB);
    auto next = s.Counter(f, 1);
    ASSERT_TRUE(next.has_value());
    EXPECT_TRUE(next->fieldB) << "consecutive lines of one field";
    if (last) {
      EXPECT_EQ(top->frame, *last + 1) << "each field B completes a frame";
    }
    last = top->frame;
  }
}

TEST(VideoDelivery, AFrameTakenAtFieldBWaitsForTheNextFrame) {
  ClientRig b;
  Stream s(b, 0, false, 0);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  // No buffer for the card's first frame; one arrives right after its field B.
  bool queued = false;
  b.card.SetCompletionObserver([&](const Card::Completion &c) {
    if (!queued && c.channelBit == 0 && c.fieldB) {
      queued = true;
      b.m.QueuePassiveWork([&] { s.Queue(); });
    }
  });
  Frame f = s.Next();
  auto top = s.Counter(f, 0), second = s.Counter(f, 1);
  ASSERT_TRUE(top && second);
  EXPECT_FALSE(top->fieldB);
  EXPECT_EQ(top->frame, second->frame) << "fields of one frame, not the B the frame was taken at";
  KS_FRAME_INFO info = Stream::Info(f);
  EXPECT_EQ(info.PictureNumber, 2) << "the card's first frame reached no client frame";
  EXPECT_EQ(info.DropCount, 1);
}

TEST(VideoDelivery, StarvationAndRecoveryCountEveryFrame) {
  ClientRig b;
  Stream s(b, 4, true, 1);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.Queue();
  s.Queue();
  Frame first = s.Next(), second = s.Next();
  EXPECT_EQ(Stream::Info(first).PictureNumber, 1);
  EXPECT_EQ(Stream::Info(second).PictureNumber, 2);
  uint32_t startFrame = s.Counter(first, 0)->frame;
  b.m.RunFor(10 * 40 * sim::kMillisecond + 5 * sim::kMillisecond);  // about ten frames, no buffers
  s.Queue();
  Frame after = s.Next();
  KS_FRAME_INFO info = Stream::Info(after);
  uint32_t frame = s.Counter(after, 0)->frame;
  EXPECT_EQ(info.PictureNumber, static_cast<LONGLONG>(frame - startFrame + 1))
      << "every frame the card completed since the start";
  EXPECT_EQ(info.DropCount, info.PictureNumber - 3) << "all but the three delivered";
  EXPECT_GE(info.DropCount, 10);
}

// Input frame numbers of `count` frames in a row, buffers always queued.
std::vector<uint32_t> Frames(Stream &s, int count) {
  EXPECT_EQ(s.b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 4; ++i) s.Queue();
  std::vector<uint32_t> frames;
  for (int i = 0; i < count; ++i) {
    Frame f = s.Next();
    frames.push_back(s.Counter(f, 0)->frame);
    EXPECT_EQ(Stream::Info(f).DropCount, 0) << "skipped by the card is not dropped";
    s.Queue();
  }
  EXPECT_EQ(s.b.client->SetState(s.pin, KSSTATE_STOP), STATUS_SUCCESS);
  return frames;
}

TEST(VideoDelivery, TheNominalRateKeepsEveryFrameAndSlowerRatesKeepSome) {
  ClientRig b;
  Stream nominal(b, 5, false, 0);  // 333,667: 29.97 frames per second
  Stream half(b, 6, false, 0, [](KS_VIDEOINFOHEADER &v) { v.AvgTimePerFrame = 666667; });
  Stream slowest(b, 7, false, 0, [](KS_VIDEOINFOHEADER &v) { v.AvgTimePerFrame = 10010010; });
  std::vector<uint32_t> all = Frames(nominal, 30);
  for (size_t i = 1; i < all.size(); ++i) EXPECT_EQ(all[i], all[i - 1] + 1) << i;
  // 15 frames per second: 7 of every 15 input frames.
  std::vector<uint32_t> seven = Frames(half, 15);
  EXPECT_EQ(seven[7] - seven[0], 15u);
  EXPECT_EQ(seven[14] - seven[7], 15u);
  // Under one frame per second: one frame of every 15, never none.
  std::vector<uint32_t> one = Frames(slowest, 3);
  EXPECT_EQ(one[1] - one[0], 15u);
  EXPECT_EQ(one[2] - one[1], 15u);
}

TEST(VideoDelivery, AChannelErrorStopsFramesUntilTheWatchdogResumesThem) {
  ClientRig b;
  Stream s(b, 6, true, 0);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 4; ++i) s.Queue();
  // Frames and their arrival times from before the error to well after it.
  std::vector<std::pair<sim::Nanos, uint32_t>> arrivals;
  Frame first = s.Next();
  arrivals.emplace_back(b.m.now(), s.Counter(first, 0)->frame);
  b.card.ScheduleChannelError(b.m.now() + 5 * sim::kMillisecond, 6);
  while (arrivals.size() < 6) {
    Frame f = s.Next();
    arrivals.emplace_back(b.m.now(), s.Counter(f, 0)->frame);
    s.Queue();
  }
  sim::Nanos longest = 0;
  uint32_t skipped = 0;
  for (size_t i = 1; i < arrivals.size(); ++i) {
    sim::Nanos gap = arrivals[i].first - arrivals[i - 1].first;
    if (gap > longest) {
      longest = gap;
      skipped = arrivals[i].second - arrivals[i - 1].second - 1;
    }
  }
  EXPECT_GT(longest, 66 * sim::kMillisecond) << "quiet for at least a fifteenth of a second";
  EXPECT_LT(longest, 66 * sim::kMillisecond + 13 * sim::kMillisecond + 2 * 40 * sim::kMillisecond);
  EXPECT_GE(skipped, 1u) << "the input went on while the channel was off";
  EXPECT_TRUE(b.ok());
}

TEST(VideoDelivery, HeadersOfPreviewPinsAndPinsWithoutAClock) {
  ClientRig b(Card::Variant::Standard, false);
  b.m.registry().SetDword(b.SettingsKey(), "Preview1", 1);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  Stream preview(b, 1, false, 0), plain(b, 2, false, 0);
  ASSERT_EQ(b.client->SetMasterClock(preview.pin, true), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(preview.pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(plain.pin, KSSTATE_RUN), STATUS_SUCCESS);
  preview.Queue(0, 0x4);
  plain.Queue(0, 0x4);
  for (Stream *s : {&preview, &plain}) {
    Frame f = s->Next();
    EXPECT_EQ(f.header.PresentationTime.Time, 0);
    EXPECT_EQ(f.header.OptionsFlags, 0x4u) << "left as the client queued it";
    EXPECT_EQ(f.header.Duration, 333667);
  }
}

// A frame too small for the picture comes back empty and untouched.
TEST(VideoDelivery, AFrameTooSmallIsCompletedEmpty) {
  ClientRig b;
  Stream s(b, 0, false, 0);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.Queue(691200 - 1440, 0, 0xAB);
  s.Queue();
  Frame small = s.Next();
  EXPECT_EQ(small.status, STATUS_SUCCESS);
  EXPECT_EQ(small.header.DataUsed, 0u);
  EXPECT_EQ(std::count(small.data.begin(), small.data.end(), 0xAB),
            static_cast<long>(small.data.size()));
  Frame full = s.Next();
  EXPECT_EQ(full.header.DataUsed, 691200u);
  EXPECT_TRUE(b.ok());
}

// A frame larger than the image holds the image at its own stride from the start, says
// so in DataUsed, and keeps the rest as the client gave it.
TEST(VideoDelivery, AFrameLargerThanTheImageKeepsTheImagesLayout) {
  ClientRig b;
  Stream s(b, 0, false, 0);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.Queue(1000000, 0, 0xAB);
  Frame f = s.Next();
  EXPECT_EQ(f.header.DataUsed, 691200u);
  auto top = PatternSource::DecodeCounter(PixelFormat::Yuy2, f.data.data(), 720);
  ASSERT_TRUE(top.has_value());
  std::vector<uint8_t> expected;
  for (unsigned line : {0u, 1u, 2u, 239u, 478u, 479u}) {
    PackExpected(PixelFormat::Yuy2, 0, top->frame, line % 2 == 1, line / 2, false, 720, &expected);
    EXPECT_EQ(std::memcmp(f.data.data() + size_t{line} * 1440, expected.data(), 1440), 0) << line;
  }
  EXPECT_EQ(std::count(f.data.begin() + 691200, f.data.end(), 0xAB), 1000000 - 691200);
}

// Rows of an odd RGB565 width are padded to four bytes: 361 pixels fill 722 bytes of each
// 724-byte row, in a frame larger than the picture too, and the padding stays untouched.
TEST(VideoDelivery, OddWidthRowsKeepTheirPadding) {
  ClientRig b;
  Stream s(b, 2, false, 3, [](KS_VIDEOINFOHEADER &v) {
    v.bmiHeader.biWidth = 361;
    v.bmiHeader.biSizeImage = 724 * 480;
  });
  ASSERT_EQ(s.image(), 724u * 480);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.Queue(400000, 0, 0xAB);
  Frame f = s.Next();
  EXPECT_EQ(f.header.DataUsed, 724u * 480);
  int padding = 0, pixels = 0;
  for (size_t row = 0; row < 480; ++row) {
    const uint8_t *line = f.data.data() + row * 724;
    padding += line[722] == 0xAB && line[723] == 0xAB;
    pixels += std::count(line, line + 722, 0xAB) < 722;
  }
  EXPECT_EQ(padding, 480);
  EXPECT_EQ(pixels, 480);
  EXPECT_EQ(std::count(f.data.begin() + 724 * 480, f.data.end(), 0xAB), 400000 - 724 * 480);
}

// A bottom-up RGB frame arrives upright: the picture's top line is the buffer's last row.
TEST(VideoDelivery, BottomUpRgbIsUpright) {
  ClientRig b;
  Stream s(b, 7, false, 3);
  ASSERT_GT(s.bmi().biHeight, 0);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.Queue();
  Frame f = s.Next();
  const uint8_t *lastRow = f.data.data() + size_t{479} * 1440;
  auto top = PatternSource::DecodeCounter(PixelFormat::Rgb565, lastRow, 720);
  ASSERT_TRUE(top.has_value());
  EXPECT_FALSE(top->fieldB);
  EXPECT_FALSE(PatternSource::DecodeCounter(PixelFormat::Rgb565, f.data.data(), 720).has_value())
      << "the first row is the bottom of the picture";
}

// A pause with a frame half filled: on RUN the frame starts again at the next field A, so
// both its fields come from one input frame, and the frames that went by while paused
// are neither pictures nor drops. Paused for an even and an odd number of fields, so that
// a field B and a field A come first after resuming.
TEST(VideoDelivery, APauseNeitherTearsTheHeldFrameNorCountsAsDrops) {
  for (int pausedFields : {10, 11}) {
    SCOPED_TRACE(pausedFields);
    ClientRig b;
    Stream s(b, 0, false, 0);
    ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
    s.Queue();
    s.Queue();
    Frame first = s.Next();
    ASSERT_EQ(Stream::Info(first).PictureNumber, 1);
    bool fieldA = false;
    b.card.SetCompletionObserver([&](const Card::Completion &c) {
      if (c.channelBit == 0 && !c.fieldB) fieldA = true;
    });
    ASSERT_TRUE(b.m.RunUntil([&] { return fieldA; }, b.m.now() + kSecond));
    b.m.RunFor(sim::kMillisecond);
    auto *stream = static_cast<CVideoStream *>(b.dev()->videoStreams[0]);
    ASSERT_NE(stream->currentFrame, nullptr);
    ASSERT_EQ(stream->fieldsSeen, 1u) << "held with its field A";
    ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
    b.m.RunFor(pausedFields * 16683 * sim::kMicrosecond);
    ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
    Frame f = s.Next();
    auto top = s.Counter(f, 0), second = s.Counter(f, 1);
    ASSERT_TRUE(top && second);
    EXPECT_FALSE(top->fieldB);
    EXPECT_TRUE(second->fieldB);
    EXPECT_EQ(top->frame, second->frame) << "both fields of one input frame";
    EXPECT_GE(top->frame, s.Counter(first, 0)->frame + pausedFields / 2);
    KS_FRAME_INFO info = Stream::Info(f);
    EXPECT_EQ(info.PictureNumber, 2) << "what went by while paused is no picture";
    EXPECT_EQ(info.DropCount, 0) << "a deliberate pause loses nothing";
    s.Queue();
    Frame g = s.Next();
    EXPECT_EQ(Stream::Info(g).PictureNumber, 3);
    EXPECT_EQ(Stream::Info(g).DropCount, 0);
    EXPECT_EQ(s.Counter(g, 0)->frame, top->frame + 1);
    EXPECT_TRUE(b.ok());
  }
}

// Stopping between the fields of a frame returns it unfinished, and nothing stays locked.
TEST(VideoDelivery, StopWithAHalfFilledFrameCancelsIt) {
  ClientRig b;
  Stream s(b, 0, false, 0);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_RUN), STATUS_SUCCESS);
  s.Queue();
  bool fieldA = false;
  b.card.SetCompletionObserver([&](const Card::Completion &c) {
    if (c.channelBit == 0 && !c.fieldB) fieldA = true;
  });
  ASSERT_TRUE(b.m.RunUntil([&] { return fieldA; }, b.m.now() + kSecond));
  b.m.RunFor(sim::kMillisecond);
  ASSERT_NE(static_cast<CVideoStream *>(b.dev()->videoStreams[0])->currentFrame, nullptr);
  ASSERT_EQ(b.client->SetState(s.pin, KSSTATE_STOP), STATUS_SUCCESS);
  Frame f;
  ASSERT_EQ(b.client->TakeFrame(s.pin, &f), STATUS_SUCCESS);
  EXPECT_EQ(f.status, STATUS_CANCELLED);
  EXPECT_EQ(static_cast<CVideoStream *>(b.dev()->videoStreams[0])->currentFrame, nullptr);
  EXPECT_TRUE(b.ok());
}

}  // namespace
