#include "sim/image/trap.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "sim/image/pe_image.h"
#include "sim/image/x86_decode.h"
#include "sim/kernel/fiber.h"
#include "sim/kernel/machine.h"

namespace sim::image {

// The faulting context, parked on the faulting stack below the interrupted frame. The
// trampoline saves the floating-point state into it, calls the machine, and resumes
// from it. Offsets are fixed: the trampoline and its unwind rules use them.
struct alignas(16) TrapFrame {
  uint8_t fpu[512];       // fxsave area
  uint64_t gregs[NGREG];  // as the signal context lists them (REG_R8 ... REG_CR2)
  uint64_t signal;
  uint64_t code;
  uint64_t address;
  uint64_t overflow;  // the faulting stack had no room left: the frame is on the alternate one
};
static_assert(offsetof(TrapFrame, gregs) == 512);
static_assert(REG_R8 == 0 && REG_R15 == 7 && REG_RDI == 8 && REG_RSI == 9 && REG_RBP == 10 &&
                  REG_RBX == 11 && REG_RDX == 12 && REG_RAX == 13 && REG_RCX == 14 &&
                  REG_RSP == 15 && REG_RIP == 16 && REG_EFL == 17,
              "the trampoline's offsets follow this register order");

}  // namespace sim::image

extern "C" {
void morvane_image_trap_entry();
void morvane_image_emulate(sim::image::TrapFrame *frame);
}

// Entered by the signal handler's return with rsp = rdi = the trap frame. Its unwind
// rules describe the interrupted image frame from the trap frame (a signal frame: the
// saved rip is the faulting instruction, not a return address), so an exception raised
// by the machine unwinds into the image's frames and on to the host.
// The interrupted rsp is 632 bytes into the frame, rip 640, rflags 648.
asm(R"(
  .text
  .macro MORVANE_SAVED reg, off
  .cfi_escape 0x10, \reg, 3, 0x77, ((\off) & 0x7f) | 0x80, (\off) >> 7
  .endm
  .globl morvane_image_trap_entry
  .type morvane_image_trap_entry, @function
  .p2align 4
morvane_image_trap_entry:
  .cfi_startproc simple
  .cfi_signal_frame
  .cfi_escape 0x0f, 4, 0x77, (632 & 0x7f) | 0x80, 632 >> 7, 0x06
  MORVANE_SAVED 16, 640
  MORVANE_SAVED 0, 616
  MORVANE_SAVED 1, 608
  MORVANE_SAVED 2, 624
  MORVANE_SAVED 3, 600
  MORVANE_SAVED 4, 584
  MORVANE_SAVED 5, 576
  MORVANE_SAVED 6, 592
  MORVANE_SAVED 8, 512
  MORVANE_SAVED 9, 520
  MORVANE_SAVED 10, 528
  MORVANE_SAVED 11, 536
  MORVANE_SAVED 12, 544
  MORVANE_SAVED 13, 552
  MORVANE_SAVED 14, 560
  MORVANE_SAVED 15, 568
  fxsave64 (%rsp)
  cld
  call morvane_image_emulate@PLT
  fxrstor64 (%rsp)
  movq 632(%rsp), %rax
  movq 640(%rsp), %rcx
  movq %rcx, -8(%rax)
  movq 648(%rsp), %rcx
  movq %rcx, -16(%rax)
  movq 512(%rsp), %r8
  movq 520(%rsp), %r9
  movq 528(%rsp), %r10
  movq 536(%rsp), %r11
  movq 544(%rsp), %r12
  movq 552(%rsp), %r13
  movq 560(%rsp), %r14
  movq 568(%rsp), %r15
  movq 576(%rsp), %rdi
  movq 584(%rsp), %rsi
  movq 592(%rsp), %rbp
  movq 600(%rsp), %rbx
  movq 608(%rsp), %rdx
  movq 624(%rsp), %rcx
  movq 616(%rsp), %rax
  movq 632(%rsp), %rsp
  leaq -16(%rsp), %rsp
  popfq
  ret
  .cfi_endproc
  .size morvane_image_trap_entry, .-morvane_image_trap_entry
  .purgem MORVANE_SAVED
)");

