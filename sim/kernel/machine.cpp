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
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/thread.h"

namespace sim {

namespace {

Machine *g_current = nullptr;
// Machines alive, oldest first. They need not go in the reverse order they came (a test
// may make the next one before the last is gone): the newest one still alive is current.
std::vector<Machine *> g_live;

void Publish(Machine *m) {
  g_current = m;
  SimCostModelOn = m != nullptr && m->costs().on;
}

constexpr size_t kPage = 4096;
constexpr uint64_t kStormLimit = 100'000;

std::string Hex(uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

}  // namespace

// ------------------------------------------------------------------ machine

Machine::Machine() : Machine(Options{}) {}

Machine::Machine(const Options &options)
    : options_(options), frequency_(options.performanceFrequency) {
  g_live.push_back(this);
  Publish(this);
  unsigned n = std::clamp(options.processors, 1u, 8u);
  for (unsigned i = 0; i < n; ++i) {
    cpus_.push_back(std::make_unique<Processor>());
    cpus_.back()->index = i;
  }
  current_ = cpus_[0].get();
  // The caller's own thread; on the threaded machine it runs on processor 0 first.
  auto main = std::make_unique<Thread>();
  main->name = "main";
  main->state = Thread::State::Running;
  main->processor = current_;
  current_->thread = main.get();
  running_ = main.get();
  threads_.push_back(std::move(main));
  pool_ = std::make_unique<Pool>(*this);
  registry_ = std::make_unique<Registry>();
  dma_ = std::make_unique<DmaSystem>(*this);
  pnp_ = std::make_unique<PnpManager>(*this);
  if (n > 1) StartThreaded();
  TsanEnterSimulation();
}

Machine::~Machine() {
  TsanLeaveSimulation();
  // Threads still alive (a scenario ended by a verifier stop) are unwound first.
  if (threaded_) StopThreaded();
  // Tear down quietly: a scenario that ended in a verifier stop leaves state behind.
  for (auto it = teardown_.rbegin(); it != teardown_.rend(); ++it) (*it)();
  pnp_.reset();
  ReleaseIoObjects(this);
  dma_.reset();
  pool_.reset();
  registry_.reset();
  for (auto &[base, m] : mappings_)
    munmap(reinterpret_cast<void *>(base), (m.length + kPage - 1) / kPage * kPage);
  threads_.clear();
  kept_.clear();
  g_live.erase(std::find(g_live.begin(), g_live.end(), this));
  if (g_current == this) Publish(g_live.empty() ? nullptr : g_live.back());
}

Machine &Machine::Current() {
  if (g_current == nullptr) {
    std::fprintf(stderr, "platform service called with no simulated machine\n");
    std::abort();
  }
  return *g_current;
}

Machine *Machine::CurrentOrNull() { return g_current; }

void Machine::Stop(Rule rule, const std::string &message) { verifier_.Stop(rule, message); }

// ------------------------------------------------------------------ time

int64_t Machine::SystemTime() const {
  return options_.bootSystemTime + systemTimeOffset_ + now_ / 100;
}

Nanos Machine::SystemTimeToNanos(int64_t systemTime) const {
  return (systemTime - options_.bootSystemTime - systemTimeOffset_) * 100;
}

void Machine::SetSystemTime(int64_t systemTime) {
  systemTimeOffset_ += systemTime - SystemTime();
  // Absolute timers expire at their system time, whichever way the clock moved; one whose
  // time has now passed expires at once ("KeSetTimer": an absolute expiration time tracks
  // changes in the system time).
  for (auto &[timer, state] : timers_) {
    if (!state.absolute) continue;
    Nanos when = std::max(now_, SystemTimeToNanos(state.dueSystemTime));
    if (when == state.due) continue;
    CancelEvent(state.event);
    PKTIMER t = const_cast<PKTIMER>(timer);
    state.due = when;
    state.event = At(when, [this, t] { ExpireTimer(t); });
  }
}

void Machine::SetPerformanceFrequency(uint64_t hz) {
  if (hz == 0) verifier_.Stop(Rule::InvalidParameter, "performance frequency 0");
  frequency_ = hz;
}

uint64_t Machine::PerformanceCounterAt(Nanos t) const {
  return static_cast<uint64_t>(static_cast<unsigned __int128>(t) * frequency_ / kSecond);
}

uint64_t Machine::ReadPerformanceCounter() {
  PreemptionPoint();
  Spend(options_.counterReadCost);
  return PerformanceCounterAt(now_);
}

void Machine::Spend(Nanos d) {
  if (d < 0) verifier_.Stop(Rule::InvalidParameter, "negative time span");
  // Code that keeps its processor for long (a busy wait) lets the others take a step at its
  // next preemption point, where both builds of the driver (native and image) are at the
  // same place. Shorter runs keep the schedule the priorities chose.
  if (threaded_ && d > 0 && (heldFor_ += d) >= kHeldBeforeOthersStep) {
    heldFor_ = 0;
    stepOthers_ = true;
  }
  AdvanceTo(now_ + d);
}

// ------------------------------------------------------------------ the cost model

Nanos **Machine::AccountSlot() {
  Processor &p = cpu();
  if (p.interruptDepth > 0 || p.dispatchDepth > 0) return &p.account;
  return running_ != nullptr ? &running_->account : &passiveAccount_;
}

Machine::AccountScope::AccountScope(Machine &m, Nanos *account)
    : slot_(m.AccountSlot()), saved_(*slot_) {
  *slot_ = account;
}

Machine::AccountScope::~AccountScope() { *slot_ = saved_; }

void Machine::Charge(Nanos d, Nanos *account) {
  if (account == nullptr) account = *AccountSlot();
  *(account != nullptr ? account : &load_.passive) += d;
  load_.total += d;
  Spend(d);
}

void Machine::ChargeCopy(const void *destination, const void *source, size_t length) {
  const Costs &c = options_.costs;
  const bool uncached = c.honourCacheEnabled && dma_->UncachedAt(source);
  const uint64_t ps =
      c.copyCallPs + length * (uncached ? c.uncachedPsPerByte : c.cachedPsPerByte) + chargeCarryPs_;
  chargeCarryPs_ = ps % 1000;
  Charge(static_cast<Nanos>(ps / 1000), copyOwner_ != nullptr ? copyOwner_(destination) : nullptr);
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
  if (threaded_) {
    // Everything that can run at this moment runs before the caller goes on.
    Block(
        nullptr, -1, [] { return true; }, false, true);
    return;
  }
  DispatchPending();
  if (cpu().irql != PASSIVE_LEVEL) return;
  while (RunOnePassiveWork()) {
  }
}

void Machine::RunUntil(Nanos t) {
  RunUntil([] { return false; }, t);
}

void Machine::RunFor(Nanos d) { RunUntil(now_ + d); }

bool Machine::RunUntil(const std::function<bool()> &done, Nanos deadline) {
  if (cpu().irql != PASSIVE_LEVEL)
    verifier_.Stop(Rule::IrqlTooHigh, "the event loop runs only at PASSIVE_LEVEL");
  if (threaded_) {
    Block(nullptr, std::max(deadline, now_), done, false, true);
    return done();
  }
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
  PreemptionPoint();
  if (cpu().irql > max)
    verifier_.Stop(Rule::IrqlTooHigh, std::string(service) + " called at IRQL " +
                                          std::to_string(cpu().irql) + ", limit " +
                                          std::to_string(max));
}

void Machine::RaiseIrql(KIRQL newIrql) {
  if (newIrql < cpu().irql)
    verifier_.Stop(Rule::IrqlTooHigh, "KeRaiseIrql to " + std::to_string(newIrql) +
                                          " below the current IRQL " + std::to_string(cpu().irql));
  cpu().irql = newIrql;
}

void Machine::LowerIrql(KIRQL newIrql) {
  if (newIrql > cpu().irql)
    verifier_.Stop(Rule::IrqlTooHigh, "KeLowerIrql to " + std::to_string(newIrql) +
                                          " above the current IRQL " + std::to_string(cpu().irql));
  cpu().irql = newIrql;
  DispatchPending();
}

void Machine::DispatchPending() {
  // An idle loop inside an interrupt or a DPC keeps its processor from taking a thread.
  bool idle = threaded_ && running_->kind == ThreadKind::Idle;
  bool wasBusy = cpu().idleBusy;
  if (idle) cpu().idleBusy = true;
  for (;;) {
    if (DeliverInterrupts()) continue;
    if (cpu().irql < DISPATCH_LEVEL && !cpu().dpcs.empty()) {
      RunOneDpc();
      continue;
    }
    break;
  }
  if (idle) cpu().idleBusy = wasBusy;
}

// ------------------------------------------------------------------ DPCs

bool Machine::QueueDpc(PKDPC dpc) { return QueueDpcOn(cpu(), dpc); }

bool Machine::QueueDpcOn(Processor &p, PKDPC dpc) {
  if (dpc->DpcData != nullptr) return false;
  dpc->DpcData = dpc;  // marks it queued, on whichever processor
  dpc->Number = static_cast<USHORT>(p.index);
  p.dpcs.push_back({dpc, ++p.dpcSequence});
  TsanRelease(dpc);
  if (&p == current_) {
    if (p.irql < DISPATCH_LEVEL) DispatchPending();
  } else {
    scheduleDirty_ = true;
  }
  return true;
}

bool Machine::DequeueDpc(PKDPC dpc) {
  for (auto &p : cpus_) {
    auto it = std::find_if(p->dpcs.begin(), p->dpcs.end(),
                           [&](const Processor::QueuedDpc &q) { return q.dpc == dpc; });
    if (it == p->dpcs.end()) continue;
    p->dpcs.erase(it);
    dpc->DpcData = nullptr;
    if (threaded_) CheckPredicates(false);
    return true;
  }
  return false;
}

bool Machine::IsDpcQueued(const KDPC *dpc) const {
  for (const auto &p : cpus_)
    for (const auto &q : p->dpcs)
      if (q.dpc == dpc) return true;
  return false;
}

void Machine::FlushDpcs() {
  RequireIrql(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
  if (!threaded_) {
    DispatchPending();
    return;
  }
  // Every DPC queued or running anywhere now has finished when this returns.
  std::vector<uint64_t> upTo;
  for (auto &p : cpus_) upTo.push_back(p->dpcSequence);
  auto done = [this, upTo] {
    for (size_t i = 0; i < cpus_.size(); ++i) {
      const Processor &p = *cpus_[i];
      if (p.runningDpc != 0 && p.runningDpc <= upTo[i]) return false;
      for (const auto &q : p.dpcs)
        if (q.sequence <= upTo[i]) return false;
    }
    return true;
  };
  DispatchPending();
  if (!done()) Block(nullptr, -1, done);
}

void Machine::RunOneDpc() {
  Processor &p = cpu();
  Processor::QueuedDpc q = p.dpcs.front();
  p.dpcs.pop_front();
  PKDPC dpc = q.dpc;
  dpc->DpcData = nullptr;  // may be queued again from its own routine
  KIRQL old = p.irql;
  p.irql = DISPATCH_LEVEL;
  size_t locksBefore = p.locksHeld;
  uint64_t outer = p.runningDpc;
  p.runningDpc = q.sequence;
  ++p.dispatchDepth;
  Nanos *outerAccount = p.account;
  p.account = &load_.dpcs;
  TsanAcquire(dpc);
  CallDriver(dpc->DeferredRoutine, dpc, dpc->DeferredContext, dpc->SystemArgument1,
             dpc->SystemArgument2);
  Processor &after = cpu();
  after.account = outerAccount;
  --after.dispatchDepth;
  after.runningDpc = outer;
  if (after.irql != DISPATCH_LEVEL)
    verifier_.Stop(Rule::IrqlTooHigh, "a DPC returned at IRQL " + std::to_string(after.irql));
  if (after.locksHeld != locksBefore)
    verifier_.Stop(Rule::SpinLockNotHeld, "a DPC returned holding a spin lock");
  after.irql = old;
  if (threaded_) CheckPredicates(false);
}

// ------------------------------------------------------------------ timers

bool Machine::SetTimer(PKTIMER timer, LARGE_INTEGER due, LONG period, PKDPC dpc) {
  RequireIrql(DISPATCH_LEVEL, "KeSetTimer");
  bool wasArmed = CancelTimer(timer);
  Nanos when;
  const bool absolute = due.QuadPart >= 0;
  if (!absolute)
    when = now_ + (-due.QuadPart) * 100;
  else
    when = std::max(now_, SystemTimeToNanos(due.QuadPart));
  timer->Header.SignalState = 0;
  timer->DueTime.QuadPart = static_cast<ULONGLONG>(SystemTime() + (when - now_) / 100);
  timer->Dpc = dpc;
  timer->Period = static_cast<ULONG>(period);
  timer->Processor = cpu().index;
  EventId ev = At(when, [this, timer] { ExpireTimer(timer); });
  timers_[timer] = TimerState{when, ev, dpc, period, cpu().index, absolute, due.QuadPart};
  if (dpc != nullptr) TsanRelease(dpc);
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
  if (threaded_) WakeAll(timer);
  if (state.period > 0) {
    Nanos next = state.due + static_cast<Nanos>(state.period) * kMillisecond;
    EventId ev = At(next, [this, timer] { ExpireTimer(timer); });
    timers_[timer] = TimerState{next, ev, state.dpc, state.period, state.processor, false, 0};
  }
  if (state.dpc != nullptr) {
    LARGE_INTEGER t;
    t.QuadPart = SystemTime();
    state.dpc->SystemArgument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(t.LowPart));
    state.dpc->SystemArgument2 =
        reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(t.HighPart)));
    // The timer's processor takes the DPC, as it would from its own clock interrupt.
    QueueDpcOn(*cpus_[state.processor], state.dpc);
  }
}

