// The image loader's test image: kernel code built like the driver (native subsystem,
// no runtime library, the platform's own headers), whose exported functions the tests
// call on the simulated machine.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#pragma push_macro("__CRT__NO_INLINE")
#undef __CRT__NO_INLINE
#include <ntstrsafe.h>
#pragma pop_macro("__CRT__NO_INLINE")

#define PROBE_EXPORT extern "C" __declspec(dllexport)

// What the tests provide: a call back into the host, and a value "HAL.dll" exports.
extern "C" __declspec(dllimport) ULONG_PTR ProbeHostCall(PVOID context);
extern "C" __declspec(dllimport) ULONG ProbeHalValue(void);

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  return static_cast<NTSTATUS>(ProbeHalValue());
}

// ---------------------------------------------------------------- relocated data

namespace {
const char *const kWords[] = {"zero", "one", "two"};
ULONG Add(ULONG a, ULONG b) { return a + b; }
ULONG Multiply(ULONG a, ULONG b) { return a * b; }
ULONG (*const volatile kOperations[])(ULONG, ULONG) = {Add, Multiply};
PVOID gSelf = &gSelf;
}  // namespace

PROBE_EXPORT const char *ProbeWord(ULONG i) { return i < 3 ? kWords[i] : nullptr; }
PROBE_EXPORT ULONG ProbeOperate(ULONG op, ULONG a, ULONG b) { return kOperations[op & 1](a, b); }
PROBE_EXPORT PVOID ProbeSelf() { return gSelf; }

// ---------------------------------------------------------------- IRQL (CR8)

// Raises to `to`, lets the host look, lowers again; reports the IRQLs seen before,
// during and after.
PROBE_EXPORT ULONG ProbeIrql(KIRQL to, PVOID context) {
  KIRQL old;
  KeRaiseIrql(to, &old);
  KIRQL during = KeGetCurrentIrql();
  ProbeHostCall(context);
  KeLowerIrql(old);
  return old | (during << 8) | (KeGetCurrentIrql() << 16);
}

// ---------------------------------------------------------------- registers

PROBE_EXPORT ULONG ProbeRegisters(PULONG registers, ULONG value) {
  WRITE_REGISTER_ULONG(registers + 1, value);
  __atomic_thread_fence(__ATOMIC_SEQ_CST);  // the driver's KeMemoryBarrier
  ULONG a = READ_REGISTER_ULONG(registers + 1);
  WRITE_REGISTER_ULONG(registers + 2, 0x5A5A0000);
  ULONG b = READ_REGISTER_ULONG(registers + 3);
  return a + b;
}

PROBE_EXPORT void ProbeNarrowWrite(PUSHORT registers) { WRITE_REGISTER_USHORT(registers, 1); }

// Register accesses through xmm registers, as the compiler makes them when it combines a
// register's value with others: movd in, movss out, and a movq of two registers at once.
PROBE_EXPORT ULONG ProbeSseRegisters(PULONG registers) {
  ULONG value;
  __asm__ __volatile__(
      "movd 4(%1), %%xmm1\n\t"
      "movss %%xmm1, 8(%1)\n\t"
      "movd %%xmm1, %0"
      : "=r"(value)
      : "r"(registers)
      : "xmm1", "memory");
  return value;
}
PROBE_EXPORT void ProbeWideSseRead(PULONG registers) {
  __asm__ __volatile__("movq 8(%0), %%xmm2" : : "r"(registers) : "xmm2", "memory");
}

// ---------------------------------------------------------------- shared user data

PROBE_EXPORT ULONGLONG ProbeSystemTime() {
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  return t.QuadPart;
}
PROBE_EXPORT ULONGLONG ProbeInterruptTime() { return KeQueryInterruptTime(); }
PROBE_EXPORT ULONGLONG ProbeTickCount() {
  LARGE_INTEGER t;
  KeQueryTickCount(&t);
  return t.QuadPart;
}

// ---------------------------------------------------------------- faults