namespace sim::image {

namespace {

// ---------------------------------------------------------------- image registry

constexpr size_t kMaxImages = 64;
struct CodeRange {
  std::atomic<uintptr_t> begin{0};
  std::atomic<uintptr_t> end{0};
};
CodeRange g_ranges[kMaxImages];  // read by the signal handler without locking
std::mutex g_registryMutex;
const Image *g_images[kMaxImages];

bool InImageCode(uintptr_t address) {
  for (const CodeRange &r : g_ranges) {
    uintptr_t b = r.begin.load(std::memory_order_acquire);
    if (b != 0 && address >= b && address < r.end.load(std::memory_order_acquire)) return true;
  }
  return false;
}

// ---------------------------------------------------------------- handlers

constexpr int kSignals[] = {SIGSEGV, SIGILL, SIGTRAP, SIGFPE, SIGBUS};
struct sigaction g_previous[NSIG];
std::once_flag g_installOnce;

struct Counters {
  std::atomic<uint64_t> irql{0}, registerReads{0}, registerWrites{0}, barriers{0}, sharedData{0};
} g_counts;

// Not ours: let whoever handled the signal before us (the sanitizer, or the default
// action) have it.
void Chain(int signal, siginfo_t *info, void *context) {
  const struct sigaction &prev = g_previous[signal];
  if (prev.sa_flags & SA_SIGINFO) {
    if (prev.sa_sigaction != nullptr) {
      prev.sa_sigaction(signal, info, context);
      return;
    }
  } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN) {
    prev.sa_handler(signal);
    return;
  }
  // The default action: restore it and raise the signal again (delivered once the
  // handler returns; an int3 would not fault a second time by itself).
  struct sigaction dfl;
  std::memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigaction(signal, &dfl, nullptr);
  raise(signal);
}

// The host thread's own stack (fibers report theirs), for the handler's check that the
// emulation has room below the trap frame.
thread_local uintptr_t t_stackLow = 0;
thread_local uintptr_t t_stackHigh = 0;

// What the emulation needs below the trap frame: the machine, and DPCs and interrupt
// service routines it may run, with image code of their own.
constexpr uintptr_t kEmulationRoom = 16 * 1024;
// What reporting an overflow needs on the alternate stack (the machine's stop is thrown and
// unwound from there).
constexpr uintptr_t kOverflowRoom = 24 * 1024;

// Async-signal-safe: no calls, no allocation. The trap frame goes below the interrupted
// stack pointer (image code has no red zone; a margin is kept anyway) and, when the
// handler runs on that stack rather than the alternate one, below the handler's own frame.
// When the faulting stack (a fiber's, above its guard page, or the thread's) has no room
// left for the emulation, the image has overflowed it: the frame goes on the alternate
// stack, from where the emulation reports the overflow.
__attribute__((no_sanitize("address", "undefined"))) void Handler(int signal, siginfo_t *info,
                                                                  void *context) {
  auto *uc = static_cast<ucontext_t *>(context);
  greg_t *g = uc->uc_mcontext.gregs;
  auto rip = static_cast<uintptr_t>(g[REG_RIP]);
  // int3 reports the address after itself.
  uintptr_t at = signal == SIGTRAP && info->si_code == SI_KERNEL ? rip - 1 : rip;
  if (!InImageCode(at)) {
    Chain(signal, info, context);
    return;
  }
  auto rsp = static_cast<uintptr_t>(g[REG_RSP]);
  uintptr_t top = rsp - 256;
  auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  auto alt = reinterpret_cast<uintptr_t>(uc->uc_stack.ss_sp);
  bool onAlternate = !(uc->uc_stack.ss_flags & SS_DISABLE) && here - alt < uc->uc_stack.ss_size;
  if (!onAlternate) top = std::min(top, here - 4096);
  // A stack pointer just below the usable range has run past it (into the guard page).
  auto onStack = [rsp](uintptr_t low, uintptr_t high) {
    return low != 0 && rsp <= high && rsp + kEmulationRoom > low;
  };
  uintptr_t low = 0, high = 0;
  bool known = sim::Fiber::RunningStack(&low, &high) && onStack(low, high);
  if (!known) {
    low = t_stackLow;
    high = t_stackHigh;
    known = onStack(low, high);
  }
  uintptr_t start = (top - sizeof(TrapFrame)) & ~uintptr_t{15};
  bool overflow = known && (top < low + kEmulationRoom + sizeof(TrapFrame) + 16);
  if (overflow) {
    start = (here - 1024 - sizeof(TrapFrame)) & ~uintptr_t{15};
    if (!onAlternate || start - alt < kOverflowRoom || start < alt) {
      Chain(signal, info, context);  // nowhere to report it from: the fault stays a crash
      return;
    }
  }
  auto *frame = reinterpret_cast<TrapFrame *>(start);
  for (int i = 0; i < NGREG; ++i) frame->gregs[i] = static_cast<uint64_t>(g[i]);
  frame->signal = static_cast<uint64_t>(signal);
  frame->code = static_cast<uint64_t>(info->si_code);
  frame->address = reinterpret_cast<uintptr_t>(info->si_addr);
  frame->overflow = overflow;
  g[REG_RSP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(frame));
  g[REG_RDI] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(frame));
  g[REG_RIP] = static_cast<greg_t>(reinterpret_cast<uintptr_t>(&morvane_image_trap_entry));
}

