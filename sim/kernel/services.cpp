// The kernel's exported services as the driver calls them, over the current machine.
#include <ntddk.h>

#include <cstdio>
#include <string>

#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pool.h"

using sim::Machine;
using sim::Rule;

namespace {
Machine &M() { return Machine::Current(); }
constexpr UCHAR kTimerNotificationObject = 8;
}  // namespace

extern "C" {

// ---------------------------------------------------------------- IRQL
KIRQL NTAPI KeGetCurrentIrql(void) {
  sim::InSim inSim;
  M().PreemptionPoint();
  return M().irql();
}

void NTAPI KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  sim::InSim inSim;
  M().PreemptionPoint();
  *oldIrql = M().irql();
  M().RaiseIrql(newIrql);
}

void NTAPI KeLowerIrql(KIRQL newIrql) {
  sim::InSim inSim;
  M().PreemptionPoint();
  M().LowerIrql(newIrql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  sim::InSim inSim;
  M().PreemptionPoint();
  KIRQL old = M().irql();
  M().RaiseIrql(DISPATCH_LEVEL);
  return old;
}

void NTAPI KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3, ULONG_PTR p4) {
  sim::InSim inSim;
  char buf[160];
  std::snprintf(buf, sizeof buf, "KeBugCheckEx(0x%X, 0x%llX, 0x%llX, 0x%llX, 0x%llX)", code,
                static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4));
  M().verifier().Stop(Rule::BugCheck, buf);
}

// ---------------------------------------------------------------- DPCs
void NTAPI KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context) {
  sim::InSim inSim;
  M().PreemptionPoint();
  if (M().IsDpcQueued(dpc))
    M().verifier().Stop(Rule::InvalidParameter, std::string(__func__) + " on a queued DPC");
  *dpc = KDPC{};
  dpc->Type = 0x13;
  dpc->DeferredRoutine = routine;
  dpc->DeferredContext = context;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC dpc, PVOID a1, PVOID a2) {
  sim::InSim inSim;
  M().PreemptionPoint();
  if (dpc->DeferredRoutine == nullptr)
    M().verifier().Stop(Rule::InvalidParameter, std::string(__func__) + " of an uninitialised DPC");
  if (dpc->DpcData != nullptr) return FALSE;
  dpc->SystemArgument1 = a1;
  dpc->SystemArgument2 = a2;
  return M().QueueDpc(dpc);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC dpc) {
  sim::InSim inSim;
  M().PreemptionPoint();
  return M().DequeueDpc(dpc);
}

void NTAPI KeFlushQueuedDpcs(void) {
  sim::InSim inSim;
  M().FlushDpcs();
}

// ---------------------------------------------------------------- timers
void NTAPI KeInitializeTimer(PKTIMER timer) {
  sim::InSim inSim;
  KeInitializeTimerEx(timer, 0);
}

void NTAPI KeInitializeTimerEx(PKTIMER timer, ULONG type) {
  sim::InSim inSim;
  M().PreemptionPoint();
  if (M().IsTimerArmed(timer))
    M().verifier().Stop(Rule::InvalidParameter, "KeInitializeTimer on an armed timer");
  *timer = KTIMER{};
  timer->Header.Type =
      static_cast<UCHAR>(kTimerNotificationObject + (type == SynchronizationEvent));
}

BOOLEAN NTAPI KeSetTimer(PKTIMER timer, LARGE_INTEGER due, PKDPC dpc) {
  sim::InSim inSim;
  return M().SetTimer(timer, due, 0, dpc);
}

