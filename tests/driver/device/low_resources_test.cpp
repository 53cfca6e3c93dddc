// Low resources through the driver: every allocation, mapping, adapter, IRP, interrupt,
// factory and registry read that start, filter creation and pin creation ask for fails in
// turn, alone (the points found by a counting run); and allocations fail at random through
// a card's whole life. A failure is reported with its reason and leaves nothing held; what
// the driver can do without (a setting, a retry) it does without.
#include <set>

#include "driver/device/capture_rig.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/faults.h"
#include "sim/ks/device.h"
#include "sim/ks/host.h"

namespace {

using sim::FaultPoint;
using sim::kMillisecond;
using suite::CaptureRig;
using suite::ClientRig;
using suite::Handle;

std::string Describe(const sim::FaultInjector::Call &call) {
  return std::string(sim::FaultPointName(call.point)) + " #" + std::to_string(call.index);
}

// What a card holds, counted the way the PnP manager checks a stopped stack.
struct Held {
  size_t mappings, buffers, adapters, interrupts, factories;
  bool operator==(const Held &) const = default;
};
Held HeldBy(ClientRig &b) {
  return {b.m.liveMappings(&b.card), b.m.dma().liveCommonBuffers(), b.m.dma().liveAdapters(),
          b.m.connectedInterrupts(),
          sim::ks::host::DeviceOf(sim::ks::DeviceFromFdo(b.c->fdo))->factories.size()};
}

TEST(LowResources, EveryFailurePointOfStartFailsAloneAndCleanly) {
  ClientRig b(sim::Card::Variant::Standard, false);
  sim::FaultInjector &faults = b.m.faults();
  faults.Record(true);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  const std::vector<sim::FaultInjector::Call> first = faults.calls();
  ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  std::set<FaultPoint> kinds;
  for (const auto &p : first) kinds.insert(p.point);
  EXPECT_EQ(kinds.size(), 8u) << "all but the interrupt, which the first pin connects";
  const Held started{1, 48, 1, 0, 16}, nothing{0, 0, 0, 0, 0};

  // The first start also makes the factories' descriptor copies, which a restart with the
  // same settings reuses: its points fail on cards that never started before.
  for (size_t k = 0; k < first.size(); ++k) {
    SCOPED_TRACE("first start, " + Describe(first[k]));
    ClientRig fresh(sim::Card::Variant::Standard, false);
    fresh.m.faults().FailNthOverall(k + 1);
    NTSTATUS status = fresh.m.pnp().StartCard(*fresh.c);
    ASSERT_TRUE(fresh.ok());
    EXPECT_EQ(HeldBy(fresh), NT_SUCCESS(status) ? started : nothing);
  }

  // A restart's own points, each failing alone on the same card.
  faults.ClearRecord();
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  const std::vector<sim::FaultInjector::Call> points = faults.calls();
  ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  EXPECT_LT(points.size(), first.size()) << "a restart makes no new descriptor copies";
  for (size_t k = 0; k < points.size(); ++k) {
    SCOPED_TRACE(Describe(points[k]));
    faults.ClearRecord();
    faults.FailNthOverall(k + 1);
    NTSTATUS status = b.m.pnp().StartCard(*b.c);
    ASSERT_TRUE(b.ok());
    ASSERT_EQ(faults.calls().size() > k ? faults.calls()[k].point : FaultPoint::Pool,
              points[k].point)
        << "each start asks for the same in the same order";
    if (NT_SUCCESS(status)) {
      // Only what the driver can do without: a configuration dword, a setting.
      EXPECT_TRUE(points[k].point == FaultPoint::Irp ||
                  points[k].point == FaultPoint::RegistryKey ||
                  points[k].point == FaultPoint::RegistryValue);
      EXPECT_EQ(HeldBy(b), started);
      ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
    } else {
      EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL ||
                  status == STATUS_NO_MEMORY)
          << std::hex << status;
      EXPECT_EQ(HeldBy(b), nothing) << "a failed start holds nothing and publishes nothing";
    }
  }
  faults.Record(false);
  // Nothing wedged: the card starts and captures, and leaves no pool behind at the end
  // (the verifier checks when the driver unloads).
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  Handle f = b.Open(true, 0);
  Handle p = b.CreatePin(f, b.VideoFormat(f, 0));
  EXPECT_NE(p, 0u);
  b.client.reset();
  EXPECT_EQ(b.m.pnp().RemoveCard(*b.c), STATUS_SUCCESS);
  EXPECT_NO_THROW(b.m.pnp().UnloadDriver());
}