void Install() {
  for (int signal : kSignals) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = Handler;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    if (sigaction(signal, &sa, &g_previous[signal]) != 0)
      throw std::runtime_error("cannot install the handler for signal " + std::to_string(signal));
  }
}

// ---------------------------------------------------------------- emulation

// ucontext slots of the instruction's register numbers.
constexpr int kGreg[16] = {REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP, REG_RSI, REG_RDI,
                           REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};

// The fields of the shared user data page the header macros read: InterruptTime and
// SystemTime (KSYSTEM_TIME: low part, high part, high part again).
constexpr uint32_t kSharedFirst = 0x08;
constexpr uint32_t kSharedEnd = 0x20;

class Emulation {
 public:
  explicit Emulation(TrapFrame *frame) : f_(frame) {
    rip_ = f_->gregs[REG_RIP];
    // int3 reports the address after itself.
    if (f_->signal == SIGTRAP && f_->code == SI_KERNEL) rip_ -= 1;
    image_ = FindImage(rip_);
    if (image_ == nullptr) throw std::logic_error("image trap outside any loaded image");
    machine_ = Machine::CurrentOrNull();
    if (machine_ == nullptr)
      throw std::logic_error("image code at " + image_->Describe(rip_) +
                             " faulted with no simulated machine to handle it");
    size_t available = image_->base() + image_->size() - rip_;
    size_ = std::min<size_t>(15, available);
    std::memcpy(bytes_, reinterpret_cast<const void *>(rip_), size_);
    decoded_ = Decode(std::span<const uint8_t>(bytes_, size_), &in_, &reason_);
  }

  void Run() {
    if (f_->overflow)
      machine_->verifier().Stop(Rule::BugCheck,
                                "UNEXPECTED_KERNEL_MODE_TRAP: a double fault, the kernel stack "
                                "overflowed at " +
                                    Where());
    switch (f_->signal) {
      case SIGILL:
        if (const Image::BarrierSite *site = image_->FindBarrierSite(image_->Rva(rip_))) {
          __atomic_thread_fence(__ATOMIC_SEQ_CST);
          g_counts.barriers.fetch_add(1, std::memory_order_relaxed);
          machine_->MemoryBarrier();
          f_->gregs[REG_RIP] = rip_ + site->length;
          return;
        }
        BugCheck("an undefined instruction (STATUS_ILLEGAL_INSTRUCTION)");
      case SIGTRAP:
        if (f_->code == SI_KERNEL)
          BugCheck("a breakpoint with no kernel debugger attached (STATUS_BREAKPOINT)");
        BugCheck("a debug trap (STATUS_SINGLE_STEP)");
      case SIGFPE:
        BugCheck("an integer division fault (STATUS_INTEGER_DIVIDE_BY_ZERO)");
      case SIGBUS:
        BugCheck("a bus error");
      default:
        break;
    }
    if (!decoded_) Unemulated("an instruction the decoder does not know (" + reason_ + ")");
    if (in_.map == 1 && (in_.opcode == 0x20 || in_.opcode == 0x22)) return ControlRegister();
    // Descriptor-table, page and VMX instructions take memory operands but fault for
    // being privileged.
    bool privileged =
        in_.map == 1 && (in_.opcode <= 0x01 || in_.opcode == 0x78 || in_.opcode == 0x79);
    if (in_.memory && !privileged) return Memory();
    Unemulated("a privileged instruction");
  }

