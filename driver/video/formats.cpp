// The video formats: the eight published data ranges, the per-channel range lists,
// intersection and the card's pixel format codes.
#include "video/formats.h"

#include "decoder/decoder.h"

namespace {

constexpr ULONG FourCc(char a, char b, char c, char d) {
  return static_cast<ULONG>(static_cast<UCHAR>(a)) |
         static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
         static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 |
         static_cast<ULONG>(static_cast<UCHAR>(d)) << 24;
}

constexpr ULONG kStandards480 = 0x207;  // NTSC M, NTSC M J, NTSC 4.43, PAL M

// What sets one range apart from the others of its line standard.
struct RangeValues {
  GUID subtype;
  ULONG sampleSize;          // DataRange.SampleSize
  LONGLONG minInterval;      // ConfigCaps.MinFrameInterval, 100 ns
  LONGLONG maxInterval;      // ConfigCaps.MaxFrameInterval
  LONG minBits;              // ConfigCaps.MinBitsPerSecond
  LONG maxBits;              // ConfigCaps.MaxBitsPerSecond
  bool fullRects;            // rcSource = rcTarget = the whole picture, else all zero
  ULONG bitRate;             // VideoInfoHeader.dwBitRate
  LONGLONG avgTimePerFrame;  // VideoInfoHeader.AvgTimePerFrame
  LONG height;               // bmiHeader.biHeight
  WORD bitCount;             // bmiHeader.biBitCount
  ULONG compression;         // bmiHeader.biCompression
  ULONG sizeImage;           // bmiHeader.biSizeImage
};

constexpr KS_DATARANGE_VIDEO MakeRange(bool lines576, const RangeValues &v) {
  const LONG lines = lines576 ? 576 : 480;
  const LONG minWidth = lines576 ? 96 : 80;
  const RECT rect = v.fullRects ? RECT{0, 0, 720, lines} : RECT{0, 0, 0, 0};
  return KS_DATARANGE_VIDEO{{{sizeof(KS_DATARANGE_VIDEO),  // FormatSize
                              0,                           // Flags
                              v.sampleSize,                // SampleSize
                              0,                           // Reserved
                              {STATICGUIDOF(KSDATAFORMAT_TYPE_VIDEO)},
                              v.subtype,
                              {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_VIDEOINFO)}}},
                            TRUE,  // bFixedSizeSamples
                            TRUE,  // bTemporalCompression: marked so, as published
                            0,     // StreamDescriptionFlags
                            0,     // MemoryAllocationFlags
                            {{STATICGUIDOF(KSDATAFORMAT_SPECIFIER_VIDEOINFO)},
                             lines576 ? k625LineStandards : kStandards480,  // VideoStandard
                             {720, lines},                                  // InputSize
                             {minWidth, 120},                               // MinCroppingSize
                             {720, lines},                                  // MaxCroppingSize
                             8,                                             // CropGranularityX
                             2,                                             // CropGranularityY
                             8,                                             // CropAlignX
                             2,                                             // CropAlignY
                             {minWidth, 120},                               // MinOutputSize
                             {720, lines},                                  // MaxOutputSize
                             8,                                             // OutputGranularityX
                             2,                                             // OutputGranularityY
                             0,                                             // StretchTapsX
                             0,                                             // StretchTapsY
                             1,                                             // ShrinkTapsX
                             1,                                             // ShrinkTapsY
                             v.minInterval,
                             v.maxInterval,
                             v.minBits,
                             v.maxBits},
                            {rect,                          // rcSource
                             rect,                          // rcTarget
                             v.bitRate,                     // dwBitRate
                             0,                             // dwBitErrorRate
                             v.avgTimePerFrame,             // AvgTimePerFrame
                             {sizeof(KS_BITMAPINFOHEADER),  // biSize
                              720,                          // biWidth
                              v.height,                     // biHeight
                              1,                            // biPlanes
                              v.bitCount,                   // biBitCount
                              v.compression,                // biCompression
                              v.sizeImage,                  // biSizeImage
                              0,                            // biXPelsPerMeter
                              0,                            // biYPelsPerMeter
                              0,                            // biClrUsed
                              0}}};                         // biClrImportant
}

}  // namespace

