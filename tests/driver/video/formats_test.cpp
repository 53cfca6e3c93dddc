// The published video ranges, intersection of a client's range into a format, and the
// pixel format codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "decoder/decoder.h"
#include "video/formats.h"

namespace {

// A client range copied from a published one, with room for the format that comes back.
struct Client {
  KS_DATARANGE_VIDEO range;
  explicit Client(const KS_DATARANGE_VIDEO &from) : range(from) {}
};

struct Result {
  NTSTATUS status;
  ULONG size = 0xDEADBEEF;
  std::vector<uint8_t> data;
  const KSDATAFORMAT &format() const {
    return *reinterpret_cast<const KSDATAFORMAT *>(data.data());
  }
  const KS_VIDEOINFOHEADER &vih() const {
    return *reinterpret_cast<const KS_VIDEOINFOHEADER *>(data.data() + sizeof(KSDATAFORMAT));
  }
};

Result Intersect(KS_DATARANGE_VIDEO &client, const KS_DATARANGE_VIDEO &ours,
                 ULONG bufferSize = 152) {
  IRP irp{};
  KSP_PIN pin{};
  int filter = 0;
  Result r;
  r.data.assign(bufferSize, 0xCC);
  r.status = VideoIntersectHandler(&filter, &irp, &pin, &client.DataRange,
                                   const_cast<PKSDATARANGE>(&ours.DataRange), bufferSize,
                                   bufferSize ? r.data.data() : nullptr, &r.size);
  return r;
}

// Every field of the eight ranges, as published (irregularities included: several sample
// sizes in bits, the 480-line UYVY range's maximum interval equal to its minimum, the
// 480-line YUY2 range's doubled maximum bit rate, the RGB565 ranges top-down).
TEST(VideoRanges, EveryFieldOfEveryRange) {
  struct Row {
    const KS_DATARANGE_VIDEO &range;
    GUID subtype;
    ULONG sampleSize;
    LONGLONG minInterval, maxInterval;
    LONG minBits, maxBits;
    bool fullRects;
    ULONG bitRate;
    LONGLONG avgTimePerFrame;
    LONG height;
    WORD bitCount;
    ULONG compression, sizeImage;
  };
  const ULONG yuy2 = 0x32595559, uyvy = 0x59565955, y41p = 0x50313459;
  const Row rows[] = {
      {kVideoRanges480[0], KSDATAFORMAT_SUBTYPE_YUY2, 691200, 333667, 10010010, 153600, 331776000,
       true, 165888000, 333667, 480, 16, yuy2, 691200},
      {kVideoRanges480[1], KSDATAFORMAT_SUBTYPE_UYVY, 691200, 333667, 333667, 153600, 165888000,
       true, 165888000, 333667, 480, 16, uyvy, 691200},
      {kVideoRanges480[2], KSDATAFORMAT_SUBTYPE_Y41P, 4147200, 333667, 10010010, 3456000, 124416000,
       false, 124416000, 333667, 480, 12, y41p, 518400},
      {kVideoRanges480[3], KSDATAFORMAT_SUBTYPE_RGB565, 5529600, 333667, 10010010, 4608000,
       165888000, false, 165888000, 333667, -480, 16, 0, 691200},
      {kVideoRanges576[0], KSDATAFORMAT_SUBTYPE_YUY2, 6635520, 400000, 10000000, 184320, 165888000,
       true, 165888000, 400000, 576, 16, yuy2, 829440},
      {kVideoRanges576[1], KSDATAFORMAT_SUBTYPE_UYVY, 829440, 400000, 10000000, 184320, 165888000,
       true, 165888000, 400000, 576, 16, uyvy, 829440},
      {kVideoRanges576[2], KSDATAFORMAT_SUBTYPE_Y41P, 4976640, 400000, 10000000, 138240, 124416000,
       false, 124416000, 400000, 576, 12, y41p, 622080},
      {kVideoRanges576[3], KSDATAFORMAT_SUBTYPE_RGB565, 829440, 400000, 10000000, 184320, 165888000,
       false, 165888000, 400000, -576, 16, 0, 829440},
  };
  for (const Row &r : rows) {
    const KS_DATARANGE_VIDEO &v = r.range;
    bool lines576 = &v >= kVideoRanges576 && &v < kVideoRanges576 + 4;
    LONG lines = lines576 ? 576 : 480;
    SCOPED_TRACE(std::to_string(lines) + " " +
                 std::to_string(&v - (lines576 ? kVideoRanges576 : kVideoRanges480)));
    EXPECT_EQ(v.DataRange.FormatSize, 296u);
    EXPECT_EQ(v.DataRange.Flags, 0u);
    EXPECT_EQ(v.DataRange.SampleSize, r.sampleSize);
    EXPECT_EQ(v.DataRange.Reserved, 0u);
    EXPECT_EQ(v.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO);
    EXPECT_EQ(v.DataRange.SubFormat, r.subtype);
    EXPECT_EQ(v.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
    EXPECT_EQ(v.bFixedSizeSamples, 1);
    EXPECT_EQ(v.bTemporalCompression, 1);
    EXPECT_EQ(v.StreamDescriptionFlags, 0u);
    EXPECT_EQ(v.MemoryAllocationFlags, 0u);
    const KS_VIDEO_STREAM_CONFIG_CAPS &c = v.ConfigCaps;
    EXPECT_EQ(c.guid, KSDATAFORMAT_SPECIFIER_VIDEOINFO);
    EXPECT_EQ(c.VideoStandard, lines576 ? 0xFF5F0u : 0x207u);
    for (const SIZE &full : {c.InputSize, c.MaxCroppingSize, c.MaxOutputSize}) {
      EXPECT_EQ(full.cx, 720);
      EXPECT_EQ(full.cy, lines);
    }
    for (const SIZE &least : {c.MinCroppingSize, c.MinOutputSize}) {
      EXPECT_EQ(least.cx, lines576 ? 96 : 80);
      EXPECT_EQ(least.cy, 120);
    }
    EXPECT_EQ(c.CropGranularityX, 8);
    EXPECT_EQ(c.CropGranularityY, 2);
    EXPECT_EQ(c.CropAlignX, 8);
    EXPECT_EQ(c.CropAlignY, 2);
    EXPECT_EQ(c.OutputGranularityX, 8);
    EXPECT_EQ(c.OutputGranularityY, 2);
    EXPECT_EQ(c.StretchTapsX, 0);
    EXPECT_EQ(c.StretchTapsY, 0);
    EXPECT_EQ(c.ShrinkTapsX, 1);
    EXPECT_EQ(c.ShrinkTapsY, 1);
    EXPECT_EQ(c.MinFrameInterval, r.minInterval);
    EXPECT_EQ(c.MaxFrameInterval, r.maxInterval);
    EXPECT_EQ(c.MinBitsPerSecond, r.minBits);
    EXPECT_EQ(c.MaxBitsPerSecond, r.maxBits);
    const KS_VIDEOINFOHEADER &h = v.VideoInfoHeader;
    for (const RECT &rect : {h.rcSource, h.rcTarget}) {
      EXPECT_EQ(rect.left, 0);
      EXPECT_EQ(rect.top, 0);
      EXPECT_EQ(rect.right, r.fullRects ? 720 : 0);
      EXPECT_EQ(rect.bottom, r.fullRects ? lines : 0);
    }
    EXPECT_EQ(h.dwBitRate, r.bitRate);
    EXPECT_EQ(h.dwBitErrorRate, 0u);
    EXPECT_EQ(h.AvgTimePerFrame, r.avgTimePerFrame);
    const KS_BITMAPINFOHEADER &bmi = h.bmiHeader;
    EXPECT_EQ(bmi.biSize, 40u);
    EXPECT_EQ(bmi.biWidth, 720);
    EXPECT_EQ(bmi.biHeight, r.height);
    EXPECT_EQ(bmi.biPlanes, 1);
    EXPECT_EQ(bmi.biBitCount, r.bitCount);
    EXPECT_EQ(bmi.biCompression, r.compression);
    EXPECT_EQ(bmi.biSizeImage, r.sizeImage);
    EXPECT_EQ(bmi.biXPelsPerMeter, 0);
    EXPECT_EQ(bmi.biYPelsPerMeter, 0);
    EXPECT_EQ(bmi.biClrUsed, 0u);
    EXPECT_EQ(bmi.biClrImportant, 0u);
  }
}

TEST(VideoRanges, ChannelListsSwitchAsAWhole) {
  CCaptureDevice d{};
  for (ULONG c = 0; c < 8; ++c) ResetChannelFormats(&d, c);
  UseChannelFormats(&d, 3, true);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(d.channelFormats[3][i], &kVideoRanges576[i].DataRange);
  EXPECT_EQ(d.channelFormats[2][0], &kVideoRanges480[0].DataRange) << "other channels unchanged";
  ResetChannelFormats(&d, 3);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(d.channelFormats[3][i], &kVideoRanges480[i].DataRange);
  UseChannelFormats(&d, 8, true);  // no such channel: ignored
  for (int i = 0; i < 4; ++i) EXPECT_EQ(kDefaultVideoRangeList[i], &kVideoRanges480[i].DataRange);
}

TEST(Intersection, SizeQueriesAndBufferChecks) {
  Client c(kVideoRanges480[0]);
  Result q = Intersect(c.range, kVideoRanges480[0], 0);
  EXPECT_EQ(q.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(q.size, 152u);
  Result small = Intersect(c.range, kVideoRanges480[0], 151);
  EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(small.size, 152u);
  EXPECT_EQ(small.data[0], 0xCC) << "the buffer stays untouched";
  Result ok = Intersect(c.range, kVideoRanges480[0]);
  ASSERT_EQ(ok.status, STATUS_SUCCESS);
  EXPECT_EQ(ok.format().FormatSize, 152u);
  EXPECT_EQ(ok.format().SubFormat, KSDATAFORMAT_SUBTYPE_YUY2);
  EXPECT_EQ(ok.vih().bmiHeader.biSizeImage, 691200u);
  EXPECT_EQ(ok.format().SampleSize, 691200u);
  EXPECT_EQ(ok.vih().AvgTimePerFrame, 333667);
}

TEST(Intersection, RectanglesFollowTheClientsSizeAndRgbFlips) {
  Client uyvy(kVideoRanges480[1]);
  uyvy.range.VideoInfoHeader.bmiHeader.biWidth = 360;
  Result r = Intersect(uyvy.range, kVideoRanges480[1]);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.vih().rcSource.right, 360);
  EXPECT_EQ(r.vih().rcTarget.right, 360);
  EXPECT_EQ(r.vih().rcSource.bottom, 480);
  EXPECT_EQ(r.vih().bmiHeader.biSizeImage, 345600u);

  for (const KS_DATARANGE_VIDEO *rgb : {&kVideoRanges480[3], &kVideoRanges576[3]}) {
    Client c(*rgb);
    Result flipped = Intersect(c.range, *rgb);
    ASSERT_EQ(flipped.status, STATUS_SUCCESS);
    LONG lines = rgb == &kVideoRanges480[3] ? 480 : 576;
    EXPECT_EQ(flipped.vih().bmiHeader.biHeight, lines)
        << "the published range gives an upright height";
    EXPECT_EQ(flipped.vih().bmiHeader.biSizeImage, 1440u * lines);
    Client up(*rgb);
    up.range.VideoInfoHeader.bmiHeader.biHeight = lines;
    Result down = Intersect(up.range, *rgb);
    EXPECT_EQ(down.vih().bmiHeader.biHeight, -lines);
    EXPECT_EQ(down.vih().bmiHeader.biSizeImage, 1440u * lines);
  }

  Client y41p(kVideoRanges576[2]);
  Result y = Intersect(y41p.range, kVideoRanges576[2]);
  EXPECT_EQ(y.vih().bmiHeader.biSizeImage, 622080u);
  // Rows are padded to four bytes: 361 RGB565 pixels take 722 bytes in rows of 724.
  Client odd(kVideoRanges480[3]);
  odd.range.VideoInfoHeader.bmiHeader.biWidth = 361;
  Result o = Intersect(odd.range, kVideoRanges480[3]);
  EXPECT_EQ(o.vih().bmiHeader.biSizeImage, 724u * 480);
  EXPECT_EQ(o.format().SampleSize, 724u * 480);
}

TEST(Intersection, RefusesRangesItDidNotPublish) {
  Client caps(kVideoRanges480[0]);
  caps.range.ConfigCaps.MinOutputSize.cx = 88;
  EXPECT_EQ(Intersect(caps.range, kVideoRanges480[0]).status, STATUS_NO_MATCH);
  for (int field = 0; field < 4; ++field) {
    Client flags(kVideoRanges480[0]);
    if (field == 0) flags.range.bFixedSizeSamples = FALSE;
    if (field == 1) flags.range.bTemporalCompression = FALSE;
    if (field == 2) flags.range.StreamDescriptionFlags = 1;
    if (field == 3) flags.range.MemoryAllocationFlags = 1;
    EXPECT_EQ(Intersect(flags.range, kVideoRanges480[0]).status, STATUS_NO_MATCH) << field;
  }
  Client shortRange(kVideoRanges480[0]);
  shortRange.range.DataRange.FormatSize = 200;
  EXPECT_EQ(Intersect(shortRange.range, kVideoRanges480[0]).status, STATUS_NO_MATCH);
  for (ULONG biSize : {0xFFFFFFF0u, 0xFFFFFF20u, 41u}) {
    Client big(kVideoRanges480[0]);
    big.range.VideoInfoHeader.bmiHeader.biSize = biSize;
    Result r = Intersect(big.range, kVideoRanges480[0]);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << biSize;
    EXPECT_EQ(r.size, 0xDEADBEEFu);
  }
  KS_DATARANGE_VIDEO other = kVideoRanges480[0];
  other.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
  Client c(kVideoRanges480[0]);
  Result none = Intersect(c.range, other);
  EXPECT_EQ(none.status, STATUS_NO_MATCH);
  EXPECT_EQ(none.size, 0u);
  EXPECT_EQ(VideoIntersectHandler(nullptr, nullptr, nullptr, &c.range.DataRange, &c.range.DataRange,
                                  0, nullptr, &none.size),
            STATUS_UNSUCCESSFUL);
}

// A bitmap header shorter than its fields, or sizes and rectangles whose arithmetic
// leaves 32 bits, are refused before anything is read past the client's range, written
// past the output or changed in place. The output is exactly as large as the old size
// query said, so an overrun shows under the sanitizers.
TEST(Intersection, RefusesHeadersAndValuesItCannotHandleSafely) {
  for (ULONG biSize : {0u, 39u}) {
    Client c(kVideoRanges480[0]);
    c.range.VideoInfoHeader.bmiHeader.biSize = biSize;
    Result r = Intersect(c.range, kVideoRanges480[0], biSize + 112);
    EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << biSize;
    EXPECT_EQ(r.size, 0xDEADBEEFu);
    EXPECT_EQ(std::count(r.data.begin(), r.data.end(), 0xCC), static_cast<long>(r.data.size()));
  }
  const LONG kMin = std::numeric_limits<LONG>::min(), kMax = std::numeric_limits<LONG>::max();
  struct Case {
    int range;
    void (*edit)(KS_VIDEOINFOHEADER &);
  };
  static LONG min = kMin, max = kMax;
  const Case refused[] = {
      {0, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biWidth = min; }},
      {0, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biHeight = min; }},
      {3, [](KS_VIDEOINFOHEADER &v) { v.bmiHeader.biHeight = min; }},
      {0, [](KS_VIDEOINFOHEADER &v) { v.rcSource.left = max - 100; }},
      {0, [](KS_VIDEOINFOHEADER &v) { v.rcTarget.top = max - 100; }},
  };
  for (const Case &k : refused) {
    Client c(kVideoRanges480[k.range]);
    k.edit(c.range.VideoInfoHeader);
    KS_DATARANGE_VIDEO before = c.range;
    Result r = Intersect(c.range, kVideoRanges480[k.range]);
    EXPECT_EQ(r.status, STATUS_NO_MATCH);
    EXPECT_EQ(r.size, 0xDEADBEEFu);
    EXPECT_EQ(std::memcmp(&before, &c.range, sizeof before), 0) << "nothing changed in place";
    EXPECT_EQ(r.data[0], 0xCC);
  }
  // Large values whose results fit are still formats, also where their extents leave
  // 32 bits.
  Client far(kVideoRanges480[1]);
  far.range.VideoInfoHeader.rcSource = RECT{kMax - 720, 0, 0, 0};
  far.range.VideoInfoHeader.rcTarget = RECT{10, 0, kMin + 5, kMin};
  Result r = Intersect(far.range, kVideoRanges480[1]);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.vih().rcSource.right, kMax);
  EXPECT_EQ(r.vih().rcSource.bottom, 480);
  EXPECT_EQ(r.vih().rcTarget.right, 730);
  EXPECT_EQ(r.vih().rcTarget.bottom, 480);
}

