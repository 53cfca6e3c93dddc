// Channel control, the interrupt service routine, its DPC and the watchdog, observed
// through the card's register trace on the virtual clock.
#include <vector>

#include "decoder/decoder.h"
#include "driver/device/device_bench.h"
#include "support/verifier_expect.h"

namespace {

using bench::Bench;
using sim::Card;
using sim::CardTraceEntry;
using sim::kMillisecond;
using Kind = CardTraceEntry::Kind;

// The trace from `from` on, as (kind, offset, value) with reads' values dropped.
std::vector<std::tuple<Kind, uint32_t, uint32_t>> Ops(const Card &card, size_t from) {
  std::vector<std::tuple<Kind, uint32_t, uint32_t>> ops;
  for (size_t i = from; i < card.trace().size(); ++i) {
    const CardTraceEntry &e = card.trace()[i];
    if (e.kind == Kind::Line || e.kind == Kind::Event) continue;
    ops.emplace_back(e.kind, e.kind == Kind::Barrier ? 0 : e.offset,
                     e.kind == Kind::Write ? e.value : 0);
  }
  return ops;
}

constexpr auto R = Kind::Read;
constexpr auto W = Kind::Write;
constexpr auto B = Kind::Barrier;

TEST(Channels, IdsMapToMaskBits) {
  EXPECT_EQ(ChannelMaskBit(0x103), 1u << 3);
  EXPECT_EQ(ChannelMaskBit(11), 1u << 11);
  EXPECT_TRUE(IsVideoChannelId(0x107));
  EXPECT_FALSE(IsVideoChannelId(15));
  Bench b;
  b.StartWithStreams();
  EXPECT_EQ(StreamForChannel(b.dev(), 0x103), b.video[3].get());
  EXPECT_EQ(StreamForChannel(b.dev(), 11), b.audio[3].get());
  EXPECT_EQ(StreamForChannel(b.dev(), 0x10F), nullptr) << "no video channel 15";
  EXPECT_EQ(StreamForChannel(b.dev(), 3), nullptr) << "audio slots 0-7 stay empty";
}

TEST(Channels, StartArmsTheWatchdogAndStopOfTheLastSilencesTheCard) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  EXPECT_EQ(d->watchdogPeriod, 32000000);
  sim::Nanos t0 = b.m.now();
  ASSERT_EQ(StartChannel(d, 0x102), STATUS_SUCCESS);
  EXPECT_EQ(d->watchdogPeriod, 130000);
  EXPECT_EQ(b.m.TimerDueTime(&d->watchdogTimer), t0 + 13 * kMillisecond);
  EXPECT_EQ(b.video[2]->starts, 1);
  ASSERT_EQ(StartChannel(d, 9), STATUS_SUCCESS);
  EXPECT_EQ(d->runningMask, (1u << 2) | (1u << 9));

  size_t mark = b.card.trace().size();
  ASSERT_EQ(StopChannel(d, 0x102), STATUS_SUCCESS);
  EXPECT_EQ(b.video[2]->lastStopMask, ~(1u << 2));
  EXPECT_FALSE(d->watchdogStopRequested);
  EXPECT_NE(b.card.Peek(CHANNEL_CONTROL) & kMasterEnable, 0u) << "others still run";
  EXPECT_EQ(b.card.CountWrites(CHANNEL_ENABLE), b.card.CountWrites(CHANNEL_ENABLE));

  mark = b.card.trace().size();
  ASSERT_EQ(StopChannel(d, 9), STATUS_SUCCESS);
  auto ops = Ops(b.card, mark);
  // The stream's own disable, then 0x28 before 0x08, each stored, fenced and read back once.
  std::vector<std::tuple<Kind, uint32_t, uint32_t>> tail = {
      {W, CHANNEL_ENABLE, 0},  {B, 0, 0}, {R, CHANNEL_ENABLE, 0},
      {W, CHANNEL_CONTROL, 0}, {B, 0, 0}, {R, CHANNEL_CONTROL, 0}};
  ASSERT_GE(ops.size(), tail.size());
  EXPECT_EQ(std::vector(ops.end() - tail.size(), ops.end()), tail);
  EXPECT_TRUE(d->watchdogStopRequested);
  EXPECT_EQ(d->runningMask, 0u);
  EXPECT_EQ(d->watchdogPeriod, 130000) << "stays 13 ms for the life of the device";

  // The next tick signals the stop and leaves the timer disarmed.
  b.m.RunFor(14 * kMillisecond);
  EXPECT_FALSE(b.m.IsTimerArmed(&d->watchdogTimer));
  EXPECT_EQ(KeReadStateEvent(&d->watchdogStoppedEvent), 1);
}

