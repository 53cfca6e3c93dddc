// The run-state walk the video and the audio stream share: how the pin's kernel-streaming
// state changes start and stop the channel, and when the reference clock is taken and given
// back.
#pragma once

#include "device/device.h"

// Where a stream is between its pin's state changes. The channel runs in the card in both
// PausedAfterRunning and Running; only Running delivers.
enum class RunState : ULONG { Stopped = 0, PausedAfterRunning = 1, Running = 2 };
static_assert(sizeof(RunState) == sizeof(ULONG), "the run state keeps its 4-byte layout");

// runState is written under busLock, where the interrupt DPC reads it; the state path that
// writes it is the only other reader.
template <class Stream>
void SetRunState(Stream &s, RunState state) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&s.device->busLock);
  s.runState = state;
  KeReleaseSpinLock(&s.device->busLock, old);
}

// Gives the reference clock back. The audio DPC stamps blocks with it under busLock, so it
// is taken away under busLock; the video process call stamps frames with it, so the video
// stream calls this under its pin's processing mutex.
template <class Stream>
void ReleaseReferenceClock(Stream &s) {
  if (!s.clockHeld) return;
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&s.device->busLock);
  PIKSREFERENCECLOCK clock = s.referenceClock;
  s.referenceClock = nullptr;
  s.clockHeld = 0;
  KeReleaseSpinLock(&s.device->busLock, old);
  if (clock != nullptr) clock->Release();
}

// The state machine both streams follow (the stream's SetState). A stream provides pin,
// device, channelId, runState, referenceClock and clockHeld, absentSince, ReleaseOnStop
// (what the stop gives back beyond the channel: the clock, and for video the frame it holds)
// and PauseStopLock (a lock for the pause-to-acquire stop, or none). The caller is a user of
// the transition guard (PinSetDeviceState), so the card stays what it is meanwhile.
//
// While the card is away (asleep, stopped for a rebalance) a pin still moves: a start is
// deferred and made when the card comes back, and the time the stream runs without the card
// is remembered (absentSince, performance counter) so that the frames it misses count as
// dropped.
template <class Stream>
NTSTATUS WalkRunState(Stream &s, KSSTATE to, KSSTATE from) {
  NTSTATUS status = STATUS_SUCCESS;
  switch (to) {
    case KSSTATE_STOP:
      if (s.runState != RunState::Stopped) {
        status = StopChannel(s.device, s.channelId);
        SetRunState(s, RunState::Stopped);
      }
      s.absentSince = 0;
      s.ReleaseOnStop();
      return status;
    case KSSTATE_ACQUIRE:
      if (from == KSSTATE_STOP) {
        s.clockHeld = 1;
        if (!NT_SUCCESS(KsPinGetReferenceClockInterface(s.pin, &s.referenceClock)))
          s.referenceClock = nullptr;
        return STATUS_SUCCESS;
      }
      if (s.runState != RunState::Stopped) {
        PKSPIN_LOCK lock = s.PauseStopLock();
        KIRQL old = 0;
        if (lock != nullptr) old = KeAcquireSpinLockRaiseToDpc(lock);
        status = StopChannel(s.device, s.channelId);
        SetRunState(s, RunState::Stopped);
        if (lock != nullptr) KeReleaseSpinLock(lock, old);
      }
      return status;
    case KSSTATE_PAUSE:
      if (from == KSSTATE_RUN) {
        SetRunState(s, RunState::PausedAfterRunning);
        s.absentSince = 0;
      }
      return STATUS_SUCCESS;
    case KSSTATE_RUN:
      if (s.runState == RunState::PausedAfterRunning) {
        if (!HardwareUsable(s.device)) s.absentSince = KeQueryPerformanceCounter(nullptr).QuadPart;
        SetRunState(s, RunState::Running);
        return STATUS_SUCCESS;
      }
      status = StartChannel(s.device, s.channelId);
      // Deferred until the card is back: the pin runs, the channel starts then.
      if (status == STATUS_DEVICE_POWERED_OFF) status = STATUS_SUCCESS;
      if (!NT_SUCCESS(status)) return status;
      SetRunState(s, RunState::Running);
      return status;
  }
  return STATUS_SUCCESS;
}
