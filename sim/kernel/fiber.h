// Fibers: the stacks simulated threads run on. One host thread runs every fiber, one at
// a time, and switches only where the machine says so, which is what makes a schedule
// reproducible. Switches are reported to the sanitizers: AddressSanitizer learns each
// stack's bounds, and ThreadSanitizer sees each fiber as a thread of its own whose
// switches imply no ordering, so only the platform's primitives order memory accesses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace sim {

class Fiber {
 public:
  // The fiber of the calling host context (the host thread's own stack).
  Fiber();
  // A new fiber that runs `body` on its own stack at the first switch to it. `body`
  // must not return normally or by exception: it ends by switching away for good.
  Fiber(std::string name, std::function<void()> body, size_t stackBytes);
  ~Fiber();
  Fiber(const Fiber &) = delete;
  Fiber &operator=(const Fiber &) = delete;

  // Suspends `from` (the running fiber) and resumes `to`. Returns when something
  // switches back to `from`. `leaving` says `from` will never run again.
  static void Switch(Fiber &from, Fiber &to, bool leaving = false);

  const std::string &name() const { return name_; }

  // Whether ThreadSanitizer ignores the running context's accesses (each fiber is a TSan
  // thread of its own, so the flag goes with it).
  static bool &TsanIgnoring();
  // Whether the running context is inside the driver's code (a service it calls sees who
  // called it: the platform's fault injection and code-integrity checks apply to the driver).
  static bool &DriverRunning();

  // The usable range of the running fiber's own stack (above its guard page); false for the
  // host thread's stack or when no fiber runs. Async-signal-safe: a fault handler asks.
  static bool RunningStack(uintptr_t *low, uintptr_t *high);

 private:
  static void Entry(void *self);
  void FinishSwitch();

  std::string name_;
  std::function<void()> body_;
  void *stack_ = nullptr;  // mapping, guard page first
  size_t mapped_ = 0;
  void *sp_ = nullptr;  // saved stack pointer while suspended
  // Sanitizer bookkeeping (each build uses what its sanitizer needs).
  const void *stackBottom_ = nullptr;
  size_t stackSize_ = 0;
  [[maybe_unused]] void *fakeStack_ = nullptr;
  [[maybe_unused]] void *tsan_ = nullptr;
  [[maybe_unused]] bool ownsTsan_ = false;
  bool tsanIgnoring_ = false;
  bool driverRunning_ = false;
  bool host_ = false;
};

}  // namespace sim
