// The simulated machine: processors with their IRQLs, simulated threads, virtual time,
// an event queue, and the kernel's services built on them. The driver reaches the
// machine only through the platform functions; clients drive it from here.
//
// One processor (the default) is the sequential machine: the caller's own thread is the
// only thread, interrupts and DPCs run the moment they may, and passive work (process
// calls, work items) runs when the caller waits. Two to eight processors make the
// threaded machine: simulated threads (the caller's thread, client threads, the
// kernel-streaming worker threads, system threads) run on fibers, one at a time, and
// switch only at preemption points (every service call, register access, interlocked
// operation, lock acquire and release). A seeded strategy picks what runs next, so a
// seed and a processor count give one schedule, bit for bit.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "sim/kernel/faults.h"
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
class Fiber;
class Scheduler;
struct Thread;

enum class ThreadKind {
  Client,  // a client application's thread (tests, morvane-ctl)
  Worker,  // a kernel-streaming worker thread: asynchronous process calls and work items
  System,  // a system thread: the plug-and-play and power manager's, and the like
  Idle,    // a processor's idle loop: interrupts and DPCs while no thread runs there
};

// A non-recursive mutex owned by a simulated thread, as the kernel-streaming class
// driver's device, control and processing mutexes are. Waiters queue in arrival order.
struct SimMutex {
  Thread *owner = nullptr;
  std::string name;
};

// One processor: its IRQL, what it runs and its DPC queue.
struct Processor {
  struct QueuedDpc {
    PKDPC dpc;
    uint64_t sequence;
  };
  unsigned index = 0;
  KIRQL irql = PASSIVE_LEVEL;
  int interruptDepth = 0;
  int dispatchDepth = 0;
  size_t locksHeld = 0;
  std::deque<QueuedDpc> dpcs;
  uint64_t dpcSequence = 0;  // DPCs queued here so far
  uint64_t runningDpc = 0;   // sequence of the DPC running here, 0 none
  // Threaded machine:
  Thread *thread = nullptr;  // the thread it runs, or none (its idle loop runs)
  Thread *idle = nullptr;
  bool idleBusy = false;  // the idle loop is inside an interrupt or a DPC
  const KSPIN_LOCK *spinningOn = nullptr;
  Nanos *account = nullptr;  // where an interrupt's or a DPC's charged time goes
};

class Machine {
 public:
  // How the threaded machine chooses what runs: probabilistic concurrency testing. Each
  // thread gets a random priority; the highest-priority runnable thread runs until it
  // blocks, and at depth - 1 randomly chosen steps out of `steps` the running thread's
  // priority drops below every other.
  struct Schedule {
    unsigned depth = 3;
    uint64_t steps = 20'000;
  };

  // What the driver's work takes on a processor, charged to the machine's clock: register
  // reads always; copies and the published register read time when `on`. Figures and
  // their sources: docs/performance.md.
  struct Costs {
    bool on = false;
    Nanos registerRead = 850;            // a read's round trip over PCI Express
    uint64_t copyCallPs = 20'000;        // each copy, whatever its length
    uint64_t cachedPsPerByte = 45;       // from cached memory into a client frame
    uint64_t uncachedPsPerByte = 4'400;  // from uncached memory: a 16-byte load per round trip
    // The platform decides whether a common buffer is cached; on x64 it always is, and
    // CacheEnabled is ignored. On: CacheEnabled FALSE gives uncached memory.
    bool honourCacheEnabled = false;
  };
  // Charged time, by what was running: interrupt service routines, DPCs, and passive
  // code that charges no account of its own (a pin's process calls charge their pin's).
  struct Load {
    Nanos interrupts = 0;
    Nanos dpcs = 0;
    Nanos passive = 0;
    Nanos total = 0;  // everything, the accounts of pins included
  };

