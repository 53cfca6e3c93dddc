// The threaded machine: simulated threads on fibers, the processors that run them, the
// choice of what runs next at every preemption point, blocking and waking, and what
// happens to threads when a verifier stop ends the scenario.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim/kernel/machine.h"
#include "sim/kernel/scheduler.h"
#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/thread.h"

namespace sim {

namespace {

constexpr size_t kWorkerThreads = 2;

}  // namespace

void Machine::StartThreaded() {
  threaded_ = true;
  scheduler_ =
      std::make_unique<Scheduler>(options_.seed, options_.schedule.depth, options_.schedule.steps);
  Thread *main = threads_[0].get();
  main->fiber = std::make_unique<Fiber>();
  main->priority = scheduler_->NewPriority();
  for (auto &p : cpus_) {
    auto idle = std::make_unique<Thread>();
    Thread *t = idle.get();
    t->id = static_cast<uint32_t>(threads_.size());
    t->name = "idle " + std::to_string(p->index);
    t->kind = ThreadKind::Idle;
    t->processor = p.get();
    t->state = Thread::State::Running;
    t->priority = scheduler_->NewPriority();
    Processor *cpu = p.get();
    t->fiber = std::make_unique<Fiber>(
        t->name, [this, cpu] { IdleLoop(*cpu); }, 256 * 1024);
    p->idle = t;
    threads_.push_back(std::move(idle));
  }
  verifier_.SetContext([this] { return Describe(); });
}

void Machine::ExploreFromHere(uint64_t steps) {
  if (threaded_) scheduler_->Restart(steps_, steps != 0 ? steps : options_.schedule.steps);
}

std::string Machine::Describe() const {
  std::string s = "seed " + std::to_string(options_.seed) + ", " + std::to_string(cpus_.size()) +
                  " processors, thread '" + running_->name + "' on processor " +
                  std::to_string(current_->index) + ", step " + std::to_string(steps_);
  if (!options_.replay.empty()) s += "; replay: " + options_.replay;
  return s;
}

// Unwinds every thread still alive, then lets the caller's thread tear down alone.
void Machine::StopThreaded() {
  Thread *main = threads_[0].get();
  if (running_ != main) {
    std::fprintf(stderr, "the machine must go away on the thread that made it\n");
    std::abort();
  }
  killing_ = true;
  for (auto &t : threads_) {
    if (t.get() == main || t->state == Thread::State::Finished) continue;
    t->kill = true;
    if (t->processor != nullptr && t->kind != ThreadKind::Idle) t->processor->thread = nullptr;
    t->processor = t->kind == ThreadKind::Idle ? t->processor : main->processor;
    SwitchTo(t.get());
  }
  // Locks and queues of the unwound threads mean nothing any more.
  heldLocks_.clear();
  for (auto &p : cpus_) {
    p->locksHeld = 0;
    p->spinningOn = nullptr;
    p->thread = nullptr;
  }
  main->processor->thread = main;
  current_ = main->processor;
  threaded_ = false;
  failure_ = nullptr;
}

uint32_t Machine::CreateThread(std::string name, std::function<void()> body, ThreadKind kind) {
  if (!threaded_)
    verifier_.Stop(Rule::InvalidParameter,
                   "simulated threads need the threaded machine (two or more processors)");
  auto owned = std::make_unique<Thread>();
  Thread *t = owned.get();
  t->id = static_cast<uint32_t>(threads_.size());
  t->name = std::move(name);
  t->kind = kind;
  t->body = std::move(body);
  t->state = Thread::State::Ready;
  t->readySince = ++order_;
  t->priority = scheduler_->NewPriority();
  t->fiber = std::make_unique<Fiber>(
      t->name, [this, t] { ThreadMain(t); }, options_.threadStackBytes);
  threads_.push_back(std::move(owned));
  TsanRelease(t);  // what the creator did before is seen by the new thread
  scheduleDirty_ = true;
  return t->id;
}

bool Machine::ThreadFinished(uint32_t id) const {
  return id < threads_.size() && threads_[id]->state == Thread::State::Finished;
}

bool Machine::JoinThread(uint32_t id, Nanos deadline) {
  if (id >= threads_.size() || id == 0)
    verifier_.Stop(Rule::InvalidParameter, std::string(__func__) + ": no such thread");
  Thread *t = threads_[id].get();
  PreemptionPoint();
  if (t->state != Thread::State::Finished && !verifier_.stopped()) Block(t, deadline, nullptr);
  if (t->state != Thread::State::Finished) return false;
  TsanAcquire(t);
  return true;
}

std::string Machine::CurrentThreadName() const {
  return running_ != nullptr ? running_->name : std::string("main");
}

void Machine::ThreadMain(Thread *t) {
  TsanEnterSimulation();
  TsanAcquire(t);
  if (!t->kill) {
    try {
      AfterResume();
      t->body();
    } catch (const ThreadKill &) {
    } catch (...) {
      if (!failure_ && !killing_) failure_ = std::current_exception();
    }
  }
  t->state = Thread::State::Finished;
  t->body = nullptr;
  TsanRelease(t);
  if (Processor *p = t->processor; p != nullptr && p->thread == t) {
    p->thread = nullptr;
    p->irql = PASSIVE_LEVEL;
  }
  t->processor = nullptr;
  if (killing_) {
    SwitchTo(threads_[0].get());
  } else {
    WakeAll(t);
    scheduleDirty_ = true;
    Reschedule();
  }
  std::fprintf(stderr, "finished thread %s was resumed\n", t->name.c_str());
  std::abort();
}

void Machine::IdleLoop(Processor &p) {
  TsanEnterSimulation();
  Thread *self = p.idle;
  for (;;) {
    try {
      try {
        if (self->kill) {
          self->unwinding = true;
          throw ThreadKill{};
        }
        DispatchPending();
        Reschedule();
      } catch (const ThreadKill &) {
        throw;
      } catch (...) {
        // A stop inside an interrupt or a DPC: the caller's thread reports it.
        if (!failure_ && !killing_) failure_ = std::current_exception();
        p.idleBusy = false;
        p.irql = PASSIVE_LEVEL;
        Reschedule();
      }
    } catch (const ThreadKill &) {
      self->state = Thread::State::Finished;
      SwitchTo(threads_[0].get());
      std::abort();
    }
  }
}

void Machine::WorkerMain() {
  for (;;) {
    while (workQueue_.empty()) Block(&workQueue_, -1, nullptr, /*daemon=*/true);
    std::function<void()> work = std::move(workQueue_.front());
    workQueue_.pop_front();
    work();
    if (cpu().irql != PASSIVE_LEVEL)
      verifier_.Stop(Rule::IrqlTooHigh,
                     "a work item returned at IRQL " + std::to_string(cpu().irql));
  }
}

void Machine::QueueWork(std::function<void()> work) {
  workQueue_.push_back(std::move(work));
  while (workers_.size() < kWorkerThreads)
    workers_.push_back(CreateThread(
        "ks worker " + std::to_string(workers_.size()), [this] { WorkerMain(); },
        ThreadKind::Worker));
  WakeOne(&workQueue_);
}

// ------------------------------------------------------------------ choosing

bool Machine::HasInterruptFor(const Processor &p) const {
  for (const auto &[vector, line] : lines_) {
    if (line.objects.empty() || line.inService) continue;
    if (line.target >= 0 && line.target != static_cast<int>(p.index)) continue;
    const _KINTERRUPT *first = line.objects.front();
    bool wants = first->mode == Latched ? line.edgePending : line.asserted;
    if (wants && first->irql > p.irql && (first->affinity & (KAFFINITY{1} << p.index))) return true;
  }
  return false;
}

bool Machine::HasWork(const Processor &p) const {
  return (p.irql < DISPATCH_LEVEL && !p.dpcs.empty()) || HasInterruptFor(p);
}

bool Machine::Runnable(const Processor &p) const {
  if (p.spinningOn != nullptr && heldLocks_.count(p.spinningOn)) return HasInterruptFor(p);
  if (p.thread != nullptr) return true;
  return p.idleBusy || HasWork(p);
}

void Machine::StepOtherProcessors() {
  if (verifier_.stopped() || killing_ || failure_ || running_ == nullptr) return;
  // The scheduler's priorities order what happens at one moment; time passes on every
  // processor at once. Once the running code has spent time, each other processor with
  // something to do that the priorities hold back takes one step (to its next preemption
  // point): a busy wait on one processor must not stop the others' threads, interrupts
  // and DPCs for as long as it lasts.
  const Thread *self = running_;
  uint64_t stepped = 0;  // processors that had their step
  for (;;) {
    if (verifier_.stopped() || killing_ || failure_) return;
    Thread *next = nullptr;
    for (auto &p : cpus_) {
      const uint64_t bit = uint64_t{1} << (p->index % 64);
      if ((stepped & bit) != 0 || p.get() == current_ || !Runnable(*p)) continue;
      Thread *context = p->thread != nullptr ? p->thread : p->idle;
      if (context->priority >= self->priority) continue;
      stepped |= bit;
      next = context;
      break;
    }
    if (next == nullptr) return;
    scheduleDirty_ = true;
    SwitchTo(next);
    AfterResume();
  }
}

Thread *Machine::PickNext() {
  Thread *best = nullptr;
  for (auto &p : cpus_) {
    if (!Runnable(*p)) continue;
    Thread *context = p->thread != nullptr ? p->thread : p->idle;
    if (best == nullptr || context->priority > best->priority) best = context;
  }
  return best;
}

void Machine::PlaceReadyThreads() {
  std::vector<Thread *> ready;
  for (auto &t : threads_)
    if (t->state == Thread::State::Ready) ready.push_back(t.get());
  if (ready.empty()) return;
  std::sort(ready.begin(), ready.end(), [](const Thread *a, const Thread *b) {
    return a->priority != b->priority ? a->priority > b->priority : a->readySince < b->readySince;
  });
  auto place = [](Thread *t, Processor *p) {
    p->thread = t;
    p->irql = t->savedIrql;
    t->processor = p;
    t->state = Thread::State::Running;
  };
  for (Thread *u : ready) {
    if (u->state != Thread::State::Ready) continue;
    Processor *free = nullptr;
    for (auto &p : cpus_)
      if (p->thread == nullptr && !p->idleBusy && p->spinningOn == nullptr) {
        free = p.get();
        break;
      }
    if (free != nullptr) {
      place(u, free);
      continue;
    }
    // A thread below DISPATCH_LEVEL gives way to a ready thread of higher priority.
    Processor *victim = nullptr;
    for (auto &p : cpus_) {
      Thread *t = p->thread;
      if (t == nullptr || p->irql >= DISPATCH_LEVEL || p->spinningOn != nullptr) continue;
      if (t->priority >= u->priority) continue;
      if (victim == nullptr || t->priority < victim->thread->priority) victim = p.get();
    }
    if (victim == nullptr) break;
    Thread *t = victim->thread;
    t->state = Thread::State::Ready;
    t->savedIrql = victim->irql;
    t->processor = nullptr;
    t->readySince = ++order_;
    victim->thread = nullptr;
    victim->irql = PASSIVE_LEVEL;
    place(u, victim);
  }
}

void Machine::Preempt() {
  if (verifier_.stopped() || killing_) {
    if (running_->kill && !running_->unwinding) {
      running_->unwinding = true;
      throw ThreadKill{};
    }
    return;
  }
  if (stepOthers_) {
    stepOthers_ = false;
    StepOtherProcessors();
  }
  ++steps_;
  if (scheduler_->ChangeAt(steps_)) {
    running_->priority = scheduler_->LoweredPriority();
    scheduleDirty_ = true;
  }
  if (!scheduleDirty_) return;
  Reschedule();
}

void Machine::Reschedule() {
  for (;;) {
    Thread *main = threads_[0].get();
    if (failure_ && !killing_ && running_ != main) {
      // A stop in another thread ends the scenario: the caller's thread reports it.
      for (auto &p : cpus_)
        if (p->thread == main) p->thread = nullptr;
      Processor *p = main->processor != nullptr ? main->processor : cpus_[0].get();
      if (p->thread != nullptr && p->thread != main) p->thread->state = Thread::State::Ready;
      if (main->hasTimeout) CancelEvent(main->timeout);
      main->hasTimeout = false;
      main->state = Thread::State::Running;
      main->processor = p;
      p->thread = main;
      SwitchTo(main);
      AfterResume();
      return;
    }
    scheduleDirty_ = false;
    PlaceReadyThreads();
    if (Thread *next = PickNext()) {
      if (next != running_) SwitchTo(next);
      AfterResume();
      return;
    }
    if (running_->kind == ThreadKind::Idle) {
      AdvanceIdle();
      continue;
    }
    // Nothing can run: an idle processor moves time on.
    Processor *idle = nullptr;
    for (auto &p : cpus_)
      if (p->thread == nullptr && !p->idleBusy) {
        idle = p.get();
        break;
      }
    if (idle == nullptr) CheckDeadlocks("every processor spins on a lock nobody will release");
    SwitchTo(idle->idle);
    AfterResume();
    return;
  }
}

void Machine::SwitchTo(Thread *next) {
  Thread *previous = running_;
  if (next == previous) return;
  heldFor_ = 0;
  running_ = next;
  current_ = next->processor != nullptr ? next->processor : current_;
  ++switches_;
  bool leaving = previous->state == Thread::State::Finished;
  if (leaving) TsanLeaveSimulation();  // a fiber ends with nothing ignored
  Fiber::Switch(*previous->fiber, *next->fiber, leaving);
}

void Machine::AfterResume() {
  Thread *self = running_;
  if (self->kill) {
    // Once per thread: code its unwinding runs may pass preemption points again.
    if (!self->unwinding) {
      self->unwinding = true;
      throw ThreadKill{};
    }
    return;
  }
  if (failure_ && self == threads_[0].get() && !killing_) {
    std::exception_ptr failure = failure_;
    failure_ = nullptr;
    std::rethrow_exception(failure);
  }
  if (self->state != Thread::State::Running || verifier_.stopped()) return;
  // An interrupt taken while the processor spins runs on top of the spin: until it returns
  // the processor is not spinning, so it stays runnable and the deadlock check does not
  // follow it to the lock it will spin on again afterwards.
  Processor &p = cpu();
  const KSPIN_LOCK *spinning = p.spinningOn;
  p.spinningOn = nullptr;
  DispatchPending();
  p.spinningOn = spinning;
}

void Machine::AdvanceIdle() {
  if (CheckPredicates(true)) return;
  Nanos next = NextEventTime();
  if (next < 0) {
    CheckDeadlocks("waits that nothing pending can satisfy");
    return;
  }
  AdvanceTo(next);
  CheckPredicates(true);
}

void Machine::CheckDeadlocks(const char *what) {
  std::string stuck;
  for (auto &t : threads_) {
    if (t->state != Thread::State::Blocked || t->daemonWait) continue;
    stuck += (stuck.empty() ? "" : ", ") + t->name;
    if (t->waitMutex != nullptr) stuck += " (on " + t->waitMutex->name + ")";
  }
  for (auto &p : cpus_)
    if (p->spinningOn != nullptr)
      stuck +=
          (stuck.empty() ? "processor " : ", processor ") + std::to_string(p->index) + " spinning";
  verifier_.Stop(Rule::Deadlock, std::string(what) + ": " + (stuck.empty() ? "nothing" : stuck));
}

// ------------------------------------------------------------------ blocking

bool Machine::Block(const void *object, Nanos deadline, std::function<bool()> predicate,
                    bool daemon, bool idleOnly) {
  Thread *t = running_;
  if (t->kind == ThreadKind::Idle)
    verifier_.Stop(Rule::WaitAtDispatch, "a wait inside an interrupt or a DPC");
  if (verifier_.stopped()) return false;  // nothing else runs any more
  t->state = Thread::State::Blocked;
  t->waitObject = object;
  t->predicate = std::move(predicate);
  t->idleOnly = idleOnly;
  t->daemonWait = daemon;
  t->timedOut = false;
  t->blockedAt = ++order_;
  t->hasTimeout = deadline >= 0;
  if (t->hasTimeout)
    t->timeout = At(deadline, [this, t] {
      t->hasTimeout = false;
      Wake(t, true);
    });
  Processor &p = cpu();
  t->savedIrql = p.irql;
  if (p.thread == t) {
    p.thread = nullptr;
    p.irql = PASSIVE_LEVEL;
  }
  t->processor = nullptr;
  scheduleDirty_ = true;
  Reschedule();
  return !t->timedOut;
}

void Machine::Wake(Thread *t, bool timedOut) {
  if (t->state != Thread::State::Blocked) return;
  if (t->hasTimeout) CancelEvent(t->timeout);
  t->hasTimeout = false;
  t->timedOut = timedOut;
  t->state = Thread::State::Ready;
  t->readySince = ++order_;
  t->waitObject = nullptr;
  t->predicate = nullptr;
  t->daemonWait = false;
  scheduleDirty_ = true;
}

Thread *Machine::FirstWaiter(const void *object) const {
  Thread *first = nullptr;
  for (const auto &t : threads_)
    if (t->state == Thread::State::Blocked && t->waitObject == object && object != nullptr &&
        (first == nullptr || t->blockedAt < first->blockedAt))
      first = t.get();
  return first;
}

void Machine::WakeOne(const void *object) {
  if (Thread *t = FirstWaiter(object)) Wake(t, false);
}

void Machine::WakeAll(const void *object) {
  for (auto &t : threads_)
    if (t->state == Thread::State::Blocked && t->waitObject == object && object != nullptr)
      Wake(t.get(), false);
}

bool Machine::CheckPredicates(bool idle) {
  bool woke = false;
  for (auto &t : threads_) {
    if (t->state != Thread::State::Blocked || !t->predicate || (t->idleOnly && !idle)) continue;
    if (t->predicate()) {
      Wake(t.get(), false);
      woke = true;
    }
  }
  return woke;
}

// ------------------------------------------------------------------ spinning

void Machine::SpinOn(PKSPIN_LOCK lock, const char *service) {
  // A processor that spins on a lock another spinning processor holds, in a circle back to
  // itself, spins forever.
  const KSPIN_LOCK *l = lock;
  for (size_t i = 0; i <= cpus_.size(); ++i) {
    auto held = heldLocks_.find(l);
    if (held == heldLocks_.end()) break;
    if (held->second.processor == cpu().index)
      verifier_.Stop(Rule::Deadlock, std::string(service) +
                                         ": processors spin on each other's "
                                         "locks and none will ever go on");
    l = cpus_[held->second.processor]->spinningOn;
    if (l == nullptr) break;
  }
  cpu().spinningOn = lock;
  scheduleDirty_ = true;
  Reschedule();
  cpu().spinningOn = nullptr;
}

// ------------------------------------------------------------------ mutexes

void Machine::AcquireMutex(SimMutex &mutex, const char *service) {
  RequireIrql(APC_LEVEL, service);
  Thread *t = running_;
  if (mutex.owner == nullptr) {
    mutex.owner = t;
    TsanAcquire(&mutex);
    return;
  }
  if (mutex.owner == t)
    verifier_.Stop(Rule::Deadlock, std::string(service) + ": " + mutex.name +
                                       " acquired again by the thread holding it (it is not "
                                       "recursive: the thread waits for itself)");
  if (!threaded_)
    verifier_.Stop(Rule::Deadlock, std::string(service) + ": " + mutex.name + " is held");
  for (Thread *o = mutex.owner; o != nullptr;) {
    if (o == t)
      verifier_.Stop(Rule::Deadlock, std::string(service) + ": " + mutex.name +
                                         " closes a circle of threads waiting for each "
                                         "other's mutexes");
    if (o->state != Thread::State::Blocked || o->waitMutex == nullptr) break;
    o = o->waitMutex->owner;
  }
  t->waitMutex = &mutex;
  Block(&mutex, -1, nullptr);
  t->waitMutex = nullptr;
  TsanAcquire(&mutex);
}

void Machine::ReleaseMutex(SimMutex &mutex, const char *service) {
  PreemptionPoint();
  if (mutex.owner != running_)
    verifier_.Stop(Rule::InvalidParameter, std::string(service) + ": " + mutex.name +
                                               " released by a thread that does "
                                               "not hold it");
  TsanRelease(&mutex);
  Thread *next = FirstWaiter(&mutex);
  mutex.owner = next;
  if (next != nullptr) Wake(next, false);
  PreemptionPoint();
}

bool Machine::HoldsMutex(const SimMutex &mutex) const { return mutex.owner == running_; }

// ------------------------------------------------------------------ interrupts

void Machine::TargetLine(ULONG, Line &line) {
  if (line.objects.empty() || line.inService || line.target >= 0) return;
  const _KINTERRUPT *first = line.objects.front();
  bool wants = first->mode == Latched ? line.edgePending : line.asserted;
  if (!wants) return;
  std::vector<unsigned> eligible;
  for (auto &p : cpus_)
    if (p->irql < first->irql && (first->affinity & (KAFFINITY{1} << p->index)))
      eligible.push_back(p->index);
  if (eligible.empty()) return;  // whichever processor lowers its IRQL first takes it
  line.target = static_cast<int>(eligible[scheduler_->random().Below(eligible.size())]);
  scheduleDirty_ = true;
}

}  // namespace sim
