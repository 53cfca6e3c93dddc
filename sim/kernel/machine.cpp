#include "sim/kernel/machine.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "sim/kernel/dma.h"
#include "sim/kernel/io.h"
#include "sim/kernel/pci.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"

// The interrupt object behind PKINTERRUPT.
struct _KINTERRUPT {
  PKSERVICE_ROUTINE routine;
  PVOID context;
  ULONG vector;
  KIRQL irql;
  KIRQL syncIrql;
  KINTERRUPT_MODE mode;
  bool shared;
  bool connected;
  KSPIN_LOCK lock;
};

namespace sim {

namespace {

Machine *g_current = nullptr;

constexpr size_t kPage = 4096;
constexpr uint64_t kStormLimit = 100'000;

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

// ------------------------------------------------------------------ verifier

const char *RuleName(Rule rule) {
  switch (rule) {
    case Rule::IrqlTooHigh:
      return "service called above its IRQL limit";
    case Rule::WaitAtDispatch:
      return "wait or sleep at DISPATCH_LEVEL or above";
    case Rule::SpinLockRecursion:
      return "spin lock acquired while already held";
    case Rule::SpinLockNotHeld:
      return "spin lock released while not held";
    case Rule::PoolDoubleFree:
      return "pool freed twice";
    case Rule::PoolBadFree:
      return "pool freed that was never allocated";
    case Rule::PoolLeak:
      return "pool left allocated when its owner went away";
    case Rule::RegisterAccess:
      return "register access outside a live mapping";
    case Rule::DmaOutsideBuffer:
      return "device DMA outside a live common buffer";
    case Rule::FreedArmedObject:
      return "memory freed while holding an armed timer or queued DPC";
    case Rule::Deadlock:
      return "wait that nothing pending can satisfy";
    case Rule::InterruptStorm:
      return "level interrupt stays asserted and unclaimed";
    case Rule::IrpMisuse:
      return "IRP misuse";
    case Rule::ObjectReference:
      return "object reference count misuse";
    case Rule::LockedStreamPointer:
      return "stream pointer still locked when its pin stops";
    case Rule::ResourceLeak:
      return "hardware resource left held";
    case Rule::InvalidParameter:
      return "invalid parameter to a platform service";
    case Rule::BugCheck:
      return "the driver bug-checked";
    case Rule::Unemulated:
      return "instruction or memory the simulated processor does not emulate";
  }
  return "unknown rule";
}

VerifierStop::VerifierStop(Rule rule, std::string message)
    : rule_(rule),
      message_(std::move(message)),
      text_(std::string("verifier stop: ") + RuleName(rule) + ": " + message_) {}

void Verifier::Stop(Rule rule, std::string message) {
  stopped_ = true;
  VerifierStop stop(rule, std::move(message));
  reports_.push_back(stop.what());
  throw stop;
}

// ------------------------------------------------------------------ machine

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(const Options &options)
    : options_(options), frequency_(options.performanceFrequency) {
  previous_ = g_current;
  g_current = this;
  pool_ = std::make_unique<Pool>(*this);
  registry_ = std::make_unique<Registry>();
  dma_ = std::make_unique<DmaSystem>(*this);
  pnp_ = std::make_unique<PnpManager>(*this);
}

Machine::~Machine() {
  // Tear down quietly: a scenario that ended in a verifier stop leaves state behind.
  for (auto it = teardown_.rbegin(); it != teardown_.rend(); ++it) (*it)();
  pnp_.reset();
  ReleaseIoObjects(this);
  dma_.reset();
  pool_.reset();
  registry_.reset();
  for (auto &[base, m] : mappings_)
    munmap(reinterpret_cast<void *>(base), (m.length + kPage - 1) / kPage * kPage);
  g_current = previous_;
}

Machine &Machine::Current() {
  if (g_current == nullptr) {
    std::fprintf(stderr, "platform service called with no simulated machine\n");
    std::abort();
  }
  return *g_current;
}

Machine *Machine::CurrentOrNull() { return g_current; }

// ------------------------------------------------------------------ time

int64_t Machine::SystemTime() const { return options_.bootSystemTime + now_ / 100; }

Nanos Machine::SystemTimeToNanos(int64_t systemTime) const {
  return (systemTime - options_.bootSystemTime) * 100;
}

void Machine::SetPerformanceFrequency(uint64_t hz) {
  if (hz == 0) verifier_.Stop(Rule::InvalidParameter, "performance frequency 0");
  frequency_ = hz;
}

uint64_t Machine::PerformanceCounterAt(Nanos t) const {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(t) * frequency_ / kSecond);
}

uint64_t Machine::ReadPerformanceCounter() {
  Spend(options_.counterReadCost);
  return PerformanceCounterAt(now_);
}

void Machine::Spend(Nanos d) {
  if (d < 0) verifier_.Stop(Rule::InvalidParameter, "negative time span");
  AdvanceTo(now_ + d);
}

// ------------------------------------------------------------------ events

Machine::EventId Machine::At(Nanos when, std::function<void()> fn) {
  if (when < now_) when = now_;
  EventId id = nextEventId_++;
  events_.emplace(Event{when, id}, std::move(fn));
  eventTimes_[id] = when;
  return id;
}

bool Machine::CancelEvent(EventId id) {
  auto it = eventTimes_.find(id);
  if (it == eventTimes_.end()) return false;
  events_.erase(Event{it->second, id});
  eventTimes_.erase(it);
  return true;
}

Nanos Machine::NextEventTime() const { return events_.empty() ? -1 : events_.begin()->first.when; }

void Machine::FireDueEvents(Nanos upTo) {
  while (!events_.empty() && events_.begin()->first.when <= upTo) {
    auto it = events_.begin();
    now_ = std::max(now_, it->first.when);
    auto fn = std::move(it->second);
    eventTimes_.erase(it->first.id);
    events_.erase(it);
    fn();
    DispatchPending();
  }
}

void Machine::AdvanceTo(Nanos t) {
  FireDueEvents(t);
  if (t > now_) now_ = t;
  DispatchPending();
}

void Machine::RunPending() {
  DispatchPending();
  if (irql_ != PASSIVE_LEVEL) return;
  while (RunOnePassiveWork()) {
  }
}

void Machine::RunUntil(Nanos t) {
  RunUntil([] { return false; }, t);
}

void Machine::RunFor(Nanos d) { RunUntil(now_ + d); }

bool Machine::RunUntil(const std::function<bool()> &done, Nanos deadline) {
  if (irql_ != PASSIVE_LEVEL)
    verifier_.Stop(Rule::IrqlTooHigh, "the event loop runs only at PASSIVE_LEVEL");
  for (;;) {
    RunPending();
    if (done()) return true;
    Nanos next = NextEventTime();
    if (next < 0 || next > deadline) break;
    AdvanceTo(next);
  }
  if (deadline > now_) AdvanceTo(deadline);
  RunPending();
  return done();
}

// ------------------------------------------------------------------ processor

void Machine::RequireIrql(KIRQL max, const char *service) {
  if (irql_ > max)
    verifier_.Stop(Rule::IrqlTooHigh, std::string(service) + " called at IRQL " +
                                          std::to_string(irql_) + ", limit " + std::to_string(max));
}

void Machine::RaiseIrql(KIRQL newIrql) {
  if (newIrql < irql_)
    verifier_.Stop(Rule::IrqlTooHigh, "KeRaiseIrql to " + std::to_string(newIrql) +
                                          " below the current IRQL " + std::to_string(irql_));
  irql_ = newIrql;
}

void Machine::LowerIrql(KIRQL newIrql) {
  if (newIrql > irql_)
    verifier_.Stop(Rule::IrqlTooHigh, "KeLowerIrql to " + std::to_string(newIrql) +
                                          " above the current IRQL " + std::to_string(irql_));
  irql_ = newIrql;
  DispatchPending();
}

void Machine::DispatchPending() {
  for (;;) {
    if (DeliverInterrupts()) continue;
    if (irql_ < DISPATCH_LEVEL && !dpcQueue_.empty()) {
      RunOneDpc();
      continue;
    }
    break;
  }
}

// ------------------------------------------------------------------ DPCs

bool Machine::QueueDpc(PKDPC dpc) {
  if (dpc->DpcData != nullptr) return false;
  dpc->DpcData = dpc;  // marks it queued
  dpcQueue_.push_back(dpc);
  if (irql_ < DISPATCH_LEVEL) DispatchPending();
  return true;
}

bool Machine::DequeueDpc(PKDPC dpc) {
  auto it = std::find(dpcQueue_.begin(), dpcQueue_.end(), dpc);
  if (it == dpcQueue_.end()) return false;
  dpcQueue_.erase(it);
  dpc->DpcData = nullptr;
  return true;
}

bool Machine::IsDpcQueued(const KDPC *dpc) const {
  return std::find(dpcQueue_.begin(), dpcQueue_.end(), dpc) != dpcQueue_.end();
}

void Machine::FlushDpcs() {
  RequireIrql(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
  DispatchPending();
}

void Machine::RunOneDpc() {
  PKDPC dpc = dpcQueue_.front();
  dpcQueue_.erase(dpcQueue_.begin());
  dpc->DpcData = nullptr;  // may be queued again from its own routine
  KIRQL old = irql_;
  irql_ = DISPATCH_LEVEL;
  size_t locksBefore = heldLocks_.size();
  ++dispatchDepth_;
  dpc->DeferredRoutine(dpc, dpc->DeferredContext, dpc->SystemArgument1, dpc->SystemArgument2);
  --dispatchDepth_;
  if (irql_ != DISPATCH_LEVEL)
    verifier_.Stop(Rule::IrqlTooHigh, "a DPC returned at IRQL " + std::to_string(irql_));
  if (heldLocks_.size() != locksBefore)
    verifier_.Stop(Rule::SpinLockNotHeld, "a DPC returned holding a spin lock");
  irql_ = old;
}

// ------------------------------------------------------------------ timers

bool Machine::SetTimer(PKTIMER timer, LARGE_INTEGER due, LONG period, PKDPC dpc) {
  RequireIrql(DISPATCH_LEVEL, "KeSetTimer");
  bool wasArmed = CancelTimer(timer);
  Nanos when;
  if (due.QuadPart < 0)
    when = now_ + (-due.QuadPart) * 100;
  else
    when = std::max(now_, SystemTimeToNanos(due.QuadPart));
  timer->Header.SignalState = 0;
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(SystemTime() + (when - now_) / 100);
  timer->Dpc = dpc;
  timer->Period = static_cast<ULONG>(period);
  EventId ev = At(when, [this, timer] { ExpireTimer(timer); });
  timers_[timer] = TimerState{when, ev, dpc, period};
  return wasArmed;
}

bool Machine::CancelTimer(PKTIMER timer) {
  auto it = timers_.find(timer);
  if (it == timers_.end()) return false;
  CancelEvent(it->second.event);
  timers_.erase(it);
  return true;
}

bool Machine::IsTimerArmed(const KTIMER *timer) const { return timers_.count(timer) != 0; }

Nanos Machine::TimerDueTime(const KTIMER *timer) const {
  auto it = timers_.find(timer);
  return it == timers_.end() ? -1 : it->second.due;
}

void Machine::ExpireTimer(PKTIMER timer) {
  auto it = timers_.find(timer);
  if (it == timers_.end()) return;
  TimerState state = it->second;
  timers_.erase(it);
  timer->Header.SignalState = 1;
  if (state.period > 0) {
    Nanos next = state.due + static_cast<Nanos>(state.period) * kMillisecond;
    EventId ev = At(next, [this, timer] { ExpireTimer(timer); });
    timers_[timer] = TimerState{next, ev, state.dpc, state.period};
  }
  if (state.dpc != nullptr) {
    LARGE_INTEGER t;
    t.QuadPart = SystemTime();
    state.dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(t.LowPart));
    state.dpc->SystemArgument2 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(t.HighPart)));
    QueueDpc(state.dpc);
  }
}