TEST(LowResources, EveryFailurePointOfFilterAndPinCreationFailsAloneAndCleanly) {
  CaptureRig b;
  sim::FaultInjector &faults = b.m.faults();
  // The first pin connects the interrupt, for good: every run below starts from there (a
  // failed connection has a test of its own).
  b.Add(true, 0);
  b.client->Close(b.pins[0].handle);
  b.pins.clear();
  b.client = std::make_unique<sim::ks::Client>(b.m);
  const size_t contexts = b.m.pool().liveCount();
  // The counting run: a video and an audio filter, each with its pin, running.
  faults.Record(true);
  b.Add(true, 2);
  b.Add(false, 2);
  const std::vector<sim::FaultInjector::Call> points = faults.calls();
  std::set<FaultPoint> kinds;
  for (const auto &p : points) kinds.insert(p.point);
  // Pool, and the registry's key and values (HDELAY, INTMODE).
  EXPECT_EQ(kinds.size(), 3u) << points.size() << " points";
  for (auto &p : b.pins) b.client->Close(p.handle);
  b.pins.clear();
  b.client = std::make_unique<sim::ks::Client>(b.m);
  EXPECT_EQ(b.m.pool().liveCount(), contexts);

  size_t refused = 0;
  for (size_t k = 0; k < points.size(); ++k) {
    SCOPED_TRACE(Describe(points[k]));
    faults.ClearRecord();
    faults.FailNthOverall(k + 1);
    std::vector<Handle> handles;
    for (bool video : {true, false}) {
      Handle f = 0;
      NTSTATUS status = b.client->OpenFilter(b.Filter(video, 2).symbolicLink, &f);
      if (!NT_SUCCESS(status)) {
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        ++refused;
        continue;
      }
      handles.push_back(f);
      std::vector<uint8_t> format =
          video ? b.VideoFormat(f, 0) : b.Intersect(f, ClientRig::AudioRange(48000, 48000));
      Handle p = 0;
      status = b.client->CreatePin(f, 0, format, &p);
      if (!NT_SUCCESS(status)) {
        EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY)
            << std::hex << status;
        EXPECT_EQ(b.dev()->openPinMask & (video ? 1u << 2 : 1u << 10), 0u)
            << "a refused pin gives its channel back";
        ++refused;
        continue;
      }
      handles.push_back(p);
      EXPECT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
    }
    ASSERT_TRUE(b.ok());
    ASSERT_EQ(faults.calls().size() > k ? faults.calls()[k].point : FaultPoint::Irp,
              points[k].point)
        << "each run asks for the same in the same order";
    // Pins first, then filters: nothing of them stays behind.
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) b.client->Close(*it);
    EXPECT_EQ(b.m.pool().liveCount(), contexts);
    EXPECT_EQ(b.dev()->openPinMask, 0u);
    faults.Clear();
  }
  // Settings (HDELAY, INTMODE) fall back to their defaults (a run refills the format
  // snapshot taken at creation and allocates nothing); everything else is refused.
  EXPECT_EQ(refused + 4, points.size());
}

// Allocations fail at random, seed after seed, while a card starts, its filters open, pins
// run, and it is rebalanced, put to sleep and removed: no verifier stop, every refusal
// reported, and nothing left when the driver unloads.
TEST(LowResources, RandomFailuresThroughACardsLife) {
#if defined(MORVANE_SANITIZED)
  const uint64_t seeds = 30;
#else
  const uint64_t seeds = 120;
#endif
  uint64_t failures = 0;
  for (uint64_t seed = 1; seed <= seeds; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    ClientRig b(sim::Card::Variant::Standard, false);
    sim::Random pick(seed);
    b.m.faults().SetRandom(seed, 0.01 + static_cast<double>(pick.Below(15)) / 100.0);
    NTSTATUS started = b.m.pnp().StartCard(*b.c);
    std::vector<Handle> pins;
    if (NT_SUCCESS(started)) {
      for (ULONG c = 0; c < 3; ++c) {
        Handle f = 0;
        if (!NT_SUCCESS(b.client->OpenFilter(b.Filter(c != 1, c).symbolicLink, &f))) continue;
        std::vector<uint8_t> format =
            c != 1 ? b.VideoFormat(f, 0) : b.Intersect(f, ClientRig::AudioRange(48000, 48000));
        Handle p = 0;
        if (NT_SUCCESS(b.client->CreatePin(f, 0, format, &p)) &&
            NT_SUCCESS(b.client->SetState(p, KSSTATE_RUN)))
          pins.push_back(p);
      }
      b.m.RunFor(50 * kMillisecond);
      switch (pick.Below(3)) {
        case 0:
          b.m.pnp().RebalanceCard(*b.c);  // a card that does not come back is surprise-removed
          break;
        case 1: {
          sim::ks::SleepOptions options;
          sim::ks::SleepRecord record;
          sim::ks::EnterSleep(*b.c, options, &record);
          b.m.RunFor(30 * kMillisecond);
          sim::ks::LeaveSleep(*b.c, options, &record);
          break;
        }
        default:
          b.m.pnp().SurpriseRemoveCard(*b.c);
          break;
      }
      b.m.RunFor(50 * kMillisecond);
    }
    failures += b.m.faults().totalFailures();
    b.m.faults().StopRandom();
    ASSERT_TRUE(b.ok());
    b.client.reset();
    EXPECT_EQ(b.m.pnp().RemoveCard(*b.c), STATUS_SUCCESS);
    EXPECT_NO_THROW(b.m.pnp().UnloadDriver()) << "no pool left";
  }
  EXPECT_GT(failures, seeds) << "the runs met failures";
}

}  // namespace
