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

constexpr ULONG kStandards480 = 0x207;    // NTSC M, NTSC M J, NTSC 4.43, PAL M
constexpr ULONG kStandards576 = 0xFF5F0;  // PAL B/D/G/H/I/N, SECAM

struct RangeValues {
  GUID subtype;
  ULONG sampleSize;
  LONGLONG minInterval, maxInterval;
  LONG minBits, maxBits;
  bool fullRects;
  ULONG bitRate;
  LONGLONG avgTimePerFrame;
  LONG height;
  WORD bitCount;
  ULONG compression;
  ULONG sizeImage;
};

constexpr KS_DATARANGE_VIDEO MakeRange(bool lines576, const RangeValues &v) {
  const LONG lines = lines576 ? 576 : 480;
  const RECT rect = v.fullRects ? RECT{0, 0, 720, lines} : RECT{0, 0, 0, 0};
  return KS_DATARANGE_VIDEO{
      {{sizeof(KS_DATARANGE_VIDEO),
        0,
        v.sampleSize,
        0,
        {STATICGUIDOF(KSDATAFORMAT_TYPE_VIDEO)},
        v.subtype,
        {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_VIDEOINFO)}}},
      TRUE,  // fixed-size samples
      TRUE,  // marked as temporally compressed, as published
      0,
      0,
      {{STATICGUIDOF(KSDATAFORMAT_SPECIFIER_VIDEOINFO)},
       lines576 ? kStandards576 : kStandards480,
       {720, lines},
       {lines576 ? 96 : 80, 120},
       {720, lines},
       8,
       2,
       8,
       2,
       {lines576 ? 96 : 80, 120},
       {720, lines},
       8,
       2,
       0,
       0,
       1,
       1,
       v.minInterval,
       v.maxInterval,
       v.minBits,
       v.maxBits},
      {rect,
       rect,
       v.bitRate,
       0,
       v.avgTimePerFrame,
       {40, 720, v.height, 1, v.bitCount, v.compression, v.sizeImage, 0, 0, 0, 0}}};
}

}  // namespace

const KS_DATARANGE_VIDEO kVideoRanges480[4] = {
    MakeRange(false, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_YUY2)},
                      691200,
                      333667,
                      10010010,
                      153600,
                      331776000,
                      true,
                      165888000,
                      333667,
                      480,
                      16,
                      FourCc('Y', 'U', 'Y', '2'),
                      691200}),
    MakeRange(false, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_UYVY)},
                      691200,
                      333667,
                      333667,
                      153600,
                      165888000,
                      true,
                      165888000,
                      333667,
                      480,
                      16,
                      FourCc('U', 'Y', 'V', 'Y'),
                      691200}),
    MakeRange(false, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_Y41P)},
                      4147200,
                      333667,
                      10010010,
                      3456000,
                      124416000,
                      false,
                      124416000,
                      333667,
                      480,
                      12,
                      FourCc('Y', '4', '1', 'P'),
                      518400}),
    MakeRange(false, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_RGB565)},
                      5529600,
                      333667,
                      10010010,
                      4608000,
                      165888000,
                      false,
                      165888000,
                      333667,
                      -480,
                      16,
                      0,
                      691200}),
};

// The RGB565 range is published top-down (height -576) like its 480-line sibling, so
// that intersection of either yields the upright positive height pins handle.
const KS_DATARANGE_VIDEO kVideoRanges576[4] = {
    MakeRange(true, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_YUY2)},
                     6635520,
                     400000,
                     10000000,
                     184320,
                     165888000,
                     true,
                     165888000,
                     400000,
                     576,
                     16,
                     FourCc('Y', 'U', 'Y', '2'),
                     829440}),
    MakeRange(true, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_UYVY)},
                     829440,
                     400000,
                     10000000,
                     184320,
                     165888000,
                     true,
                     165888000,
                     400000,
                     576,
                     16,
                     FourCc('U', 'Y', 'V', 'Y'),
                     829440}),
    MakeRange(true, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_Y41P)},
                     4976640,
                     400000,
                     10000000,
                     138240,
                     124416000,
                     false,
                     124416000,
                     400000,
                     576,
                     12,
                     FourCc('Y', '4', '1', 'P'),
                     622080}),
    MakeRange(true, {{STATICGUIDOF(KSDATAFORMAT_SUBTYPE_RGB565)},
                     829440,
                     400000,
                     10000000,
                     184320,
                     165888000,
                     false,
                     165888000,
                     400000,
                     -576,
                     16,
                     0,
                     829440}),
};

// The host only reads through these pointers; its descriptor type is not const.
#define MORVANE_RANGE(set, i) const_cast<PKSDATARANGE>(&set[i].DataRange)
#define MORVANE_RANGES_480                                                   \
  {                                                                          \
    MORVANE_RANGE(kVideoRanges480, 0), MORVANE_RANGE(kVideoRanges480, 1),    \
        MORVANE_RANGE(kVideoRanges480, 2), MORVANE_RANGE(kVideoRanges480, 3) \
  }
