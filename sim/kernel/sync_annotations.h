// What the platform's primitives mean to ThreadSanitizer: with simulated threads on fibers
// that switch without implying any order, only these calls order memory accesses.
//
// ThreadSanitizer watches the driver alone. The simulation's own bookkeeping (its maps and
// queues, allocated and freed by whichever fiber runs) is ordered by the single host thread
// and would read as races, so it runs with accesses ignored: every service the driver calls
// is an InSim scope, every call into the driver an InDriver scope, and a fiber starts inside
// the simulation.
#pragma once

#include "sim/kernel/fiber.h"

#if defined(MORVANE_TSAN_FIBERS)
#include <sanitizer/tsan_interface.h>
extern "C" void __tsan_ignore_thread_begin(void);
extern "C" void __tsan_ignore_thread_end(void);
#endif

namespace sim {

#if defined(MORVANE_TSAN_FIBERS)
inline void TsanAcquire(const void *address) { __tsan_acquire(const_cast<void *>(address)); }
inline void TsanRelease(const void *address) { __tsan_release(const_cast<void *>(address)); }
inline void TsanIgnore(bool on) {
  bool &ignoring = Fiber::TsanIgnoring();
  if (on == ignoring) return;
  if (on)
    __tsan_ignore_thread_begin();
  else
    __tsan_ignore_thread_end();
  ignoring = on;
}
inline void TsanEnterSimulation() { TsanIgnore(true); }
inline void TsanLeaveSimulation() { TsanIgnore(false); }
#else
inline void TsanAcquire(const void *) {}
inline void TsanRelease(const void *) {}
inline void TsanIgnore(bool) {}
inline void TsanEnterSimulation() {}
inline void TsanLeaveSimulation() {}
#endif

// Scopes that say whose code runs; they nest either way round. A service knows from its
// InSim scope whether the driver called it (callerIsDriver).
struct InSim {
  bool was = Fiber::TsanIgnoring();
  bool callerIsDriver = Fiber::DriverRunning();
  InSim() {
    TsanIgnore(true);
    Fiber::DriverRunning() = false;
  }
  ~InSim() {
    Fiber::DriverRunning() = callerIsDriver;
    TsanIgnore(was);
  }
  InSim(const InSim &) = delete;
  InSim &operator=(const InSim &) = delete;
};
struct InDriver {
  bool was = Fiber::TsanIgnoring();
  bool wasDriver = Fiber::DriverRunning();
  InDriver() {
    TsanIgnore(false);
    Fiber::DriverRunning() = true;
  }
  ~InDriver() {
    Fiber::DriverRunning() = wasDriver;
    TsanIgnore(was);
  }
  InDriver(const InDriver &) = delete;
  InDriver &operator=(const InDriver &) = delete;
};

// Calls a routine of the driver's (a dispatch, a DPC, a service routine, a free routine).
template <class F, class... A>
auto CallDriver(F &&f, A &&...a) {
  InDriver scope;
  return f(static_cast<A &&>(a)...);
}

}  // namespace sim
