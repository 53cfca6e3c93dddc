// IRPs down a device stack, the PCI bus driver's configuration requests, and DMA.
#include <gtest/gtest.h>
#include <ntddk.h>

#include <cstring>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/io.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "support/verifier_expect.h"

namespace {

using sim::Machine;

// A two-driver stack built by hand: "upper" passes requests down with a completion
// routine, "lower" completes them (optionally later).
struct StackLog {
  std::vector<std::string> events;
  bool lowerPends = false;
  bool stopCompletion = false;
};
StackLog *g_log = nullptr;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  g_log->events.push_back("lower");
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 42;
  if (g_log->lowerPends) {
    IoMarkIrpPending(irp);
    Machine::Current().At(Machine::Current().now() + 1000, [irp] { IofCompleteRequest(irp, 0); });
    return STATUS_PENDING;
  }
  IofCompleteRequest(irp, 0);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  g_log->events.push_back(std::string("upper-completion:") +
                          (device == context ? "self" : "other") +
                          (irp->PendingReturned ? ":pending" : ""));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return g_log->stopCompletion ? STATUS_MORE_PROCESSING_REQUIRED : STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT device, PIRP irp) {
  g_log->events.push_back("upper");
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, UpperCompletion, device, TRUE, TRUE, TRUE);
  return IofCallDriver(static_cast<PDEVICE_OBJECT *>(device->DeviceExtension)[0], irp);
}

TEST(Irp, CompletionRoutinesRunUpTheStackAndThreadRequestsSignalTheirEvent) {
  Machine m;
  StackLog log;
  g_log = &log;
  DRIVER_OBJECT lowerDrv{}, upperDrv{};
  lowerDrv.MajorFunction[IRP_MJ_PNP] = LowerDispatch;
  upperDrv.MajorFunction[IRP_MJ_PNP] = UpperDispatch;
  PDEVICE_OBJECT lower = nullptr, upper = nullptr;
  ASSERT_EQ(IoCreateDevice(&lowerDrv, 0, nullptr, 0, 0, FALSE, &lower), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(&upperDrv, sizeof(PDEVICE_OBJECT), nullptr, 0, 0, FALSE, &upper),
            STATUS_SUCCESS);
  static_cast<PDEVICE_OBJECT *>(upper->DeviceExtension)[0] =
      IoAttachDeviceToDeviceStack(upper, lower);
  EXPECT_EQ(upper->StackSize, 2);

  for (bool pend : {false, true}) {
    log.events.clear();
    log.lowerPends = pend;
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower);
    EXPECT_EQ(top, upper);
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;  // what a lower driver leaves unhandled
    NTSTATUS st = IofCallDriver(top, irp);
    EXPECT_EQ(st, pend ? STATUS_PENDING : STATUS_SUCCESS);
    if (st == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 42u);
    ObfDereferenceObject(top);
    std::vector<std::string> expected = {
        "upper", "lower", pend ? "upper-completion:self:pending" : "upper-completion:self"};
    EXPECT_EQ(log.events, expected);
  }
  EXPECT_EQ(sim::LiveIrpCount(), 0u) << "the I/O manager frees thread requests";

  // An owner that allocated the IRP stops completion and frees it itself.
  log.lowerPends = false;
  log.stopCompletion = true;
  PIRP own = IoAllocateIrp(upper->StackSize, FALSE);
  IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_PNP;
  own->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IofCallDriver(upper, own);
  EXPECT_TRUE(sim::IsLiveIrp(own));
  IoFreeIrp(own);

  // A request pushed past its last stack location is caught.
  PIRP shallow = IoAllocateIrp(1, FALSE);
  IoGetNextIrpStackLocation(shallow)->MajorFunction = IRP_MJ_PNP;
  shallow->IoStatus.Status = STATUS_NOT_SUPPORTED;
  EXPECT_VERIFIER_STOP(sim::Rule::IrpMisuse, IofCallDriver(upper, shallow));
}

// A lower driver that does not handle a PnP or power request leaves its status alone, so
// whoever sends one presets STATUS_NOT_SUPPORTED; the I/O verifier stops on one that did not.
TEST(Irp, PnpAndPowerRequestsMustBeSentWithTheirStatusPreset) {
  for (UCHAR major : {UCHAR{IRP_MJ_PNP}, UCHAR{IRP_MJ_POWER}}) {
    Machine m;
    DRIVER_OBJECT drv{};
    drv.MajorFunction[major] = LowerDispatch;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(&drv, 0, nullptr, 0, 0, FALSE, &device), STATUS_SUCCESS);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    EXPECT_VERIFIER_STOP(sim::Rule::IrpMisuse, IofCallDriver(device, irp));
  }
}