PKSDATARANGE channelFormatTable[kVideoChannels][4] = {
    MORVANE_RANGES_480, MORVANE_RANGES_480, MORVANE_RANGES_480, MORVANE_RANGES_480,
    MORVANE_RANGES_480, MORVANE_RANGES_480, MORVANE_RANGES_480, MORVANE_RANGES_480,
};
#undef MORVANE_RANGES_480

void UseChannelFormats(ULONG channel, bool lines576) {
  if (channel >= kVideoChannels) return;
  const KS_DATARANGE_VIDEO *set = lines576 ? kVideoRanges576 : kVideoRanges480;
  for (ULONG i = 0; i < 4; ++i) channelFormatTable[channel][i] = MORVANE_RANGE(set, i);
}

void ResetChannelFormats(ULONG channel) { UseChannelFormats(channel, false); }

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

LONG Abs(LONG v) { return v < 0 ? -v : v; }

// Header size n + extra and the whole range must fit in 32 bits and in FormatSize.
bool HeaderFits(ULONG n, ULONG extra, ULONG formatSize) {
  ULONG header = n + extra;
  if (header < n) return false;
  ULONG whole = header + 208;
  if (whole < header) return false;
  return whole <= formatSize;
}

// Fits the client's rectangles to its picture size, and flips the height of the RGB
// subtypes, before the header is copied.
void NormaliseVideoInfo(KS_VIDEOINFOHEADER &vih, const GUID &subtype) {
  LONG width = vih.bmiHeader.biWidth;
  LONG height = vih.bmiHeader.biHeight;
  if (Abs(width) != Abs(vih.rcSource.right - vih.rcSource.left))
    vih.rcSource.right = vih.rcSource.left + width;
  if (Abs(width) != Abs(vih.rcTarget.right - vih.rcTarget.left))
    vih.rcTarget.right = vih.rcTarget.left + width;
  if (Abs(height) != Abs(vih.rcSource.bottom - vih.rcSource.top))
    vih.rcSource.bottom = vih.rcSource.top + height;
  if (Abs(height) != Abs(vih.rcTarget.bottom - vih.rcTarget.top))
    vih.rcTarget.bottom = vih.rcTarget.top + height;
  if (IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB555) ||
      IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB565))
    vih.bmiHeader.biHeight = -vih.bmiHeader.biHeight;
}

// One kind of range (KS_DATARANGE_VIDEO with a KS_VIDEOINFOHEADER, or the second kind):
// the checks, the size rules and the copy are the same; `fixed` is the header's size
// before its bitmap header.
template <class Range, class Header>
NTSTATUS IntersectRange(PKSDATARANGE dataRange, PKSDATARANGE matchingDataRange, ULONG fixed,
                        ULONG dataBufferSize, PVOID data, PULONG dataSize) {
  if (dataRange->FormatSize < sizeof(Range)) return STATUS_NO_MATCH;
  auto *client = reinterpret_cast<Range *>(dataRange);
  if (!SameRangeTerms(client, reinterpret_cast<const Range *>(matchingDataRange)))
    return STATUS_NO_MATCH;
  ULONG n = client->VideoInfoHeader.bmiHeader.biSize;
  if (!HeaderFits(n, fixed, dataRange->FormatSize)) return STATUS_INVALID_PARAMETER;
  *dataSize = n + fixed + sizeof(KSDATAFORMAT);
  if (dataBufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (dataBufferSize < *dataSize) return STATUS_BUFFER_TOO_SMALL;

  auto *out = static_cast<PKSDATAFORMAT>(data);
  RtlCopyMemory(out, matchingDataRange, sizeof(KSDATAFORMAT));
  out->FormatSize = *dataSize;
  if constexpr (sizeof(Header) == sizeof(KS_VIDEOINFOHEADER))
    NormaliseVideoInfo(client->VideoInfoHeader, matchingDataRange->SubFormat);
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
    return IntersectRange<KS_DATARANGE_VIDEO, KS_VIDEOINFOHEADER>(dataRange, matchingDataRange, 48,
                                                                  dataBufferSize, data, dataSize);
  if (IsEqualGUID(matchingDataRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO2))
    return IntersectRange<KS_DATARANGE_VIDEO2, KS_VIDEOINFOHEADER2>(
        dataRange, matchingDataRange, 72, dataBufferSize, data, dataSize);
  *dataSize = 0;
  return STATUS_NO_MATCH;
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
  ULONG offset = 0x40 + 4 * channel;
  ULONG value = (ReadRegister(d, offset) & ~0x00700000u) | (VideoFormatCode(subtype) << 20);
  return WriteRegisterAndFlush(d, offset, value, 1);
}