TEST(Interrupt, WithNothingRunningTheCardIsSilencedAndTheInterruptDeclined) {
  Bench b;
  b.StartWithStreams();
  size_t mark = b.card.trace().size();
  uint64_t serviced = b.m.interruptsServiced();
  b.card.RaiseChannelEvents(1u << 2, 0);
  EXPECT_EQ(b.m.interruptsServiced(), serviced + 1);
  std::vector<std::tuple<Kind, uint32_t, uint32_t>> expected = {
      {R, INT_STATUS, 0}, {R, ERROR_STATUS_A, 0},  {R, BUFFER_STATUS, 0},  {W, CHANNEL_ENABLE, 0},
      {B, 0, 0},          {R, CHANNEL_ENABLE, 0},  {R, CHANNEL_ENABLE, 0}, {W, CHANNEL_CONTROL, 0},
      {B, 0, 0},          {R, CHANNEL_CONTROL, 0}, {R, CHANNEL_CONTROL, 0}};
  EXPECT_EQ(Ops(b.card, mark), expected);
  EXPECT_FALSE(b.m.IsDpcQueued(&b.dev()->interruptDpc));
  EXPECT_TRUE(b.video[2]->calls.empty());
}

TEST(Interrupt, SharedLineInterruptsWithNothingOfOursAreDeclined) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  ASSERT_EQ(StartChannel(d, 8), STATUS_SUCCESS);
  d->lastStatus = 0;
  // Another device on the line: the card's status and error registers all read 0.
  PKINTERRUPT other;
  struct Quiet {
    static BOOLEAN Isr(PKINTERRUPT, PVOID ctx) {
      static_cast<sim::Machine *>(ctx)->SetInterruptLine(0x61, false);
      return TRUE;
    }
  };
  ASSERT_EQ(IoConnectInterrupt(&other, Quiet::Isr, &b.m, nullptr, b.card.vector(), d->interruptIrql,
                               d->interruptSyncIrql, LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  size_t reads = b.card.CountReads(INT_STATUS);
  b.m.SetInterruptLine(b.card.vector(), true);
  EXPECT_EQ(b.card.CountReads(INT_STATUS), reads + 1) << "ours was asked first";
  EXPECT_FALSE(b.m.IsInterruptLineAsserted(b.card.vector())) << "and the other device served";
  EXPECT_EQ(d->lastStatus, 0u);
  EXPECT_FALSE(b.m.IsDpcQueued(&d->interruptDpc));
  IoDisconnectInterrupt(other);
}

TEST(Interrupt, ErrorSetsFollowEachVariantsLayout) {
  // 6864: A bits 0-7, 16-23 and 24-31 and INT_STATUS bits 24-31 count; A 8-15 and B do not.
  EXPECT_EQ(ErrorChannels(1, 0, 0x00000100, 0), 0u);
  EXPECT_EQ(ErrorChannels(1, 0, 0x00000001, 0), 1u);
  EXPECT_EQ(ErrorChannels(1, 0, 0x00200000, 0), 1u << 5);
  EXPECT_EQ(ErrorChannels(1, 0x04000000, 0, 0), 1u << 2);
  EXPECT_EQ(ErrorChannels(1, 0, 0, 0x000000FF), 0u);
  // Standard: only A >> 16 and B count, evaluated when A or INT_STATUS has high bits.
  EXPECT_EQ(ErrorChannels(0, 0, 0x00000001, 0), 0u);
  EXPECT_EQ(ErrorChannels(0, 0, 0x00010000, 0), 1u);
  EXPECT_EQ(ErrorChannels(0, 0, 0x01000000, 0x00000200), (1u << 1) | 1u);
  EXPECT_EQ(ErrorChannels(0, 0, 0, 0x00000010), 0u) << "B alone does not trigger evaluation";
}

TEST(Interrupt, AChannelErrorDisablesItAndTheWatchdogResumesItAfterTheQuietInterval) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    Bench b(v);
    b.StartWithStreams();
    CCaptureDevice *d = b.dev();
    ASSERT_EQ(StartChannel(d, 0x102), STATUS_SUCCESS);
    b.m.RunFor(200 * kMillisecond);  // the watchdog enables the video channel
    ASSERT_EQ(d->enabledMask & (1u << 2), 1u << 2);
    ASSERT_NE(b.card.Peek(CHANNEL_ENABLE) & (1u << 2), 0u);

    size_t mark = b.card.trace().size();
    b.card.RaiseChannelError(2);
    EXPECT_EQ(d->enabledMask & (1u << 2), 0u);
    EXPECT_EQ(b.card.Peek(CHANNEL_ENABLE) & (1u << 2), 0u);
    EXPECT_EQ(b.card.Peek(CHANNEL_CONTROL), kMasterEnable) << "0x08 takes 0x28's channel bits";
    auto ops = Ops(b.card, mark);
    std::vector<std::tuple<Kind, uint32_t, uint32_t>> disable = {
        {W, CHANNEL_ENABLE, 0},
        {B, 0, 0},
        {R, CHANNEL_ENABLE, 0},
        {R, CHANNEL_ENABLE, 0},
        {R, CHANNEL_ENABLE, 0},
        {W, CHANNEL_CONTROL, kMasterEnable},
        {B, 0, 0},
        {R, CHANNEL_CONTROL, 0},
        {R, CHANNEL_CONTROL, 0},
        {R, CHANNEL_CONTROL, 0}};
    ASSERT_GE(ops.size(), 6 + disable.size());
    EXPECT_EQ(std::vector(ops.begin() + 6, ops.begin() + 6 + disable.size()), disable);

    // Re-enabled by the first tick more than 1/15 s later, with sixteen read-backs.
    sim::Nanos errorAt = b.m.now();
    ASSERT_TRUE(
        b.m.RunUntil([&] { return (d->enabledMask & (1u << 2)) != 0; }, errorAt + sim::kSecond));
    sim::Nanos resumedAfter = b.m.now() - errorAt;
    EXPECT_GT(resumedAfter, 66 * kMillisecond);
    EXPECT_LE(resumedAfter, 66 * kMillisecond + 14 * kMillisecond);
    EXPECT_NE(b.card.Peek(CHANNEL_ENABLE) & (1u << 2), 0u);
    EXPECT_EQ(b.card.Reads(CHANNEL_ENABLE).size() >= 16, true);
    ASSERT_EQ(StopChannel(d, 0x102), STATUS_SUCCESS);
  }
}