// The values as published, irregularities included (see the tests): several sample
// sizes are in bits, the 480-line UYVY range has max = min interval, the 480-line YUY2
// range twice the others' maximum bit rate.
const KS_DATARANGE_VIDEO kVideoRanges480[4] = {
    MakeRange(false, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_YUY2)},
                      .sampleSize = 691200,
                      .minInterval = 333667,
                      .maxInterval = 10010010,
                      .minBits = 153600,
                      .maxBits = 331776000,
                      .fullRects = true,
                      .bitRate = 165888000,
                      .avgTimePerFrame = 333667,
                      .height = 480,
                      .bitCount = 16,
                      .compression = FourCc('Y', 'U', 'Y', '2'),
                      .sizeImage = 691200}),
    MakeRange(false, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_UYVY)},
                      .sampleSize = 691200,
                      .minInterval = 333667,
                      .maxInterval = 333667,
                      .minBits = 153600,
                      .maxBits = 165888000,
                      .fullRects = true,
                      .bitRate = 165888000,
                      .avgTimePerFrame = 333667,
                      .height = 480,
                      .bitCount = 16,
                      .compression = FourCc('U', 'Y', 'V', 'Y'),
                      .sizeImage = 691200}),
    MakeRange(false, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_Y41P)},
                      .sampleSize = 4147200,
                      .minInterval = 333667,
                      .maxInterval = 10010010,
                      .minBits = 3456000,
                      .maxBits = 124416000,
                      .fullRects = false,
                      .bitRate = 124416000,
                      .avgTimePerFrame = 333667,
                      .height = 480,
                      .bitCount = 12,
                      .compression = FourCc('Y', '4', '1', 'P'),
                      .sizeImage = 518400}),
    MakeRange(false, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_RGB565)},
                      .sampleSize = 5529600,
                      .minInterval = 333667,
                      .maxInterval = 10010010,
                      .minBits = 4608000,
                      .maxBits = 165888000,
                      .fullRects = false,
                      .bitRate = 165888000,
                      .avgTimePerFrame = 333667,
                      .height = -480,
                      .bitCount = 16,
                      .compression = 0,  // BI_RGB
                      .sizeImage = 691200}),
};

// The RGB565 range is published top-down (height -576) like its 480-line sibling, so
// that intersection of either yields the upright positive height pins handle.
const KS_DATARANGE_VIDEO kVideoRanges576[4] = {
    MakeRange(true, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_YUY2)},
                     .sampleSize = 6635520,
                     .minInterval = 400000,
                     .maxInterval = 10000000,
                     .minBits = 184320,
                     .maxBits = 165888000,
                     .fullRects = true,
                     .bitRate = 165888000,
                     .avgTimePerFrame = 400000,
                     .height = 576,
                     .bitCount = 16,
                     .compression = FourCc('Y', 'U', 'Y', '2'),
                     .sizeImage = 829440}),
    MakeRange(true, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_UYVY)},
                     .sampleSize = 829440,
                     .minInterval = 400000,
                     .maxInterval = 10000000,
                     .minBits = 184320,
                     .maxBits = 165888000,
                     .fullRects = true,
                     .bitRate = 165888000,
                     .avgTimePerFrame = 400000,
                     .height = 576,
                     .bitCount = 16,
                     .compression = FourCc('U', 'Y', 'V', 'Y'),
                     .sizeImage = 829440}),
    MakeRange(true, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_Y41P)},
                     .sampleSize = 4976640,
                     .minInterval = 400000,
                     .maxInterval = 10000000,
                     .minBits = 138240,
                     .maxBits = 124416000,
                     .fullRects = false,
                     .bitRate = 124416000,
                     .avgTimePerFrame = 400000,
                     .height = 576,
                     .bitCount = 12,
                     .compression = FourCc('Y', '4', '1', 'P'),
                     .sizeImage = 622080}),
    MakeRange(true, {.subtype = {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_RGB565)},
                     .sampleSize = 829440,
                     .minInterval = 400000,
                     .maxInterval = 10000000,
                     .minBits = 184320,
                     .maxBits = 165888000,
                     .fullRects = false,
                     .bitRate = 165888000,
                     .avgTimePerFrame = 400000,
                     .height = -576,
                     .bitCount = 16,
                     .compression = 0,  // BI_RGB
                     .sizeImage = 829440}),
};