 private:
  std::string Where() const {
    return image_->Describe(rip_) + " (" +
           HexBytes(bytes_, decoded_ ? in_.length : std::min<size_t>(size_, 8)) + ")";
  }
  [[noreturn]] void BugCheck(const std::string &what) {
    machine_->verifier().Stop(Rule::BugCheck,
                              "KMODE_EXCEPTION_NOT_HANDLED: " + what + " at " + Where());
  }
  [[noreturn]] void Unemulated(const std::string &what) {
    machine_->verifier().Stop(Rule::Unemulated, what + " at " + Where());
  }

  uint64_t &Reg(int n) { return f_->gregs[kGreg[n]]; }
  void Done() { f_->gregs[REG_RIP] = rip_ + in_.length; }

  void ControlRegister() {
    if (in_.reg != 8) {
      Unemulated("an access to control register cr" + std::to_string(in_.reg));
    }
    g_counts.irql.fetch_add(1, std::memory_order_relaxed);
    // KeGetCurrentIrql, KeRaiseIrql and KeLowerIrql are preemption points, as the services
    // the Linux build calls for them are.
    machine_->PreemptionPoint();
    if (in_.opcode == 0x20) {
      Reg(in_.rm) = machine_->irql();
      Done();
      return;
    }
    uint64_t value = Reg(in_.rm);
    if (value > 15) BugCheck("a general protection fault: cr8 written with " + Hex(value));
    auto irql = static_cast<KIRQL>(value);
    // The instruction is complete before the machine acts on it: lowering the IRQL
    // delivers interrupts and DPCs, which may run image code and stop the machine.
    Done();
    if (irql > machine_->irql()) {
      machine_->RaiseIrql(irql);
    } else if (irql < machine_->irql()) {
      machine_->LowerIrql(irql);
    }
  }

  uint64_t EffectiveAddress() const {
    if (in_.absolute) return static_cast<uint64_t>(in_.displacement);
    uint64_t a = static_cast<uint64_t>(in_.displacement);
    if (in_.base == kRip) {
      a += rip_ + in_.length;
    } else if (in_.base != kNoRegister) {
      a += f_->gregs[kGreg[in_.base]];
    }
    if (in_.index != kNoRegister) a += f_->gregs[kGreg[in_.index]] * in_.scale;
    if (in_.addr32) a &= 0xFFFFFFFFu;
    return a;
  }

  // The low 64 bits of an xmm register in the saved floating-point state (fxsave layout).
  uint8_t *Xmm(int n) { return f_->fpu + 160 + 16 * n; }

  // The forms a compiler makes of a volatile access: mov loads and stores, and the scalar
  // SSE moves (movd, movq, movss, movsd) when it combines the value with others in an xmm
  // register. *xmm says the register operand is an xmm register.
  enum class Access { None, Load, Store };
  Access Classify(unsigned *size, uint64_t *storeValue, int *loadRegister, bool *xmm) {
    *xmm = false;
    if (in_.lock || in_.vex) return Access::None;
    if (in_.map == 1) return ClassifySse(size, storeValue, loadRegister, xmm);
    if (in_.map != 0 || in_.rep || in_.repne) return Access::None;
    unsigned operand = in_.rexW() ? 8 : in_.opsize ? 2 : 4;
    switch (in_.opcode) {
      case 0x8B:  // mov r, m
        *size = operand;
        *loadRegister = in_.reg;
        return Access::Load;
      case 0xA1:  // mov rax, moffs
        *size = operand;
        *loadRegister = 0;
        return Access::Load;
      case 0x89:  // mov m, r
        *size = operand;
        *storeValue = Reg(in_.reg);
        return Access::Store;
      case 0xA3:  // mov moffs, rax
        *size = operand;
        *storeValue = Reg(0);
        return Access::Store;
      case 0xC7:  // mov m, imm
        if ((in_.reg & 7) != 0) return Access::None;
        *size = operand;
        *storeValue = static_cast<uint64_t>(in_.immediate);
        return Access::Store;
      case 0x8A:  // byte forms
        *size = 1;
        *loadRegister = in_.reg;
        return Access::Load;
      case 0x88:
        *size = 1;
        *storeValue = Reg(in_.reg);
        return Access::Store;
      default:
        return Access::None;
    }
  }

