// Channel control, the interrupt service routine, its DPC and the watchdog with the
// driver's own streams, observed through the card's register trace on the virtual clock.
#include <algorithm>
#include <tuple>
#include <vector>

#include "decoder/decoder.h"
#include "support/client_rig.h"
#include "support/verifier_expect.h"

namespace {

using sim::Card;
using sim::CardTraceEntry;
using sim::kMillisecond;
using sim::ks::Handle;
using suite::ClientRig;
using Kind = CardTraceEntry::Kind;
using Op = std::tuple<Kind, uint32_t, uint32_t>;

constexpr auto R = Kind::Read;
constexpr auto W = Kind::Write;
constexpr auto B = Kind::Barrier;

// Trace entries as (kind, offset, value) with reads' values dropped.
std::vector<Op> Ops(const std::vector<CardTraceEntry> &entries) {
  std::vector<Op> ops;
  for (const CardTraceEntry &e : entries) {
    if (e.kind != R && e.kind != W && e.kind != B) continue;
    ops.emplace_back(e.kind, e.kind == B ? 0 : e.offset, e.kind == W ? e.value : 0);
  }
  return ops;
}
std::vector<Op> Ops(const Card &card, size_t from) {
  return Ops(std::vector<CardTraceEntry>(card.trace().begin() + static_cast<long>(from),
                                         card.trace().end()));
}
// A store, its barrier and `readBacks` loads of the same register.
void Flushed(std::vector<Op> *ops, uint32_t offset, uint32_t value, int readBacks) {
  ops->emplace_back(W, offset, value);
  ops->emplace_back(B, 0, 0);
  for (int i = 0; i < readBacks; ++i) ops->emplace_back(R, offset, 0);
}

// A client buffer of `bytes` with the 128-byte header both pins ask for.
void Queue(ClientRig &b, Handle pin, ULONG bytes) {
  sim::ks::FrameRequest r;
  r.bufferSize = bytes;
  r.extendedHeader.resize(sizeof(KS_FRAME_INFO));
  EXPECT_EQ(b.client->QueueFrame(pin, std::move(r)), STATUS_PENDING);
}

CVideoStream *Video(ClientRig &b, ULONG channel) {
  return static_cast<CVideoStream *>(b.dev()->videoStreams[channel]);
}

// Another device on the card's shared line, asked after the card's routine declines.
struct SharedNeighbour {
  explicit SharedNeighbour(ClientRig &b) : m(b.m) {
    CCaptureDevice *d = b.dev();
    EXPECT_EQ(IoConnectInterrupt(&object, Isr, this, nullptr, b.card.vector(), d->interruptIrql,
                                 d->interruptSyncIrql, LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
  }
  ~SharedNeighbour() { IoDisconnectInterrupt(object); }
  static BOOLEAN NTAPI Isr(PKINTERRUPT, PVOID context) {
    auto *self = static_cast<SharedNeighbour *>(context);
    ++self->calls;
    if (self->quietLine) self->m.SetInterruptLine(self->vector, false);
    return TRUE;
  }
  sim::Machine &m;
  PKINTERRUPT object = nullptr;
  int calls = 0;
  bool quietLine = false;
  ULONG vector = 0;
};

TEST(Channels, IdsMapToMaskBitsAndStreams) {
  EXPECT_EQ(ChannelMaskBit(0x103), 1u << 3);
  EXPECT_EQ(ChannelMaskBit(11), 1u << 11);
  EXPECT_TRUE(IsVideoChannelId(0x107));
  EXPECT_FALSE(IsVideoChannelId(15));
  ClientRig b;
  b.VideoPin(3);
  b.AudioPin(3);
  CCaptureDevice *d = b.dev();
  ASSERT_NE(d->videoStreams[3], nullptr);
  ASSERT_NE(d->audioStreams[11], nullptr);
  EXPECT_EQ(StreamForChannel(d, 0x103), d->videoStreams[3]);
  EXPECT_EQ(StreamForChannel(d, 11), d->audioStreams[11]);
  EXPECT_EQ(StreamForChannel(d, 0x10F), nullptr) << "no video channel 15";
  EXPECT_EQ(StreamForChannel(d, 3), nullptr) << "audio slots 0-7 stay empty";
}

TEST(Channels, StartArmsTheWatchdogStopOfTheLastSilencesTheCardAndAStartArmsItAgain) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle video = b.VideoPin(2), audio = b.AudioPin(1);
  EXPECT_EQ(d->watchdogPeriod, 32000000);
  EXPECT_FALSE(b.m.IsTimerArmed(&d->watchdogTimer)) << "not armed before the first start";
  sim::Nanos t0 = b.m.now();
  size_t mark = b.card.trace().size();
  ASSERT_EQ(b.client->SetState(video, KSSTATE_RUN), STATUS_SUCCESS);
  // The video enable: 0x28 from runningMask, then 0x08 read and stored with it and the
  // master enable, no read-backs (enabledMask is the watchdog's to set).
  std::vector<Op> enable;
  Flushed(&enable, CHANNEL_ENABLE, 1u << 2, 0);
  enable.emplace_back(R, CHANNEL_CONTROL, 0);
  Flushed(&enable, CHANNEL_CONTROL, kMasterEnable | (1u << 2), 0);
  auto started = Ops(b.card, mark);
  ASSERT_GE(started.size(), enable.size());
  EXPECT_EQ(std::vector(started.end() - static_cast<long>(enable.size()), started.end()), enable);
  EXPECT_EQ(d->enabledMask, 0u);
  EXPECT_EQ(d->watchdogPeriod, 130000);
  EXPECT_EQ(b.m.TimerDueTime(&d->watchdogTimer), t0 + 13 * kMillisecond);
  ASSERT_EQ(b.client->SetState(audio, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(d->runningMask, (1u << 2) | (1u << 9));

  ASSERT_EQ(b.client->SetState(video, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_FALSE(d->watchdogStopRequested);
  EXPECT_NE(b.card.Peek(CHANNEL_CONTROL) & kMasterEnable, 0u) << "others still run";

  mark = b.card.trace().size();
  ASSERT_EQ(b.client->SetState(audio, KSSTATE_STOP), STATUS_SUCCESS);
  // The stream's own disable, then 0x28 before 0x08, each stored, fenced and read back once.
  std::vector<Op> tail;
  Flushed(&tail, CHANNEL_ENABLE, 0, 1);
  Flushed(&tail, CHANNEL_CONTROL, 0, 1);
  auto ops = Ops(b.card, mark);
  ASSERT_GE(ops.size(), tail.size());
  EXPECT_EQ(std::vector(ops.end() - static_cast<long>(tail.size()), ops.end()), tail);
  EXPECT_TRUE(d->watchdogStopRequested);
  EXPECT_EQ(d->runningMask, 0u);
  EXPECT_EQ(d->watchdogPeriod, 130000) << "stays 13 ms for the life of the device";

  // The next tick signals the stop and leaves the timer disarmed.
  b.m.RunFor(14 * kMillisecond);
  EXPECT_FALSE(b.m.IsTimerArmed(&d->watchdogTimer));
  EXPECT_EQ(KeReadStateEvent(&d->watchdogStoppedEvent), 1);

  // A start after the full stop arms it again, and it goes on ticking: it enables the video
  // channel once the stop is a fifteenth of a second ago.
  ASSERT_EQ(b.client->SetState(video, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_FALSE(d->watchdogStopRequested);
  EXPECT_TRUE(b.m.IsTimerArmed(&d->watchdogTimer));
  EXPECT_TRUE(b.m.RunUntil([&] { return (d->enabledMask & (1u << 2)) != 0; },
                           b.m.now() + 100 * kMillisecond));
  EXPECT_NE(b.card.Peek(CHANNEL_ENABLE) & (1u << 2), 0u);
  EXPECT_TRUE(b.m.IsTimerArmed(&d->watchdogTimer));
  ASSERT_EQ(b.client->SetState(video, KSSTATE_STOP), STATUS_SUCCESS);
}

TEST(Interrupt, WithNothingRunningTheCardIsSilencedAndTheInterruptDeclined) {
  ClientRig b;
  b.VideoPin(2);  // connects the interrupt; nothing runs
  SharedNeighbour neighbour(b);
  size_t mark = b.card.trace().size();
  b.card.RaiseChannelEvents(1u << 2, 0);
  std::vector<Op> expected = {{R, INT_STATUS, 0}, {R, ERROR_STATUS_A, 0}, {R, BUFFER_STATUS, 0}};
  Flushed(&expected, CHANNEL_ENABLE, 0, 2);
  Flushed(&expected, CHANNEL_CONTROL, 0, 2);
  EXPECT_EQ(Ops(b.card, mark), expected);
  EXPECT_EQ(neighbour.calls, 1) << "declined: the next routine on the line was asked";
  EXPECT_FALSE(b.m.IsDpcQueued(&b.dev()->interruptDpc));
  EXPECT_EQ(b.dev()->lastStatus, 0u) << "nothing latched";
  EXPECT_EQ(Video(b, 2)->framePending, 0);
}

TEST(Interrupt, SharedLineInterruptsWithNothingOfOursAreDeclined) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  b.AudioPin(0, KSSTATE_RUN);
  d->lastStatus = 0;
  SharedNeighbour neighbour(b);
  neighbour.quietLine = true;
  neighbour.vector = b.card.vector();
  // The card's status and error registers all read 0: the line is the other device's.
  size_t reads = b.card.CountReads(INT_STATUS);
  b.m.SetInterruptLine(b.card.vector(), true);
  EXPECT_EQ(b.card.CountReads(INT_STATUS), reads + 1) << "ours was asked first";
  EXPECT_EQ(neighbour.calls, 1);
  EXPECT_FALSE(b.m.IsInterruptLineAsserted(b.card.vector())) << "and the other device served";
  EXPECT_EQ(d->lastStatus, 0u);
  EXPECT_FALSE(b.m.IsDpcQueued(&d->interruptDpc));
}

// An interrupt between the watchdog's gathering and its applying hands the gathered
// channels over itself: 0x28 from the mask with one read-back, then 0x08 read, stored with
// them and read back once.
TEST(Interrupt, HandsOverChannelsTheWatchdogGathered) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  b.AudioPin(0, KSSTATE_RUN);
  d->enabledMask &= ~(1u << 8);
  d->restartMask = 1u << 8;
  size_t mark = b.card.trace().size();
  b.card.RaiseChannelEvents(1u << 5, 0);  // an event of a channel without a stream
  std::vector<Op> expected = {{R, INT_STATUS, 0},     {R, ERROR_STATUS_A, 0},
                              {R, BUFFER_STATUS, 0},  {R, CHANNEL_ENABLE, 0},
                              {R, ERROR_STATUS_B, 0}, {R, CHANNEL_ROUTING, 0},
                              {R, BUFFER_STATUS, 0}};
  Flushed(&expected, CHANNEL_ENABLE, 1u << 8, 1);
  expected.emplace_back(R, CHANNEL_CONTROL, 0);
  Flushed(&expected, CHANNEL_CONTROL, kMasterEnable | (1u << 8), 1);
  EXPECT_EQ(Ops(b.card, mark), expected);
  EXPECT_EQ(d->restartMask, 0u);
  EXPECT_EQ(d->enabledMask, 1u << 8);
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
  EXPECT_EQ(ErrorChannels(0, 0x00010000, 0, 0x00000010), 1u << 4) << "INT_STATUS bit 16 does";
}

TEST(Interrupt, AChannelErrorDisablesItAndTheWatchdogResumesItAfterTheQuietInterval) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    ClientRig b(v);
    CCaptureDevice *d = b.dev();
    Handle pin = b.VideoPin(2, KSSTATE_RUN);
    b.m.RunFor(200 * kMillisecond);  // the watchdog enables the video channel
    ASSERT_EQ(d->enabledMask & (1u << 2), 1u << 2);
    ASSERT_NE(b.card.Peek(CHANNEL_ENABLE) & (1u << 2), 0u);

    size_t mark = b.card.trace().size();
    b.card.RaiseChannelError(2);
    EXPECT_EQ(d->enabledMask & (1u << 2), 0u);
    EXPECT_EQ(b.card.Peek(CHANNEL_ENABLE) & (1u << 2), 0u);
    EXPECT_EQ(b.card.Peek(CHANNEL_CONTROL), kMasterEnable) << "0x08 takes 0x28's channel bits";
    auto ops = Ops(b.card, mark);
    std::vector<Op> disable;
    Flushed(&disable, CHANNEL_ENABLE, 0, 3);
    Flushed(&disable, CHANNEL_CONTROL, kMasterEnable, 3);
    ASSERT_GE(ops.size(), 6 + disable.size());
    EXPECT_EQ(std::vector(ops.begin() + 6, ops.begin() + 6 + static_cast<long>(disable.size())),
              disable);

    // Re-enabled by the first tick more than 1/15 s later: 0x28 with sixteen read-backs,
    // then 0x08 read, stored and read back sixteen times.
    sim::Nanos errorAt = b.m.now();
    mark = b.card.trace().size();
    ASSERT_TRUE(
        b.m.RunUntil([&] { return (d->enabledMask & (1u << 2)) != 0; }, errorAt + sim::kSecond));
    sim::Nanos resumedAfter = b.m.now() - errorAt;
    EXPECT_GT(resumedAfter, 66 * kMillisecond);
    EXPECT_LE(resumedAfter, 66 * kMillisecond + 14 * kMillisecond);
    EXPECT_NE(b.card.Peek(CHANNEL_ENABLE) & (1u << 2), 0u);
    std::vector<Op> restart;
    Flushed(&restart, CHANNEL_ENABLE, 1u << 2, 16);
    restart.emplace_back(R, CHANNEL_CONTROL, 0);
    Flushed(&restart, CHANNEL_CONTROL, kMasterEnable | (1u << 2), 16);
    ops = Ops(b.card, mark);
    auto at = std::find(ops.begin(), ops.end(), Op{W, CHANNEL_ENABLE, 1u << 2});
    ASSERT_GE(ops.end() - at, static_cast<long>(restart.size()));
    EXPECT_EQ(std::vector(at, at + static_cast<long>(restart.size())), restart);
    ASSERT_EQ(b.client->SetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  }
}

TEST(Watchdog, QuietIntervalIsStrictlyMoreThanAFifteenthOfASecond) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  b.AudioPin(0, KSSTATE_RUN);    // audio: enabled at once
  d->enabledMask &= ~(1u << 8);  // as if an error had taken it out
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
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle audio = b.AudioPin(1), video = b.VideoPin(1);
  d->lastErrorTime = KeQueryPerformanceCounter(nullptr).QuadPart;  // an error just now
  ASSERT_EQ(b.client->SetState(audio, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(video, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(d->enabledMask, 1u << 9) << "the video start leaves enabling to the watchdog";
  sim::Nanos tick = b.m.TimerDueTime(&d->watchdogTimer);
  b.m.RunFor(13 * kMillisecond);  // the first tick
  // Everything off, 0x08 written before 0x28 here, each with one read-back.
  std::vector<Op> reset;
  Flushed(&reset, CHANNEL_CONTROL, 0, 1);
  Flushed(&reset, CHANNEL_ENABLE, 0, 1);
  EXPECT_EQ(Ops(b.card.Between(tick, tick + sim::kMicrosecond)), reset)
      << "still within 1/15 s of the error: nothing re-enabled yet";
  EXPECT_EQ(d->enabledMask, 0u) << "the audio bit goes too";
  // The first tick past the quiet interval re-enables both.
  b.m.RunFor(70 * kMillisecond);
  EXPECT_EQ(d->enabledMask, (1u << 9) | (1u << 1));
  EXPECT_EQ(b.card.Peek(CHANNEL_ENABLE), (1u << 9) | (1u << 1));
  EXPECT_EQ(b.card.Peek(CHANNEL_CONTROL), kMasterEnable | (1u << 9) | (1u << 1));
}

// The DPC hands each flagged channel to its stream: audio only while started and enabled,
// video on its status bit alone.
TEST(Dpc, DispatchesToTheStreamsFlagged) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle audio = b.AudioPin(0, KSSTATE_RUN), video = b.VideoPin(2, KSSTATE_RUN);
  for (int i = 0; i < 3; ++i) Queue(b, audio, 4096);
  Queue(b, video, 691200);

  b.card.RaiseChannelEvents(0x100, 0);  // block A
  b.m.RunPending();
  EXPECT_EQ(b.client->CompletedFrames(audio), 1u);
  EXPECT_EQ(Video(b, 2)->currentFrame, nullptr) << "the video stream was not called";

  d->enabledMask &= ~(1u << 8);  // started but not enabled: passed by
  b.card.RaiseChannelEvents(0x100, 0x100);
  b.m.RunPending();
  EXPECT_EQ(b.client->CompletedFrames(audio), 1u);
  d->enabledMask |= 1u << 8;  // the same new block once it is enabled
  b.card.RaiseChannelEvents(0x100, 0x100);
  EXPECT_EQ(b.client->CompletedFrames(audio), 2u);

  // Video channel 2 with its mask bits clear: a field A and a field B complete a frame.
  d->runningMask &= ~(1u << 2);
  d->enabledMask &= ~(1u << 2);
  b.card.RaiseChannelEvents(0x4, 0x00000004);
  b.m.RunPending();
  b.card.RaiseChannelEvents(0x4, 0x04000004);  // field B of channel 2: bit 26
  b.m.RunPending();
  EXPECT_EQ(b.client->CompletedFrames(video), 1u);
  EXPECT_EQ(b.client->CompletedFrames(audio), 2u);
}

// Two interrupts before one DPC: the second must not erase the first's events.
TEST(Dpc, EventsLatchedBeforeTheDpcRunsAreNotLost) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle audio = b.AudioPin(0, KSSTATE_RUN), video = b.VideoPin(2, KSSTATE_RUN);
  Queue(b, audio, 4096);
  Queue(b, video, 691200);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  b.card.RaiseChannelEvents(0x4, 0);
  b.card.InjectErrorBits(0x20, 0, 0);  // an error interrupt of channel 5 in between
  b.card.RaiseChannelEvents(0x100, 0);
  EXPECT_EQ(d->lastStatus, 0x104u);
  KeLowerIrql(old);  // the one DPC runs
  b.m.RunPending();
  EXPECT_EQ(Video(b, 2)->fieldsSeen, 1u) << "channel 2's field reached its stream";
  EXPECT_EQ(b.client->CompletedFrames(audio), 1u) << "and the block its stream";
  EXPECT_EQ(d->lastStatus, 0u);
}

// Every change to the masks and enable registers outside the service routine happens at
// the interrupt's IRQL, so the service routine can never interleave with it.
TEST(Channels, MaskAndEnableUpdatesAreAtomicAgainstTheInterrupt) {
  ClientRig b;
  CCaptureDevice *d = b.dev();
  Handle audio = b.AudioPin(0), video = b.VideoPin(3);
  std::vector<KIRQL> irqls;
  b.card.SetRunningChangeHook([&](uint32_t, uint32_t) { irqls.push_back(KeGetCurrentIrql()); });
  ASSERT_EQ(b.client->SetState(audio, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(video, KSSTATE_RUN), STATUS_SUCCESS);
  b.m.RunFor(100 * kMillisecond);
  b.card.RaiseChannelError(3);
  b.m.RunFor(100 * kMillisecond);
  ASSERT_EQ(b.client->SetState(video, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(audio, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_GE(irqls.size(), 6u);
  for (KIRQL irql : irqls) EXPECT_EQ(irql, d->interruptSyncIrql);
}

// The wait counts whole counter ticks rounded up, without overflowing for any frequency
// or any wait the callers make (a 10 ms wait on a 2^40 Hz counter overflows a product of
// elapsed ticks and 10^9 in 64 bits).
TEST(Delay, WaitsAtLeastTheTimeForAnyCounterFrequency) {
  for (uint64_t hz : {3'579'545ull, 10'000'000ull, 1ull << 32, 3ull << 32, 1ull << 40}) {
    sim::Machine m;
    m.SetPerformanceFrequency(hz);
    for (ULONG ns : {0u, 1u, 20'000u, 400'000u, 10'000'000u}) {
      sim::Nanos before = m.now();
      DelayNanoseconds(ns);
      sim::Nanos took = m.now() - before;
      // The counter advances in whole ticks; the wait ends within a read of the tick.
      sim::Nanos tick = static_cast<sim::Nanos>((sim::kSecond + hz - 1) / hz);
      EXPECT_GE(took, static_cast<sim::Nanos>(ns)) << hz << " Hz, " << ns << " ns";
      EXPECT_LE(took, static_cast<sim::Nanos>(ns) + tick + 80) << hz << " Hz, " << ns << " ns";
    }
  }
}

TEST(Teardown, AFullSessionEndsLeakFreeWithTheVerifierOn) {
  ClientRig b;
  std::vector<Handle> pins;
  for (ULONG n = 0; n < 8; ++n) {
    pins.push_back(b.VideoPin(n, KSSTATE_RUN));
    pins.push_back(b.AudioPin(n, KSSTATE_RUN));
  }
  for (int i = 0; i < 50; ++i) {
    b.m.RunFor(7 * kMillisecond);
    if (i == 10) b.card.RaiseChannelError(4);
  }
  for (Handle p : pins) EXPECT_EQ(b.client->SetState(p, KSSTATE_STOP), STATUS_SUCCESS);
  for (Handle p : pins) EXPECT_EQ(b.client->Close(p), STATUS_SUCCESS);
  EXPECT_EQ(b.dev()->runningMask, 0u);
  EXPECT_EQ(b.card.Peek(CHANNEL_CONTROL), 0u);
  EXPECT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  EXPECT_TRUE(b.ok());
}

}  // namespace
