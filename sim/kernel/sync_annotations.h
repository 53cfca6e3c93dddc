// What the platform's primitives mean to ThreadSanitizer: with simulated threads on fibers
// that switch without implying any order, only these calls order memory accesses.
#pragma once

#if defined(MORVANE_TSAN_FIBERS)
#include <sanitizer/tsan_interface.h>
#endif

namespace sim {

#if defined(MORVANE_TSAN_FIBERS)
inline void TsanAcquire(const void *address) { __tsan_acquire(const_cast<void *>(address)); }
inline void TsanRelease(const void *address) { __tsan_release(const_cast<void *>(address)); }
#else
inline void TsanAcquire(const void *) {}
inline void TsanRelease(const void *) {}
#endif

}  // namespace sim
