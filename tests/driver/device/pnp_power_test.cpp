// The driver through what the platform does to a card: rebalances, sleep and wake, a
// second start, surprise removal, the clock set back, and the details of start that only
// show when something goes wrong (a configuration read that fails, interrupt flags, a
// shared line, a registry read short of memory, an interrupt that cannot be connected).
#include "driver/device/capture_rig.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/shared_line.h"
#include "support/verifier_expect.h"

namespace {

using sim::kMillisecond;
using sim::kSecond;
using sim::Nanos;
using suite::CaptureRig;
using suite::ClientRig;
using suite::Handle;

constexpr Nanos kResume = 300 * kMillisecond;  // watchdog quiet interval, tick, a frame

// Video 0 and 5 and audio 2, capturing.
void ThreeStreams(CaptureRig &b) {
  b.Add(true, 0);
  b.Add(true, 5);
  b.Add(false, 2);
  b.Run(200 * kMillisecond);
  for (const auto &p : b.pins) ASSERT_GT(p.delivered, 0u);
}

// A stop used to free the buffers and unmap the registers with the channels still
// running: the card went on writing into freed memory.
TEST(Rebalance, CaptureGoesOnAcrossARebalance) {
  CaptureRig b;
  ThreeStreams(b);
  const int64_t picture = b.pins[0].picture;
  ASSERT_EQ(b.m.pnp().RebalanceCard(*b.c), STATUS_SUCCESS);
  std::vector<uint64_t> before = b.Delivered();
  b.Run(kResume);
  EXPECT_TRUE(b.AllMoreThan(before)) << "every stream delivers again by itself";
  EXPECT_GT(b.pins[0].picture, picture) << "picture numbers go on";
  EXPECT_EQ(b.m.liveMappings(&b.card), 1u);
  EXPECT_EQ(b.m.dma().liveCommonBuffers(), 48u);
  EXPECT_TRUE(b.ok());
}

// Each restart made new descriptor copies for the factories in the device's bag, freed
// only at removal: every rebalance grew the pool by 32 blocks for as long as the card stayed.
TEST(Rebalance, RepeatedRebalancesKeepThePoolFlat) {
  CaptureRig b;
  ThreeStreams(b);
  ASSERT_EQ(b.m.pnp().RebalanceCard(*b.c), STATUS_SUCCESS);
  b.Run(kResume);
  const size_t blocks = b.m.pool().liveCount();
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(b.m.pnp().RebalanceCard(*b.c), STATUS_SUCCESS);
    b.Run(kResume);
  }
  EXPECT_EQ(b.m.pool().liveCount(), blocks);
  std::vector<uint64_t> before = b.Delivered();
  b.Run(kResume);
  EXPECT_TRUE(b.AllMoreThan(before)) << "the streams still deliver";
  EXPECT_TRUE(b.ok());
}

// After a sleep the card's channels were off while the driver's masks said they ran:
// capture stopped for good until the client restarted the pin.
TEST(Sleep, ChannelsStopBeforeD3AndResumeCountingWhatTheyMissed) {
  CaptureRig b;
  ThreeStreams(b);
  size_t mark = b.card.trace().size();
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
  bool silenced = false;
  for (size_t i = mark; i < b.card.trace().size(); ++i) {
    const sim::CardTraceEntry &e = b.card.trace()[i];
    silenced |= e.kind == sim::CardTraceEntry::Kind::Write && e.offset == CHANNEL_CONTROL &&
                e.value == 0 && b.card.Decodes() == false;
  }
  EXPECT_TRUE(silenced) << "the channels stop on the way to D3";
  EXPECT_EQ(b.card.MmioRead32(CHANNEL_CONTROL), 0xFFFFFFFFu) << "in D3";

  size_t asleep = b.card.trace().size();
  const int64_t picture = b.pins[0].picture, drops = b.pins[0].drops;
  b.Run(500 * kMillisecond);
  EXPECT_EQ(b.AccessesSince(asleep), 0u) << "nothing touches a card in D3";
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
  std::vector<uint64_t> before = b.Delivered();
  b.Run(kResume);
  EXPECT_TRUE(b.AllMoreThan(before)) << "capture resumes by itself";
  // The pin ran through half a second without the card: about fifteen pictures missed.
  EXPECT_GE(b.pins[0].drops - drops, 14);
  EXPECT_LE(b.pins[0].drops - drops, 20);
  EXPECT_GE(b.pins[0].picture - picture, 14);
}

