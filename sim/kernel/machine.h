// The simulated machine: one deterministic processor with an IRQL, virtual time,
// an event queue, and the kernel's services built on them. The driver reaches
// the machine only through the platform functions; clients drive it from here.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/kernel/verifier.h"

namespace sim {

using Nanos = int64_t;
constexpr Nanos kMicrosecond = 1'000;
constexpr Nanos kMillisecond = 1'000'000;
constexpr Nanos kSecond = 1'000'000'000;

class Pool;
class Registry;
class PnpManager;
class DmaSystem;
class PciDevice;

class Machine {
 public:
  struct Options {
    uint64_t performanceFrequency = 10'000'000;  // Hz
    Nanos counterReadCost = 40;                  // each counter read spins this long
    // A register read is a round trip to the card; posted writes cost nothing.
    Nanos registerReadCost = 400;
    // System time at boot, 100 ns since 1601 (2026-01-01 00:00 UTC): fixed for determinism.
    int64_t bootSystemTime = 134'115'552'000'000'000;
  };

  Machine();
  explicit Machine(const Options &options);
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // The machine whose services the platform functions reach. One at a time.
  static Machine &Current();
  static Machine *CurrentOrNull();

  // ---- time
  Nanos now() const { return now_; }
  int64_t SystemTime() const;  // 100 ns units since 1601
  void SetPerformanceFrequency(uint64_t hz);
  uint64_t performanceFrequency() const { return frequency_; }
  uint64_t PerformanceCounterAt(Nanos t) const;
  uint64_t ReadPerformanceCounter();  // spends counterReadCost
  Nanos SystemTimeToNanos(int64_t systemTime) const;
  // Time passes while the processor spins or sleeps: due events fire in order.
  void Spend(Nanos d);

  // ---- event queue (card events, timer expirations, deferred completions)
  using EventId = uint64_t;
  EventId At(Nanos when, std::function<void()> fn);
  bool CancelEvent(EventId id);
  bool HasPendingEvents() const { return !events_.empty(); }
  Nanos NextEventTime() const;

  // ---- client driving: run the event loop
  void RunFor(Nanos d);
  void RunUntil(Nanos t);
  // Runs until done() holds or the deadline passes; returns done().
  bool RunUntil(const std::function<bool()> &done, Nanos deadline);
  // Runs what is runnable now (passive work) without advancing time.
  void RunPending();

  // ---- processor
  KIRQL irql() const { return irql_; }
  void RaiseIrql(KIRQL newIrql);
  void LowerIrql(KIRQL newIrql);
  // Verifier stop unless the current IRQL is at most max.
  void RequireIrql(KIRQL max, const char *service);
  bool inInterrupt() const { return interruptDepth_ > 0; }

  // ---- DPCs
  bool QueueDpc(PKDPC dpc);  // false when already queued
  bool DequeueDpc(PKDPC dpc);
  void FlushDpcs();
  bool IsDpcQueued(const KDPC *dpc) const;

  // ---- timers
  bool SetTimer(PKTIMER timer, LARGE_INTEGER due, LONG period, PKDPC dpc);
  bool CancelTimer(PKTIMER timer);
  bool IsTimerArmed(const KTIMER *timer) const;
  Nanos TimerDueTime(const KTIMER *timer) const;  // -1 when not armed

  // ---- waiting at passive level: runs the machine until the object is signalled
  NTSTATUS WaitForEvent(PKEVENT event, const LARGE_INTEGER *timeout);
  void Sleep(Nanos d);

  // ---- spin locks (ownership tracked for the verifier)
  void AcquireSpinLock(PKSPIN_LOCK lock, const char *service);
  void ReleaseSpinLock(PKSPIN_LOCK lock, const char *service);
  bool IsSpinLockHeld(const KSPIN_LOCK *lock) const;

  // ---- interrupts
  // A level-sensitive line: the source holds it asserted while it wants service.
  void SetInterruptLine(ULONG vector, bool asserted);
  bool IsInterruptLineAsserted(ULONG vector) const;
  NTSTATUS ConnectInterrupt(PKINTERRUPT *out, PKSERVICE_ROUTINE routine, PVOID context,
                            ULONG vector, KIRQL irql, KIRQL syncIrql, KINTERRUPT_MODE mode,
                            BOOLEAN shared);
  void DisconnectInterrupt(PKINTERRUPT interrupt);
  BOOLEAN SynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine, PVOID context);
  size_t connectedInterrupts() const;
  uint64_t interruptsServiced() const { return interruptsServiced_; }

