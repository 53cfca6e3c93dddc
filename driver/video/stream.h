// The video pin: its descriptors and dispatch, and the stream object that drives the
// channel and delivers frames.
#pragma once

#include "device/device.h"

class CVideoStream : public CChannelStream {
 public:
  CVideoStream(PKSPIN pin, CCaptureDevice *device);

  void OnInterrupt(ULONG status, ULONG reserved, ULONG status04) override;
  NTSTATUS StartHardware() override;
  NTSTATUS StopHardware(ULONG mask) override;
  BOOLEAN AlwaysTrue() override;
  NTSTATUS SetState(KSSTATE to, KSSTATE from) override;

  // The pin's process operation: copies the completed field into the client's frame.
  NTSTATUS ProcessVideoFrame();

  static void Free(PVOID stream);

  PKSPIN pin;
  ULONG channelId;
  volatile UCHAR framePending;
  CCaptureDevice *device;
  ULONG bytesPerLineA, bytesPerLineB;
  ULONG linesA, linesB;
  ULONG fieldsSeen;
  ULONG pictureNumber;  // frames the card completed since the start, delivered or not
  KSPIN_LOCK stateLock;
  volatile ULONG runState;  // 0 stopped, 1 paused after running, 2 running
  PKSSTREAM_POINTER currentFrame;
  PIKSREFERENCECLOCK referenceClock;
  PKS_VIDEOINFOHEADER formatSnapshot;
  UCHAR clockHeld;
  // Fields per frame as programmed at creation (one rule for decoder, DMA and delivery).
  ULONG fieldsPerFrame;
  ULONG delivered;        // frames completed to the client since the start
  bool fieldASinceStart;  // a field A was signalled since the channel started (or resumed)
  // Fields went by while the pin was paused: the next field signalled after resuming
  // restarts the counting, and the frame being filled starts again at its next field A.
  bool fieldMissed;
  volatile UCHAR restartFrame;

  ULONG channel() const { return channelId & 0xF; }

 private:
  void CopyField(PUCHAR destination, const UCHAR *source, ULONG firstLine, ULONG lineStep,
                 ULONG pitch, ULONG copyLength, ULONG totalLines, bool bottomUp) const;
  void EjectCurrent(ULONG dataUsed, bool setDataUsed);
};

extern const KSPIN_DESCRIPTOR_EX kVideoPinDescriptors[kVideoChannels];

NTSTATUS VideoPinClose(PKSPIN pin, PIRP irp);
NTSTATUS VideoPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                               const KSDATARANGE *dataRange,
                               const KSATTRIBUTE_LIST *attributeRange);
NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
NTSTATUS VideoPinProcess(PKSPIN pin);
PKS_VIDEOINFOHEADER SnapshotVideoFormat(CVideoStream *stream);
NTSTATUS ProgramVideoDma(CVideoStream *stream, ULONG channel, ULONG bytesPerLine,
                         ULONG linesPerField);
// Why a video format cannot be captured, or STATUS_SUCCESS.
NTSTATUS CheckCapturableFormat(const CCaptureDevice *d, ULONG channel, const KSDATAFORMAT *format,
                               const KS_VIDEOINFOHEADER *vih);
