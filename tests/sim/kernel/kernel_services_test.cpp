// The kernel services' documented behaviour that the driver relies on.
#include <gtest/gtest.h>
#include <ntddk.h>

#include <algorithm>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/kernel/pool.h"
#include "support/verifier_expect.h"

namespace {

using sim::kMillisecond;
using sim::Machine;

struct Recorder {
  std::vector<std::pair<int, KIRQL>> calls;  // (tag, IRQL at the call)
  Machine *machine = nullptr;
  sim::Nanos lastTime = -1;
};

void NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto *r = static_cast<Recorder *>(context);
  r->calls.emplace_back(1, KeGetCurrentIrql());
  r->lastTime = r->machine->now();
}

TEST(Dpc, IsQueuedOnceAndRunsWhenIrqlFallsBelowDispatch) {
  Machine m;
  Recorder r{{}, &m};
  KDPC dpc;
  KeInitializeDpc(&dpc, RecordDpc, &r);

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)) << "a queued DPC must not queue twice";
  EXPECT_TRUE(r.calls.empty()) << "no DPC may run at DISPATCH_LEVEL";
  KeLowerIrql(old);
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.calls[0].second, DISPATCH_LEVEL);

  // At passive level a DPC preempts at once, and may be queued again afterwards.
  EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
  EXPECT_EQ(r.calls.size(), 2u);
  EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
}

TEST(Timer, RelativeAbsoluteAndRearmMoveTheDueTime) {
  Machine m;
  Recorder r{{}, &m};
  KDPC dpc;
  KTIMER timer;
  KeInitializeDpc(&dpc, RecordDpc, &r);
  KeInitializeTimer(&timer);

  LARGE_INTEGER due;
  due.QuadPart = -10 * 10'000;  // 10 ms relative
  EXPECT_FALSE(KeSetTimer(&timer, due, &dpc));
  due.QuadPart = -25 * 10'000;
  EXPECT_TRUE(KeSetTimer(&timer, due, &dpc)) << "re-arming reports the timer was armed";
  m.RunFor(20 * kMillisecond);
  EXPECT_TRUE(r.calls.empty()) << "the first due time must have been replaced";
  m.RunFor(10 * kMillisecond);
  ASSERT_EQ(r.calls.size(), 1u);
  EXPECT_EQ(r.lastTime, 25 * kMillisecond);
  EXPECT_TRUE(KeReadStateTimer(&timer));

  // Absolute: system time + 13 ms.
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  const sim::Nanos armedAt = m.now();
  due.QuadPart = now.QuadPart + 130'000;
  KeSetTimer(&timer, due, &dpc);
  m.RunFor(12 * kMillisecond);
  EXPECT_EQ(r.calls.size(), 1u);
  m.RunFor(2 * kMillisecond);
  ASSERT_EQ(r.calls.size(), 2u);
  EXPECT_EQ(r.lastTime, armedAt + 13 * kMillisecond);

  KeSetTimer(&timer, due, &dpc);  // a due time in the past expires at once
  m.RunFor(0);
  EXPECT_EQ(r.calls.size(), 3u);

  due.QuadPart = -10'000;
  KeSetTimer(&timer, due, &dpc);
  EXPECT_TRUE(KeCancelTimer(&timer));
  EXPECT_FALSE(KeCancelTimer(&timer));
  m.RunFor(5 * kMillisecond);
  EXPECT_EQ(r.calls.size(), 3u);
}

