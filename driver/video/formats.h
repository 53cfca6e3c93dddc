// The video data ranges each channel offers, the intersect handler that turns a
// client's range into a format, and the card's pixel format codes.
#pragma once

#include "device/device.h"

// The four ranges of one line standard, in the order the host proposes them.
extern const KS_DATARANGE_VIDEO kVideoRanges480[4];
extern const KS_DATARANGE_VIDEO kVideoRanges576[4];
// The 480-line list the static pin descriptors carry; each card's factories point their
// pins at the card's own lists (CCaptureDevice::channelFormats).
extern const PKSDATARANGE kDefaultVideoRangeList[4];

// Back to the 480-line ranges a channel offers before standard detection.
void ResetChannelFormats(CCaptureDevice *d, ULONG channel);
// Switches a channel of the card between its 576-line and 480-line ranges.
void UseChannelFormats(CCaptureDevice *d, ULONG channel, bool lines576);

NTSTATUS NTAPI VideoIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                                     PKSDATARANGE matchingDataRange, ULONG dataBufferSize,
                                     PVOID data, PULONG dataSize);

// Bits per pixel the card packs a subtype in, or 0 for a subtype it does not capture.
ULONG SubtypeBitCount(const GUID &subtype);
// The card's 3-bit pixel format code for a subtype.
ULONG VideoFormatCode(const GUID *subtype);
// Writes the subtype's code into bits 20-22 of the channel control register.
ULONG SelectVideoFormat(CCaptureDevice *d, ULONG channel, const GUID *subtype);