  struct Options {
    uint64_t performanceFrequency = 10'000'000;  // Hz
    Nanos counterReadCost = 40;                  // each counter read spins this long
    // A register read is a round trip to the card; posted writes cost nothing.
    Nanos registerReadCost = 400;
    // System time at boot, 100 ns since 1601 (2026-01-01 00:00 UTC): fixed for determinism.
    int64_t bootSystemTime = 134'115'552'000'000'000;
    // 1 = the sequential machine; 2-8 = the threaded machine.
    unsigned processors = 1;
    uint64_t seed = 1;
    Schedule schedule;
    // How to replay this run, printed with every verifier stop of a threaded machine.
    std::string replay;
    size_t threadStackBytes = 1u << 20;
    Costs costs;
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
  // The system clock is set (as an administrator or a time service would): absolute
  // timers follow it, relative timers and the performance counter do not.
  void SetSystemTime(int64_t systemTime);
  void AdjustSystemTime(int64_t delta100ns) { SetSystemTime(SystemTime() + delta100ns); }
  int64_t systemTimeOffset() const { return systemTimeOffset_; }
  void SetPerformanceFrequency(uint64_t hz);
  uint64_t performanceFrequency() const { return frequency_; }
  uint64_t PerformanceCounterAt(Nanos t) const;
  uint64_t ReadPerformanceCounter();  // spends counterReadCost
  Nanos SystemTimeToNanos(int64_t systemTime) const;
  // Time passes while the processor spins or sleeps: due events fire in order.
  void Spend(Nanos d);

  // ---- the cost model
  const Costs &costs() const { return options_.costs; }
  // The processor works for d: time passes as in Spend, charged to `account` or, when
  // that is null, to the running context.
  void Charge(Nanos d, Nanos *account = nullptr);
  // A copy by the driver: charged by its length and the memory it reads (cost model on).
  void ChargeCopy(const void *destination, const void *source, size_t length);
  const Load &load() const { return load_; }
  // Whose a copy's destination is (a client frame is its pin's), so a copy made for a
  // stream is that stream's cost whatever context makes it; null: the context's.
  using CopyOwner = Nanos *(*)(const void *destination);
  void SetCopyOwner(CopyOwner owner) { copyOwner_ = owner; }
  // While it lives, charges of the calling context go to `account` as well (a pin's
  // process call); interrupts and DPCs meanwhile charge their own.
  class AccountScope {
   public:
    AccountScope(Machine &machine, Nanos *account);
    ~AccountScope();
    AccountScope(const AccountScope &) = delete;
    AccountScope &operator=(const AccountScope &) = delete;

   private:
    Nanos **slot_;
    Nanos *saved_;
  };

  // ---- event queue (card events, timer expirations, deferred completions)
  using EventId = uint64_t;
  EventId At(Nanos when, std::function<void()> fn);
  bool CancelEvent(EventId id);
  bool HasPendingEvents() const { return !events_.empty(); }
  Nanos NextEventTime() const;

  // ---- client driving: run the event loop (the calling thread waits meanwhile)
  void RunFor(Nanos d);
  void RunUntil(Nanos t);
  // Runs until done() holds or the deadline passes; returns done(). On the threaded
  // machine done() is looked at whenever nothing is left to run at the current time.
  bool RunUntil(const std::function<bool()> &done, Nanos deadline);
  // Runs what is runnable now (passive work) without advancing time.
  void RunPending();

  // ---- processors and threads
  unsigned processors() const { return static_cast<unsigned>(cpus_.size()); }
  bool threaded() const { return threaded_; }
  uint64_t seed() const { return options_.seed; }
  const std::string &replay() const { return options_.replay; }
  unsigned currentProcessor() const { return current_->index; }
  // Starts a simulated thread (threaded machine only); it runs `body` at PASSIVE_LEVEL.
  uint32_t CreateThread(std::string name, std::function<void()> body,
                        ThreadKind kind = ThreadKind::Client);
  // Waits until the thread has finished; false when the deadline passed first.
  bool JoinThread(uint32_t id, Nanos deadline = -1);
  bool ThreadFinished(uint32_t id) const;
  // The running thread's name ("main" for the caller's own thread).
  std::string CurrentThreadName() const;
  // The schedule's change points are drawn again among the next `steps` preemption points
  // (0: the run's expected length): for the part of a scenario where threads meet.
  void ExploreFromHere(uint64_t steps = 0);
  // Preemption points passed and context switches made so far.
  uint64_t steps() const { return steps_; }
  uint64_t switches() const { return switches_; }

  // A preemption point: the threaded machine may run something else here.
  void PreemptionPoint() {
    if (threaded_) Preempt();
  }

  // ---- mutexes of simulated threads (PASSIVE_LEVEL or APC_LEVEL)
  void AcquireMutex(SimMutex &mutex, const char *service);
  void ReleaseMutex(SimMutex &mutex, const char *service);
  bool HoldsMutex(const SimMutex &mutex) const;

