// The video pin: its descriptors and dispatch, and the stream object that drives the
// channel and delivers frames.
#pragma once

#include "device/device.h"
#include "device/stream_state.h"

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
  void ProgramChannel() override;
  NTSTATUS StartDeferred() override;
  void CardAway(LONGLONG since) override;
  // The frames the pin missed while it ran without the card count as dropped.
  NTSTATUS ResumeHardware() override;

  static void NTAPI Free(PVOID stream);

  // The walk's hooks (device/stream_state.h).
  void ReleaseOnStop();
  PKSPIN_LOCK PauseStopLock() { return &stateLock; }

  // Set at creation, read anywhere.
  PKSPIN pin;
  ULONG channelId;
  // Interlocked: the DPC sets it, the process call takes it.
  volatile LONG framePending;
  CCaptureDevice *device;
  // Set at creation (the filter's control mutex), read by the process calls.
  ULONG bytesPerLineA, bytesPerLineB;
  ULONG linesA, linesB;
  // The pin's processing mutex (process calls hold it; the state path takes it).
  ULONG fieldsSeen;
  // Interlocked: counted by the DPC, reset by StartHardware, read by the process call.
  ULONG pictureNumber;  // frames the card completed since the start, delivered or not
  KSPIN_LOCK stateLock;
  RunState runState;               // busLock for writes (the DPC reads it there)
  PKSSTREAM_POINTER currentFrame;  // processing mutex
  // The state path and the process calls, under the processing mutex while both may run.
  PIKSREFERENCECLOCK referenceClock;
  PKS_VIDEOINFOHEADER formatSnapshot;
  UCHAR clockHeld;
  // Fields per frame as programmed at creation (one rule for decoder, DMA and delivery).
  ULONG fieldsPerFrame;
  ULONG delivered;  // processing mutex: frames completed to the client since the start
  // busLock: a field A was signalled since the channel started (or since a resume after
  // fields went by while paused).
  bool fieldASinceStart;
  // busLock: fields went by while the pin was paused. The next field signalled restarts
  // the counting and, through restartFrame (interlocked), the frame being filled.
  bool fieldMissed;
  volatile LONG restartFrame;
  // The state path and transitions (both users of the device's guard): since when the pin
  // runs without the card, performance counter; 0 when it does not.
  LONGLONG absentSince;

  ULONG channel() const { return channelId & 0xF; }

 private:
  NTSTATUS Start(bool snapshot);
  void CopyField(PUCHAR destination, const UCHAR *source, ULONG firstLine, ULONG lineStep,
                 ULONG pitch, ULONG copyLength, ULONG totalLines, bool bottomUp, bool twice) const;
  void EjectCurrent(ULONG dataUsed, bool setDataUsed);
};

extern const KSPIN_DESCRIPTOR_EX kVideoPinDescriptors[kVideoChannels];

NTSTATUS NTAPI VideoPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                                     PKSMULTIPLE_ITEM oldAttributes, const KSDATARANGE *dataRange,
                                     const KSATTRIBUTE_LIST *attributeRange);
// The state change of both kinds of pin: the stream's walk inside the transition guard.
NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from);
// Why a video format cannot be captured, or STATUS_SUCCESS.
NTSTATUS CheckCapturableFormat(const CCaptureDevice *d, ULONG channel, const KSDATAFORMAT *format,
                               const KS_VIDEOINFOHEADER *vih);