// The platform may run the pins again before the card is back in D0: the start used to be
// refused, and the client's run failed.
TEST(Sleep, ThePausedPinsRunAgainInEitherOrder) {
  for (bool reversed : {false, true}) {
    CaptureRig b(sim::Card::Variant::Device6864);
    ThreeStreams(b);
    sim::ks::SleepOptions options;
    options.runPinsBeforeD0 = reversed;
    sim::ks::SleepRecord record;
    ASSERT_EQ(sim::ks::EnterSleep(*b.c, options, &record), STATUS_SUCCESS);
    EXPECT_EQ(record.paused.size(), 3u);
    b.Run(200 * kMillisecond);
    const int64_t picture = b.pins[0].picture;
    ASSERT_EQ(sim::ks::LeaveSleep(*b.c, options, &record), STATUS_SUCCESS);
    KSSTATE state;
    ASSERT_EQ(b.client->GetState(b.pins[0].handle, &state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    std::vector<uint64_t> before = b.Delivered();
    b.Run(kResume);
    EXPECT_TRUE(b.AllMoreThan(before)) << (reversed ? "run before D0" : "D0 first");
    if (!reversed) {
      EXPECT_LE(b.pins[0].picture - picture, 12) << "a paused pin misses no pictures";
    }
  }
}

// The decoders come back from D3 or a restart with their power-up values: the brightness,
// hue and saturation a client had set were gone, on the board's own and its bus decoder.
TEST(Power, PictureControlsAClientSetSurviveSleepAndRebalance) {
  for (auto variant : {sim::Card::Variant::Standard, sim::Card::Variant::Device6864}) {
    CaptureRig b(variant);
    Handle f1 = b.Open(true, 1), f6 = b.Open(true, 6);
    auto set = [&](Handle f, ULONG id, LONG value) {
      KSPROPERTY_VIDEOPROCAMP_S s{};
      s.Value = value;
      ASSERT_EQ(b.client->SetS(f, PROPSETID_VIDCAP_VIDEOPROCAMP, id, s), STATUS_SUCCESS);
    };
    auto get = [&](Handle f, ULONG id) {
      KSPROPERTY_VIDEOPROCAMP_S s{};
      EXPECT_EQ(b.client->GetS(f, PROPSETID_VIDCAP_VIDEOPROCAMP, id, &s), STATUS_SUCCESS);
      return s.Value;
    };
    set(f1, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -20);
    set(f1, KSPROPERTY_VIDEOPROCAMP_SATURATION, 200);
    set(f6, KSPROPERTY_VIDEOPROCAMP_HUE, 30);
    const LONG contrast = get(f1, KSPROPERTY_VIDEOPROCAMP_CONTRAST);
    const LONG brightness = get(f6, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS);
    for (int round = 0; round < 2; ++round) {
      if (round == 0) {
        ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
        ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
      } else {
        ASSERT_EQ(b.m.pnp().RebalanceCard(*b.c), STATUS_SUCCESS);
      }
      EXPECT_EQ(get(f1, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS), -20) << round;
      EXPECT_EQ(get(f1, KSPROPERTY_VIDEOPROCAMP_SATURATION), 200) << round;
      EXPECT_EQ(get(f6, KSPROPERTY_VIDEOPROCAMP_HUE), 30) << round;
      // What nobody set keeps the decoder's own value.
      EXPECT_EQ(get(f1, KSPROPERTY_VIDEOPROCAMP_CONTRAST), contrast) << round;
      EXPECT_EQ(get(f6, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS), brightness) << round;
    }
    EXPECT_TRUE(b.ok());
  }
}

// The card sets its vendor configuration bits again at every power-up; the driver cleared
// them only at start, so after a sleep they stayed set.
TEST(Power, VendorConfigurationBitsAreClearedAgainAfterD3) {
  CaptureRig b;
  const uint32_t control = b.card.PeekConfig(0x50), gate = b.card.PeekConfig(0xAC);
  ASSERT_EQ(control & (1u << 16), 0u);
  ASSERT_EQ(gate & (1u << 31), 0u);
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(b.card.PeekConfig(0x50), control) << "bit 16 clear, the rest as at start";
  EXPECT_EQ(b.card.PeekConfig(0xAC), gate) << "bit 31 clear, the rest as at start";
  b.Add(true, 0);
  b.Run(200 * kMillisecond);
  EXPECT_GT(b.pins[0].delivered, 0u);
}

// A return to D0 of a stopped card ran the card's initialisation on no mapping.
TEST(Power, D0OnAStoppedCardTouchesNothing) {
  CaptureRig b;
  ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  size_t mark = b.card.trace().size();
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(b.AccessesSince(mark), 0u);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  b.Add(true, 1);
  b.Run(200 * kMillisecond);
  EXPECT_GT(b.pins[0].delivered, 0u);
}

// A second start used to map, allocate (another 13 MB) and take an adapter again.
TEST(Start, ASecondStartReplacesTheFirstSet) {
  CaptureRig b;
  ThreeStreams(b);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(b.m.dma().liveCommonBuffers(), 48u);
  EXPECT_EQ(b.m.dma().liveAdapters(), 1u);
  EXPECT_EQ(b.m.liveMappings(&b.card), 1u);
  EXPECT_EQ(b.m.connectedInterrupts(), 1u);
  std::vector<uint64_t> before = b.Delivered();
  b.Run(kResume);
  EXPECT_TRUE(b.AllMoreThan(before));
}

// Filters stayed openable between a stop and the next start and read unmapped registers.
TEST(Stopped, FiltersPinsAndControlsWaitForTheNextStart) {
  CaptureRig b;
  Handle f = b.Open(true, 3);
  std::vector<uint8_t> format = b.VideoFormat(f, 0);
  ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  Handle g = 0;
  EXPECT_EQ(b.client->OpenFilter(b.Filter(true, 2).symbolicLink, &g), STATUS_DEVICE_NOT_READY);
  b.CreatePin(f, format, STATUS_DEVICE_NOT_READY);
  KSPROPERTY_VIDEOPROCAMP_S s{};
  EXPECT_EQ(
      b.client->GetS(f, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &s),
      STATUS_DEVICE_NOT_READY | 0x20000000);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(
      b.client->GetS(f, PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, &s),
      STATUS_SUCCESS);
  Handle p = b.CreatePin(f, format);
  EXPECT_NE(p, 0u);
  EXPECT_TRUE(b.ok());
}

// The watchdog's due times were absolute system times: a clock set back held the restart
// of a channel in error back by as much.
TEST(Watchdog, RecoversWhenTheClockIsSetBackDuringAnError) {
  CaptureRig b;
  b.Add(true, 0);
  b.Run(200 * kMillisecond);
  b.card.RaiseChannelError(0);
  b.Run(2 * kMillisecond);
  b.m.AdjustSystemTime(-36'000'000'000);  // an hour back
  uint64_t before = b.pins[0].delivered;
  b.Run(kResume);
  EXPECT_GT(b.pins[0].delivered, before + 3) << "restarted within the quiet interval";
}

// A failed read of the Command register made the driver write 0 back: decoding and bus
// mastering off.
TEST(Config, TheCommandRegisterIsWrittenOnlyFromWhatWasRead) {
  ClientRig b(sim::Card::Variant::Standard, false);
  uint32_t command = b.card.PeekConfig(0x04) & 0xFFFF;
  // The fourth IRP of a start reads 0x04 (after the probe and 0x50's read and write).
  b.m.faults().FailNth(sim::FaultPoint::Irp, 4);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(b.card.PeekConfig(0x04) & 0xFFFF, command) << "left as it was";
  EXPECT_TRUE(b.card.Decodes());
}

// Interrupt resources with a flag beside the mode (a wake hint, a policy) made start fail.
TEST(Resources, TheInterruptModeIsTheLatchedBitWhateverElseTheFlagsSay) {
  struct Case {
    USHORT flags;
    NTSTATUS status;
    KINTERRUPT_MODE mode;
  };
  for (Case k : {Case{CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE | 0x20, STATUS_SUCCESS, LevelSensitive},
                 Case{CM_RESOURCE_INTERRUPT_LATCHED | 0x24, STATUS_SUCCESS, Latched},
                 Case{CM_RESOURCE_INTERRUPT_MESSAGE, STATUS_UNSUCCESSFUL, LevelSensitive}}) {
    ClientRig b(sim::Card::Variant::Standard, false);
    sim::ResourceSpec r{b.m.pnp().DefaultResources(*b.c)};
    r.descriptors[1].Flags = k.flags;
    EXPECT_EQ(b.m.pnp().StartCard(*b.c, r), k.status) << "flags " << k.flags;
    if (NT_SUCCESS(k.status)) {
      EXPECT_EQ(b.dev()->interruptMode, k.mode);
    }
  }
}

// A card in D3 (or gone) reads all ones: the service routine claimed every interrupt on
// the shared line, a neighbour's included, and took it for errors on all eight channels.
TEST(Interrupt, AllOnesIsNotOurs) {
  CaptureRig b;
  ThreeStreams(b);
  sim::SharedLineDevice neighbour(b.m, b.card.vector(), 6);
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
  size_t mark = b.card.trace().size();
  neighbour.RaiseEvery(2 * kMillisecond);
  b.Run(50 * kMillisecond);
  neighbour.Stop();
  EXPECT_GE(neighbour.claimed(), 20u);
  EXPECT_EQ(neighbour.claimed(), neighbour.raised()) << "each went to its own device";
  for (size_t i = mark; i < b.card.trace().size(); ++i)
    EXPECT_NE(b.card.trace()[i].kind, sim::CardTraceEntry::Kind::Write)
        << "nothing written to a card that is not there";
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
  std::vector<uint64_t> before = b.Delivered();
  b.Run(kResume);
  EXPECT_TRUE(b.AllMoreThan(before));
}

// Surprise removal cannot be refused: every stream ends, nothing touches the card once the
// driver knows, and the removal completes with nothing held when the last handle closes.
TEST(Surprise, EveryStreamEndsCleanly) {
  CaptureRig b;
  ThreeStreams(b);
  ASSERT_EQ(b.m.pnp().SurpriseRemoveCard(*b.c), STATUS_SUCCESS);
  size_t mark = b.card.trace().size();
  EXPECT_EQ(b.m.liveMappings(&b.card), 0u) << "released at the surprise removal";
  EXPECT_EQ(b.m.dma().liveCommonBuffers(), 0u);
  EXPECT_EQ(b.m.connectedInterrupts(), 0u);
  b.Run(200 * kMillisecond);
  EXPECT_EQ(b.AccessesSince(mark), 0u);
  Handle video = b.pins[0].handle;
  EXPECT_EQ(b.client->SetState(video, KSSTATE_STOP), STATUS_SUCCESS);
  b.Collect();
  EXPECT_EQ(b.pins[0].cancelled, 3u) << "the queued frames come back";
  EXPECT_EQ(b.client->SetState(video, KSSTATE_RUN), STATUS_DEVICE_REMOVED);
  for (auto &p : b.pins) b.client->Close(p.handle);
  b.pins.clear();
  b.client.reset();
  b.m.RunPending();
  EXPECT_TRUE(b.c->removed);
  EXPECT_EQ(b.m.pool().liveCount(), 0u) << "the device went with its context";
  EXPECT_EQ(b.AccessesSince(mark), 0u);
}

// A read of a setting that failed for want of memory replaced the administrator's value.
TEST(Registry, APreviewSettingSurvivesAFailedRead) {
  ClientRig b(sim::Card::Variant::Standard, false);
  b.m.registry().SetDword(b.SettingsKey(), "Preview3", 1);
  b.m.faults().FailNth(sim::FaultPoint::RegistryValue, 4);  // Preview0 ... Preview3
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(b.m.registry().GetDword(b.SettingsKey(), "Preview3"), 1u);
  EXPECT_EQ(b.m.registry().GetDword(b.SettingsKey(), "Preview4"), 0u) << "missing: created";
}

// A channel's settings key that could not be opened left the last pin's values (zero for
// the first) in force instead of the defaults.
TEST(Registry, SettingsThatCannotBeReadTakeTheirDefaults) {
  CaptureRig b;
  b.m.registry().SetDword(b.SettingsKey(), "HDELAY1", 20);
  b.m.registry().SetDword(b.SettingsKey(), "INTMODE1", 2);
  b.Add(true, 1);
  ASSERT_EQ(b.dev()->hdelay[1], 20u);
  ASSERT_EQ(b.dev()->intmode[1], 2u);
  for (ULONG which : {1u, 2u}) {  // HDELAY's key, then INTMODE's
    b.client->Close(b.pins[0].handle);
    b.pins.clear();
    b.m.faults().FailNth(sim::FaultPoint::RegistryKey, which);
    b.Add(true, 1);
    if (which == 1) {
      EXPECT_EQ(b.dev()->hdelay[1], 15u) << "525 lines: 15, not the last pin's 20";
      EXPECT_EQ(b.card.DecoderRegister(0, 0x1A), 15u);
    } else {
      EXPECT_EQ(b.dev()->intmode[1], 0u) << "woven, not the last pin's line doubling";
    }
  }
}

// A pin whose interrupt could not be connected was created anyway and never delivered.
TEST(Pins, ACreationThatCannotConnectTheInterruptIsRefused) {
  CaptureRig b;
  Handle f = b.Open(true, 1);
  std::vector<uint8_t> format = b.VideoFormat(f, 0);
  b.m.faults().FailNth(sim::FaultPoint::ConnectInterrupt, 1);
  b.CreatePin(f, format, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(b.dev()->openPinMask, 0u);
  b.Add(true, 1);
  b.Run(200 * kMillisecond);
  EXPECT_GT(b.pins[0].delivered, 0u);
}

}  // namespace
