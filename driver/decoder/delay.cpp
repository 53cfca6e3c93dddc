#include "decoder/decoder.h"

void DelayNanoseconds(ULONG ns) {
  LARGE_INTEGER frequency;
  LONGLONG start = KeQueryPerformanceCounter(&frequency).QuadPart;
  if (ns == 0) return;
  // Convert the wait into counter ticks once, without overflow for any frequency:
  // ticks = ceil(ns * f / 1e9) with f split into whole gigahertz and the rest.
  const ULONGLONG giga = 1000000000ull;
  ULONGLONG f = static_cast<ULONGLONG>(frequency.QuadPart);
  ULONGLONG ticks = static_cast<ULONGLONG>(ns) * (f / giga) +
                    (static_cast<ULONGLONG>(ns) * (f % giga) + giga - 1) / giga;
  while (static_cast<ULONGLONG>(KeQueryPerformanceCounter(nullptr).QuadPart - start) < ticks) {
  }
}
