// Copying captured lines into a client's frame. The frame is written once and read
// by the client long after, never by us: on x64 the lines go out with non-temporal
// stores, which skip the read-for-ownership of every destination cache line and leave
// the caches to the fields still to come. SSE2 is part of x64 and needs no saved state
// in kernel mode ("Using Floating Point in a WDM Driver"); AVX would.
#pragma once

#include "host/platform.h"

#if defined(_M_AMD64) || defined(__x86_64__)
#include <emmintrin.h>
#define MORVANE_STREAMING_STORES 1
#endif

#if !defined(_WIN32) && defined(__SANITIZE_ADDRESS__)
extern "C" void __asan_loadN(void *address, SIZE_T size);
extern "C" void __asan_storeN(void *address, SIZE_T size);
#endif
#if !defined(_WIN32) && defined(__SANITIZE_THREAD__)
extern "C" void __tsan_read_range(void *address, SIZE_T size);
extern "C" void __tsan_write_range(void *address, SIZE_T size);
#endif

inline void CopyToFrame(PUCHAR destination, const UCHAR *source, SIZE_T length) {
#if !defined(_WIN32)
  // The simulation charges the copy by the memory it reads and writes; the sanitizers
  // see the stores the instrumentation cannot.
  SimChargeCopy(destination, source, length);
#if defined(__SANITIZE_ADDRESS__)
  __asan_loadN(const_cast<UCHAR *>(source), length);
  __asan_storeN(destination, length);
#endif
#if defined(__SANITIZE_THREAD__)
  __tsan_read_range(const_cast<UCHAR *>(source), length);
  __tsan_write_range(destination, length);
#endif
#endif
#if defined(MORVANE_STREAMING_STORES)
  SIZE_T head = (16 - (reinterpret_cast<ULONG_PTR>(destination) & 15)) & 15;
  if (head > length) head = length;
  for (SIZE_T i = 0; i < head; ++i) destination[i] = source[i];
  destination += head;
  source += head;
  length -= head;
  for (; length >= 64; length -= 64, destination += 64, source += 64) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + 16));
    __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + 32));
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(source + 48));
    _mm_stream_si128(reinterpret_cast<__m128i *>(destination), a);
    _mm_stream_si128(reinterpret_cast<__m128i *>(destination + 16), b);
    _mm_stream_si128(reinterpret_cast<__m128i *>(destination + 32), c);
    _mm_stream_si128(reinterpret_cast<__m128i *>(destination + 48), d);
  }
  for (; length >= 16; length -= 16, destination += 16, source += 16)
    _mm_stream_si128(reinterpret_cast<__m128i *>(destination),
                     _mm_loadu_si128(reinterpret_cast<const __m128i *>(source)));
  for (SIZE_T i = 0; i < length; ++i) destination[i] = source[i];
#else
  __builtin_memcpy(destination, source, length);
#endif
}

// Non-temporal stores are weakly ordered: fenced before the frame goes to the client.
inline void FinishFrameStores() {
#if defined(MORVANE_STREAMING_STORES)
  _mm_sfence();
#endif
}
