// The threaded machine: processors that truly run at once as far as the code can tell,
// locks that exclude across them, DPCs and interrupts placed as the platform places them,
// and one schedule per seed.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "sim/kernel/machine.h"
#include "support/verifier_expect.h"

namespace {

using sim::Machine;

Machine::Options Threaded(unsigned cpus, uint64_t seed, uint64_t steps = 2000) {
  Machine::Options o;
  o.processors = cpus;
  o.seed = seed;
  o.schedule.steps = steps;
  return o;
}

// A read-modify-write with a preemption point in the middle, optionally under a lock.
struct Counter {
  volatile LONG value = 0;
  KSPIN_LOCK lock = 0;
  void Bump(bool locked) {
    KIRQL old = 0;
    if (locked) old = KeAcquireSpinLockRaiseToDpc(&lock);
    LONG v = value;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);  // a service call: another processor may run here
    value = v + 1;
    if (locked) KeReleaseSpinLock(&lock, old);
  }
};

int RunCounters(unsigned cpus, uint64_t seed, bool locked) {
  Machine m(Threaded(cpus, seed));
  Counter c;
  std::vector<uint32_t> threads;
  for (int t = 0; t < 3; ++t)
    threads.push_back(m.CreateThread("bumper " + std::to_string(t), [&] {
      for (int i = 0; i < 20; ++i) c.Bump(locked);
    }));
  for (uint32_t id : threads) EXPECT_TRUE(m.JoinThread(id));
  return c.value;
}

TEST(ThreadedMachine, ASpinLockExcludesAcrossProcessorsAndTheScheduleFindsTheRaceWithout) {
  int lost = 0;
  for (uint64_t seed = 1; seed <= 20; ++seed) {
    for (unsigned cpus : {2u, 4u}) {
      EXPECT_EQ(RunCounters(cpus, seed, true), 60) << "seed " << seed << ", " << cpus;
      lost += RunCounters(cpus, seed, false) != 60;
    }
  }
  EXPECT_GT(lost, 0) << "some schedule interleaves the unlocked read-modify-write";
}

TEST(ThreadedMachine, TheSameSeedGivesTheSameScheduleAndOthersDiffer) {
  auto trace = [](uint64_t seed) {
    Machine m(Threaded(2, seed, 200));
    std::string log;
    std::vector<uint32_t> threads;
    for (int t = 0; t < 3; ++t)
      threads.push_back(m.CreateThread(std::string(1, char('a' + t)), [&m, &log] {
        for (int i = 0; i < 10; ++i) {
          LARGE_INTEGER now;
          KeQuerySystemTime(&now);
          log += m.CurrentThreadName();
        }
      }));
    for (uint32_t id : threads) m.JoinThread(id);
    return log;
  };
  EXPECT_EQ(trace(7), trace(7));
  std::set<std::string> seen;
  for (uint64_t seed = 1; seed <= 10; ++seed) seen.insert(trace(seed));
  EXPECT_GT(seen.size(), 3u);
}

struct DpcProbe {
  Machine *m;
  std::vector<unsigned> ranOn;
};

void NTAPI RecordProcessor(PKDPC, PVOID context, PVOID, PVOID) {
  auto *p = static_cast<DpcProbe *>(context);
  p->ranOn.push_back(p->m->currentProcessor());
}

TEST(ThreadedMachine, ADpcRunsOnTheProcessorThatQueuedItAndIsNeverQueuedTwice) {
  Machine m(Threaded(4, 3));
  DpcProbe probe{&m, {}};
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordProcessor, &probe);
  std::vector<unsigned> queuedOn;
  uint32_t t = m.CreateThread("queuer", [&] {
    for (int i = 0; i < 8; ++i) {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);  // queued, not yet run
      queuedOn.push_back(m.currentProcessor());
      EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
      EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "already queued";
      KeLowerIrql(old);
      m.RunFor(sim::kMillisecond);  // may come back on another processor
    }
  });
  ASSERT_TRUE(m.JoinThread(t));
  EXPECT_EQ(probe.ranOn, queuedOn);
}

struct Line {
  Machine *m;
  ULONG vector;
  int pending = 0;  // interrupts raised and not yet serviced
  LONG shared = 0;  // bumped by the routine and by synchronized code
  std::set<unsigned> processors;
};

BOOLEAN NTAPI Service(PKINTERRUPT, PVOID context) {
  auto *l = static_cast<Line *>(context);
  l->processors.insert(l->m->currentProcessor());
  LONG v = l->shared;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  l->shared = v + 1;
  if (--l->pending == 0) l->m->SetInterruptLine(l->vector, false);
  return TRUE;
}

BOOLEAN NTAPI Synchronized(PVOID context) {
  auto *l = static_cast<Line *>(context);
  LONG v = l->shared;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  l->shared = v + 1;
  return TRUE;
}

