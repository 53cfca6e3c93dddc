// Card add, start, power, stop and removal under the real driver: resources acquired
// and released, configuration space, and the failure paths.
#include "support/client_rig.h"
#include "driver/device/device_rig.h"
#include "support/verifier_expect.h"

namespace {

using sim::Card;
using sim::ks::Handle;
using suite::ClientRig;
using suite::DeviceRig;

TEST(Lifecycle, StartAcquiresEverythingAndStopReleasesIt) {
  DeviceRig b;
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  CCaptureDevice *d = b.dev();
  EXPECT_EQ(d->ksDevice, b.ks());
  EXPECT_NE(d->registers, nullptr);
  EXPECT_EQ(d->registersLength, 0x1000u);
  EXPECT_EQ(b.m.dma().liveCommonBuffers(), 48u);
  for (ULONG c = 0; c < 8; ++c)
    for (ULONG k = 0; k < 4; ++k) {
      EXPECT_EQ(d->videoBufferSizes[c][k], 414720u);
      EXPECT_LT(static_cast<uint64_t>(d->videoBufferAddresses[c][k].QuadPart), 1ull << 32);
    }
  for (ULONG p = 0; p < 16; ++p)
    for (ULONG i = 0; i < 4096; i += 512)
      EXPECT_EQ(static_cast<uint8_t *>(d->audioBuffers[p])[i], 0) << "audio blocks start silent";
  sim::ks::AdapterRegistration reg = sim::ks::RegisteredAdapter(b.ks());
  EXPECT_EQ(reg.adapter, d->dmaAdapter);
  EXPECT_EQ(reg.maxMappingsByteCount, 0x2000000u);
  EXPECT_EQ(reg.mappingTableStride, 16u);
  EXPECT_EQ(b.m.connectedInterrupts(), 0u) << "Start does not connect the interrupt";
  EXPECT_EQ(d->channelVideo[5].videoStandard, static_cast<ULONG>(KS_AnalogVideo_NTSC_M));
  EXPECT_EQ(d->interruptMode, LevelSensitive);
  EXPECT_TRUE(d->interruptShared);

  ConnectInterrupt(d);
  ConnectInterrupt(d);
  EXPECT_EQ(b.m.connectedInterrupts(), 1u) << "connected once, at the first pin";

  EXPECT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(d->registers, nullptr);
  EXPECT_EQ(d->dmaAdapter, nullptr);
  EXPECT_EQ(b.m.dma().liveCommonBuffers(), 0u);
  EXPECT_EQ(b.m.dma().liveAdapters(), 0u);
  EXPECT_EQ(b.m.connectedInterrupts(), 0u);
  EXPECT_EQ(b.m.liveMappings(&b.card), 0u);
  ReleaseHardware(d);  // a second release frees nothing twice
  ASSERT_EQ(b.Start(), STATUS_SUCCESS) << "a stopped card starts again";
}

TEST(Lifecycle, ConfigurationSpaceBitsAreClearedAndTheVariantKnown) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    DeviceRig b(v);
    uint32_t before04 = b.card.PeekConfig(0x04), before50 = b.card.PeekConfig(0x50),
             beforeAC = b.card.PeekConfig(0xAC);
    ASSERT_NE(before04 & (1u << 10), 0u);
    ASSERT_EQ(b.Start(), STATUS_SUCCESS);
    EXPECT_EQ(b.card.PeekConfig(0x04), before04 & ~(1u << 10));
    EXPECT_EQ(b.card.PeekConfig(0x50), before50 & ~(1u << 16));
    EXPECT_EQ(b.card.PeekConfig(0xAC), beforeAC & ~(1u << 31));
    EXPECT_EQ(b.dev()->isDevice6864, v == Card::Variant::Device6864 ? 1u : 0u);
    EXPECT_EQ(b.card.CountReads(INT_STATUS), 1u) << "one read of the status at start";
    EXPECT_EQ(b.card.Peek(CHANNEL_CONTROL), 0u) << "no channel runs after start";
  }
}