// The host only reads through these pointers; its descriptor type is not const.
#define MORVANE_RANGE(set, i) const_cast<PKSDATARANGE>(&set[i].DataRange)
const PKSDATARANGE kDefaultVideoRangeList[4] = {
    MORVANE_RANGE(kVideoRanges480, 0), MORVANE_RANGE(kVideoRanges480, 1),
    MORVANE_RANGE(kVideoRanges480, 2), MORVANE_RANGE(kVideoRanges480, 3)};

void UseChannelFormats(CCaptureDevice *d, ULONG channel, bool lines576) {
  if (channel >= kVideoChannels) return;
  const KS_DATARANGE_VIDEO *set = lines576 ? kVideoRanges576 : kVideoRanges480;
  for (ULONG i = 0; i < 4; ++i) d->channelFormats[channel][i] = MORVANE_RANGE(set, i);
}

void ResetChannelFormats(CCaptureDevice *d, ULONG channel) { UseChannelFormats(d, channel, false); }

namespace {

// The parts of the two ranges a client may not change (both range kinds share them).
template <class Range>
bool SameRangeTerms(const Range *a, const Range *b) {
  return a->bFixedSizeSamples == b->bFixedSizeSamples &&
         a->bTemporalCompression == b->bTemporalCompression &&
         a->StreamDescriptionFlags == b->StreamDescriptionFlags &&
         a->MemoryAllocationFlags == b->MemoryAllocationFlags &&
         RtlEqualMemory(&a->ConfigCaps, &b->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS));
}

ULONG ImageSize(const KS_BITMAPINFOHEADER &bmi) {
  ULONG stride =
      ((static_cast<ULONG>(bmi.biBitCount) * static_cast<ULONG>(bmi.biWidth) + 31) >> 3) &
      0x1FFFFFFC;
  ULONG size = stride * static_cast<ULONG>(bmi.biHeight);
  return bmi.biHeight < 0 ? 0u - size : size;
}

constexpr LONGLONG kLongMin = -2147483647ll - 1;
constexpr LONGLONG kLongMax = 2147483647ll;

LONGLONG Abs(LONGLONG v) { return v < 0 ? -v : v; }
bool FitsLong(LONGLONG v) { return v >= kLongMin && v <= kLongMax; }

// Header size n + extra and, after the range's `head`, the whole range must fit in 32
// bits and in FormatSize.
bool HeaderFits(ULONG n, ULONG extra, ULONG head, ULONG formatSize) {
  ULONG header = n + extra;
  if (header < n) return false;
  ULONG whole = header + head;
  if (whole < header) return false;
  return whole <= formatSize;
}

// The client's rectangles fitted to its picture size, and the height of the RGB subtypes
// flipped, computed apart from the client's header so that values whose sums,
// differences or negation leave 32 bits refuse the range before anything changes.
struct FittedVideoInfo {
  RECT source, target;
  LONG height;
};

bool FitVideoInfo(const KS_VIDEOINFOHEADER &vih, const GUID &subtype, FittedVideoInfo *out) {
  const LONGLONG width = vih.bmiHeader.biWidth;
  const LONGLONG height = vih.bmiHeader.biHeight;
  // A size whose magnitude has no 32-bit value is no picture.
  if (width == kLongMin || height == kLongMin) return false;
  const RECT *in[2] = {&vih.rcSource, &vih.rcTarget};
  RECT *fitted[2] = {&out->source, &out->target};
  for (int i = 0; i < 2; ++i) {
    LONGLONG right = in[i]->right, bottom = in[i]->bottom;
    if (Abs(width) != Abs(right - in[i]->left)) right = in[i]->left + width;
    if (Abs(height) != Abs(bottom - in[i]->top)) bottom = in[i]->top + height;
    if (!FitsLong(right) || !FitsLong(bottom)) return false;
    *fitted[i] = *in[i];
    fitted[i]->right = static_cast<LONG>(right);
    fitted[i]->bottom = static_cast<LONG>(bottom);
  }
  bool rgb = IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB555) ||
             IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB565);
  out->height = static_cast<LONG>(rgb ? -height : height);
  return true;
}