NTSTATUS Config(PDEVICE_OBJECT pdo, UCHAR minor, ULONG offset, void *buf, ULONG len) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, pdo, nullptr, 0, nullptr, &event, &iosb);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
  s->MinorFunction = minor;
  s->Parameters.ReadWriteConfig.WhichSpace = PCI_WHICHSPACE_CONFIG;
  s->Parameters.ReadWriteConfig.Buffer = buf;
  s->Parameters.ReadWriteConfig.Offset = offset;
  s->Parameters.ReadWriteConfig.Length = len;
  NTSTATUS st = IofCallDriver(pdo, irp);
  if (st == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    st = iosb.Status;
  }
  return st;
}

NTSTATUS NTAPI NoDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST(PciBus, ConfigurationReadsAndWritesReachTheCard) {
  Machine m;
  sim::Card card(sim::Card::Variant::Device6864);
  ASSERT_EQ(m.pnp().LoadDriver(NoDriverEntry), STATUS_SUCCESS);
  sim::PnpManager::Card *c = nullptr;
  EXPECT_EQ(m.pnp().AddCard(&card, &c), STATUS_NOT_SUPPORTED) << "a driver without AddDevice";
  ASSERT_NE(c, nullptr);

  for (bool async : {false, true}) {
    m.pnp().SetBusCompletesAsynchronously(async);
    uint8_t all[256];
    ASSERT_EQ(Config(c->pdo, IRP_MN_READ_CONFIG, 0, all, 256), STATUS_SUCCESS);
    uint32_t id;
    std::memcpy(&id, all, 4);
    EXPECT_EQ(id, 0x68644D56u);

    uint32_t v = 0;
    ASSERT_EQ(Config(c->pdo, IRP_MN_READ_CONFIG, 0x04, &v, 4), STATUS_SUCCESS);
    uint32_t cleared = v & ~(1u << 10);
    ASSERT_EQ(Config(c->pdo, IRP_MN_WRITE_CONFIG, 0x04, &cleared, 4), STATUS_SUCCESS);
    uint32_t back = 0;
    Config(c->pdo, IRP_MN_READ_CONFIG, 0x04, &back, 4);
    EXPECT_EQ(back & (1u << 10), 0u);
    EXPECT_EQ(card.PeekConfig(0x04) & (1u << 10), 0u);
    uint32_t again = cleared | (1u << 10);
    Config(c->pdo, IRP_MN_WRITE_CONFIG, 0x04, &again, 4);

    uint8_t past[8];
    EXPECT_EQ(Config(c->pdo, IRP_MN_READ_CONFIG, 252, past, 8), STATUS_INVALID_PARAMETER);
  }
  EXPECT_EQ(sim::LiveIrpCount(), 0u);
}

TEST(RegisterMapping, OnlyRangesInsideADevicesWindowAreMapped) {
  Machine m;
  sim::Card card(sim::Card::Variant::Standard);
  m.AttachPciDevice(&card);
  const uint64_t base = card.windowBase();
  struct Range {
    uint64_t physical;
    size_t length;
    bool mapped;
  };
  const Range ranges[] = {
      {base, 0x1000, true},
      {base + 0x800, 0x800, true},
      {base + 0x800, 0x1000, false},  // runs past the window's end
      {base - 0x1000, 0x2000, false},
      {0xFFFFFFFFFFFF0101ull, 0xFFFF, false},  // wraps past the top of the address space
      {base, 0, false},
  };
  for (const Range &r : ranges) {
    PVOID va = m.MapIoSpace(r.physical, r.length);
    EXPECT_EQ(va != nullptr, r.mapped) << std::hex << r.physical << " + " << r.length;
    if (va != nullptr) m.UnmapIoSpace(va, r.length);
  }
  m.DetachPciDevice(&card);
}

// A card plugged in after another left gets a slot of its own: neither the register window
// nor the interrupt line of a card still on the bus.
TEST(RegisterMapping, ACardPluggedInAfterARemovalSharesNothingWithTheOthers) {
  Machine m;
  sim::Card a(sim::Card::Variant::Standard), b(sim::Card::Variant::Standard),
      c(sim::Card::Variant::Standard);
  m.AttachPciDevice(&a);
  m.AttachPciDevice(&b);
  m.DetachPciDevice(&a);
  m.AttachPciDevice(&c);
  EXPECT_NE(c.windowBase(), b.windowBase());
  EXPECT_NE(c.vector(), b.vector());
  m.DetachPciDevice(&b);
  m.DetachPciDevice(&c);
}