  // ---- processor
  KIRQL irql() const { return current_->irql; }
  void RaiseIrql(KIRQL newIrql);
  void LowerIrql(KIRQL newIrql);
  // Verifier stop unless the current IRQL is at most max. Every service checks its IRQL
  // first, so this is also a preemption point.
  void RequireIrql(KIRQL max, const char *service);
  bool inInterrupt() const { return current_->interruptDepth > 0; }

  // ---- DPCs
  bool QueueDpc(PKDPC dpc);  // on the current processor; false when already queued
  bool DequeueDpc(PKDPC dpc);
  void FlushDpcs();
  bool IsDpcQueued(const KDPC *dpc) const;

  // ---- timers
  bool SetTimer(PKTIMER timer, LARGE_INTEGER due, LONG period, PKDPC dpc);
  bool CancelTimer(PKTIMER timer);
  bool IsTimerArmed(const KTIMER *timer) const;
  Nanos TimerDueTime(const KTIMER *timer) const;  // -1 when not armed

  // ---- dispatcher objects: waiting at passive level, signalling from anywhere
  NTSTATUS WaitForEvent(PKEVENT event, const LARGE_INTEGER *timeout);
  void SignalEvent(PKEVENT event);
  void Sleep(Nanos d);

  // ---- spin locks (ownership tracked for the verifier; a contended lock spins)
  void AcquireSpinLock(PKSPIN_LOCK lock, const char *service);
  void ReleaseSpinLock(PKSPIN_LOCK lock, const char *service);
  bool IsSpinLockHeld(const KSPIN_LOCK *lock) const;

  // ---- interrupts
  // A level-sensitive line: each source holds it asserted while it wants service, and the
  // line is asserted while any source holds it (devices may share a line).
  void SetInterruptLine(ULONG vector, bool asserted, const void *source = nullptr);
  bool IsInterruptLineAsserted(ULONG vector) const;
  // `platformOwned`: connected by the simulation's own devices, not a driver's resource.
  NTSTATUS ConnectInterrupt(PKINTERRUPT *out, PKSERVICE_ROUTINE routine, PVOID context,
                            ULONG vector, KIRQL irql, KIRQL syncIrql, KINTERRUPT_MODE mode,
                            BOOLEAN shared, KAFFINITY affinity = ~KAFFINITY{0},
                            bool platformOwned = false);
  void DisconnectInterrupt(PKINTERRUPT interrupt);
  BOOLEAN SynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine, PVOID context);
  size_t connectedInterrupts() const;              // drivers' connections
  size_t connectedInterrupts(ULONG vector) const;  // drivers' connections on one line
  uint64_t interruptsServiced() const { return interruptsServiced_; }
  // The processors an interrupt may be delivered to.
  KAFFINITY activeProcessors() const;

  // ---- passive work (process dispatches, work items): run from the event loop on the
  // sequential machine, by the kernel-streaming worker threads on the threaded one
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
  // The bus gives the device's register window a new address (a rebalance).
  void MovePciWindow(PciDevice *device);
  const std::vector<PciDevice *> &pciDevices() const { return pciDevices_; }

  // Work run when the machine goes away, for state other layers keep outside it
  // (what a scenario ended by a verifier stop leaves behind).
  void OnTeardown(std::function<void()> fn) { teardown_.push_back(std::move(fn)); }
  // Kept until the machine is gone, after everything that may still use it (a driver image).
  void KeepUntilGone(std::shared_ptr<void> object) { kept_.push_back(std::move(object)); }