// One kind of range (KS_DATARANGE_VIDEO with a KS_VIDEOINFOHEADER, or the second kind):
// the checks, the size rules and the copy are the same.
template <class Range, class Header>
NTSTATUS IntersectRange(PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange,
                        ULONG dataBufferSize, PVOID data, PULONG dataSize) {
  constexpr ULONG fixed = offsetof(Header, bmiHeader);
  constexpr bool fitsRectangles = sizeof(Header) == sizeof(KS_VIDEOINFOHEADER);
  if (dataRange->FormatSize < sizeof(Range)) return STATUS_NO_MATCH;
  auto *client = reinterpret_cast<Range *>(dataRange);
  if (!SameRangeTerms(client, reinterpret_cast<const Range *>(matchingDataRange)))
    return STATUS_NO_MATCH;
  ULONG n = client->VideoInfoHeader.bmiHeader.biSize;
  // A bitmap header shorter than its own fields would be read and written past its end.
  if (n < sizeof(KS_BITMAPINFOHEADER) ||
      !HeaderFits(n, fixed, offsetof(Range, VideoInfoHeader), dataRange->FormatSize))
    return STATUS_INVALID_PARAMETER;
  FittedVideoInfo fitted;
  if constexpr (fitsRectangles) {
    if (!FitVideoInfo(client->VideoInfoHeader, matchingDataRange->SubFormat, &fitted))
      return STATUS_NO_MATCH;
  }
  *dataSize = n + fixed + sizeof(KSDATAFORMAT);
  if (dataBufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (dataBufferSize < *dataSize) return STATUS_BUFFER_TOO_SMALL;

  auto *out = static_cast<PKSDATAFORMAT>(data);
  RtlCopyMemory(out, matchingDataRange, sizeof(KSDATAFORMAT));
  out->FormatSize = *dataSize;
  if constexpr (fitsRectangles) {
    client->VideoInfoHeader.rcSource = fitted.source;
    client->VideoInfoHeader.rcTarget = fitted.target;
    client->VideoInfoHeader.bmiHeader.biHeight = fitted.height;
  }
  auto *outHeader = reinterpret_cast<Header *>(out + 1);
  RtlCopyMemory(outHeader, &client->VideoInfoHeader, n + fixed);
  ULONG size = ImageSize(outHeader->bmiHeader);
  out->SampleSize = size;
  outHeader->bmiHeader.biSizeImage = size;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI VideoIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                                     PKSDATARANGE matchingDataRange, ULONG dataBufferSize,
                                     PVOID data, PULONG dataSize) {
  if (context == nullptr || irp == nullptr || pin == nullptr || dataRange == nullptr ||
      matchingDataRange == nullptr || dataSize == nullptr)
    return STATUS_UNSUCCESSFUL;
  if (IsEqualGUID(matchingDataRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO))
    return IntersectRange<KS_DATARANGE_VIDEO, KS_VIDEOINFOHEADER>(dataRange, matchingDataRange,
                                                                  dataBufferSize, data, dataSize);
  if (IsEqualGUID(matchingDataRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO2))
    return IntersectRange<KS_DATARANGE_VIDEO2, KS_VIDEOINFOHEADER2>(dataRange, matchingDataRange,
                                                                    dataBufferSize, data, dataSize);
  *dataSize = 0;
  return STATUS_NO_MATCH;
}

ULONG SubtypeBitCount(const GUID &subtype) {
  if (IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_YUY2) ||
      IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_UYVY) ||
      IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB565))
    return 16;
  if (IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_Y41P)) return 12;
  return 0;
}

ULONG VideoFormatCode(const GUID *subtype) {
  ULONG fourcc = subtype->Data1;
  if (fourcc == FourCc('I', '4', '2', '0')) return 1;
  if (fourcc == FourCc('I', 'Y', 'U', '1')) return 2;
  if (IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_UYVY)) return 0;
  if (IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_IYUV) ||
      IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_YV12))
    return 1;
  if (IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_Y411)) return 2;
  if (IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_Y41P)) return 3;
  if (IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_RGB555)) return 4;
  if (IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_RGB565)) return 5;
  if (IsEqualGUID(*subtype, KSDATAFORMAT_SUBTYPE_YUY2)) return 6;
  return 2;
}

ULONG SelectVideoFormat(CCaptureDevice *d, ULONG channel, const GUID *subtype) {
  ULONG offset = ChannelControlRegister(channel);
  ULONG value = (ReadRegister(d, offset) & ~0x00700000u) | (VideoFormatCode(subtype) << 20);
  return WriteRegisterAndFlush(d, offset, value, 1);
}