// ------------------------------------------------------------------ waits

NTSTATUS Machine::WaitForEvent(PKEVENT event, const LARGE_INTEGER *timeout) {
  bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
  if (irql_ > (zeroTimeout ? DISPATCH_LEVEL : APC_LEVEL))
    verifier_.Stop(Rule::WaitAtDispatch, "KeWaitForSingleObject at IRQL " + std::to_string(irql_));
  Nanos deadline = -1;
  if (timeout != nullptr)
    deadline = timeout->QuadPart < 0 ? now_ + (-timeout->QuadPart) * 100
                                     : SystemTimeToNanos(timeout->QuadPart);
  for (;;) {
    if (event->Header.SignalState != 0) {
      // Synchronization events and timers reset when a wait is satisfied.
      if (event->Header.Type == SynchronizationEvent || event->Header.Type == 9)
        event->Header.SignalState = 0;
      return STATUS_SUCCESS;
    }
    if (deadline >= 0 && now_ >= deadline) return STATUS_TIMEOUT;
    Nanos next = NextEventTime();
    if (next < 0) {
      if (deadline < 0)
        verifier_.Stop(Rule::Deadlock, "waiting for an object that nothing pending can signal");
      AdvanceTo(deadline);
      continue;
    }
    AdvanceTo(deadline >= 0 ? std::min(next, deadline) : next);
  }
}

