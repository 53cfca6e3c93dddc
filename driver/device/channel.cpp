// Starting and stopping channels: the stream object's enable/disable, the channel masks
// and the watchdog that watches over running channels.
#include "device/device.h"

namespace {

struct StopWork {
  CCaptureDevice *device;
  ULONG bit;
  LONGLONG now;
};

BOOLEAN NTAPI ClearChannelMasks(PVOID context) {
  auto *w = static_cast<StopWork *>(context);
  w->device->lastErrorTime = w->now;
  w->device->runningMask &= ~w->bit;
  w->device->enabledMask &= ~w->bit;
  return TRUE;
}

// With no channel left the card is silenced; decided under the interrupt's lock so a
// service routine cannot start a channel between the test and the writes. A start under
// way keeps the watchdog (channelStopLock is held).
BOOLEAN NTAPI SilenceIfIdle(PVOID context) {
  CCaptureDevice *d = static_cast<StopWork *>(context)->device;
  if (d->runningMask != 0) return FALSE;
  if (d->startsInProgress == 0) d->watchdogStopRequested = TRUE;
  WriteRegisterAndFlush(d, CHANNEL_ENABLE, 0, 1);
  WriteRegisterAndFlush(d, CHANNEL_CONTROL, 0, 1);
  return TRUE;
}

}  // namespace

CChannelStream *StreamForChannel(CCaptureDevice *d, ULONG id) {
  if (IsVideoChannelId(id)) {
    ULONG channel = id & 0xF;
    return channel < kVideoChannels ? d->videoStreams[channel] : nullptr;
  }
  return id < 16 ? d->audioStreams[id] : nullptr;
}

namespace {

CChannelStream **StreamSlot(CCaptureDevice *d, ULONG id) {
  if (IsVideoChannelId(id))
    return (id & 0xF) < kVideoChannels ? &d->videoStreams[id & 0xF] : nullptr;
  return id < 16 ? &d->audioStreams[id] : nullptr;
}

}  // namespace

// The interrupt DPC calls the streams under busLock: once these return, no DPC on any
// processor still works with a stream they took out.
void SetStreamForChannel(CCaptureDevice *d, ULONG id, CChannelStream *stream) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->busLock);
  if (CChannelStream **slot = StreamSlot(d, id)) *slot = stream;
  KeReleaseSpinLock(&d->busLock, old);
}

void ClearStreamForChannel(CCaptureDevice *d, ULONG id, CChannelStream *stream) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->busLock);
  CChannelStream **slot = StreamSlot(d, id);
  if (slot != nullptr && *slot == stream) *slot = nullptr;
  KeReleaseSpinLock(&d->busLock, old);
}

namespace {

// Arms the watchdog for a channel about to run. Its due time is relative: a clock set back
// would hold an absolute one back by as much.
void ArmWatchdog(CCaptureDevice *d) {
  d->watchdogPeriod = kWatchdogPeriod;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  d->watchdogArmedAt = now.QuadPart;
  d->watchdogStopRequested = FALSE;
  LARGE_INTEGER due;
  due.QuadPart = -d->watchdogPeriod;
  KeSetTimer(&d->watchdogTimer, due, &d->watchdogDpc);
}

enum class StartKind { Start, Resume, Deferred };

NTSTATUS Start(CCaptureDevice *d, ULONG id, StartKind kind) {
  if (d->hardwareState == kHardwareRemoved) return STATUS_DEVICE_REMOVED;
  // The watchdog's arming and the last stop's request to end it exclude each other, and a
  // stop of another channel does not end the watchdog while this start is under way.
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->channelStopLock);
  if (static_cast<DEVICE_POWER_STATE>(
          AtomicRead(reinterpret_cast<volatile ULONG *>(&d->powerState))) != PowerDeviceD0 ||
      d->hardwareState != kHardwareStarted) {
    // Made when the card is back (RestoreChannels).
    KeReleaseSpinLock(&d->channelStopLock, old);
    AtomicSetBits(&d->deferredStartMask, ChannelMaskBit(id));
    return STATUS_DEVICE_POWERED_OFF;
  }
  ArmWatchdog(d);
  ++d->startsInProgress;
  KeReleaseSpinLock(&d->channelStopLock, old);
  if (CChannelStream *stream = StreamForChannel(d, id)) {
    if (kind == StartKind::Resume)
      stream->ResumeHardware();
    else if (kind == StartKind::Deferred)
      stream->StartDeferred();
    else
      stream->StartHardware();
  }
  old = KeAcquireSpinLockRaiseToDpc(&d->channelStopLock);
  --d->startsInProgress;
  KeReleaseSpinLock(&d->channelStopLock, old);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS StartChannel(CCaptureDevice *d, ULONG id) { return Start(d, id, StartKind::Start); }

NTSTATUS ResumeChannel(CCaptureDevice *d, ULONG id) { return Start(d, id, StartKind::Resume); }

NTSTATUS StartDeferredChannel(CCaptureDevice *d, ULONG id) {
  return Start(d, id, StartKind::Deferred);
}

NTSTATUS StopChannel(CCaptureDevice *d, ULONG id) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->channelStopLock);
  StopWork work = {d, ChannelMaskBit(id), KeQueryPerformanceCounter(nullptr).QuadPart};
  if (!HardwareUsable(d)) {
    // The card is away or gone: nothing to tell it, and nothing to start again later.
    SynchronizeWithInterrupt(d, ClearChannelMasks, &work);
    AtomicClearBits(&d->deferredStartMask, work.bit);
    AtomicClearBits(&d->suspendedMask, work.bit);
    KeReleaseSpinLock(&d->channelStopLock, old);
    return STATUS_SUCCESS;
  }
  SynchronizeWithInterrupt(d, ClearChannelMasks, &work);
  if (CChannelStream *stream = StreamForChannel(d, id)) stream->StopHardware(~work.bit);
  SynchronizeWithInterrupt(d, SilenceIfIdle, &work);
  KeReleaseSpinLock(&d->channelStopLock, old);
  return STATUS_SUCCESS;
}