// The second kind of range: a KS_VIDEOINFOHEADER2 after the same 208 bytes, copied with
// its sizes computed, without the rectangle and height changes of the first kind.
TEST(Intersection, SecondHeaderKind) {
  KS_DATARANGE_VIDEO2 ours{};
  const KS_DATARANGE_VIDEO &rgb = kVideoRanges480[3];
  std::memcpy(&ours, &rgb, offsetof(KS_DATARANGE_VIDEO2, VideoInfoHeader));
  ours.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO2);
  ours.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO2;
  ours.VideoInfoHeader.rcSource = RECT{0, 0, 10, 10};
  ours.VideoInfoHeader.AvgTimePerFrame = 333667;
  ours.VideoInfoHeader.dwPictAspectRatioX = 4;
  ours.VideoInfoHeader.dwPictAspectRatioY = 3;
  ours.VideoInfoHeader.bmiHeader = rgb.VideoInfoHeader.bmiHeader;
  ASSERT_EQ(sizeof(KS_DATARANGE_VIDEO2), 320u);
  auto intersect = [&](KS_DATARANGE_VIDEO2 &client, ULONG bufferSize) {
    IRP irp{};
    KSP_PIN pin{};
    int filter = 0;
    Result r;
    r.data.assign(bufferSize, 0xCC);
    r.status = VideoIntersectHandler(&filter, &irp, &pin, &client.DataRange, &ours.DataRange,
                                     bufferSize, bufferSize ? r.data.data() : nullptr, &r.size);
    return r;
  };
  KS_DATARANGE_VIDEO2 client = ours;
  Result q = intersect(client, 0);
  EXPECT_EQ(q.status, STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(q.size, 176u);
  EXPECT_EQ(intersect(client, 175).status, STATUS_BUFFER_TOO_SMALL);
  Result r = intersect(client, 176);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.format().FormatSize, 176u);
  EXPECT_EQ(r.format().Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO2);
  auto &out = *reinterpret_cast<const KS_VIDEOINFOHEADER2 *>(r.data.data() + sizeof(KSDATAFORMAT));
  EXPECT_EQ(out.rcSource.right, 10) << "rectangles as the client gave them";
  EXPECT_EQ(out.dwPictAspectRatioX, 4u);
  EXPECT_EQ(out.bmiHeader.biHeight, -480) << "no flip for the second kind";
  EXPECT_EQ(out.bmiHeader.biSizeImage, 691200u);
  EXPECT_EQ(r.format().SampleSize, 691200u);

  KS_DATARANGE_VIDEO2 shortRange = ours;
  shortRange.DataRange.FormatSize = 319;
  EXPECT_EQ(intersect(shortRange, 176).status, STATUS_NO_MATCH);
  KS_DATARANGE_VIDEO2 caps = ours;
  caps.ConfigCaps.MaxOutputSize.cx = 704;
  EXPECT_EQ(intersect(caps, 176).status, STATUS_NO_MATCH);
  for (ULONG biSize : {39u, 41u, 0xFFFFFFB0u}) {
    KS_DATARANGE_VIDEO2 bad = ours;
    bad.VideoInfoHeader.bmiHeader.biSize = biSize;
    Result refused = intersect(bad, 400);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER) << biSize;
    EXPECT_EQ(refused.size, 0xDEADBEEFu);
  }
}