void Machine::Sleep(Nanos d) {
  if (irql_ > APC_LEVEL)
    verifier_.Stop(Rule::WaitAtDispatch, "KeDelayExecutionThread at IRQL " + std::to_string(irql_));
  if (d > 0) AdvanceTo(now_ + d);
}

// ------------------------------------------------------------------ spin locks

void Machine::AcquireSpinLock(PKSPIN_LOCK lock, const char *service) {
  if (heldLocks_.count(lock))
    verifier_.Stop(Rule::SpinLockRecursion,
                   std::string(service) + ": lock " + Hex(reinterpret_cast<uintptr_t>(lock)) +
                       " is already held (the processor would spin forever)");
  heldLocks_[lock] = irql_;
  *lock = 1;
}

void Machine::ReleaseSpinLock(PKSPIN_LOCK lock, const char *service) {
  auto it = heldLocks_.find(lock);
  if (it == heldLocks_.end())
    verifier_.Stop(
        Rule::SpinLockNotHeld,
        std::string(service) + ": lock " + Hex(reinterpret_cast<uintptr_t>(lock)) + " is not held");
  heldLocks_.erase(it);
  *lock = 0;
}

bool Machine::IsSpinLockHeld(const KSPIN_LOCK *lock) const { return heldLocks_.count(lock) != 0; }