TEST(Watchdog, QuietIntervalIsStrictlyMoreThanAFifteenthOfASecond) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  ASSERT_EQ(StartChannel(d, 8), STATUS_SUCCESS);  // audio: enabled at once
  d->enabledMask &= ~(1u << 8);                   // as if an error had taken it out
  // Place the last error exactly 666,666 ticks before the tick's counter read.
  sim::Nanos tick = b.m.TimerDueTime(&d->watchdogTimer);
  uint64_t readAt = b.m.PerformanceCounterAt(tick + 40);  // the tick reads the counter once
  d->lastErrorTime = static_cast<LONGLONG>(readAt) - 666666;
  b.m.RunUntil(tick);
  EXPECT_EQ(d->enabledMask & (1u << 8), 0u) << "exactly 1/15 s does not yet re-enable";
  b.m.RunFor(13 * kMillisecond);
  EXPECT_EQ(d->enabledMask & (1u << 8), 1u << 8);
  // Re-armed 13 ms after the tick's work, relative: the clock's setting has no say.
  EXPECT_GE(b.m.TimerDueTime(&d->watchdogTimer), tick + 26 * kMillisecond) << "13 ms re-arm";
  EXPECT_LT(b.m.TimerDueTime(&d->watchdogTimer),
            tick + 26 * kMillisecond + 100 * sim::kMicrosecond);
}

TEST(Watchdog, FullResetWhenNoVideoChannelIsEnabled) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  d->lastErrorTime = KeQueryPerformanceCounter(nullptr).QuadPart;  // an error just now
  ASSERT_EQ(StartChannel(d, 9), STATUS_SUCCESS);
  ASSERT_EQ(StartChannel(d, 0x101), STATUS_SUCCESS);
  EXPECT_EQ(d->enabledMask, 1u << 9) << "the video start leaves enabling to the watchdog";
  size_t mark = b.card.trace().size();
  b.m.RunFor(13 * kMillisecond);  // the first tick
  auto ops = Ops(b.card, mark);
  // Everything off, 0x08 written before 0x28 here, each with one read-back.
  std::vector<std::tuple<Kind, uint32_t, uint32_t>> reset = {
      {W, CHANNEL_CONTROL, 0}, {B, 0, 0}, {R, CHANNEL_CONTROL, 0},
      {W, CHANNEL_ENABLE, 0},  {B, 0, 0}, {R, CHANNEL_ENABLE, 0}};
  EXPECT_EQ(ops, reset) << "still within 1/15 s of the error: nothing re-enabled yet";
  EXPECT_EQ(d->enabledMask, 0u) << "the audio bit goes too";
  // The first tick past the quiet interval re-enables both.
  b.m.RunFor(70 * kMillisecond);
  EXPECT_EQ(d->enabledMask, (1u << 9) | (1u << 1));
  EXPECT_EQ(b.card.Peek(CHANNEL_ENABLE), (1u << 9) | (1u << 1));
  EXPECT_EQ(b.card.Peek(CHANNEL_CONTROL), kMasterEnable | (1u << 9) | (1u << 1));
}

