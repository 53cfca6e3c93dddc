// The card's video front end: busy-wait timing, the two-wire bus to the external
// decoder, the uniform decoder register access, card initialisation and the per-channel
// video programming.
#pragma once

#include "device/device.h"

// Busy-waits at least `ns` nanoseconds on the performance counter, at any IRQL.
void DelayNanoseconds(ULONG ns);

// One register transaction with the external decoder, under busLock.
void BusWriteRegister(CCaptureDevice *d, UCHAR reg, UCHAR value);
UCHAR BusReadRegister(CCaptureDevice *d, UCHAR reg);

// Decoder register r (0-0xFF) of bank 0 (channels 0-3) or bank 1 (channels 4-7): a
// memory-mapped card register, or on the 0x6864 board bank 1 over the bus.
void DecoderWrite(CCaptureDevice *d, ULONG bank, ULONG r, ULONG value);
ULONG DecoderRead(CCaptureDevice *d, ULONG bank, ULONG r);

// Brings the card and its decoders to a known state (device start, return to D0).
void InitializeCard(CCaptureDevice *d);
// Writes the picture controls clients set into the decoders again, after InitializeCard.
void RestorePictureControls(CCaptureDevice *d);
ULONG ReadChannelStatus(CCaptureDevice *d, ULONG channel);
// Re-reads the channel's input standard and switches the ranges it offers.
void DetectChannelStandard(CCaptureDevice *d, ULONG channel);
void ConfigureChannelVideo(CCaptureDevice *d, ULONG channel, ULONG width, ULONG height);
void ProgramFrameRate(CCaptureDevice *d, ULONG channel, LONGLONG frameInterval);
ULONG FrameKeepPattern(LONG framesPerSecond, bool is525);

// The standards of the 625-line class: PAL B/D/G/H/I/N and every SECAM.
constexpr ULONG k625LineStandards = 0xFF5F0;
inline bool Is625LineStandard(ULONG standard) { return (standard & k625LineStandards) != 0; }

// How a channel captures a picture of |height| lines: as two fields of half the lines
// when it is taller than one field of the channel's standard, else as one field.
struct FieldSplit {
  ULONG fields;
  ULONG linesPerField;
};
FieldSplit SplitFields(const CCaptureDevice *d, ULONG channel, LONG height);