// ------------------------------------------------------------------ interrupts

void Machine::SetInterruptLine(ULONG vector, bool asserted) {
  Line &line = lines_[vector];
  if (asserted && !line.asserted) line.edgePending = true;
  line.asserted = asserted;
  if (!asserted) line.unclaimedInARow = 0;
  if (asserted) DispatchPending();
}

bool Machine::IsInterruptLineAsserted(ULONG vector) const {
  auto it = lines_.find(vector);
  return it != lines_.end() && it->second.asserted;
}

bool Machine::DeliverInterrupts() {
  // The highest deliverable line above the current IRQL goes first.
  Line *best = nullptr;
  ULONG bestVector = 0;
  for (auto &[vector, line] : lines_) {
    if (line.objects.empty()) continue;
    _KINTERRUPT *first = line.objects.front();
    bool wants = first->mode == Latched ? line.edgePending : line.asserted;
    if (!wants || first->irql <= irql_) continue;
    if (best == nullptr || first->irql > best->objects.front()->irql) {
      best = &line;
      bestVector = vector;
    }
  }
  if (best == nullptr) return false;
  best->edgePending = false;
  KIRQL old = irql_;
  irql_ = best->objects.front()->syncIrql;
  ++interruptDepth_;
  bool claimed = false;
  std::vector<_KINTERRUPT *> chain = best->objects;
  for (_KINTERRUPT *obj : chain) {
    if (!obj->connected) continue;
    AcquireSpinLock(&obj->lock, "interrupt dispatch");
    size_t locksBefore = heldLocks_.size();
    BOOLEAN r = obj->routine(obj, obj->context);
    if (heldLocks_.size() != locksBefore)
      verifier_.Stop(Rule::SpinLockNotHeld, "an interrupt service routine returned holding a lock");
    if (irql_ != obj->syncIrql)
      verifier_.Stop(Rule::IrqlTooHigh, "an interrupt service routine changed the IRQL");
    ReleaseSpinLock(&obj->lock, "interrupt dispatch");
    ++interruptsServiced_;
    if (r) {
      claimed = true;
      break;
    }
  }
  --interruptDepth_;
  irql_ = old;
  Line &line = lines_[bestVector];
  if (line.asserted && line.objects.front()->mode == LevelSensitive) {
    if (++line.unclaimedInARow > kStormLimit)
      verifier_.Stop(Rule::InterruptStorm, "vector " + Hex(bestVector) +
                                               (claimed ? ": claimed but never quietened"
                                                        : ": asserted and claimed by nobody"));
  } else {
    line.unclaimedInARow = 0;
  }
  return true;
}