TEST(Dma, CommonBuffersLiveBelow4GiBAndBoundTheCardsAccess) {
  Machine m;
  DEVICE_DESCRIPTION d{};
  d.Version = DEVICE_DESCRIPTION_VERSION;
  d.Master = TRUE;
  d.Dma32BitAddresses = TRUE;
  d.InterfaceType = PCIBus;
  d.DmaWidth = Width32Bits;
  d.MaximumLength = 0x2000000;
  ULONG mapRegs = 0;
  PDMA_ADAPTER a = IoGetDmaAdapter(nullptr, &d, &mapRegs);
  ASSERT_NE(a, nullptr);
  PHYSICAL_ADDRESS la, lb;
  auto *bufA =
      static_cast<uint8_t *>(a->DmaOperations->AllocateCommonBuffer(a, 414720, &la, FALSE));
  auto *bufB = static_cast<uint8_t *>(a->DmaOperations->AllocateCommonBuffer(a, 4096, &lb, FALSE));
  ASSERT_NE(bufA, nullptr);
  ASSERT_NE(bufB, nullptr);
  EXPECT_LT(static_cast<uint64_t>(la.QuadPart) + 414720, 1ull << 32);
  EXPECT_LT(static_cast<uint64_t>(lb.QuadPart) + 4096, 1ull << 32);

  const uint8_t bytes[4] = {1, 2, 3, 4};
  m.dma().Write(static_cast<uint64_t>(la.QuadPart) + 414716, bytes, 4);
  EXPECT_EQ(std::memcmp(bufA + 414716, bytes, 4), 0);
  EXPECT_VERIFIER_STOP(sim::Rule::DmaOutsideBuffer,
                       m.dma().Write(static_cast<uint64_t>(la.QuadPart) + 414717, bytes, 4));
}

TEST(Dma, FreedBuffersAreNoLongerReachableAndAdaptersMustBeEmptyWhenPut) {
  Machine m;
  DEVICE_DESCRIPTION d{};
  d.Master = TRUE;
  d.Dma32BitAddresses = TRUE;
  d.InterfaceType = PCIBus;
  PDMA_ADAPTER a = IoGetDmaAdapter(nullptr, &d, nullptr);
  PHYSICAL_ADDRESS la;
  void *buf = a->DmaOperations->AllocateCommonBuffer(a, 4096, &la, FALSE);
  m.dma().FailCommonBufferAllocation(1);
  PHYSICAL_ADDRESS lx;
  EXPECT_EQ(a->DmaOperations->AllocateCommonBuffer(a, 4096, &lx, FALSE), nullptr);
  a->DmaOperations->FreeCommonBuffer(a, 4096, la, buf, FALSE);
  EXPECT_FALSE(m.dma().IsLive(static_cast<uint64_t>(la.QuadPart), 1));
  a->DmaOperations->PutDmaAdapter(a);
  EXPECT_EQ(m.dma().liveAdapters(), 0u);

  PDMA_ADAPTER b = IoGetDmaAdapter(nullptr, &d, nullptr);
  b->DmaOperations->AllocateCommonBuffer(b, 4096, &la, FALSE);
  EXPECT_VERIFIER_STOP(sim::Rule::ResourceLeak, b->DmaOperations->PutDmaAdapter(b));
}

// A common buffer is freed with the length and addresses it was allocated with; anything
// else frees memory the caller does not own.
TEST(Dma, FreeingWithAnotherLengthOrAddressIsStopped) {
  for (int wrong : {0, 1, 2}) {
    Machine m;
    DEVICE_DESCRIPTION d{};
    d.Master = TRUE;
    d.Dma32BitAddresses = TRUE;
    d.InterfaceType = PCIBus;
    PDMA_ADAPTER a = IoGetDmaAdapter(nullptr, &d, nullptr);
    PHYSICAL_ADDRESS la;
    auto *buf = static_cast<uint8_t *>(a->DmaOperations->AllocateCommonBuffer(a, 4096, &la, FALSE));
    PHYSICAL_ADDRESS other = la;
    other.QuadPart += wrong == 1 ? 4096 : 0;
    EXPECT_VERIFIER_STOP(sim::Rule::InvalidParameter,
                         a->DmaOperations->FreeCommonBuffer(a, wrong == 0 ? 2048 : 4096, other,
                                                            buf + (wrong == 2 ? 16 : 0), FALSE));
  }
}

}  // namespace