  Access ClassifySse(unsigned *size, uint64_t *storeValue, int *loadRegister, bool *xmm) {
    bool loads;
    if (in_.opsize && !in_.rep && !in_.repne && (in_.opcode == 0x6E || in_.opcode == 0x7E)) {
      *size = in_.rexW() ? 8 : 4;  // movd/movq xmm, r/m and back
      loads = in_.opcode == 0x6E;
    } else if (in_.opsize && !in_.rep && !in_.repne && in_.opcode == 0xD6) {
      *size = 8;  // movq m64, xmm
      loads = false;
    } else if (in_.rep && !in_.opsize && in_.opcode == 0x7E) {
      *size = 8;  // movq xmm, m64
      loads = true;
    } else if ((in_.rep || in_.repne) && !in_.opsize &&
               (in_.opcode == 0x10 || in_.opcode == 0x11)) {
      *size = in_.rep ? 4 : 8;  // movss, movsd
      loads = in_.opcode == 0x10;
    } else {
      return Access::None;
    }
    *xmm = true;
    if (loads) {
      *loadRegister = in_.reg;
      return Access::Load;
    }
    std::memcpy(storeValue, Xmm(in_.reg), 8);
    return Access::Store;
  }

  // A load's value into its destination: a general register takes it zero-extended (the
  // 32- and 64-bit forms are the only ones that get here); an xmm register takes it in its
  // low bytes with the rest of the register cleared, as these moves from memory do.
  void Deliver(int target, bool xmm, uint64_t value) {
    if (!xmm) {
      Reg(target) = value;
      return;
    }
    std::memset(Xmm(target), 0, 16);
    std::memcpy(Xmm(target), &value, 8);
  }

  void Memory() {
    uint64_t address = EffectiveAddress();
    if (in_.segment == 0x64 || in_.segment == 0x65) {
      Unemulated(std::string("a ") + (in_.segment == 0x65 ? "gs" : "fs") +
                 "-relative access (the processor control region)");
    }
    auto *pointer = reinterpret_cast<volatile void *>(address);
    bool registers = machine_->IsIoSpace(pointer);
    bool shared = address - kSharedUserData < 0x1000;
    if (!registers && !shared) {
      BugCheck("PAGE_FAULT_IN_NONPAGED_AREA: an access to " + Hex(address) +
               ", which is not mapped");
    }
    unsigned size = 0;
    uint64_t storeValue = 0;
    int loadRegister = 0;
    bool xmm = false;
    Access access = Classify(&size, &storeValue, &loadRegister, &xmm);
    if (registers) {
      if (access == Access::None || size != 4) {
        std::string form = access == Access::None ? "an instruction other than a load or a store"
                                                  : std::to_string(size * 8) + "-bit access";
        machine_->verifier().Stop(Rule::RegisterAccess,
                                  form + " at register offset " + Hex(address & 0xFFF) +
                                      ": the card decodes single aligned 32-bit loads and stores "
                                      "only; at " +
                                      Where());
      }
      auto *reg = static_cast<volatile ULONG *>(pointer);
      if (access == Access::Load) {
        g_counts.registerReads.fetch_add(1, std::memory_order_relaxed);
        // The machine may run meanwhile (a read is a round trip to the card).
        Done();
        uint32_t value = machine_->ReadRegister(reg);
        Deliver(loadRegister, xmm, value);
      } else {
        g_counts.registerWrites.fetch_add(1, std::memory_order_relaxed);
        Done();
        machine_->WriteRegister(reg, static_cast<ULONG>(storeValue));
      }
      return;
    }
    // The shared user data page: read-only, and only the time fields are modelled.
    auto offset = static_cast<uint32_t>(address - kSharedUserData);
    if (access != Access::Load) {
      BugCheck("ATTEMPTED_WRITE_TO_READONLY_MEMORY: a write to KUSER_SHARED_DATA+" + Hex(offset));
    }
    if ((size != 4 && size != 8) || offset < kSharedFirst || offset + size > kSharedEnd) {
      Unemulated("a " + std::to_string(size * 8) + "-bit read of KUSER_SHARED_DATA+" + Hex(offset) +
                 " (only InterruptTime and SystemTime are modelled)");
    }
    machine_->PreemptionPoint();  // as KeQuerySystemTime's service is
    uint32_t page[(kSharedEnd - kSharedFirst) / 4];
    auto interrupt = static_cast<uint64_t>(machine_->now() / 100);
    auto system = static_cast<uint64_t>(machine_->SystemTime());
    page[0] = static_cast<uint32_t>(interrupt);
    page[1] = page[2] = static_cast<uint32_t>(interrupt >> 32);
    page[3] = static_cast<uint32_t>(system);
    page[4] = page[5] = static_cast<uint32_t>(system >> 32);
    uint64_t value = 0;
    std::memcpy(&value, reinterpret_cast<const uint8_t *>(page) + (offset - kSharedFirst), size);
    g_counts.sharedData.fetch_add(1, std::memory_order_relaxed);
    Deliver(loadRegister, xmm, value);
    Done();
  }