TEST(Lifecycle, UnusableResourceListsFailWithNothingLeftBehind) {
  DeviceRig b;
  auto defaults = b.m.pnp().DefaultResources(*b.c);
  auto withInterrupt = [&](USHORT flags) {
    sim::ResourceSpec r{defaults};
    r.descriptors[1].Flags = flags;
    return r;
  };
  sim::ResourceSpec twoRanges{defaults}, small{defaults}, noInterrupt{defaults}, noMemory{defaults},
      elsewhere{defaults}, absent;
  twoRanges.descriptors.push_back(defaults[0]);
  small.descriptors[0].u.Memory.Length = 0x800;
  noInterrupt.descriptors.pop_back();
  noMemory.descriptors.erase(noMemory.descriptors.begin());
  elsewhere.descriptors[0].u.Memory.Start.QuadPart = 0x10000;
  absent.absent = true;
  for (const sim::ResourceSpec &r : {withInterrupt(CM_RESOURCE_INTERRUPT_MESSAGE), twoRanges, small,
                                     noInterrupt, noMemory, elsewhere, absent}) {
    EXPECT_EQ(b.Start(r), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(b.dev()->registers, nullptr);
    EXPECT_EQ(b.m.liveMappings(&b.card), 0u);
    EXPECT_EQ(b.m.dma().liveAdapters(), 0u);
  }
  sim::ResourceSpec latched = withInterrupt(CM_RESOURCE_INTERRUPT_LATCHED);
  EXPECT_EQ(b.Start(latched), STATUS_SUCCESS);
  EXPECT_EQ(b.dev()->interruptMode, Latched);
}

TEST(Lifecycle, BufferAllocationFailureReleasesExactlyWhatWasTaken) {
  DeviceRig b;
  b.m.dma().FailCommonBufferAllocation(32);  // the last video buffer
  EXPECT_EQ(b.Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(b.m.dma().liveCommonBuffers(), 0u);
  EXPECT_EQ(b.m.dma().liveAdapters(), 0u);
  EXPECT_EQ(b.m.liveMappings(&b.card), 0u);
  EXPECT_EQ(b.dev()->registers, nullptr);

  b.m.dma().FailCommonBufferAllocation(40);  // an audio block
  EXPECT_EQ(b.Start(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(b.m.dma().liveCommonBuffers(), 0u);
  EXPECT_EQ(b.Start(), STATUS_SUCCESS);
}

TEST(Lifecycle, AddFailuresFreeTheContext) {
  DeviceRig b;
  Card second(Card::Variant::Standard);
  sim::PnpManager::Card *c2 = nullptr;
  b.m.pool().FailAllocation(1);
  EXPECT_EQ(b.m.pnp().AddCard(&second, &c2), STATUS_INSUFFICIENT_RESOURCES);
  sim::ks::FailBagAdds(1);
  Card third(Card::Variant::Standard);
  sim::PnpManager::Card *c3 = nullptr;
  EXPECT_EQ(b.m.pnp().AddCard(&third, &c3), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(b.m.pool().liveCount(kTagDevice), 1u) << "only the first card's context";
  b.m.pnp().RemoveCard(*c2);
  b.m.pnp().RemoveCard(*c3);
  EXPECT_EQ(DispatchAdd(nullptr), STATUS_UNSUCCESSFUL);
}

// Starts asked for while the card is powered down succeed without touching it and are
// made at D0; one whose pin stopped again meanwhile is forgotten. (They used to be refused
// and their record cleared at D0: the pins never ran.)
TEST(Lifecycle, StartsWhileThePowerIsDownAreMadeAtD0) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle video = b.VideoPin(3), audio = b.AudioPin(3), other = b.VideoPin(5);
  EXPECT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(d->powerState, PowerDeviceD3);
  size_t accesses = b.card.trace().size();
  EXPECT_EQ(b.client->SetState(video, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(b.client->SetState(audio, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(b.client->SetState(other, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(b.client->SetState(other, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(d->deferredStartMask, (1u << 3) | (1u << 11));
  EXPECT_FALSE(b.m.IsTimerArmed(&d->watchdogTimer));
  EXPECT_EQ(b.card.trace().size(), accesses) << "a start that waits touches nothing";
  EXPECT_EQ(d->runningMask, 0u);
  EXPECT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(d->powerState, PowerDeviceD0);
  EXPECT_EQ(d->deferredStartMask, 0u);
  EXPECT_EQ(d->runningMask, (1u << 3) | (1u << 11)) << "made at D0, the stopped one not";
  EXPECT_TRUE(b.m.IsTimerArmed(&d->watchdogTimer));
}

// Stop used to leave the watchdog armed over an unmapped register block and a context
// the bag could free: the timer and the DPCs are now settled first.
TEST(Lifecycle, StopSettlesTheWatchdogBeforeReleasing) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle video = b.VideoPin(2, KSSTATE_RUN);
  b.m.RunFor(40 * sim::kMillisecond);
  ASSERT_EQ(b.client->SetState(video, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_TRUE(b.m.IsTimerArmed(&d->watchdogTimer)) << "it disarms at its next tick";
  EXPECT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  EXPECT_FALSE(b.m.IsTimerArmed(&d->watchdogTimer));
  EXPECT_FALSE(b.m.IsDpcQueued(&d->watchdogDpc));
  b.m.RunFor(sim::kSecond);  // nothing may touch the unmapped registers now
  EXPECT_TRUE(b.ok());
}

TEST(Lifecycle, FreeingTheContextWithTheWatchdogArmedIsCaught) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  b.VideoPin(2, KSSTATE_RUN);
  ASSERT_TRUE(b.m.IsTimerArmed(&d->watchdogTimer));
  // What removal did when nothing disarmed the watchdog: the bag frees the context.
  PKSDEVICE device = sim::ks::DeviceFromFdo(b.c->fdo);
  KsAcquireDevice(device);
  EXPECT_VERIFIER_STOP(sim::Rule::FreedArmedObject,
                       KsRemoveItemFromObjectBag(device->Bag, d, TRUE));
}

}  // namespace