  Verifier &verifier() { return verifier_; }
  FaultInjector &faults() { return faults_; }
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
    std::set<const void *> sources;
    std::vector<_KINTERRUPT *> objects;
    bool edgePending = false;
    uint64_t unclaimedInARow = 0;
    int target = -1;         // processor chosen to take it, -1 none yet
    bool inService = false;  // a processor runs its service routines
  };
  struct TimerState {
    Nanos due;
    EventId event;
    PKDPC dpc;
    LONG period;
    unsigned processor;  // the one that armed it: its DPC runs there
    bool absolute;       // due at a system time: it follows changes of the clock
    int64_t dueSystemTime;
  };
  struct HeldLock {
    unsigned processor;
    KIRQL irql;
  };

  Nanos **AccountSlot();
  void FireDueEvents(Nanos upTo);
  void AdvanceTo(Nanos t);
  Processor &cpu() { return *current_; }
  // Interrupts above the IRQL, then DPCs below DISPATCH, on the current processor.
  void DispatchPending();
  bool DeliverInterrupts();
  void TargetLine(ULONG vector, Line &line);
  void RunOneDpc();
  bool QueueDpcOn(Processor &p, PKDPC dpc);
  bool RunOnePassiveWork();
  void ExpireTimer(PKTIMER timer);
  Mapping *FindMapping(const volatile void *address, const char *what, uint32_t *offset);
  [[noreturn]] void Stop(Rule rule, const std::string &message);

  // Threaded machine (machine_threads.cpp).
  void StartThreaded();
  void StopThreaded();
  void Preempt();
  void Reschedule();
  bool Runnable(const Processor &p) const;
  bool HasWork(const Processor &p) const;
  // After the running code spent time, the other processors with something to do take a
  // step: they run at the same time as it, not after it.
  void StepOtherProcessors();
  Thread *PickNext();
  void PlaceReadyThreads();
  void SwitchTo(Thread *next);
  void AfterResume();
  void IdleLoop(Processor &p);
  void AdvanceIdle();
  void ThreadMain(Thread *t);
  // Blocks the running thread until woken; false when the deadline passed first.
  bool Block(const void *object, Nanos deadline, std::function<bool()> predicate,
             bool daemon = false, bool idleOnly = false);
  void Wake(Thread *t, bool timedOut);
  void WakeOne(const void *object);
  void WakeAll(const void *object);
  bool CheckPredicates(bool idle);
  void CheckDeadlocks(const char *what);
  void WorkerMain();
  void QueueWork(std::function<void()> work);
  void SpinOn(PKSPIN_LOCK lock, const char *service);
  bool HasInterruptFor(const Processor &p) const;
  Thread *FirstWaiter(const void *object) const;
  std::string Describe() const;

  Options options_;
  Load load_;
  Nanos *passiveAccount_ = nullptr;
  uint64_t chargeCarryPs_ = 0;  // what the copies charged below a nanosecond
  CopyOwner copyOwner_ = nullptr;
  Nanos now_ = 0;
  int64_t systemTimeOffset_ = 0;  // 100 ns: what setting the clock added
  uint64_t frequency_;
  EventId nextEventId_ = 1;
  std::map<Event, std::function<void()>, EventLess> events_;
  std::map<EventId, Nanos> eventTimes_;
  std::map<const KTIMER *, TimerState> timers_;
  std::map<const KSPIN_LOCK *, HeldLock> heldLocks_;
  std::map<ULONG, Line> lines_;
  std::vector<std::unique_ptr<_KINTERRUPT>> interrupts_;
  uint64_t interruptsServiced_ = 0;
  std::deque<std::function<void()>> passiveWork_;
  std::map<uintptr_t, Mapping> mappings_;  // keyed by virtual base
  std::vector<PciDevice *> pciDevices_;
  uint32_t pciSlots_ = 0;  // slots ever used
  static constexpr Nanos kHeldBeforeOthersStep = 50'000;
  Nanos heldFor_ = 0;        // time the running context spent since it got its processor
  bool stepOthers_ = false;  // it held it long enough: the others take a step
  uint32_t movedWindows_ = 0;

  // Processors and threads.
  std::vector<std::unique_ptr<Processor>> cpus_;
  Processor *current_ = nullptr;
  bool threaded_ = false;
  std::vector<std::unique_ptr<Thread>> threads_;  // by id; 0 is the caller's thread
  Thread *running_ = nullptr;
  std::unique_ptr<Scheduler> scheduler_;
  uint64_t steps_ = 0;
  uint64_t order_ = 0;  // arrival order of waits and wake-ups
  uint64_t switches_ = 0;
  bool scheduleDirty_ = false;
  std::exception_ptr failure_;  // a stop in another thread, for the caller's thread
  bool killing_ = false;
  std::vector<uint32_t> workers_;
  std::deque<std::function<void()>> workQueue_;
  size_t idleWorkers_ = 0;

  std::vector<std::function<void()>> teardown_;
  std::vector<std::shared_ptr<void>> kept_;
  Verifier verifier_;
  FaultInjector faults_;
  std::unique_ptr<Pool> pool_;
  std::unique_ptr<Registry> registry_;
  std::unique_ptr<DmaSystem> dma_;
  std::unique_ptr<PnpManager> pnp_;
};

}  // namespace sim