TEST(Time, CounterReadsCostTimeAndBusyWaitsEnd) {
  Machine m;
  LARGE_INTEGER freq;
  LARGE_INTEGER start = KeQueryPerformanceCounter(&freq);
  EXPECT_EQ(freq.QuadPart, 10'000'000);
  // A 5 us busy wait on the counter terminates and takes (about) 5 us of virtual time.
  while (KeQueryPerformanceCounter(nullptr).QuadPart - start.QuadPart < 50) {
  }
  EXPECT_GE(m.now(), 5'000);
  EXPECT_LT(m.now(), 5'100) << "the wait ends within one counter read of its target";

  // Frequencies of 2^32 Hz and above do not overflow the conversion.
  m.SetPerformanceFrequency(1ull << 33);
  m.RunFor(sim::kSecond * 3600);
  LARGE_INTEGER c = KeQueryPerformanceCounter(&freq);
  EXPECT_EQ(freq.QuadPart, 1ll << 33);
  EXPECT_NEAR(static_cast<double>(c.QuadPart) / static_cast<double>(1ll << 33),
              static_cast<double>(m.now()) / 1e9, 1e-6);

  LARGE_INTEGER t1, t2;
  KeQuerySystemTime(&t1);
  LARGE_INTEGER sleep;
  sleep.QuadPart = -20'000;  // 2 ms
  KeDelayExecutionThread(KernelMode, FALSE, &sleep);
  KeQuerySystemTime(&t2);
  EXPECT_EQ(t2.QuadPart - t1.QuadPart, 20'000);
}

struct IsrState {
  int calls = 0;
  KIRQL irqlSeen = 0;
  Machine *machine = nullptr;
  ULONG vector = 0;
  bool claim = true;
};

BOOLEAN NTAPI Isr(PKINTERRUPT, PVOID context) {
  auto *s = static_cast<IsrState *>(context);
  s->calls++;
  s->irqlSeen = KeGetCurrentIrql();
  if (s->claim) s->machine->SetInterruptLine(s->vector, false);  // quieten the source
  return s->claim;
}

BOOLEAN NTAPI SyncRoutine(PVOID context) {
  auto *s = static_cast<IsrState *>(context);
  // The line rises while we hold the interrupt's lock: the ISR must wait.
  s->machine->SetInterruptLine(s->vector, true);
  return s->calls == 0;
}

TEST(Interrupt, DeferredWhileIrqlIsHighAndSynchronizedWithCallers) {
  Machine m;
  IsrState s{0, 0, &m, 0x61, true};
  PKINTERRUPT irq = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&irq, Isr, &s, nullptr, 0x61, 6, 6, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  m.SetInterruptLine(0x61, true);
  EXPECT_EQ(s.calls, 1);
  EXPECT_EQ(s.irqlSeen, 6);

  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
  m.SetInterruptLine(0x61, true);
  EXPECT_EQ(s.calls, 1) << "no interrupt may run above its IRQL";
  KeLowerIrql(old);
  EXPECT_EQ(s.calls, 2);

  EXPECT_TRUE(KeSynchronizeExecution(irq, SyncRoutine, &s) == FALSE || s.calls == 2);
  EXPECT_EQ(s.calls, 3) << "the held-off interrupt runs once the routine returns";

  IoDisconnectInterrupt(irq);
  m.SetInterruptLine(0x61, true);
  EXPECT_EQ(s.calls, 3);
  EXPECT_EQ(m.connectedInterrupts(), 0u);
}

TEST(Interrupt, SharedLineOffersEachRoutineUntilOneClaims) {
  Machine m;
  IsrState other{0, 0, &m, 0x62, false};
  IsrState mine{0, 0, &m, 0x62, true};
  PKINTERRUPT a = nullptr, b = nullptr;
  ASSERT_EQ(
      IoConnectInterrupt(&a, Isr, &other, nullptr, 0x62, 6, 6, LevelSensitive, TRUE, 1, FALSE),
      STATUS_SUCCESS);
  ASSERT_EQ(IoConnectInterrupt(&b, Isr, &mine, nullptr, 0x62, 6, 6, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  PKINTERRUPT c = nullptr;
  EXPECT_EQ(
      IoConnectInterrupt(&c, Isr, &mine, nullptr, 0x62, 6, 6, LevelSensitive, FALSE, 1, FALSE),
      STATUS_INVALID_PARAMETER)
      << "an exclusive connection on a shared line is refused";
  m.SetInterruptLine(0x62, true);
  EXPECT_EQ(other.calls, 1);
  EXPECT_EQ(mine.calls, 1);
  IoDisconnectInterrupt(a);
  IoDisconnectInterrupt(b);
}

struct Waiter {
  KEVENT event;
  KTIMER timer;
  KDPC dpc;
};

void NTAPI SignalFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  KeSetEvent(&static_cast<Waiter *>(context)->event, 0, FALSE);
}

TEST(Event, WaitsLetTimeRunAndSynchronizationEventsReset) {
  Machine m;
  Waiter w;
  KeInitializeEvent(&w.event, SynchronizationEvent, FALSE);
  KeInitializeTimer(&w.timer);
  KeInitializeDpc(&w.dpc, SignalFromDpc, &w);
  LARGE_INTEGER due;
  due.QuadPart = -50'000;  // 5 ms
  KeSetTimer(&w.timer, due, &w.dpc);
  EXPECT_EQ(KeWaitForSingleObject(&w.event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(m.now(), 5 * kMillisecond);
  EXPECT_EQ(KeReadStateEvent(&w.event), 0) << "a satisfied synchronization event resets";

  LARGE_INTEGER timeout;
  timeout.QuadPart = -10'000;
  EXPECT_EQ(KeWaitForSingleObject(&w.event, Executive, KernelMode, FALSE, &timeout),
            STATUS_TIMEOUT);
  EXPECT_EQ(m.now(), 6 * kMillisecond);

  KEVENT n;
  KeInitializeEvent(&n, NotificationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(KeSetEvent(&n, 0, FALSE), 1) << "a notification event stays signalled";
}

TEST(Pool, AccountsByTagAndInjectsFailures) {
  Machine m;
  constexpr ULONG tag = 'wNCK';
  void *a = ExAllocatePoolWithTag(NonPagedPool, 100, tag);
  void *b = ExAllocatePoolWithTag(NonPagedPool, 28, tag);
  ASSERT_NE(a, nullptr);
  // Pool is not zeroed, so code that forgets to clear what it allocates is found.
  auto *bytes = static_cast<const uint8_t *>(a);
  EXPECT_EQ(std::count(bytes, bytes + 100, 0), 0);
  EXPECT_EQ(m.pool().liveCount(tag), 2u);
  EXPECT_EQ(m.pool().liveBytes(tag), 128u);
  EXPECT_EQ(sim::Pool::TagName(tag), "KCNw");
  m.pool().FailAllocation(2);
  void *c = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr) << "the 2nd allocation fails";
  EXPECT_NE(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr) << "only that one";
  ExFreePoolWithTag(a, tag);
  ExFreePool(b);
  ExFreePool(c);
  EXPECT_EQ(m.pool().liveCount(tag), 1u);
  EXPECT_VERIFIER_STOP(sim::Rule::PoolLeak, m.pool().CheckNoLeaks("test"));
}

}  // namespace