NTSTATUS Machine::ConnectInterrupt(PKINTERRUPT *out, PKSERVICE_ROUTINE routine, PVOID context,
                                   ULONG vector, KIRQL irql, KIRQL syncIrql, KINTERRUPT_MODE mode,
                                   BOOLEAN shared) {
  RequireIrql(PASSIVE_LEVEL, "IoConnectInterrupt");
  if (out == nullptr || routine == nullptr || syncIrql < irql || irql <= DISPATCH_LEVEL ||
      (mode != LevelSensitive && mode != Latched))
    return STATUS_INVALID_PARAMETER;
  Line &line = lines_[vector];
  if (!line.objects.empty()) {
    _KINTERRUPT *first = line.objects.front();
    if (!shared || !first->shared || first->mode != mode || first->irql != irql)
      return STATUS_INVALID_PARAMETER;
  }
  auto obj = std::make_unique<_KINTERRUPT>();
  *obj = _KINTERRUPT{routine, context, vector, irql, syncIrql, mode, shared != 0, true, 0};
  line.objects.push_back(obj.get());
  *out = obj.get();
  interrupts_.push_back(std::move(obj));
  DispatchPending();
  return STATUS_SUCCESS;
}

void Machine::DisconnectInterrupt(PKINTERRUPT interrupt) {
  RequireIrql(PASSIVE_LEVEL, "IoDisconnectInterrupt");
  auto it = std::find_if(interrupts_.begin(), interrupts_.end(),
                         [&](const auto &p) { return p.get() == interrupt; });
  if (it == interrupts_.end() || !interrupt->connected)
    verifier_.Stop(Rule::InvalidParameter,
                   "IoDisconnectInterrupt of an object that is not connected");
  interrupt->connected = false;
  auto &objs = lines_[interrupt->vector].objects;
  objs.erase(std::remove(objs.begin(), objs.end(), interrupt), objs.end());
}

BOOLEAN Machine::SynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine,
                                      PVOID context) {
  if (interrupt == nullptr || !interrupt->connected)
    verifier_.Stop(Rule::InvalidParameter, "KeSynchronizeExecution with a disconnected interrupt");
  RequireIrql(interrupt->syncIrql, "KeSynchronizeExecution");
  KIRQL old = irql_;
  irql_ = interrupt->syncIrql;
  AcquireSpinLock(&interrupt->lock, "KeSynchronizeExecution");
  BOOLEAN r = routine(context);
  ReleaseSpinLock(&interrupt->lock, "KeSynchronizeExecution");
  irql_ = old;
  DispatchPending();
  return r;
}

size_t Machine::connectedInterrupts() const {
  size_t n = 0;
  for (const auto &p : interrupts_) n += p->connected ? 1 : 0;
  return n;
}

// ------------------------------------------------------------------ passive work

void Machine::QueuePassiveWork(std::function<void()> work) {
  passiveWork_.push_back(std::move(work));
}

bool Machine::RunOnePassiveWork() {
  if (passiveWork_.empty()) return false;
  auto work = std::move(passiveWork_.front());
  passiveWork_.erase(passiveWork_.begin());
  work();
  if (irql_ != PASSIVE_LEVEL)
    verifier_.Stop(Rule::IrqlTooHigh, "passive work returned at IRQL " + std::to_string(irql_));
  DispatchPending();
  return true;
}

// ------------------------------------------------------------------ MMIO

PVOID Machine::MapIoSpace(uint64_t physical, size_t length) {
  RequireIrql(DISPATCH_LEVEL, "MmMapIoSpace");
  if (length == 0) return nullptr;
  for (PciDevice *dev : pciDevices_) {
    uint64_t base = dev->windowBase();
    // Compared by offset: a range that wraps past the top of the address space decodes to
    // nothing rather than to an offset far outside the window.
    if (physical >= base && length <= dev->WindowLength() &&
        physical - base <= dev->WindowLength() - length) {
      size_t span = (length + kPage - 1) / kPage * kPage;
      // Not ordinary memory: a plain load or store through the mapping faults.
      void *va = mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
      if (va == MAP_FAILED) return nullptr;
      mappings_[reinterpret_cast<uintptr_t>(va)] =
          Mapping{physical, length, dev, static_cast<uint32_t>(physical - base), true};
      return va;
    }
  }
  return nullptr;  // nothing decodes that range
}

void Machine::UnmapIoSpace(PVOID base, size_t length) {
  RequireIrql(DISPATCH_LEVEL, "MmUnmapIoSpace");
  auto it = mappings_.find(reinterpret_cast<uintptr_t>(base));
  if (it == mappings_.end() || !it->second.live)
    verifier_.Stop(Rule::RegisterAccess, "MmUnmapIoSpace of an address that is not a live mapping");
  if (it->second.length != length)
    verifier_.Stop(Rule::InvalidParameter, "MmUnmapIoSpace length " + std::to_string(length) +
                                               " differs from the mapped " +
                                               std::to_string(it->second.length));
  // The address range stays reserved so that a stale access is caught, never reused.
  it->second.live = false;
}