TEST(FormatCodes, SubtypesMapToTheCardsPixelFormats) {
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_UYVY), 0u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_IYUV), 1u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_YV12), 1u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_Y411), 2u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_Y41P), 3u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_RGB555), 4u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_RGB565), 5u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_SUBTYPE_YUY2), 6u);
  GUID i420 = KSDATAFORMAT_SUBTYPE_YUY2;
  i420.Data1 = 0x30323449;  // "I420" wins over the rest of the GUID
  EXPECT_EQ(VideoFormatCode(&i420), 1u);
  GUID iyu1 = KSDATAFORMAT_SUBTYPE_RGB565;
  iyu1.Data1 = 0x31555949;
  EXPECT_EQ(VideoFormatCode(&iyu1), 2u);
  EXPECT_EQ(VideoFormatCode(&KSDATAFORMAT_TYPE_VIDEO), 2u);
}

// Every row of both tables: the 525-line table by pairs of rates, the 625-line one by
// its own steps; out-of-table rates keep everything.
TEST(FrameKeepPattern, EveryRowOfBothTables) {
  const ULONG k525[15] = {0x00000000, 0x00000001, 0x00004001, 0x00104001, 0x00404041,
                          0x01041041, 0x01104411, 0x01111111, 0x04444445, 0x04511445,
                          0x05145145, 0x05151515, 0x05515455, 0x05551555, 0x05555555};
  const ULONG k625[25] = {0x00000000, 0x00000002, 0x00000002, 0x00008002, 0x00200802,
                          0x00200802, 0x00808082, 0x00808082, 0x02082082, 0x02082082,
                          0x02208822, 0x02222222, 0x02222222, 0x0888888A, 0x0888888A,
                          0x08A2288A, 0x0A28A28A, 0x0A28A28A, 0x0A2A2A2A, 0x0A2A2A2A,
                          0x0AA2A8AA, 0x0AAA2AAA, 0x0AAA2AAA, 0x0AAAAAAA, 0x0AAAAAAA};
  for (LONG fps = -2; fps <= 40; ++fps) {
    ULONG want525 = fps >= 0 && fps < 30 ? k525[fps / 2] : 0x15555555;
    ULONG want625 = fps >= 0 && fps < 25 ? k625[fps] : 0x15555555;
    EXPECT_EQ(FrameKeepPattern(fps, true), want525) << fps;
    EXPECT_EQ(FrameKeepPattern(fps, false), want625) << fps;
  }
  // Kept frames of 15: bits 0..28 even on 525 lines, odd on 625 lines.
  for (LONG fps = 0; fps < 30; ++fps) {
    EXPECT_EQ(__builtin_popcount(FrameKeepPattern(fps, true) & 0x05555555), fps / 2);
    EXPECT_EQ(FrameKeepPattern(fps, true) & 0x0AAAAAAA, 0u);
  }
  const int kept625[25] = {0, 1, 1, 2,  3,  3,  4,  4,  5,  5,  6,  7, 7,
                           8, 8, 9, 10, 10, 11, 11, 12, 13, 13, 14, 14};
  for (LONG fps = 0; fps < 25; ++fps) {
    EXPECT_EQ(__builtin_popcount(FrameKeepPattern(fps, false) & 0x0AAAAAAA), kept625[fps]);
    EXPECT_EQ(FrameKeepPattern(fps, false) & 0x05555555, 0u);
  }
}