// ------------------------------------------------------------------ waits

NTSTATUS Machine::WaitForEvent(PKEVENT event, const LARGE_INTEGER *timeout) {
  bool zeroTimeout = timeout != nullptr && timeout->QuadPart == 0;
  PreemptionPoint();
  if (cpu().irql > (zeroTimeout ? DISPATCH_LEVEL : APC_LEVEL))
    verifier_.Stop(Rule::WaitAtDispatch,
                   "KeWaitForSingleObject at IRQL " + std::to_string(cpu().irql));
  Nanos deadline = -1;
  if (timeout != nullptr)
    deadline = timeout->QuadPart < 0 ? now_ + (-timeout->QuadPart) * 100
                                     : SystemTimeToNanos(timeout->QuadPart);
  auto consume = [event] {
    // Synchronization events and timers reset when a wait is satisfied.
    if (event->Header.Type == SynchronizationEvent || event->Header.Type == 9)
      event->Header.SignalState = 0;
  };
  if (threaded_) {
    if (event->Header.SignalState != 0) {
      consume();
      TsanAcquire(event);
      return STATUS_SUCCESS;
    }
    if (zeroTimeout || (deadline >= 0 && now_ >= deadline)) return STATUS_TIMEOUT;
    // A synchronization event is consumed by the waker for the one waiter it wakes.
    if (!Block(event, deadline, nullptr)) return STATUS_TIMEOUT;
    TsanAcquire(event);
    return STATUS_SUCCESS;
  }
  for (;;) {
    if (event->Header.SignalState != 0) {
      consume();
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

void Machine::SignalEvent(PKEVENT event) {
  TsanRelease(event);
  event->Header.SignalState = 1;
  if (!threaded_) return;
  if (event->Header.Type == SynchronizationEvent) {
    // The one waiter it wakes consumes the signal.
    if (Thread *waiter = FirstWaiter(event)) {
      Wake(waiter, false);
      event->Header.SignalState = 0;
    }
  } else {
    WakeAll(event);
  }
}

void Machine::Sleep(Nanos d) {
  PreemptionPoint();
  if (cpu().irql > APC_LEVEL)
    verifier_.Stop(Rule::WaitAtDispatch,
                   "KeDelayExecutionThread at IRQL " + std::to_string(cpu().irql));
  if (threaded_) {
    if (d > 0) Block(nullptr, now_ + d, nullptr);
    return;
  }
  if (d > 0) AdvanceTo(now_ + d);
}

// ------------------------------------------------------------------ spin locks

void Machine::AcquireSpinLock(PKSPIN_LOCK lock, const char *service) {
  PreemptionPoint();
  for (;;) {
    auto it = heldLocks_.find(lock);
    if (it == heldLocks_.end()) break;
    if (!threaded_ || it->second.processor == cpu().index)
      verifier_.Stop(Rule::SpinLockRecursion,
                     std::string(service) + ": lock " + Hex(reinterpret_cast<uintptr_t>(lock)) +
                         " is already held (the processor would spin forever)");
    SpinOn(lock, service);
  }
  heldLocks_[lock] = HeldLock{cpu().index, cpu().irql};
  ++cpu().locksHeld;
  *lock = 1;
  TsanAcquire(lock);
}

void Machine::ReleaseSpinLock(PKSPIN_LOCK lock, const char *service) {
  auto it = heldLocks_.find(lock);
  if (it == heldLocks_.end() || it->second.processor != cpu().index)
    verifier_.Stop(Rule::SpinLockNotHeld, std::string(service) + ": lock " +
                                              Hex(reinterpret_cast<uintptr_t>(lock)) +
                                              " is not held by this processor");
  TsanRelease(lock);
  heldLocks_.erase(it);
  --cpu().locksHeld;
  *lock = 0;
  if (threaded_) {
    scheduleDirty_ = true;  // a processor spinning on it may go on
    PreemptionPoint();
  }
}

bool Machine::IsSpinLockHeld(const KSPIN_LOCK *lock) const { return heldLocks_.count(lock) != 0; }

// ------------------------------------------------------------------ interrupts

KAFFINITY Machine::activeProcessors() const {
  return cpus_.size() >= 64 ? ~KAFFINITY{0} : (KAFFINITY{1} << cpus_.size()) - 1;
}

void Machine::SetInterruptLine(ULONG vector, bool assertedBySource, const void *source) {
  Line &line = lines_[vector];
  if (assertedBySource)
    line.sources.insert(source);
  else
    line.sources.erase(source);
  const bool asserted = !line.sources.empty();
  if (asserted && !line.asserted) line.edgePending = true;
  line.asserted = asserted;
  if (!asserted) line.unclaimedInARow = 0;
  if (!assertedBySource) return;
  if (!threaded_) {
    DispatchPending();
    return;
  }
  // A device raises its line at any moment; the interrupt controller picks a processor
  // that may take it. Delivery happens between that processor's instructions: at its
  // next preemption point, or when this event's handling is over.
  TargetLine(vector, line);
}

bool Machine::IsInterruptLineAsserted(ULONG vector) const {
  auto it = lines_.find(vector);
  return it != lines_.end() && it->second.asserted;
}

bool Machine::DeliverInterrupts() {
  // The highest deliverable line above the current IRQL goes first.
  Processor &p = cpu();
  Line *best = nullptr;
  ULONG bestVector = 0;
  for (auto &[vector, line] : lines_) {
    if (line.objects.empty() || line.inService) continue;
    if (line.target >= 0 && line.target != static_cast<int>(p.index)) continue;
    _KINTERRUPT *first = line.objects.front();
    bool wants = first->mode == Latched ? line.edgePending : line.asserted;
    if (!wants || first->irql <= p.irql) continue;
    if (!(first->affinity & (KAFFINITY{1} << p.index))) continue;
    if (best == nullptr || first->irql > best->objects.front()->irql) {
      best = &line;
      bestVector = vector;
    }
  }
  if (best == nullptr) return false;
  best->edgePending = false;
  best->target = -1;
  best->inService = true;
  KIRQL old = p.irql;
  p.irql = best->objects.front()->syncIrql;
  ++p.interruptDepth;
  bool claimed = false;
  std::vector<_KINTERRUPT *> chain = best->objects;
  for (_KINTERRUPT *obj : chain) {
    if (!obj->connected) continue;
    AcquireSpinLock(&obj->lock, "interrupt dispatch");
    if (!obj->connected) {  // disconnected while this processor waited for its lock
      ReleaseSpinLock(&obj->lock, "interrupt dispatch");
      continue;
    }
    size_t locksBefore = cpu().locksHeld;
    Nanos *outerAccount = cpu().account;
    cpu().account = &load_.interrupts;
    BOOLEAN r = CallDriver(obj->routine, obj, obj->context);
    cpu().account = outerAccount;
    if (cpu().locksHeld != locksBefore)
      verifier_.Stop(Rule::SpinLockNotHeld, "an interrupt service routine returned holding a lock");
    if (cpu().irql != obj->syncIrql)
      verifier_.Stop(Rule::IrqlTooHigh, "an interrupt service routine changed the IRQL");
    ReleaseSpinLock(&obj->lock, "interrupt dispatch");
    ++interruptsServiced_;
    if (r) {
      claimed = true;
      break;
    }
  }
  Processor &q = cpu();
  --q.interruptDepth;
  q.irql = old;
  Line &line = lines_[bestVector];
  line.inService = false;
  if (line.asserted && !line.objects.empty() && line.objects.front()->mode == LevelSensitive) {
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
                                   BOOLEAN shared, KAFFINITY affinity, bool platformOwned) {
  RequireIrql(PASSIVE_LEVEL, "IoConnectInterrupt");
  if (out == nullptr || routine == nullptr || syncIrql < irql || irql <= DISPATCH_LEVEL ||
      (mode != LevelSensitive && mode != Latched) || (affinity & activeProcessors()) == 0)
    return STATUS_INVALID_PARAMETER;
  Line &line = lines_[vector];
  if (!line.objects.empty()) {
    _KINTERRUPT *first = line.objects.front();
    if (!shared || !first->shared || first->mode != mode || first->irql != irql)
      return STATUS_INVALID_PARAMETER;
  }
  auto obj = std::make_unique<_KINTERRUPT>();
  *obj = _KINTERRUPT{routine,      context,     vector, irql,         syncIrql,
                     mode,         shared != 0, true,   KSPIN_LOCK{}, affinity & activeProcessors(),
                     platformOwned};
  TsanRelease(&obj->lock);  // what the connecting thread did before is seen by the routine
  line.objects.push_back(obj.get());
  *out = obj.get();
  interrupts_.push_back(std::move(obj));
  if (threaded_) {
    if (line.asserted) TargetLine(vector, line);
  } else {
    DispatchPending();
  }
  return STATUS_SUCCESS;
}

void Machine::DisconnectInterrupt(PKINTERRUPT interrupt) {
  RequireIrql(PASSIVE_LEVEL, "IoDisconnectInterrupt");
  auto it = std::find_if(interrupts_.begin(), interrupts_.end(),
                         [&](const auto &p) { return p.get() == interrupt; });
  if (it == interrupts_.end() || !interrupt->connected)
    verifier_.Stop(Rule::InvalidParameter,
                   "IoDisconnectInterrupt of an object that is not connected");
  if (threaded_) {
    // The object goes only once no processor runs its routine or holds its lock.
    KIRQL old = cpu().irql;
    cpu().irql = interrupt->syncIrql;
    AcquireSpinLock(&interrupt->lock, "IoDisconnectInterrupt");
    interrupt->connected = false;
    ReleaseSpinLock(&interrupt->lock, "IoDisconnectInterrupt");
    cpu().irql = old;
  }
  interrupt->connected = false;
  auto &objs = lines_[interrupt->vector].objects;
  objs.erase(std::remove(objs.begin(), objs.end(), interrupt), objs.end());
  if (threaded_) DispatchPending();
}

BOOLEAN Machine::SynchronizeExecution(PKINTERRUPT interrupt, PKSYNCHRONIZE_ROUTINE routine,
                                      PVOID context) {
  auto live = [&] {
    return std::any_of(interrupts_.begin(), interrupts_.end(),
                       [&](const auto &p) { return p.get() == interrupt; }) &&
           interrupt->connected;
  };
  if (interrupt == nullptr || !live())
    verifier_.Stop(Rule::InvalidParameter,
                   "KeSynchronizeExecution with an interrupt object that is not connected "
                   "(IoDisconnectInterrupt frees it)");
  RequireIrql(interrupt->syncIrql, "KeSynchronizeExecution");
  KIRQL old = cpu().irql;
  cpu().irql = interrupt->syncIrql;
  AcquireSpinLock(&interrupt->lock, "KeSynchronizeExecution");
  if (!interrupt->connected)
    verifier_.Stop(Rule::InvalidParameter,
                   "KeSynchronizeExecution on an interrupt object disconnected (and freed) "
                   "while this processor waited for its lock");
  BOOLEAN r = CallDriver(routine, context);
  ReleaseSpinLock(&interrupt->lock, "KeSynchronizeExecution");
  cpu().irql = old;
  DispatchPending();
  return r;
}

size_t Machine::connectedInterrupts() const {
  size_t n = 0;
  for (const auto &p : interrupts_) n += p->connected && !p->platformOwned ? 1 : 0;
  return n;
}

size_t Machine::connectedInterrupts(ULONG vector) const {
  size_t n = 0;
  for (const auto &p : interrupts_)
    n += p->connected && !p->platformOwned && p->vector == vector ? 1 : 0;
  return n;
}

// ------------------------------------------------------------------ passive work

void Machine::QueuePassiveWork(std::function<void()> work) {
  if (threaded_) {
    QueueWork(std::move(work));
    return;
  }
  passiveWork_.push_back(std::move(work));
}

bool Machine::RunOnePassiveWork() {
  if (passiveWork_.empty()) return false;
  auto work = std::move(passiveWork_.front());
  passiveWork_.pop_front();
  work();
  if (cpu().irql != PASSIVE_LEVEL)
    verifier_.Stop(Rule::IrqlTooHigh,
                   "passive work returned at IRQL " + std::to_string(cpu().irql));
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
  PreemptionPoint();
  uint32_t offset;
  Mapping *m = FindMapping(address, "READ_REGISTER_ULONG", &offset);
  ULONG value = m->device->MmioRead32(offset);
  Charge(options_.costs.on ? options_.costs.registerRead : options_.registerReadCost);
  return value;
}

void Machine::WriteRegister(volatile ULONG *address, ULONG value) {
  PreemptionPoint();
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
  PreemptionPoint();
  for (PciDevice *dev : pciDevices_) dev->OnBarrier();
}

// ------------------------------------------------------------------ bus

void Machine::AttachPciDevice(PciDevice *device) {
  if (std::find(pciDevices_.begin(), pciDevices_.end(), device) != pciDevices_.end()) return;
  // Each slot gets its own window and line; vectors are what the platform translated. A
  // card plugged in after another left takes a new slot: counting the devices present would
  // give it the window and the line of one still on the bus.
  uint32_t index = pciSlots_++;
  uint64_t window = 0xF7E00000ull + static_cast<uint64_t>(index) * 0x10000;
  uint32_t vector = 0x61 + index;
  pciDevices_.push_back(device);
  device->Plugged(this, window, vector);
}

void Machine::MovePciWindow(PciDevice *device) {
  if (std::find(pciDevices_.begin(), pciDevices_.end(), device) == pciDevices_.end()) return;
  uint64_t window = 0xF8000000ull + static_cast<uint64_t>(movedWindows_++ % 0x800) * 0x10000;
  device->Plugged(this, window, device->vector());
}

void Machine::DetachPciDevice(PciDevice *device) {
  if (std::find(pciDevices_.begin(), pciDevices_.end(), device) == pciDevices_.end()) return;
  pciDevices_.erase(std::remove(pciDevices_.begin(), pciDevices_.end(), device), pciDevices_.end());
  // A card that leaves the bus no longer drives its line.
  SetInterruptLine(device->vector(), false, device);
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
  for (const auto &p : cpus_)
    for (const auto &q : p->dpcs)
      if (inside(q.dpc))
        verifier_.Stop(Rule::FreedArmedObject, std::string(what) + " holds a queued DPC");
  for (const auto &[lock, held] : heldLocks_)
    if (inside(lock))
      verifier_.Stop(Rule::FreedArmedObject, std::string(what) + " holds a held spin lock");
}

}  // namespace sim