BOOLEAN NTAPI KeSetTimerEx(PKTIMER timer, LARGE_INTEGER due, LONG period, PKDPC dpc) {
  sim::InSim inSim;
  if (period < 0)
    M().verifier().Stop(Rule::InvalidParameter, std::string(__func__) + " with a negative period");
  return M().SetTimer(timer, due, period, dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER timer) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  return M().CancelTimer(timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER timer) {
  sim::InSim inSim;
  M().PreemptionPoint();
  return timer->Header.SignalState != 0;
}

// ---------------------------------------------------------------- events and waits
void NTAPI KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  sim::InSim inSim;
  M().PreemptionPoint();
  *event = KEVENT{};
  event->Header.Type = static_cast<UCHAR>(type);
  event->Header.SignalState = state ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT event, KPRIORITY, BOOLEAN) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  LONG previous = event->Header.SignalState;
  M().SignalEvent(event);
  return previous;
}

void NTAPI KeClearEvent(PRKEVENT event) {
  sim::InSim inSim;
  M().PreemptionPoint();
  event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT event) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  LONG previous = event->Header.SignalState;
  event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT event) {
  sim::InSim inSim;
  M().PreemptionPoint();
  return event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER timeout) {
  sim::InSim inSim;
  return M().WaitForEvent(static_cast<PKEVENT>(object), timeout);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval) {
  sim::InSim inSim;
  Machine &m = M();
  sim::Nanos d = interval->QuadPart < 0 ? (-interval->QuadPart) * 100
                                        : m.SystemTimeToNanos(interval->QuadPart) - m.now();
  m.Sleep(d);
  return STATUS_SUCCESS;
}

// ---------------------------------------------------------------- spin locks
void NTAPI KeInitializeSpinLock(PKSPIN_LOCK lock) {
  sim::InSim inSim;
  M().PreemptionPoint();
  if (M().IsSpinLockHeld(lock))
    M().verifier().Stop(Rule::InvalidParameter, std::string(__func__) + " on a held lock");
  *lock = 0;
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock) {
  sim::InSim inSim;
  Machine &m = M();
  m.RequireIrql(DISPATCH_LEVEL, __func__);
  KIRQL old = m.irql();
  m.RaiseIrql(DISPATCH_LEVEL);
  m.AcquireSpinLock(lock, __func__);
  return old;
}

void NTAPI KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql) {
  sim::InSim inSim;
  Machine &m = M();
  m.ReleaseSpinLock(lock, __func__);
  m.LowerIrql(newIrql);
}

void NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK lock) {
  sim::InSim inSim;
  Machine &m = M();
  m.PreemptionPoint();
  if (m.irql() < DISPATCH_LEVEL)
    m.verifier().Stop(Rule::IrqlTooHigh, std::string(__func__) + " below DISPATCH_LEVEL");
  m.AcquireSpinLock(lock, __func__);
}

void NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK lock) {
  sim::InSim inSim;
  Machine &m = M();
  m.PreemptionPoint();
  if (m.irql() < DISPATCH_LEVEL)
    m.verifier().Stop(Rule::IrqlTooHigh, std::string(__func__) + " below DISPATCH_LEVEL");
  m.ReleaseSpinLock(lock, __func__);
}

// ---------------------------------------------------------------- time
void NTAPI KeQuerySystemTime(PLARGE_INTEGER t) {
  sim::InSim inSim;
  M().PreemptionPoint();
  t->QuadPart = M().SystemTime();
}

LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER frequency) {
  sim::InSim inSim;
  Machine &m = M();
  LARGE_INTEGER r;
  r.QuadPart = static_cast<LONGLONG>(m.ReadPerformanceCounter());
  if (frequency != nullptr) frequency->QuadPart = static_cast<LONGLONG>(m.performanceFrequency());
  return r;
}

void NTAPI KeMemoryBarrier(void) {
  sim::InSim inSim;
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  M().MemoryBarrier();
}

// ---------------------------------------------------------------- pool
// The driver's pool: never executable (the code-integrity checks refuse it), and short
// when the machine simulates low resources.
namespace {
PVOID DriverPool(const sim::InSim &inSim, POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  Machine &m = M();
  if (inSim.callerIsDriver && type == NonPagedPool)
    m.verifier().Stop(Rule::CodeIntegrity, "executable NonPagedPool allocated (tag '" +
                                               sim::Pool::TagName(tag) +
                                               "'): data belongs in NonPagedPoolNx");
  if (m.faults().Fail(sim::FaultPoint::Pool, inSim.callerIsDriver, bytes)) return nullptr;
  return m.pool().Allocate(type, bytes, tag);
}
}  // namespace

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  sim::InSim inSim;
  return DriverPool(inSim, type, bytes, tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE type, SIZE_T bytes) {
  sim::InSim inSim;
  return DriverPool(inSim, type, bytes, sim::Pool::TagFromName("None"));
}