TEST(FieldSplit, OneRuleByTheChannelsStandard) {
  CCaptureDevice d{};
  d.channelVideo[1].videoStandard = KS_AnalogVideo_NTSC_M;
  d.channelVideo[2].videoStandard = KS_AnalogVideo_PAL_B;
  d.channelVideo[3].videoStandard = KS_AnalogVideo_PAL_M;  // 525-line class
  EXPECT_EQ(SplitFields(&d, 1, 480).fields, 2u);
  EXPECT_EQ(SplitFields(&d, 1, 480).linesPerField, 240u);
  EXPECT_EQ(SplitFields(&d, 1, -480).linesPerField, 240u);
  EXPECT_EQ(SplitFields(&d, 1, 240).fields, 1u);
  EXPECT_EQ(SplitFields(&d, 1, 288).fields, 2u) << "288 lines do not fit a 525-line field";
  EXPECT_EQ(SplitFields(&d, 2, 288).fields, 1u);
  EXPECT_EQ(SplitFields(&d, 2, 576).linesPerField, 288u);
  EXPECT_EQ(SplitFields(&d, 3, 288).fields, 2u);
  EXPECT_TRUE(Is625LineStandard(0x1000));
  EXPECT_FALSE(Is625LineStandard(0x800));
}

}  // namespace