  // ---- passive work (process dispatches, work items): run from the event loop
  void QueuePassiveWork(std::function<void()> work);

  // ---- memory-mapped registers
  PVOID MapIoSpace(uint64_t physical, size_t length);
  void UnmapIoSpace(PVOID base, size_t length);
  // Whether address lies in a register mapping, live or already unmapped (a direct
  // access there is a register access, checked by ReadRegister/WriteRegister).
  bool IsIoSpace(const volatile void *address) const;
  ULONG ReadRegister(volatile ULONG *address);
  void WriteRegister(volatile ULONG *address, ULONG value);
  void MemoryBarrier();
  size_t liveMappings(const PciDevice *device) const;

  // ---- devices on the bus
  // Plugs a card in; the machine assigns its register window and interrupt vector.
  void AttachPciDevice(PciDevice *device);
  void DetachPciDevice(PciDevice *device);
  const std::vector<PciDevice *> &pciDevices() const { return pciDevices_; }

  // Work run when the machine goes away, for state other layers keep outside it
  // (what a scenario ended by a verifier stop leaves behind).
  void OnTeardown(std::function<void()> fn) { teardown_.push_back(std::move(fn)); }

  Verifier &verifier() { return verifier_; }
  Pool &pool() { return *pool_; }
  Registry &registry() { return *registry_; }
  PnpManager &pnp() { return *pnp_; }
  DmaSystem &dma() { return *dma_; }

  // The verifier's check that nothing armed or queued lives in freed memory.
  void CheckFreedRange(const void *begin, size_t length, const char *what);

 private:
  struct Event {
    Nanos when;
    EventId id;
  };
  struct EventLess {
    bool operator()(const Event &a, const Event &b) const {
      return a.when != b.when ? a.when < b.when : a.id < b.id;
    }
  };
  struct Mapping {
    uint64_t physical;
    size_t length;
    PciDevice *device;
    uint32_t offset;  // of the mapping inside the device's window
    bool live;
  };
  struct Line {
    bool asserted = false;
    std::vector<_KINTERRUPT *> objects;
    bool edgePending = false;
    uint64_t unclaimedInARow = 0;
  };
  struct TimerState {
    Nanos due;
    EventId event;
    PKDPC dpc;
    LONG period;
  };

  void FireDueEvents(Nanos upTo);
  void AdvanceTo(Nanos t);
  void DispatchPending();  // interrupts above the IRQL, then DPCs below DISPATCH
  bool DeliverInterrupts();
  void RunOneDpc();
  bool RunOnePassiveWork();
  void ExpireTimer(PKTIMER timer);
  Mapping *FindMapping(const volatile void *address, const char *what, uint32_t *offset);

  Options options_;
  Nanos now_ = 0;
  uint64_t frequency_;
  KIRQL irql_ = PASSIVE_LEVEL;
  int interruptDepth_ = 0;
  int dispatchDepth_ = 0;
  EventId nextEventId_ = 1;
  std::map<Event, std::function<void()>, EventLess> events_;
  std::map<EventId, Nanos> eventTimes_;
  std::vector<PKDPC> dpcQueue_;
  std::map<const KTIMER *, TimerState> timers_;
  std::map<const KSPIN_LOCK *, KIRQL> heldLocks_;
  std::map<ULONG, Line> lines_;
  std::vector<std::unique_ptr<_KINTERRUPT>> interrupts_;
  uint64_t interruptsServiced_ = 0;
  std::vector<std::function<void()>> passiveWork_;
  std::map<uintptr_t, Mapping> mappings_;  // keyed by virtual base
  std::vector<PciDevice *> pciDevices_;

  std::vector<std::function<void()>> teardown_;
  Verifier verifier_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<DmaSystem> dma_;
  std::unique_ptr<PnpManager> pnp_;
  Machine *previous_ = nullptr;
};

}  // namespace sim
