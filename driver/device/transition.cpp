// Plug-and-play and power transitions: the guard that keeps everyone else off the device
// while one changes what the hardware is, and the way the channels stop when the card goes
// away (to D3, at a stop, at a surprise removal) and start again when it comes back.
#include "decoder/decoder.h"
#include "device/device.h"

bool EnterDevice(CCaptureDevice *d, bool wait) {
  for (;;) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->guardLock);
    if (!d->guardTransition) {
      ++d->guardUsers;
      KeReleaseSpinLock(&d->guardLock, old);
      return true;
    }
    KeReleaseSpinLock(&d->guardLock, old);
    if (!wait) return false;
    KeWaitForSingleObject(&d->guardIdle, Executive, KernelMode, FALSE, nullptr);
  }
}

void LeaveDevice(CCaptureDevice *d) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->guardLock);
  if (--d->guardUsers == 0 && d->guardTransition)
    KeSetEvent(&d->guardDrained, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&d->guardLock, old);
}

void BeginTransition(CCaptureDevice *d) {
  for (;;) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->guardLock);
    if (!d->guardTransition) {
      d->guardTransition = TRUE;
      KeClearEvent(&d->guardIdle);
      bool users = d->guardUsers != 0;
      if (users) KeClearEvent(&d->guardDrained);
      KeReleaseSpinLock(&d->guardLock, old);
      if (users) KeWaitForSingleObject(&d->guardDrained, Executive, KernelMode, FALSE, nullptr);
      return;
    }
    // Another transition is under way: this one follows it.
    KeReleaseSpinLock(&d->guardLock, old);
    KeWaitForSingleObject(&d->guardIdle, Executive, KernelMode, FALSE, nullptr);
  }
}

void EndTransition(CCaptureDevice *d) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->guardLock);
  d->guardTransition = FALSE;
  KeSetEvent(&d->guardIdle, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&d->guardLock, old);
}

namespace {

BOOLEAN NTAPI ForgetChannels(PVOID context) {
  auto *d = static_cast<CCaptureDevice *>(context);
  d->runningMask = d->enabledMask = d->restartMask = 0;
  return TRUE;
}

BOOLEAN NTAPI ReadRunning(PVOID context) {
  auto *w = static_cast<HardwareWork *>(context);
  w->bit = w->device->runningMask;
  return TRUE;
}

// Every open pin's channel as its creation programmed it: the card is in its power-up
// state (D0 again) or has new resources (a start). Its interrupt goes with it.
NTSTATUS ReprogramStreams(CCaptureDevice *d) {
  bool any = false;
  for (ULONG bit = 0; bit < 16; ++bit) {
    if (CChannelStream *stream = StreamForChannel(d, ChannelIdForBit(bit))) {
      stream->ProgramChannel();
      any = true;
    }
  }
  if (any && !NT_SUCCESS(ConnectInterrupt(d))) return STATUS_INSUFFICIENT_RESOURCES;
  return STATUS_SUCCESS;
}

void StopWatchdog(CCaptureDevice *d) {
  // A tick that started before the request may re-arm the timer once more: it is cancelled
  // again after every DPC under way has finished.
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->channelStopLock);
  d->watchdogStopRequested = TRUE;
  KeCancelTimer(&d->watchdogTimer);
  KeReleaseSpinLock(&d->channelStopLock, old);
  KeFlushQueuedDpcs();
  KeCancelTimer(&d->watchdogTimer);
}

}  // namespace

void SuspendChannels(CCaptureDevice *d, bool touchHardware) {
  HardwareWork running = {d, 0};
  SynchronizeWithInterrupt(d, ReadRunning, &running);
  LONGLONG now = KeQueryPerformanceCounter(nullptr).QuadPart;
  AtomicSetBits(&d->suspendedMask, running.bit & 0xFFFF);
  d->suspendedAt = now;
  // A pin that keeps running without the card misses frames from now on.
  for (ULONG bit = 0; bit < 16; ++bit)
    if (CChannelStream *stream = StreamForChannel(d, ChannelIdForBit(bit))) stream->CardAway(now);
  if (touchHardware) {
    // Each channel stops as a pin's stop would stop it, the last one silencing the card.
    for (ULONG bit = 0; bit < 16; ++bit)
      if (running.bit & (1u << bit)) StopChannel(d, ChannelIdForBit(bit));
  } else {
    SynchronizeWithInterrupt(d, ForgetChannels, d);
  }
  StopWatchdog(d);
}

NTSTATUS RestoreChannels(CCaptureDevice *d) {
  // The card was initialised again: what clients set comes back before any channel runs.
  RestorePictureControls(d);
  NTSTATUS status = ReprogramStreams(d);
  if (!NT_SUCCESS(status)) return status;
  ULONG suspended = AtomicRead(&d->suspendedMask);
  ULONG deferred = AtomicRead(&d->deferredStartMask);
  AtomicWrite(&d->suspendedMask, 0);
  AtomicWrite(&d->deferredStartMask, 0);
  for (ULONG bit = 0; bit < 16; ++bit) {
    ULONG id = ChannelIdForBit(bit);
    CChannelStream *stream = StreamForChannel(d, id);
    if (stream == nullptr) continue;
    // A channel that ran goes on where it was; a start that waited for the card is a run of
    // its own, from the start.
    if (suspended & (1u << bit))
      ResumeChannel(d, id);
    else if (deferred & (1u << bit))
      StartDeferredChannel(d, id);
  }
  return STATUS_SUCCESS;
}
