// Every verifier rule fires on the behaviour it exists to catch.
#include <gtest/gtest.h>
#include <ntddk.h>

#include <functional>
#include <string>

#include "sim/card/card.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pool.h"
#include "support/verifier_expect.h"

namespace {

using sim::Machine;
using sim::Rule;

struct Scenario {
  const char *name;
  Rule rule;
  std::function<void(Machine &, sim::Card &)> run;
};

void NTAPI Nop(PKDPC, PVOID, PVOID, PVOID) {}
BOOLEAN NTAPI NeverMine(PKINTERRUPT, PVOID) { return FALSE; }

PVOID MapCard(sim::Card &card) {
  PHYSICAL_ADDRESS pa;
  pa.QuadPart = static_cast<LONGLONG>(card.windowBase());
  return MmMapIoSpace(pa, 4096, MmNonCached);
}

const Scenario kScenarios[] = {
    {"ServiceAboveItsIrql", Rule::IrqlTooHigh,
     [](Machine &, sim::Card &) {
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       ExAllocatePoolWithTag(PagedPool, 16, 'tseT');
     }},
    {"WaitAtDispatch", Rule::WaitAtDispatch,
     [](Machine &, sim::Card &) {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     }},
    {"SleepAtDispatch", Rule::WaitAtDispatch,
     [](Machine &, sim::Card &) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeAcquireSpinLockRaiseToDpc(&lock);
       LARGE_INTEGER d;
       d.QuadPart = -10;
       KeDelayExecutionThread(KernelMode, FALSE, &d);
     }},
    {"SpinLockAcquiredTwice", Rule::SpinLockRecursion,
     [](Machine &, sim::Card &) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeAcquireSpinLockRaiseToDpc(&lock);
       KeAcquireSpinLockAtDpcLevel(&lock);
     }},
    {"SpinLockReleasedUnheld", Rule::SpinLockNotHeld,
     [](Machine &, sim::Card &) {
       KSPIN_LOCK lock;
       KeInitializeSpinLock(&lock);
       KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     }},
    {"PoolFreedTwice", Rule::PoolDoubleFree,
     [](Machine &, sim::Card &) {
       void *p = ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT');
       ExFreePoolWithTag(p, 'tseT');
       ExFreePoolWithTag(p, 'tseT');
     }},
    {"PoolNeverAllocated", Rule::PoolBadFree,
     [](Machine &, sim::Card &) {
       static char notPool[16];
       ExFreePool(notPool);
     }},
    {"PoolFreedWithAnotherTag", Rule::PoolBadFree,
     [](Machine &, sim::Card &) {
       ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, 'AAAA'), 'BBBB');
     }},
    {"PoolLeftAllocated", Rule::PoolLeak,
     [](Machine &m, sim::Card &) {
       ExAllocatePoolWithTag(NonPagedPool, 24, 'wNCK');
       m.pool().CheckNoLeaks("the driver");
     }},
    {"RegisterOutsideTheMapping", Rule::RegisterAccess,
     [](Machine &, sim::Card &card) {
       auto *regs = static_cast<volatile ULONG *>(MapCard(card));
       READ_REGISTER_ULONG(regs + 1024);
     }},
    {"RegisterAfterUnmapping", Rule::RegisterAccess,
     [](Machine &, sim::Card &card) {
       auto *regs = static_cast<volatile ULONG *>(MapCard(card));
       MmUnmapIoSpace(const_cast<ULONG *>(regs), 4096);
       WRITE_REGISTER_ULONG(regs + 2, 1);
     }},
    {"CardDmaOutsideACommonBuffer", Rule::DmaOutsideBuffer,
     [](Machine &m, sim::Card &) {
       uint8_t b = 0;
       m.dma().Write(0x1000, &b, 1);
     }},
    {"FreeingAnArmedTimer", Rule::FreedArmedObject,
     [](Machine &, sim::Card &) {
       auto *t = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER), 'rmiT'));
       KeInitializeTimer(t);
       LARGE_INTEGER due;
       due.QuadPart = -1000;
       KeSetTimer(t, due, nullptr);
       ExFreePoolWithTag(t, 'rmiT');
     }},
    {"FreeingAQueuedDpc", Rule::FreedArmedObject,
     [](Machine &, sim::Card &) {
       auto *d = static_cast<PKDPC>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KDPC), ' cpD'));
       KeInitializeDpc(d, Nop, nullptr);
       KIRQL old;
       KeRaiseIrql(DISPATCH_LEVEL, &old);
       KeInsertQueueDpc(d, nullptr, nullptr);
       ExFreePoolWithTag(d, ' cpD');
     }},
    {"WaitNothingCanSatisfy", Rule::Deadlock,
     [](Machine &, sim::Card &) {
       KEVENT e;
       KeInitializeEvent(&e, NotificationEvent, FALSE);
       KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
     }},
    {"UnclaimedLevelInterrupt", Rule::InterruptStorm,
     [](Machine &m, sim::Card &) {
       PKINTERRUPT irq;
       IoConnectInterrupt(&irq, NeverMine, nullptr, nullptr, 0x70, 6, 6, LevelSensitive, TRUE, 1,
                          FALSE);
       m.SetInterruptLine(0x70, true);
     }},
    {"IrpFreedTwice", Rule::IrpMisuse,
     [](Machine &, sim::Card &) {
       PIRP irp = IoAllocateIrp(1, FALSE);
       IoFreeIrp(irp);
       IoFreeIrp(irp);
     }},
    {"DereferenceBelowZero", Rule::ObjectReference,
     [](Machine &, sim::Card &) {
       DRIVER_OBJECT drv{};
       PDEVICE_OBJECT d;
       IoCreateDevice(&drv, 0, nullptr, 0, 0, FALSE, &d);
       ObfDereferenceObject(d);
     }},
    {"AdapterPutWithBuffers", Rule::ResourceLeak,
     [](Machine &, sim::Card &) {
       DEVICE_DESCRIPTION d{};
       d.Master = TRUE;
       d.Dma32BitAddresses = TRUE;
       d.InterfaceType = PCIBus;
       PDMA_ADAPTER a = IoGetDmaAdapter(nullptr, &d, nullptr);
       PHYSICAL_ADDRESS la;
       a->DmaOperations->AllocateCommonBuffer(a, 64, &la, FALSE);
       a->DmaOperations->PutDmaAdapter(a);
     }},
    {"UnmapWithAnotherLength", Rule::InvalidParameter,
     [](Machine &, sim::Card &card) { MmUnmapIoSpace(MapCard(card), 8); }},
    {"DriverBugCheck", Rule::BugCheck,
     [](Machine &, sim::Card &) { KeBugCheckEx(0xE2, 0, 0, 0, 0); }},
};

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

class VerifierRule : public ::testing::TestWithParam<Scenario> {};

TEST_P(VerifierRule, Fires) {
  Machine m;
  sim::Card card(sim::Card::Variant::Standard);
  m.AttachPciDevice(&card);
  EXPECT_VERIFIER_STOP(GetParam().rule, GetParam().run(m, card));
  EXPECT_TRUE(m.verifier().stopped());
  ASSERT_FALSE(m.verifier().reports().empty());
  EXPECT_NE(m.verifier().reports().back().find(sim::RuleName(GetParam().rule)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(AllRules, VerifierRule, ::testing::ValuesIn(kScenarios),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
