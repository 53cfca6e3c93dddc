// The audio capture pin of each channel and its stream object.
#pragma once

#include "device/device.h"

class CAudioStream : public CChannelStream {
 public:
  CAudioStream(PKSPIN pin, CCaptureDevice *device);

  void OnInterrupt(ULONG status, ULONG reserved, ULONG status04) override;
  NTSTATUS StartHardware() override;
  NTSTATUS StopHardware(ULONG mask) override;
  BOOLEAN AlwaysTrue() override;
  NTSTATUS SetState(KSSTATE to, KSSTATE from) override;

  static void Free(PVOID stream);

  PKSPIN pin;
  ULONG channelId;  // 8 + channel
  CCaptureDevice *device;
  PUCHAR blockA;
  PUCHAR blockB;
  ULONG blockAddressA;
  ULONG blockAddressB;
  ULONG blockSize;
  ULONG lastToggle;
  ULONG sampleRate;
  volatile ULONG runState;
  PIKSREFERENCECLOCK referenceClock;
  BOOLEAN clockHeld;
};

extern const KSDATARANGE_AUDIO kAudioRanges[6];
extern const KSPIN_DESCRIPTOR_EX kAudioPinDescriptors[kVideoChannels];
extern const KSALLOCATOR_FRAMING_EX kAudioFraming;

NTSTATUS AudioIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                               PKSDATARANGE matchingDataRange, ULONG dataBufferSize, PVOID data,
                               PULONG dataSize);
NTSTATUS AudioPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                               const KSDATARANGE *dataRange,
                               const KSATTRIBUTE_LIST *attributeRange);
NTSTATUS AudioPinClose(PKSPIN pin, PIRP irp);
NTSTATUS AudioPinProcess(PKSPIN pin);
void ProgramAudioChannel(CAudioStream *stream, PKSPIN pin);