  static std::string Hex(uint64_t v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
  }

  TrapFrame *f_;
  uint64_t rip_ = 0;
  const Image *image_ = nullptr;
  Machine *machine_ = nullptr;
  uint8_t bytes_[15] = {};
  size_t size_ = 0;
  Instruction in_;
  bool decoded_ = false;
  std::string reason_;
};

}  // namespace

void PrepareThreadForImages() {
  std::call_once(g_installOnce, Install);
  if (t_stackHigh == 0) {
    pthread_attr_t attr;
    void *base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      if (pthread_attr_getstack(&attr, &base, &size) == 0 && base != nullptr) {
        t_stackLow = reinterpret_cast<uintptr_t>(base);
        t_stackHigh = t_stackLow + size;
      }
      pthread_attr_destroy(&attr);
    }
  }
  // One per thread, kept for the thread's life (the kernel may deliver on it any time). One
  // already there (the sanitizer's) is kept when it has room for reporting an overflow.
  constexpr size_t kSize = 128 * 1024;
  stack_t current;
  if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE) &&
      current.ss_size >= kSize)
    return;
  void *memory = mmap(nullptr, kSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::runtime_error("cannot allocate an alternate signal stack");
  stack_t stack;
  stack.ss_sp = memory;
  stack.ss_size = kSize;
  stack.ss_flags = 0;
  if (sigaltstack(&stack, nullptr) != 0) {
    munmap(memory, kSize);
    throw std::runtime_error("cannot install an alternate signal stack");
  }
}

void RegisterImageCode(const Image *image) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  for (size_t i = 0; i < kMaxImages; ++i) {
    if (g_images[i] != nullptr) continue;
    g_images[i] = image;
    g_ranges[i].end.store(image->base() + image->size(), std::memory_order_release);
    g_ranges[i].begin.store(image->base(), std::memory_order_release);
    return;
  }
  throw ImageError(image->name() + ": more than " + std::to_string(kMaxImages) +
                   " images loaded at once");
}

void UnregisterImageCode(const Image *image) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  for (size_t i = 0; i < kMaxImages; ++i) {
    if (g_images[i] != image) continue;
    g_ranges[i].begin.store(0, std::memory_order_release);
    g_ranges[i].end.store(0, std::memory_order_release);
    g_images[i] = nullptr;
  }
}

const Image *FindImage(uintptr_t address) {
  std::lock_guard<std::mutex> lock(g_registryMutex);
  for (const Image *image : g_images)
    if (image != nullptr && image->Contains(address)) return image;
  return nullptr;
}

TrapCounts trapCounts() {
  TrapCounts c;
  c.irql = g_counts.irql.load();
  c.registerReads = g_counts.registerReads.load();
  c.registerWrites = g_counts.registerWrites.load();
  c.barriers = g_counts.barriers.load();
  c.sharedData = g_counts.sharedData.load();
  return c;
}

}  // namespace sim::image

extern "C" void morvane_image_emulate(sim::image::TrapFrame *frame) {
  sim::image::Emulation(frame).Run();
}
