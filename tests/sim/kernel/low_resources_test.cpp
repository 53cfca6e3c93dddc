// What the platform does to a driver besides serving it: allocations that fail (chosen,
// random, or for want of contiguous memory), executable pool refused, the system clock
// set while timers run, bus addresses that come back only late, and a neighbour on a
// shared interrupt line.
#include <gtest/gtest.h>

#include <set>

#include "sim/kernel/dma.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/shared_line.h"
#include "sim/kernel/sync_annotations.h"
#include "support/verifier_expect.h"

namespace {

using sim::FaultPoint;
using sim::Machine;

// Runs `f` as the driver's code, as the platform calls into it.
template <class F>
auto AsDriver(F f) {
  return sim::CallDriver(f);
}

TEST(LowResources, ChosenCallsFailAndOnlyTheDriversCount) {
  Machine m;
  sim::FaultInjector &faults = m.faults();
  faults.Record(true);
  faults.FailNth(FaultPoint::Pool, 2);
  void *own = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseT');  // the platform's: not counted
  EXPECT_NE(own, nullptr);
  void *first = AsDriver([] { return ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseT'); });
  void *second = AsDriver([] { return ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseT'); });
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr) << "the second of the driver's allocations";
  faults.FailNthOverall(1);
  EXPECT_EQ(AsDriver([] { return IoAllocateIrp(1, FALSE); }), nullptr);
  ASSERT_EQ(faults.calls().size(), 3u);
  EXPECT_EQ(faults.calls()[1].point, FaultPoint::Pool);
  EXPECT_TRUE(faults.calls()[1].failed);
  EXPECT_EQ(faults.calls()[2].point, FaultPoint::Irp);
  EXPECT_EQ(faults.calls()[2].overall, 3u);
  EXPECT_EQ(faults.failureCount(FaultPoint::Pool), 1u);
  ExFreePoolWithTag(own, 'tseT');
  ExFreePoolWithTag(first, 'tseT');
}

TEST(LowResources, RandomFailuresFollowTheSeedAndTheRate) {
  auto pattern = [](uint64_t seed, double rate) {
    sim::FaultInjector f;
    f.SetRandom(seed, rate);
    std::vector<bool> failed;
    for (int i = 0; i < 2000; ++i) failed.push_back(f.Fail(FaultPoint::Irp, true));
    return failed;
  };
  EXPECT_EQ(pattern(7, 0.1), pattern(7, 0.1)) << "the same seed fails the same calls";
  EXPECT_NE(pattern(7, 0.1), pattern(8, 0.1));
  std::vector<bool> p = pattern(3, 0.25);
  size_t failures = static_cast<size_t>(std::count(p.begin(), p.end(), true));
  EXPECT_GT(failures, 400u);
  EXPECT_LT(failures, 600u);
  sim::FaultInjector masked;
  masked.SetRandom(1, 1.0, 1u << static_cast<unsigned>(FaultPoint::Pool));
  EXPECT_FALSE(masked.Fail(FaultPoint::Irp, true)) << "only the points asked for";
  EXPECT_TRUE(masked.Fail(FaultPoint::Pool, true));
  EXPECT_FALSE(masked.Fail(FaultPoint::Pool, false)) << "never the platform's own calls";
}

TEST(LowResources, FragmentedContiguousMemoryRefusesLargeBuffersOnly) {
  Machine m;
  DEVICE_DESCRIPTION d{};
  d.Master = TRUE;
  d.Dma32BitAddresses = TRUE;
  d.InterfaceType = PCIBus;
  PDMA_ADAPTER a = m.dma().GetAdapter(nullptr, d, nullptr);
  PHYSICAL_ADDRESS small{}, large{};
  m.faults().SetContiguousLimit(64 * 1024);
  auto allocate = [&](ULONG bytes, PHYSICAL_ADDRESS *at) {
    return AsDriver([&] { return a->DmaOperations->AllocateCommonBuffer(a, bytes, at, FALSE); });
  };
  void *s = allocate(4096, &small);
  EXPECT_NE(s, nullptr);
  EXPECT_EQ(allocate(414720, &large), nullptr);
  m.faults().SetContiguousLimit(0);
  void *l = allocate(414720, &large);
  ASSERT_NE(l, nullptr);
  // A freed range comes back only after the whole bus space: DMA still aimed at it finds
  // nothing, not somebody's new buffer.
  const LONGLONG freedAt = large.QuadPart;
  a->DmaOperations->FreeCommonBuffer(a, 414720, large, l, FALSE);
  PHYSICAL_ADDRESS next{};
  void *n = allocate(414720, &next);
  EXPECT_NE(next.QuadPart, freedAt);
  EXPECT_FALSE(m.dma().IsLive(static_cast<uint64_t>(freedAt), 16));
  a->DmaOperations->FreeCommonBuffer(a, 414720, next, n, FALSE);
  a->DmaOperations->FreeCommonBuffer(a, 4096, small, s, FALSE);
  a->DmaOperations->PutDmaAdapter(a);
}

TEST(LowResources, ExecutablePoolIsRefusedToTheDriver) {
  Machine m;
  EXPECT_VERIFIER_STOP(sim::Rule::CodeIntegrity,
                       AsDriver([] { return ExAllocatePoolWithTag(NonPagedPool, 8, 'tseT'); }));
}

struct TimerSeen {
  int fired = 0;
};
void NTAPI CountTimer(PKDPC, PVOID context, PVOID, PVOID) {
  ++static_cast<TimerSeen *>(context)->fired;
}

// Absolute timers expire at their system time whichever way the clock moves; relative
// ones do not care (KeSetTimer).
TEST(SystemClock, AbsoluteTimersFollowTheClockRelativeOnesDoNot) {
  Machine m;
  TimerSeen absolute, relative;
  KTIMER ta, tr;
  KDPC da, dr;
  KeInitializeTimer(&ta);
  KeInitializeTimer(&tr);
  KeInitializeDpc(&da, CountTimer, &absolute);
  KeInitializeDpc(&dr, CountTimer, &relative);
  LARGE_INTEGER due;
  KeQuerySystemTime(&due);
  due.QuadPart += 100'000;  // 10 ms
  KeSetTimer(&ta, due, &da);
  LARGE_INTEGER in10ms;
  in10ms.QuadPart = -100'000;
  KeSetTimer(&tr, in10ms, &dr);
  m.AdjustSystemTime(-36'000'000'000);  // back an hour
  m.RunFor(20 * sim::kMillisecond);
  EXPECT_EQ(relative.fired, 1);
  EXPECT_EQ(absolute.fired, 0) << "an hour later, by the clock";
  m.AdjustSystemTime(36'000'000'000);
  m.RunFor(sim::kMillisecond);
  EXPECT_EQ(absolute.fired, 1) << "its time has passed: at once";
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, m.SystemTime());
}

BOOLEAN NTAPI ClaimEverything(PKINTERRUPT, PVOID) { return TRUE; }
BOOLEAN NTAPI ClaimNothing(PKINTERRUPT, PVOID) { return FALSE; }

// A routine earlier on a shared line that claims what is not its own starves the
// neighbour, whose line then stays asserted.
TEST(SharedLine, ARoutineClaimingAnotherDevicesInterruptStarvesIt) {
  for (bool greedy : {false, true}) {
    Machine m;
    PKINTERRUPT ours = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&ours, greedy ? ClaimEverything : ClaimNothing, nullptr, nullptr,
                                 0x61, 6, 6, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    sim::SharedLineDevice neighbour(m, 0x61, 6);
    ASSERT_TRUE(neighbour.connected());
    EXPECT_EQ(m.connectedInterrupts(0x61), 1u) << "the neighbour's is not a driver resource";
    if (greedy) {
      EXPECT_VERIFIER_STOP(sim::Rule::InterruptStorm, neighbour.Raise());
      continue;
    }
    neighbour.RaiseEvery(sim::kMillisecond);
    m.RunFor(10 * sim::kMillisecond);
    EXPECT_GE(neighbour.claimed(), 9u);
    EXPECT_EQ(neighbour.claimed(), neighbour.raised());
    neighbour.Stop();
    IoDisconnectInterrupt(ours);
  }
}

}  // namespace