Machine::Mapping *Machine::FindMapping(const volatile void *address, const char *what,
                                       uint32_t *offset) {
  auto a = reinterpret_cast<uintptr_t>(address);
  auto it = mappings_.upper_bound(a);
  if (it == mappings_.begin())
    verifier_.Stop(Rule::RegisterAccess,
                   std::string(what) + " at " + Hex(a) + " outside any mapping");
  --it;
  Mapping &m = it->second;
  if (a + 4 > it->first + m.length)
    verifier_.Stop(Rule::RegisterAccess,
                   std::string(what) + " at " + Hex(a) + " outside any mapping");
  if (!m.live)
    verifier_.Stop(Rule::RegisterAccess, std::string(what) + " at offset " + Hex(a - it->first) +
                                             " after the mapping was unmapped");
  if (a % 4 != 0)
    verifier_.Stop(Rule::RegisterAccess, std::string(what) + " at " + Hex(a) + " is not aligned");
  *offset = m.offset + static_cast<uint32_t>(a - it->first);
  return &m;
}

bool Machine::IsIoSpace(const volatile void *address) const {
  auto a = reinterpret_cast<uintptr_t>(address);
  auto it = mappings_.upper_bound(a);
  if (it == mappings_.begin()) return false;
  --it;
  return a < it->first + (it->second.length + kPage - 1) / kPage * kPage;
}

ULONG Machine::ReadRegister(volatile ULONG *address) {
  uint32_t offset;
  Mapping *m = FindMapping(address, "READ_REGISTER_ULONG", &offset);
  ULONG value = m->device->MmioRead32(offset);
  Spend(options_.registerReadCost);
  return value;
}

void Machine::WriteRegister(volatile ULONG *address, ULONG value) {
  uint32_t offset;
  Mapping *m = FindMapping(address, "WRITE_REGISTER_ULONG", &offset);
  m->device->MmioWrite32(offset, value);
}

size_t Machine::liveMappings(const PciDevice *device) const {
  size_t n = 0;
  for (const auto &[base, m] : mappings_) n += m.live && m.device == device;
  return n;
}

void Machine::MemoryBarrier() {
  for (PciDevice *dev : pciDevices_) dev->OnBarrier();
}

// ------------------------------------------------------------------ bus

void Machine::AttachPciDevice(PciDevice *device) {
  if (std::find(pciDevices_.begin(), pciDevices_.end(), device) != pciDevices_.end()) return;
  uint32_t index = static_cast<uint32_t>(pciDevices_.size());
  // Each slot gets its own window and line; vectors are what the platform translated.
  uint64_t window = 0xF7E00000ull + static_cast<uint64_t>(index) * 0x10000;
  uint32_t vector = 0x61 + index;
  pciDevices_.push_back(device);
  device->Plugged(this, window, vector);
}

void Machine::DetachPciDevice(PciDevice *device) {
  if (std::find(pciDevices_.begin(), pciDevices_.end(), device) == pciDevices_.end()) return;
  pciDevices_.erase(std::remove(pciDevices_.begin(), pciDevices_.end(), device), pciDevices_.end());
  // A card that leaves the bus no longer drives its line.
  SetInterruptLine(device->vector(), false);
  for (auto &[base, m] : mappings_)
    if (m.device == device) m.live = false;
}

// ------------------------------------------------------------------ verifier helpers

void Machine::CheckFreedRange(const void *begin, size_t length, const char *what) {
  auto b = reinterpret_cast<uintptr_t>(begin);
  auto inside = [&](const void *p) {
    auto a = reinterpret_cast<uintptr_t>(p);
    return a >= b && a < b + length;
  };
  for (const auto &[timer, state] : timers_)
    if (inside(timer))
      verifier_.Stop(Rule::FreedArmedObject, std::string(what) + " holds an armed timer");
  for (PKDPC dpc : dpcQueue_)
    if (inside(dpc))
      verifier_.Stop(Rule::FreedArmedObject, std::string(what) + " holds a queued DPC");
  for (const auto &[lock, irql] : heldLocks_)
    if (inside(lock))
      verifier_.Stop(Rule::FreedArmedObject, std::string(what) + " holds a held spin lock");
}

}  // namespace sim