PROBE_EXPORT void ProbePrivileged() { __asm__ __volatile__("wbinvd" ::: "memory"); }
PROBE_EXPORT void ProbeUndefined() { __builtin_trap(); }
PROBE_EXPORT ULONG ProbeRead(const volatile ULONG *p) { return *p; }
// Recursion `levels` deep, 1 KiB of stack a level: overflows whatever stack it is given.
PROBE_EXPORT __attribute__((noinline)) ULONG ProbeRecurse(volatile UCHAR *previous, ULONG levels) {
  volatile UCHAR frame[1024];
  frame[0] = previous != nullptr ? previous[0] + 1 : 0;
  if (levels == 0) return frame[0];
  return ProbeRecurse(frame, levels - 1) + frame[1023];
}

// ---------------------------------------------------------------- formatting

PROBE_EXPORT NTSTATUS ProbeFormat(PWSTR out, size_t cch, int n) {
  return RtlStringCchPrintfW(out, cch, L"Preview%d", n);
}
PROBE_EXPORT NTSTATUS ProbeFormatMixed(PWSTR out, size_t cch, PCWSTR s, ULONG x, LONGLONG q) {
  return RtlStringCchPrintfW(out, cch, L"%s|%08X|%I64d|%c", s, x, q, L'!');
}

// ---------------------------------------------------------------- frames to unwind

// Every kind of prolog step the unwind data describes: a nonvolatile register saved into
// the caller's home space and one into the frame, a push, a large allocation, a frame
// register at an offset, and an xmm register save. Calls the host with its own values
// in rbx, rsi and rdi.
asm(R"(
  .text
  .globl ProbeAsmFrame
  .def ProbeAsmFrame; .scl 2; .type 32; .endef
  .seh_proc ProbeAsmFrame
ProbeAsmFrame:
  movq %rbx, 8(%rsp)
  .seh_savereg %rbx, 0x1c0
  pushq %rbp
  .seh_pushreg %rbp
  pushq %rsi
  .seh_pushreg %rsi
  subq $0x1a8, %rsp
  .seh_stackalloc 0x1a8
  leaq 0x20(%rsp), %rbp
  .seh_setframe %rbp, 0x20
  movaps %xmm6, 0x30(%rsp)
  .seh_savexmm %xmm6, 0x30
  movq %rdi, 0x40(%rsp)
  .seh_savereg %rdi, 0x40
  .seh_endprologue
  movabs $0x2222222222222222, %rbx
  movabs $0x7777777777777777, %rsi
  movabs $0x8888888888888888, %rdi
  call *__imp_ProbeHostCall(%rip)
  movq 0x40(%rsp), %rdi
  movaps 0x30(%rsp), %xmm6
  movq 0x1c0(%rsp), %rbx
  leaq 0x188(%rbp), %rsp
  popq %rsi
  popq %rbp
  ret
  .seh_endproc
)");

// A compiled frame of pushes around a call to the frame above, with known values in
// every nonvolatile register.
PROBE_EXPORT ULONG_PTR ProbeFramed(PVOID context) {
  ProbeHostCall(nullptr);  // a real call, so the frame has home space and an aligned stack
  ULONG_PTR result;
  __asm__ __volatile__(
      "movabs $0x1111111111111111, %%rbx\n\t"
      "movabs $0x6666666666666666, %%rbp\n\t"
      "movabs $0x4444444444444444, %%rsi\n\t"
      "movabs $0x5555555555555555, %%rdi\n\t"
      "movabs $0xcccccccccccccccc, %%r12\n\t"
      "movabs $0xdddddddddddddddd, %%r13\n\t"
      "movabs $0xeeeeeeeeeeeeeeee, %%r14\n\t"
      "movabs $0xabababababababab, %%r15\n\t"
      "call ProbeAsmFrame\n\t"
      : "=a"(result), "+c"(context)
      :
      : "rbx", "rbp", "rsi", "rdi", "r12", "r13", "r14", "r15", "rdx", "r8", "r9", "r10", "r11",
        "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "memory", "cc");
  return result;
}
