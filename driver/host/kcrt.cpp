// The few C++ run-time entry points the compiler may call. Nothing in the driver
// should reach them: a pure virtual call or a plain new/delete is a bug, and in the
// kernel it has to stop the machine at the culprit rather than jump to address 0 or
// corrupt pool. The host's own run time provides them in the simulation.
#include "host/platform.h"

#if defined(_WIN32)

namespace {

// Driver-defined stop code; the first parameter tells which entry point was reached.
constexpr ULONG kBugCheckKernelCppRuntime = 0x4D560001;
enum : ULONG_PTR { kPureVirtualCall = 1, kOperatorNew = 2, kOperatorDelete = 3 };

[[noreturn]] void StopOn(ULONG_PTR what, ULONG_PTR detail) {
  KeBugCheckEx(kBugCheckKernelCppRuntime, what, detail, 0, 0);
  for (;;) {
  }
}

}  // namespace

extern "C" void __cxa_pure_virtual() { StopOn(kPureVirtualCall, 0); }

void *operator new(SIZE_T size) { StopOn(kOperatorNew, size); }
void *operator new[](SIZE_T size) { StopOn(kOperatorNew, size); }
void operator delete(void *p) noexcept { StopOn(kOperatorDelete, reinterpret_cast<ULONG_PTR>(p)); }
void operator delete[](void *p) noexcept {
  StopOn(kOperatorDelete, reinterpret_cast<ULONG_PTR>(p));
}
void operator delete(void *p, SIZE_T) noexcept {
  StopOn(kOperatorDelete, reinterpret_cast<ULONG_PTR>(p));
}
void operator delete[](void *p, SIZE_T) noexcept {
  StopOn(kOperatorDelete, reinterpret_cast<ULONG_PTR>(p));
}

#endif
