// The card's line interrupt, its deferred routine, and the watchdog that re-enables
// channels an error took out.
#include "device/device.h"

namespace {

struct DpcSnapshot {
  CCaptureDevice *device;
  ULONG status;
  ULONG status04;
  ULONG running;  // runningMask AND enabledMask, as the audio dispatch needs them
};

// Events accumulate until the DPC takes them, so a later interrupt cannot erase them. The
// masks are read in the same exclusion their writers use.
BOOLEAN NTAPI TakeLatchedStatus(PVOID context) {
  auto *s = static_cast<DpcSnapshot *>(context);
  s->status = s->device->lastStatus;
  s->status04 = s->device->lastStatus04;
  s->device->lastStatus = 0;
  s->running = s->device->runningMask & s->device->enabledMask;
  return TRUE;
}

struct WatchdogWork {
  CCaptureDevice *device;
  LONGLONG now;
  LONGLONG frequency;
};

BOOLEAN NTAPI WatchdogRestart(PVOID context) {
  auto *w = static_cast<WatchdogWork *>(context);
  CCaptureDevice *d = w->device;
  if (d->runningMask == 0 || (d->runningMask & ~d->enabledMask) == 0) return FALSE;
  // Every video channel off while one should run: reset the card's channel state. A video
  // start leaves enabledMask to this tick, so the first tick after one lands here on
  // purpose; the reset takes audio down too and writes 0x08 before 0x28, the reverse of
  // enabling, as the card's reset sequence has it.
  if ((d->enabledMask & 0xFF) == 0 && (d->runningMask & 0xFF) != 0) {
    d->enabledMask = 0;
    WriteRegisterAndFlush(d, CHANNEL_CONTROL, 0, 1);
    WriteRegisterAndFlush(d, CHANNEL_ENABLE, 0, 1);
  }
  if (w->now - d->lastErrorTime > w->frequency / 15 && d->restartMask == 0) {
    ULONG differing = d->runningMask ^ d->enabledMask;
    for (ULONG i = 0; i < 16; ++i)
      if (differing & (1u << i)) d->restartMask |= 1u << i;
  }
  if (d->restartMask != 0) {
    d->enabledMask |= d->restartMask;
    WriteRegisterAndFlush(d, CHANNEL_ENABLE, d->enabledMask, 16);
    ULONG control = ReadRegister(d, CHANNEL_CONTROL);
    WriteRegisterAndFlush(d, CHANNEL_CONTROL, control | d->enabledMask | kMasterEnable, 16);
    d->restartMask = 0;
  }
  return TRUE;
}

}  // namespace

ULONG ErrorChannels(ULONG isDevice6864, ULONG d, ULONG e, ULONG l) {
  if (isDevice6864) {
    if (e == 0 && l == 0 && (d >> 24) == 0) return 0;
    return ((e | (e >> 16) | (e >> 24)) | (d >> 24)) & 0xFF;
  }
  if ((e >> 16) == 0 && (d >> 16) == 0) return 0;
  return (((e >> 16) | (e >> 24) | l | (l >> 8)) | (d >> 24)) & 0xFF;
}

