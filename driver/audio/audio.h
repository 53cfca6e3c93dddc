// The audio capture pin of each channel and its stream object.
#pragma once

#include "device/device.h"
#include "device/stream_state.h"

class CAudioStream;
void ProgramAudioChannel(CAudioStream *stream, PKSPIN pin);

class CAudioStream : public CChannelStream {
 public:
  CAudioStream(PKSPIN pin, CCaptureDevice *device);

  void OnInterrupt(ULONG status, ULONG reserved, ULONG status04) override;
  NTSTATUS StartHardware() override;
  NTSTATUS StopHardware(ULONG mask) override;
  BOOLEAN AlwaysTrue() override;
  NTSTATUS SetState(KSSTATE to, KSSTATE from) override;

  static void NTAPI Free(PVOID stream);
  void ProgramChannel() override { ProgramAudioChannel(this, pin); }
  NTSTATUS ResumeHardware() override;

  // The walk's hooks (device/stream_state.h).
  void ReleaseOnStop() { ReleaseReferenceClock(*this); }
  PKSPIN_LOCK PauseStopLock() { return nullptr; }

  // Set at creation, read anywhere.
  PKSPIN pin;
  ULONG channelId;  // 8 + channel
  CCaptureDevice *device;
  PUCHAR blockA;
  PUCHAR blockB;
  ULONG blockAddressA;
  ULONG blockAddressB;
  ULONG blockSize;
  ULONG lastToggle;  // busLock: the DPC acts on it, StopHardware resets it
  ULONG sampleRate;
  RunState runState;  // busLock for writes (the DPC reads it there)
  // The state path, and the DPC under busLock (the clock is released under it).
  PIKSREFERENCECLOCK referenceClock;
  BOOLEAN clockHeld;
  LONGLONG absentSince;  // as the video stream's; blocks carry no count
};

extern const KSDATARANGE_AUDIO kAudioRanges[6];
extern const KSPIN_DESCRIPTOR_EX kAudioPinDescriptors[kVideoChannels];
extern const KSALLOCATOR_FRAMING_EX kAudioFraming;

NTSTATUS NTAPI AudioPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat,
                                     PKSMULTIPLE_ITEM oldAttributes, const KSDATARANGE *dataRange,
                                     const KSATTRIBUTE_LIST *attributeRange);
NTSTATUS NTAPI AudioPinProcess(PKSPIN pin);
