// Starting and stopping channels: the stream object's enable/disable, the channel
// masks and the watchdog that watches over running channels.
#include "device/device.h"

namespace {

struct StopWork {
  CCaptureDevice *device;
  ULONG bit;
  LONGLONG now;
};

BOOLEAN ClearChannelMasks(PVOID context) {
  auto *w = static_cast<StopWork *>(context);
  w->device->lastErrorTime = w->now;
  w->device->runningMask &= ~w->bit;
  w->device->enabledMask &= ~w->bit;
  return TRUE;
}

// With no channel left the card is silenced; decided under the interrupt's lock so a
// service routine cannot start a channel between the test and the writes.
BOOLEAN SilenceIfIdle(PVOID context) {
  CCaptureDevice *d = static_cast<StopWork *>(context)->device;
  if (d->runningMask != 0) return FALSE;
  d->watchdogStopRequested = TRUE;
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

NTSTATUS StartChannel(CCaptureDevice *d, ULONG id) {
  if (d->powerState != PowerDeviceD0) {
    d->deferredStartMask |= ChannelMaskBit(id);
    return STATUS_DEVICE_POWERED_OFF;
  }
  d->watchdogPeriod = kWatchdogPeriod;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  d->watchdogArmedAt = now.QuadPart;
  d->watchdogStopRequested = FALSE;
  LARGE_INTEGER due;
  due.QuadPart = d->watchdogArmedAt + d->watchdogPeriod;
  KeSetTimer(&d->watchdogTimer, due, &d->watchdogDpc);
  if (CChannelStream *stream = StreamForChannel(d, id)) stream->StartHardware();
  return STATUS_SUCCESS;
}

NTSTATUS StopChannel(CCaptureDevice *d, ULONG id) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->channelStopLock);
  StopWork work = {d, ChannelMaskBit(id), KeQueryPerformanceCounter(nullptr).QuadPart};
  SynchronizeWithInterrupt(d, ClearChannelMasks, &work);
  if (CChannelStream *stream = StreamForChannel(d, id)) stream->StopHardware(~work.bit);
  SynchronizeWithInterrupt(d, SilenceIfIdle, &work);
  KeReleaseSpinLock(&d->channelStopLock, old);
  return STATUS_SUCCESS;
}