void NTAPI ExFreePoolWithTag(PVOID p, ULONG tag) {
  sim::InSim inSim;
  M().pool().Free(p, tag, true);
}

void NTAPI ExFreePool(PVOID p) {
  sim::InSim inSim;
  M().pool().Free(p, 0, false);
}

// ---------------------------------------------------------------- MMIO
PVOID NTAPI MmMapIoSpace(PHYSICAL_ADDRESS physical, SIZE_T bytes, MEMORY_CACHING_TYPE) {
  sim::InSim inSim;
  if (M().faults().Fail(sim::FaultPoint::MapIoSpace, inSim.callerIsDriver, bytes)) return nullptr;
  return M().MapIoSpace(static_cast<uint64_t>(physical.QuadPart), bytes);
}

void NTAPI MmUnmapIoSpace(PVOID base, SIZE_T bytes) {
  sim::InSim inSim;
  M().UnmapIoSpace(base, bytes);
}

ULONG NTAPI READ_REGISTER_ULONG(volatile ULONG *reg) {
  sim::InSim inSim;
  return M().ReadRegister(reg);
}

void NTAPI WRITE_REGISTER_ULONG(volatile ULONG *reg, ULONG value) {
  sim::InSim inSim;
  M().WriteRegister(reg, value);
}

// ---------------------------------------------------------------- interrupts
NTSTATUS NTAPI IoConnectInterrupt(PKINTERRUPT *object, PKSERVICE_ROUTINE routine, PVOID context,
                                  PKSPIN_LOCK spinLock, ULONG vector, KIRQL irql, KIRQL syncIrql,
                                  KINTERRUPT_MODE mode, BOOLEAN share, KAFFINITY affinity,
                                  BOOLEAN) {
  sim::InSim inSim;
  // A separate spin lock is not modelled; the affinity must name a processor there is.
  if (spinLock != nullptr) return STATUS_INVALID_PARAMETER;
  if (M().faults().Fail(sim::FaultPoint::ConnectInterrupt, inSim.callerIsDriver))
    return STATUS_INSUFFICIENT_RESOURCES;
  return M().ConnectInterrupt(object, routine, context, vector, irql, syncIrql, mode, share,
                              affinity);
}

void NTAPI IoDisconnectInterrupt(PKINTERRUPT object) {
  sim::InSim inSim;
  M().DisconnectInterrupt(object);
}

int SimCostModelOn = 0;

void SimChargeCopyTo(void *destination, const void *source, SIZE_T length) {
  sim::InSim inSim;
  M().ChargeCopy(destination, source, length);
}

// Every interlocked operation is a preemption point of the threaded machine.
void SimInterlockedOperation(void) {
  sim::InSim inSim;
  M().PreemptionPoint();
}

BOOLEAN NTAPI KeSynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine,
                                     PVOID context) {
  sim::InSim inSim;
  M().PreemptionPoint();
  return M().SynchronizeExecution(interrupt, routine, context);
}

// ---------------------------------------------------------------- DMA
PDMA_ADAPTER NTAPI IoGetDmaAdapter(PDEVICE_OBJECT pdo, PDEVICE_DESCRIPTION description,
                                   PULONG mapRegisters) {
  sim::InSim inSim;
  if (description == nullptr) return nullptr;
  if (M().faults().Fail(sim::FaultPoint::DmaAdapter, inSim.callerIsDriver)) return nullptr;
  return M().dma().GetAdapter(pdo, *description, mapRegisters);
}

}  // extern "C"