BOOLEAN NTAPI InterruptService(PKINTERRUPT, PVOID serviceContext) {
  if (serviceContext == nullptr) return FALSE;
  CCaptureDevice *dev = DeviceContext(static_cast<PKSDEVICE>(serviceContext));
  // Already at the interrupt's IRQL: take the lock without touching the IRQL.
  KeAcquireSpinLockAtDpcLevel(&dev->isrLock);
  ULONG d = ReadRegister(dev, INT_STATUS);
  if (d == 0xFFFFFFFF) {
    // All ones: the card is asleep or gone and the line is someone else's; nothing here is
    // ours to read or to write.
    KeReleaseSpinLockFromDpcLevel(&dev->isrLock);
    return FALSE;
  }
  ULONG e = ReadRegister(dev, ERROR_STATUS_A);
  // Read and dropped: the card's status sequence; what is latched is the read further down.
  (void)ReadRegister(dev, BUFFER_STATUS);

  // Nothing should run: the card is silenced, and the interrupt (its status already read,
  // its line down) is left unclaimed.
  if (dev->runningMask == 0) {
    WriteRegisterAndFlush(dev, CHANNEL_ENABLE, 0, 2);
    WriteRegisterAndFlush(dev, CHANNEL_CONTROL, 0, 2);
    KeReleaseSpinLockFromDpcLevel(&dev->isrLock);
    return FALSE;
  }

  ULONG h = ReadRegister(dev, CHANNEL_ENABLE);
  ULONG l = ReadRegister(dev, ERROR_STATUS_B);
  (void)ReadRegister(dev, CHANNEL_ROUTING);  // the status sequence's last read; value unused
  if (d == 0 && e == 0 && l == 0) {
    // Nothing of ours: on a shared line it belongs to another device.
    KeReleaseSpinLockFromDpcLevel(&dev->isrLock);
    return FALSE;
  }

  ULONG errors = ErrorChannels(dev->isDevice6864, d, e, l);
  if (errors != 0) {
    for (ULONG n = 0; n < kVideoChannels; ++n) {
      if (errors & (1u << n)) {
        dev->enabledMask &= ~(1u << n);
        h &= ~(1u << n);
      }
    }
    dev->lastErrorTime = KeQueryPerformanceCounter(nullptr).QuadPart;
    WriteRegister(dev, CHANNEL_ENABLE, h);
    KeMemoryBarrier();
    ULONG v = h;
    for (int i = 0; i < 3; ++i) v = ReadRegister(dev, CHANNEL_ENABLE);
    // 0x08's channel bits become what 0x28 reads back, not what was written to it.
    WriteRegisterAndFlush(dev, CHANNEL_CONTROL, v | kMasterEnable, 3);
  }

  dev->lastStatus04 = ReadRegister(dev, BUFFER_STATUS);
  dev->lastStatus |= d;

  if (dev->restartMask != 0) {
    dev->enabledMask |= dev->restartMask;
    dev->restartMask = 0;
    WriteRegisterAndFlush(dev, CHANNEL_ENABLE, dev->enabledMask, 1);
    ULONG w = ReadRegister(dev, CHANNEL_CONTROL);
    WriteRegisterAndFlush(dev, CHANNEL_CONTROL, w | dev->enabledMask | kMasterEnable, 1);
  }

  if (d != 0) KeInsertQueueDpc(&dev->interruptDpc, nullptr, nullptr);
  KeReleaseSpinLockFromDpcLevel(&dev->isrLock);
  return TRUE;
}

void NTAPI InterruptDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  CCaptureDevice *d = DeviceContext(static_cast<PKSDEVICE>(deferredContext));
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->busLock);
  DpcSnapshot s = {d, 0, 0, 0};
  SynchronizeWithInterrupt(d, TakeLatchedStatus, &s);
  // Video streams hear of every field (their run state decides); audio streams only while
  // their channel is both started and enabled.
  for (ULONG n = 0; n < kVideoChannels; ++n) {
    if ((s.status & (1u << n)) && d->videoStreams[n] != nullptr)
      d->videoStreams[n]->OnInterrupt(s.status, 0, s.status04);
  }
  for (ULONG n = 0; n < 8; ++n) {
    ULONG bit = 1u << (8 + n);
    if ((s.status & bit) && (s.running & bit) && d->audioStreams[8 + n] != nullptr)
      d->audioStreams[8 + n]->OnInterrupt(s.status, 0, s.status04);
  }
  KeReleaseSpinLock(&d->busLock, old);
}

void NTAPI WatchdogDpc(PKDPC, PVOID deferredContext, PVOID, PVOID) {
  auto *d = static_cast<CCaptureDevice *>(deferredContext);
  // Whether the watchdog goes on is decided under the lock StartChannel arms it with: a
  // start on another processor cannot slip between the test and the cancel.
  KeAcquireSpinLockAtDpcLevel(&d->channelStopLock);
  if (d->watchdogStopRequested) {
    KeSetEvent(&d->watchdogStoppedEvent, IO_NO_INCREMENT, FALSE);
    KeCancelTimer(&d->watchdogTimer);
    KeReleaseSpinLockFromDpcLevel(&d->channelStopLock);
    return;
  }
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  d->watchdogArmedAt = now.QuadPart;
  LARGE_INTEGER frequency;
  WatchdogWork w = {d, KeQueryPerformanceCounter(&frequency).QuadPart, 0};
  w.frequency = frequency.QuadPart;
  // A card that is not in D0 is left alone (the transitions stop the watchdog too).
  if (static_cast<DEVICE_POWER_STATE>(
          AtomicRead(reinterpret_cast<volatile ULONG *>(&d->powerState))) == PowerDeviceD0)
    SynchronizeWithInterrupt(d, WatchdogRestart, &w);
  // Relative: setting the clock back must not hold the next tick back.
  LARGE_INTEGER due;
  due.QuadPart = -d->watchdogPeriod;
  KeSetTimer(&d->watchdogTimer, due, &d->watchdogDpc);
  KeReleaseSpinLockFromDpcLevel(&d->channelStopLock);
}
