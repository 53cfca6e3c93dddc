// The PnP sequence through the kernel-streaming device level, with the driver's
// device callbacks, failure injection and leak-free teardown.
#include <gtest/gtest.h>
#include <ks.h>

#include "sim/card/card.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/registry.h"
#include "sim/ks/device.h"
#include "support/verifier_expect.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace {

using sim::Machine;

constexpr ULONG kTagDevice = 'wNCK';
const char kEnumKey[] = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\morvane\\Enum";

struct Rig {
  Machine m;
  sim::Card card{sim::Card::Variant::Device6864};
  sim::PnpManager::Card *c = nullptr;
  PKSDEVICE ks() { return sim::ks::DeviceFromFdo(c->fdo); }
};

TEST(Pnp, CardLifecycleIsLeakFree) {
  Rig b;
  ASSERT_EQ(b.m.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(b.m.pnp().AddCard(&b.card, &b.c), STATUS_SUCCESS);
  ASSERT_NE(b.ks(), nullptr);
  EXPECT_NE(b.ks()->Context, nullptr);
  EXPECT_EQ(b.ks()->PhysicalDeviceObject, b.c->pdo);
  EXPECT_EQ(b.m.pool().liveCount(kTagDevice), 1u);
  EXPECT_EQ(b.m.registry().GetDword(kEnumKey, "Count"), 1u);
  EXPECT_EQ(b.c->fdo->StackSize, 2);

  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  EXPECT_TRUE(b.ks()->Started);
  EXPECT_EQ(b.card.CountReads(INT_STATUS), 1u);
  EXPECT_EQ(b.m.liveMappings(&b.card), 1u);

  EXPECT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(b.ks()->DevicePowerState, PowerDeviceD3);
  EXPECT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);

  EXPECT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(b.m.liveMappings(&b.card), 0u);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS) << "a stopped card starts again";

  // Removal stops the started card and frees the context through the device's bag.
  EXPECT_EQ(b.m.pnp().RemoveCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(b.m.pool().liveCount(kTagDevice), 0u);
  EXPECT_EQ(b.m.registry().GetDword(kEnumKey, "Count"), 0u);
  b.m.pnp().UnloadDriver();
  EXPECT_FALSE(b.m.verifier().stopped());
}

TEST(Pnp, AddFailuresLeaveNothingBehind) {
  Rig b;
  ASSERT_EQ(b.m.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  b.m.pool().FailAllocation(1);
  EXPECT_EQ(b.m.pnp().AddCard(&b.card, &b.c), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(b.c->fdo, nullptr);

  sim::Card second(sim::Card::Variant::Standard);
  sim::PnpManager::Card *c2 = nullptr;
  sim::ks::FailBagAdds(1);
  EXPECT_EQ(b.m.pnp().AddCard(&second, &c2), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(b.m.pool().liveCount(kTagDevice), 0u) << "a refused context is freed";
  b.m.pnp().RemoveCard(*b.c);
  b.m.pnp().RemoveCard(*c2);
  b.m.pnp().UnloadDriver();
}

TEST(Pnp, StartFailsCleanlyOnResourcesItCannotUse) {
  Rig b;
  ASSERT_EQ(b.m.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(b.m.pnp().AddCard(&b.card, &b.c), STATUS_SUCCESS);

  sim::ResourceSpec none;
  none.absent = true;
  EXPECT_EQ(b.m.pnp().StartCard(*b.c, none), STATUS_UNSUCCESSFUL);

  sim::ResourceSpec elsewhere;
  elsewhere.descriptors = b.m.pnp().DefaultResources(*b.c);
  elsewhere.descriptors[0].u.Memory.Start.QuadPart = 0x1000;  // nothing decodes it
  EXPECT_EQ(b.m.pnp().StartCard(*b.c, elsewhere), STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(b.ks()->Started);
  EXPECT_EQ(b.m.liveMappings(&b.card), 0u);
  b.m.pnp().RemoveCard(*b.c);
  b.m.pnp().UnloadDriver();
}

BOOLEAN NTAPI NobodysIsr(PKINTERRUPT, PVOID) { return FALSE; }

// What a driver holds of its card must be released by the time the card is removed: the
// register mapping, the interrupt, the DMA adapter.
TEST(Pnp, RemovalWithTheCardsResourcesStillHeldIsCaught) {
  for (int held : {0, 1, 2}) {
    SCOPED_TRACE(held);
    Rig b;
    ASSERT_EQ(b.m.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(b.m.pnp().AddCard(&b.card, &b.c), STATUS_SUCCESS);
    if (held == 0) {
      PHYSICAL_ADDRESS pa;
      pa.QuadPart = static_cast<LONGLONG>(b.card.windowBase());
      ASSERT_NE(MmMapIoSpace(pa, 4096, MmNonCached), nullptr);
    } else if (held == 1) {
      // A copy: the resource list is a temporary.
      const auto line = b.m.pnp().DefaultResources(*b.c)[1].u.Interrupt;
      PKINTERRUPT object = nullptr;
      KIRQL irql = static_cast<KIRQL>(line.Level);
      ASSERT_EQ(IoConnectInterrupt(&object, NobodysIsr, nullptr, nullptr, line.Vector, irql, irql,
                                   LevelSensitive, TRUE, 1, FALSE),
                STATUS_SUCCESS);
    } else {
      DEVICE_DESCRIPTION d{};
      d.Master = TRUE;
      d.Dma32BitAddresses = TRUE;
      d.InterfaceType = PCIBus;
      ASSERT_NE(IoGetDmaAdapter(b.c->pdo, &d, nullptr), nullptr);
    }
    EXPECT_VERIFIER_STOP(sim::Rule::ResourceLeak, b.m.pnp().RemoveCard(*b.c));
  }
}

int g_freed = 0;
void NTAPI CountFree(PVOID p) {
  ++g_freed;
  ExFreePool(p);
}

TEST(KsDevice, BagsFreeEachItemOnceWithTheirDevice) {
  Rig b;
  ASSERT_EQ(b.m.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
  ASSERT_EQ(b.m.pnp().AddCard(&b.card, &b.c), STATUS_SUCCESS);
  KSOBJECT_BAG bag = b.ks()->Bag;
  g_freed = 0;
  void *x = ExAllocatePoolWithTag(NonPagedPool, 8, 'xgaB');
  void *y = ExAllocatePoolWithTag(NonPagedPool, 8, 'ygaB');
  void *z = ExAllocatePoolWithTag(NonPagedPool, 8, 'zgaB');
  KsAcquireDevice(b.ks());  // the device's bag changes under the device mutex
  EXPECT_EQ(KsAddItemToObjectBag(bag, x, CountFree), STATUS_SUCCESS);
  EXPECT_EQ(KsAddItemToObjectBag(bag, x, CountFree), STATUS_SUCCESS);  // owned once
  EXPECT_EQ(KsAddItemToObjectBag(bag, y, nullptr), STATUS_SUCCESS);    // plain pool free
  EXPECT_EQ(KsAddItemToObjectBag(bag, z, CountFree), STATUS_SUCCESS);
  KsRemoveItemFromObjectBag(bag, z, TRUE);
  KsReleaseDevice(b.ks());
  EXPECT_EQ(g_freed, 1);
  EXPECT_EQ(sim::ks::BagItems(bag).size(), 3u);  // context, x, y
  b.m.pnp().RemoveCard(*b.c);
  EXPECT_EQ(g_freed, 2);
  EXPECT_EQ(b.m.pool().liveCount(), 0u);
  b.m.pnp().UnloadDriver();
}

}  // namespace
