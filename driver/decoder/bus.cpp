// The two-wire bus to the external decoder, driven by hand through SERIAL_IF, and the
// uniform decoder register access on top of it.
#include "decoder/decoder.h"

namespace {

constexpr ULONG kClock = 1u << 0;
constexpr ULONG kData = 1u << 1;
constexpr ULONG kRelease = 1u << 17;
constexpr ULONG kHalfStep = 20000;  // ns
constexpr UCHAR kWriteAddress = 0x50;
constexpr UCHAR kReadAddress = 0x51;

ULONG Line(CCaptureDevice *d) { return ReadRegister(d, SERIAL_IF); }

void Put(CCaptureDevice *d, ULONG copy, bool wait = true) {
  WriteRegister(d, SERIAL_IF, copy);
  KeMemoryBarrier();
  if (wait) DelayNanoseconds(kHalfStep);
}

// Line steps of the two-wire bus; callers hold busLock.
void BusStart(CCaptureDevice *d) {
  ULONG copy = Line(d);
  copy |= kClock;
  Put(d, copy);
  copy = (copy & ~kRelease) | kData;
  Put(d, copy);
  copy &= ~(kRelease | kData);  // data falls while the clock is high: start
  Put(d, copy);
  copy &= ~kClock;
  Put(d, copy);
}

void BusStop(CCaptureDevice *d) {
  ULONG copy = Line(d) & ~(kRelease | kData);
  Put(d, copy);
  copy |= kClock;
  Put(d, copy);
  copy = (copy & ~kRelease) | kData;  // data rises while the clock is high: stop
  Put(d, copy);
}

void BusWriteByte(CCaptureDevice *d, UCHAR byte) {
  ULONG copy = Line(d);
  for (int bit = 7; bit >= 0; --bit) {
    copy &= ~(kRelease | kData);
    if (byte & (1u << bit)) copy |= kData;
    Put(d, copy);
    copy |= kClock;
    Put(d, copy);
    copy &= ~kClock;
    Put(d, copy);
  }
  copy = (copy & ~kRelease) | kData;
  Put(d, copy);
}

bool BusWaitAck(CCaptureDevice *d) {
  ULONG copy = Line(d) | kRelease;
  Put(d, copy, false);
  bool acked = false;
  // Up to two clock pulses: a device that has not pulled data low by the first gets a second.
  for (int pulse = 0; pulse < 2 && !acked; ++pulse) {
    copy |= kClock;
    Put(d, copy);
    acked = (Line(d) & kData) == 0;
    copy &= ~kClock;
    Put(d, copy);
  }
  copy &= ~kRelease;
  Put(d, copy);
  return acked;
}

UCHAR BusReadByte(CCaptureDevice *d) {
  Put(d, Line(d) | kRelease, false);
  ULONG copy = Line(d);
  UCHAR byte = 0;
  for (int bit = 7; bit >= 0; --bit) {
    copy |= kClock;
    Put(d, copy);
    if (Line(d) & kData) byte |= static_cast<UCHAR>(1u << bit);
    copy &= ~kClock;
    Put(d, copy);
  }
  copy = (copy & ~kRelease) | kData;
  Put(d, copy);
  return byte;
}

}  // namespace

// Acknowledges are sampled but not acted on: a silent device loses writes and reads
// back the idle line.
void BusWriteRegister(CCaptureDevice *d, UCHAR reg, UCHAR value) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->busLock);
  BusStart(d);
  const UCHAR bytes[] = {kWriteAddress, reg, value};
  for (UCHAR byte : bytes) {
    BusWriteByte(d, byte);
    BusWaitAck(d);
  }
  BusStop(d);
  KeReleaseSpinLock(&d->busLock, old);
}

UCHAR BusReadRegister(CCaptureDevice *d, UCHAR reg) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->busLock);
  BusStart(d);
  BusWriteByte(d, kWriteAddress);
  BusWaitAck(d);
  BusWriteByte(d, reg);
  BusWaitAck(d);
  BusStop(d);
  BusStart(d);
  BusWriteByte(d, kReadAddress);
  BusWaitAck(d);
  UCHAR value = BusReadByte(d);
  BusStop(d);
  KeReleaseSpinLock(&d->busLock, old);
  return value;
}

void DecoderWrite(CCaptureDevice *d, ULONG bank, ULONG r, ULONG value) {
  if (bank != 0 && d->isDevice6864) {
    BusWriteRegister(d, static_cast<UCHAR>(r), static_cast<UCHAR>(value));
    return;
  }
  WriteRegister(d, DecoderRegisterOffset(bank, r), value);
  KeMemoryBarrier();
}

ULONG DecoderRead(CCaptureDevice *d, ULONG bank, ULONG r) {
  if (bank != 0 && d->isDevice6864) return BusReadRegister(d, static_cast<UCHAR>(r));
  return ReadRegister(d, DecoderRegisterOffset(bank, r));
}