TEST(ThreadedMachine, InterruptsGoToAnyProcessorAndSynchronizeExecutionExcludesTheirRoutine) {
  std::set<unsigned> everywhere;
  for (uint64_t seed = 1; seed <= 8; ++seed) {
    Machine m(Threaded(2, seed));
    Line line{&m, 0x70};
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(
        m.ConnectInterrupt(&interrupt, Service, &line, line.vector, 6, 6, LevelSensitive, FALSE),
        STATUS_SUCCESS);
    for (int i = 0; i < 20; ++i)
      m.At(static_cast<sim::Nanos>(i) * 50 * sim::kMicrosecond, [&] {
        ++line.pending;
        m.SetInterruptLine(line.vector, true);
      });
    uint32_t t = m.CreateThread("synchronizer", [&] {
      for (int i = 0; i < 20; ++i) {
        KeSynchronizeExecution(interrupt, Synchronized, &line);
        m.Spend(45 * sim::kMicrosecond);
      }
    });
    ASSERT_TRUE(m.JoinThread(t));
    m.RunFor(sim::kMillisecond);
    EXPECT_EQ(line.pending, 0);
    EXPECT_EQ(line.shared, 20 + static_cast<LONG>(m.interruptsServiced())) << "seed " << seed;
    everywhere.insert(line.processors.begin(), line.processors.end());
    IoDisconnectInterrupt(interrupt);
  }
  EXPECT_EQ(everywhere.size(), 2u) << "either processor takes the line";
}

TEST(ThreadedMachine, MutexesBlockAndACircleOfWaitersIsAVerifierStop) {
  bool circle = false;
  for (uint64_t seed = 1; seed <= 30 && !circle; ++seed) {
    Machine m(Threaded(2, seed, 100));
    sim::SimMutex a{nullptr, "mutex a"}, b{nullptr, "mutex b"};
    auto both = [&m](sim::SimMutex &first, sim::SimMutex &second) {
      return [&m, &first, &second] {
        m.AcquireMutex(first, "test");
        m.AcquireMutex(second, "test");
        m.ReleaseMutex(second, "test");
        m.ReleaseMutex(first, "test");
      };
    };
    uint32_t t1 = m.CreateThread("ab", both(a, b));
    uint32_t t2 = m.CreateThread("ba", both(b, a));
    try {
      m.JoinThread(t1);
      m.JoinThread(t2);
    } catch (const sim::VerifierStop &stop) {
      EXPECT_EQ(stop.rule(), sim::Rule::Deadlock);
      EXPECT_NE(stop.message().find("seed " + std::to_string(seed)), std::string::npos)
          << "the report says how to replay it: " << stop.message();
      circle = true;
    }
  }
  EXPECT_TRUE(circle) << "some schedule takes the two mutexes in opposite orders at once";
}

TEST(ThreadedMachine, WaitsOnEventsTimersAndSleepsLetTheOthersRun) {
  Machine m(Threaded(2, 5));
  KEVENT ready;
  KeInitializeEvent(&ready, SynchronizationEvent, FALSE);
  std::vector<std::string> order;
  uint32_t waiter = m.CreateThread("waiter", [&] {
    EXPECT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    order.push_back("woken");
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;  // 1 ms
    EXPECT_EQ(KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
  });
  uint32_t setter = m.CreateThread("setter", [&] {
    LARGE_INTEGER interval;
    interval.QuadPart = -50000;  // 5 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    order.push_back("set");
    KeSetEvent(&ready, 0, FALSE);
  });
  EXPECT_TRUE(m.JoinThread(waiter));
  EXPECT_TRUE(m.JoinThread(setter));
  EXPECT_EQ(order, (std::vector<std::string>{"set", "woken"}));
  EXPECT_GE(m.now(), 6 * sim::kMillisecond);
}

// The priorities order what happens at one moment; they used to let a thread busy-waiting
// at DISPATCH_LEVEL hold up a thread of lower priority on the other processor for as long
// as it waited (a rebalance's bus transactions stopped another card's stream for 150 ms).
TEST(ThreadedMachine, ABusyWaitOnOneProcessorDoesNotStopTheOther) {
  constexpr sim::Nanos kBusy = 20 * sim::kMillisecond;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    // Priority changes far beyond the test: only the order each seed gives decides.
    Machine m(Threaded(2, seed, 1'000'000'000));
    sim::Nanos busyUntil = 0, otherDone = -1;
    uint32_t spinner = m.CreateThread("spinner", [&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      LARGE_INTEGER frequency;
      const LONGLONG start = KeQueryPerformanceCounter(&frequency).QuadPart;
      while (KeQueryPerformanceCounter(nullptr).QuadPart - start < frequency.QuadPart / 50) {
      }
      busyUntil = m.now();
      KeLowerIrql(old);
    });
    uint32_t other = m.CreateThread("other", [&] {
      for (int i = 0; i < 5; ++i) {
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
      }
      otherDone = m.now();
    });
    EXPECT_TRUE(m.JoinThread(spinner));
    EXPECT_TRUE(m.JoinThread(other));
    EXPECT_GE(busyUntil, kBusy);
    EXPECT_GE(otherDone, 0);
    EXPECT_LT(otherDone, sim::kMillisecond) << "seed " << seed;
  }
}

TEST(ThreadedMachine, AStopInAnotherThreadReachesTheCallerAndTheRestIsUnwound) {
  Machine m(Threaded(2, 9));
  KSPIN_LOCK lock = 0;
  uint32_t spinner = m.CreateThread("forever", [&] {
    for (;;) {
      LARGE_INTEGER now;
      KeQuerySystemTime(&now);
    }
  });
  uint32_t culprit = m.CreateThread("culprit", [&] {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);  // its own lock again
    KeReleaseSpinLock(&lock, old);
  });
  EXPECT_VERIFIER_STOP(sim::Rule::SpinLockRecursion, m.JoinThread(culprit));
  EXPECT_FALSE(m.ThreadFinished(spinner));  // unwound when the machine goes
}

}  // namespace
