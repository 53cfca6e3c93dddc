#include "sim/kernel/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

// GCC says __SANITIZE_ADDRESS__; clang before 16 only answers __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define MORVANE_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVANE_ASAN_FIBERS 1
#endif
#endif
#if defined(MORVANE_ASAN_FIBERS)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(MORVANE_TSAN_FIBERS)
#include <sanitizer/tsan_interface.h>
#endif

#if !defined(__x86_64__)
#error "the fiber switch is written for x86-64"
#endif

// Saves the callee-saved registers and the floating-point control words of the running
// context on its stack, stores its stack pointer in *save, and resumes the context whose
// stack pointer is `next`. A new fiber's stack is laid out to resume in the start stub,
// which calls the function in r13 with the argument in r12.
extern "C" void morvane_fiber_switch(void **save, void *next);
extern "C" void morvane_fiber_start();
asm(R"(
    .text
    .globl morvane_fiber_switch
    .type morvane_fiber_switch, @function
morvane_fiber_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size morvane_fiber_switch, .-morvane_fiber_switch

    .globl morvane_fiber_start
    .type morvane_fiber_start, @function
morvane_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    callq *%r13
    ud2
    .cfi_endproc
    .size morvane_fiber_start, .-morvane_fiber_start
    .section .note.GNU-stack,"",@progbits
)");

namespace sim {

namespace {

// The fiber being left by the switch in progress: the one that resumes learns the bounds
// of the stack it came from (the host thread's stack is known only that way).
Fiber *g_leaving = nullptr;
// The running fiber (none: the host thread outside any threaded machine).
Fiber *g_running = nullptr;
bool g_hostIgnoring = false;
bool g_hostDriverRunning = false;

size_t PageSize() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

Fiber::Fiber() : name_("host"), host_(true) {
#if defined(MORVANE_TSAN_FIBERS)
  tsan_ = __tsan_get_current_fiber();
#endif
  tsanIgnoring_ = g_hostIgnoring;
  driverRunning_ = g_hostDriverRunning;
  g_running = this;
}

bool Fiber::RunningStack(uintptr_t *low, uintptr_t *high) {
  const Fiber *f = g_running;
  if (f == nullptr || f->stack_ == nullptr) return false;
  *low = reinterpret_cast<uintptr_t>(f->stack_) + (f->mapped_ - f->stackSize_);
  *high = reinterpret_cast<uintptr_t>(f->stack_) + f->mapped_;
  return true;
}

bool &Fiber::TsanIgnoring() {
  return g_running != nullptr ? g_running->tsanIgnoring_ : g_hostIgnoring;
}

bool &Fiber::DriverRunning() {
  return g_running != nullptr ? g_running->driverRunning_ : g_hostDriverRunning;
}

Fiber::Fiber(std::string name, std::function<void()> body, size_t stackBytes)
    : name_(std::move(name)), body_(std::move(body)) {
  const size_t page = PageSize();
  stackBytes = (stackBytes + page - 1) / page * page;
  mapped_ = stackBytes + page;
  stack_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE,
                MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (stack_ == MAP_FAILED) {
    std::fprintf(stderr, "fiber %s: no memory for its stack\n", name_.c_str());
    std::abort();
  }
  // An overflow faults on the guard page instead of running into other memory.
  mprotect(stack_, page, PROT_NONE);
#if defined(MORVANE_ASAN_FIBERS)
  // The mapping may reuse the addresses of a fiber stack left with frames' redzones still
  // poisoned; the runtime's own locals on this stack must not land on them.
  ASAN_UNPOISON_MEMORY_REGION(stack_, mapped_);
#endif
  stackBottom_ = static_cast<char *>(stack_) + page;
  stackSize_ = stackBytes;
  auto top = reinterpret_cast<uintptr_t>(stack_) + mapped_;
  auto resume = (top - 16) & ~uintptr_t{15};  // the start stub runs with this stack pointer
  auto *slots = reinterpret_cast<uint64_t *>(resume - 64);
  uint32_t mxcsr = 0x1F80;
  uint16_t fpucw = 0x037F;
  slots[0] = mxcsr | (static_cast<uint64_t>(fpucw) << 32);
  slots[1] = 0;                                                 // r15
  slots[2] = 0;                                                 // r14
  slots[3] = reinterpret_cast<uint64_t>(&Fiber::Entry);         // r13
  slots[4] = reinterpret_cast<uint64_t>(this);                  // r12
  slots[5] = 0;                                                 // rbx
  slots[6] = 0;                                                 // rbp
  slots[7] = reinterpret_cast<uint64_t>(&morvane_fiber_start);  // return address
  reinterpret_cast<uint64_t *>(resume)[0] = 0;
  reinterpret_cast<uint64_t *>(resume)[1] = 0;
  sp_ = slots;
#if defined(MORVANE_TSAN_FIBERS)
  tsan_ = __tsan_create_fiber(0);
  __tsan_set_fiber_name(tsan_, name_.c_str());
  ownsTsan_ = true;
#endif
}

Fiber::~Fiber() {
  if (host_ && g_running == this) {
    g_hostIgnoring = tsanIgnoring_;
    g_hostDriverRunning = driverRunning_;
    g_running = nullptr;
  }
#if defined(MORVANE_TSAN_FIBERS)
  if (ownsTsan_) __tsan_destroy_fiber(tsan_);
#endif
  if (stack_ != nullptr) {
#if defined(MORVANE_ASAN_FIBERS)
    ASAN_UNPOISON_MEMORY_REGION(stack_, mapped_);
#endif
    munmap(stack_, mapped_);
  }
}

void Fiber::Switch(Fiber &from, Fiber &to, bool leaving) {
#if defined(MORVANE_ASAN_FIBERS)
  __sanitizer_start_switch_fiber(leaving ? nullptr : &from.fakeStack_, to.stackBottom_,
                                 to.stackSize_);
#else
  (void)leaving;
#endif
#if defined(MORVANE_TSAN_FIBERS)
  __tsan_switch_to_fiber(to.tsan_, __tsan_switch_to_fiber_no_sync);
#endif
  g_leaving = &from;
  g_running = &to;
  morvane_fiber_switch(&from.sp_, to.sp_);
  g_running = &from;
  from.FinishSwitch();
}

void Fiber::FinishSwitch() {
#if defined(MORVANE_ASAN_FIBERS)
  const void *bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(fakeStack_, &bottom, &size);
  if (g_leaving != nullptr && g_leaving->stackBottom_ == nullptr) {
    g_leaving->stackBottom_ = bottom;
    g_leaving->stackSize_ = size;
  }
#endif
}

void Fiber::Entry(void *self) {
  auto *fiber = static_cast<Fiber *>(self);
  g_running = fiber;
  fiber->FinishSwitch();
  fiber->body_();
  std::fprintf(stderr, "fiber %s returned instead of switching away\n", fiber->name_.c_str());
  std::abort();
}

}  // namespace sim