TEST(Dpc, DispatchesToTheStreamsFlagged) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  ASSERT_EQ(StartChannel(d, 8), STATUS_SUCCESS);
  b.card.RaiseChannelEvents(0x100, 0x100);
  ASSERT_EQ(b.audio[0]->calls.size(), 1u);
  EXPECT_EQ(b.audio[0]->calls[0].status, 0x100u);
  EXPECT_EQ(b.audio[0]->calls[0].status04, 0x100u);
  for (auto &v : b.video) EXPECT_TRUE(v->calls.empty());

  d->enabledMask &= ~(1u << 8);  // started but not enabled: no call
  b.card.RaiseChannelEvents(0x100, 0);
  EXPECT_EQ(b.audio[0]->calls.size(), 1u);

  // Video is called on its status bit alone, whatever its masks say.
  b.card.RaiseChannelEvents(0x4, 0x01000004);
  ASSERT_EQ(b.video[2]->calls.size(), 1u);
  EXPECT_EQ(b.video[2]->calls[0].status04, 0x01000004u);
}

// Two interrupts before one DPC: the second must not erase the first's events.
TEST(Dpc, EventsLatchedBeforeTheDpcRunsAreNotLost) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  ASSERT_EQ(StartChannel(d, 8), STATUS_SUCCESS);
  b.AtDispatch([&] {
    b.card.RaiseChannelEvents(0x4, 0);
    b.card.InjectErrorBits(b.card.variant() == Card::Variant::Device6864 ? 0x20 : 0x200000, 0, 0);
    b.card.RaiseChannelEvents(0x100, 0x100);
    return 0;
  });
  ASSERT_EQ(b.video[2]->calls.size(), 1u);
  EXPECT_EQ(b.video[2]->calls[0].status, 0x104u);
  ASSERT_EQ(b.audio[0]->calls.size(), 1u) << "one DPC for both interrupts";
  EXPECT_EQ(d->lastStatus, 0u);
}

// Every change to the masks and enable registers outside the service routine happens at
// the interrupt's IRQL, so the service routine can never interleave with it.
TEST(Channels, MaskAndEnableUpdatesAreAtomicAgainstTheInterrupt) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  std::vector<KIRQL> irqls;
  b.card.SetRunningChangeHook([&](uint32_t, uint32_t) { irqls.push_back(KeGetCurrentIrql()); });
  ASSERT_EQ(StartChannel(d, 8), STATUS_SUCCESS);
  ASSERT_EQ(StartChannel(d, 0x103), STATUS_SUCCESS);
  b.m.RunFor(100 * kMillisecond);
  ASSERT_EQ(StopChannel(d, 0x103), STATUS_SUCCESS);
  ASSERT_EQ(StopChannel(d, 8), STATUS_SUCCESS);
  ASSERT_FALSE(irqls.empty());
  for (KIRQL irql : irqls) EXPECT_EQ(irql, d->interruptSyncIrql);
}

TEST(Delay, WaitsAtLeastTheTimeForAnyCounterFrequency) {
  for (uint64_t hz : {3'579'545ull, 10'000'000ull, 1ull << 32, 3ull << 32, 1ull << 40}) {
    sim::Machine m;
    m.SetPerformanceFrequency(hz);
    for (ULONG ns : {0u, 1u, 20'000u, 400'000u}) {
      sim::Nanos before = m.now();
      DelayNanoseconds(ns);
      sim::Nanos took = m.now() - before;
      EXPECT_GE(took, static_cast<sim::Nanos>(ns)) << hz << " Hz, " << ns << " ns";
      EXPECT_LE(took, static_cast<sim::Nanos>(ns) + 1000) << hz << " Hz, " << ns << " ns";
    }
  }
}

TEST(Teardown, AFullSessionEndsLeakFreeWithTheVerifierOn) {
  Bench b;
  b.StartWithStreams();
  CCaptureDevice *d = b.dev();
  for (ULONG n = 0; n < 8; ++n) {
    ASSERT_EQ(StartChannel(d, 0x100 | n), STATUS_SUCCESS);
    ASSERT_EQ(StartChannel(d, 8 + n), STATUS_SUCCESS);
  }
  for (int i = 0; i < 50; ++i) {
    b.m.RunFor(7 * kMillisecond);
    b.card.RaiseChannelEvents(0xFFFF, 0);
    if (i == 10) b.card.RaiseChannelError(4);
  }
  for (ULONG n = 0; n < 8; ++n) {
    StopChannel(d, 0x100 | n);
    StopChannel(d, 8 + n);
  }
  EXPECT_EQ(b.video[4]->calls.size(), 50u);
  EXPECT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  EXPECT_TRUE(b.ok());
}

}  // namespace
