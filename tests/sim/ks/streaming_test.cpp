// Streaming through the host: state walks, frame completion and cancellation,
// the processing rules, the reference clock, and many streams at once.
#include <gtest/gtest.h>

#include <chrono>

#include "support/verifier_expect.h"
#include "tests/sim/ks/test_minidriver.h"

namespace {

using sim::ks::Frame;
using sim::ks::FrameRequest;
using sim::ks::Handle;
using testmini::Completion;
using testmini::Rig;

constexpr ULONG kFrameBytes = 128;

std::vector<std::string> &Log() { return testmini::log(); }

NTSTATUS QueueWithInfo(sim::ks::Client &c, Handle pin, ULONG bytes = kFrameBytes) {
  FrameRequest r;
  r.bufferSize = bytes;
  r.extendedHeader = testmini::FrameInfo();
  return c.QueueFrame(pin, std::move(r));
}

struct Streaming : ::testing::Test {
  Rig b;
  Handle f = b.Open();
  Handle p = 0;
  PKSPIN pin = nullptr;
  void MakePin() {
    p = b.Pin(f);
    pin = b.KsPin(p);
    Log().clear();
  }
  testmini::PinState *state() { return testmini::StateOf(pin); }
};

TEST_F(Streaming, StatesWalkOneStepAtATimeAndAFailingStepStopsTheWalk) {
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(Log(), (std::vector<std::string>{"state 0>1", "state 1>2", "state 2>3", "state 3>2",
                                             "state 2>1"}));

  testmini::config().failTo = KSSTATE_RUN;
  Log().clear();
  EXPECT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
  KSSTATE state;
  ASSERT_EQ(b.client->GetState(p, &state), STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_PAUSE);
  EXPECT_EQ(pin->DeviceState, KSSTATE_PAUSE);
  EXPECT_EQ(b.client->Set(p, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, ULONG{7}),
            STATUS_INVALID_PARAMETER);

  // Closing walks down to STOP before the close dispatch, past failing steps.
  testmini::config().failTo = KSSTATE_ACQUIRE;
  Log().clear();
  EXPECT_EQ(b.client->Close(p), STATUS_SUCCESS);
  EXPECT_EQ(Log(), (std::vector<std::string>{"state 2>1", "state 1>0", "close pin=0"}));
}

TEST_F(Streaming, FramesCompleteByEjectWithHeaderExtendedHeaderAndData) {
  MakePin();
  EXPECT_EQ(QueueWithInfo(*b.client, p), STATUS_INVALID_DEVICE_STATE) << "not in STOP";
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  uint64_t id1 = 0, id2 = 0;
  FrameRequest r;
  r.bufferSize = kFrameBytes;
  r.extendedHeader = testmini::FrameInfo();
  ASSERT_EQ(b.client->QueueFrame(p, r, &id1), STATUS_PENDING);
  ASSERT_EQ(b.client->QueueFrame(p, r, &id2), STATUS_PENDING);
  // The pin asked for a KSSTREAM_HEADER and a TestFrameInfo; a bare header does not fit.
  EXPECT_EQ(b.client->QueueFrame(p, kFrameBytes), STATUS_INVALID_BUFFER_SIZE);

  testmini::Tick(pin);
  Frame frame;
  ASSERT_EQ(b.client->WaitForFrame(p, sim::kMillisecond, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame.id, id1);
  EXPECT_EQ(frame.status, STATUS_SUCCESS);
  EXPECT_EQ(frame.header.Size, sizeof(KSSTREAM_HEADER) + sizeof(testmini::TestFrameInfo));
  EXPECT_EQ(frame.header.FrameExtent, kFrameBytes);
  EXPECT_EQ(frame.header.DataUsed, kFrameBytes);
  EXPECT_EQ(frame.data, std::vector<uint8_t>(kFrameBytes, 0x10));
  testmini::TestFrameInfo info{};
  ASSERT_TRUE(frame.Extended(&info));
  EXPECT_EQ(info.FrameNumber, 1u);
  EXPECT_EQ(b.client->TakeFrame(p, &frame), STATUS_NO_MORE_ENTRIES);
  EXPECT_EQ(b.client->WaitForFrame(p, sim::kMillisecond, &frame), STATUS_TIMEOUT);

  // A completed frame's memory goes back into the queue.
  FrameRequest again;
  again.bufferSize = kFrameBytes;
  again.extendedHeader = testmini::FrameInfo();
  again.storage = std::move(frame.data);
  ASSERT_EQ(b.client->QueueFrame(p, std::move(again)), STATUS_PENDING);
  testmini::Tick(pin);
  testmini::Tick(pin);
  ASSERT_EQ(b.client->WaitForFrame(p, sim::kMillisecond, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame.id, id2);
  ASSERT_EQ(b.client->WaitForFrame(p, sim::kMillisecond, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame.data[0], 0x12);
}

TEST_F(Streaming, AdvancingCompletesAFrameOnlyWhenItsRemainingCountReachesZero) {
  testmini::config().completion = Completion::AdvanceHalf;
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  testmini::Tick(pin);
  b.m.RunPending();
  EXPECT_EQ(b.client->CompletedFrames(p), 0u) << "half the frame is still free";
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(sp, nullptr);
  EXPECT_EQ(sp->OffsetOut.Count, kFrameBytes / 2);
  EXPECT_EQ(sp->OffsetOut.Remaining, kFrameBytes / 2);
  KsStreamPointerUnlock(sp, FALSE);  // stays at the leading edge

  testmini::Tick(pin);
  Frame frame;
  ASSERT_EQ(b.client->WaitForFrame(p, sim::kMillisecond, &frame), STATUS_SUCCESS);
  std::vector<uint8_t> expected(kFrameBytes / 2, 0x10);
  expected.resize(kFrameBytes, 0x11);  // the second call wrote after the first one's offset
  EXPECT_EQ(frame.data, expected);
  EXPECT_EQ(frame.header.DataUsed, kFrameBytes);

  // Advancing past the end is a verifier stop.
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  EXPECT_VERIFIER_STOP(sim::Rule::InvalidParameter,
                       KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, kFrameBytes + 1, FALSE));
}

TEST_F(Streaming, StopCancelsQueuedFramesButALockedPointerIsAVerifierStop) {
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_PAUSE), STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_NE(sp, nullptr);
  KsStreamPointerUnlock(sp, FALSE);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_STOP), STATUS_SUCCESS);
  Frame frame;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(b.client->TakeFrame(p, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.status, STATUS_CANCELLED);
  }
  EXPECT_VERIFIER_STOP(sim::Rule::InvalidParameter, KsStreamPointerUnlock(sp, TRUE));
}

TEST_F(Streaming, AFrameHeldLockedAtStopIsAVerifierStop) {
  testmini::config().completion = Completion::Hold;
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  testmini::Tick(pin);
  b.m.RunPending();
  EXPECT_VERIFIER_STOP(sim::Rule::LockedStreamPointer, b.client->SetState(p, KSSTATE_STOP));
}

TEST_F(Streaming, ProcessingIsAsynchronousCoalescedAndOnlyInRun) {
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_PAUSE), STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  KsPinAttemptProcessing(pin, TRUE);
  b.m.RunFor(sim::kMillisecond);
  EXPECT_EQ(state()->processCalls, 0u) << "no process in PAUSE";
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  b.m.RunFor(sim::kMillisecond);
  EXPECT_EQ(state()->processCalls, 0u) << "queued frames alone never start processing";

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);  // as from the card's DPC
  testmini::Tick(pin);
  testmini::Tick(pin);
  KeLowerIrql(old);
  EXPECT_EQ(state()->processCalls, 0u) << "asynchronous: later, from the event loop";
  b.m.RunPending();
  // One queued call for both attempts; it runs while it reports progress.
  EXPECT_EQ(b.client->CompletedFrames(p), 2u);
  EXPECT_EQ(state()->processCalls, 3u);
  EXPECT_EQ(state()->maxDepth, 1);
}

TEST_F(Streaming, WithoutTheFlagsFramesStartProcessingEvenInPause) {
  testmini::config().pinFlags = 0;
  b.m.pnp().StopCard(*b.c);
  b.m.pnp().StartCard(*b.c);
  f = b.Open();
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_PAUSE), STATUS_SUCCESS);
  state()->pending = 2;
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  b.m.RunPending();
  EXPECT_EQ(b.client->CompletedFrames(p), 1u);
  // Arrival starts processing later, from the event loop.
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  EXPECT_EQ(b.client->CompletedFrames(p), 1u);
  b.m.RunPending();
  EXPECT_EQ(b.client->CompletedFrames(p), 2u);
}

TEST_F(Streaming, OneProcessCallAtATimeEvenWhenItAsksForMore) {
  testmini::config().attemptFromProcess = true;
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  testmini::Tick(pin);
  b.m.RunPending();
  EXPECT_EQ(b.client->CompletedFrames(p), 1u);
  EXPECT_EQ(state()->maxDepth, 1);
  EXPECT_EQ(state()->processCalls, 1u) << "an empty queue ends it";
}

TEST_F(Streaming, AProcessDispatchThatNeverProgressesIsAVerifierStop) {
  testmini::config().completion = Completion::Spin;
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  testmini::Tick(pin);
  EXPECT_VERIFIER_STOP(sim::Rule::Deadlock, b.m.RunPending());
}

TEST_F(Streaming, TheClockRunsOnMachineTimeAndUsableFromADpc) {
  MakePin();
  ASSERT_EQ(b.client->SetMasterClock(p, true), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(b.client->SetMasterClock(p, false), STATUS_INVALID_DEVICE_STATE);
  PIKSREFERENCECLOCK clock = state()->clock;
  ASSERT_NE(clock, nullptr);
  b.m.RunFor(5 * sim::kMillisecond);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(clock->GetTime(), b.m.now() / 100);
  KeLowerIrql(old);

  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  testmini::Tick(pin);
  Frame frame;
  ASSERT_EQ(b.client->WaitForFrame(p, sim::kMillisecond, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame.header.PresentationTime.Time, b.m.now() / 100);
  EXPECT_TRUE(frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
  ASSERT_EQ(b.client->Close(p), STATUS_SUCCESS) << "released at STOP: nothing outstanding";
}

TEST_F(Streaming, WithoutAClockThePinGetsNone) {
  MakePin();
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_TRUE(state()->clockAsked);
  EXPECT_EQ(state()->clock, nullptr);
  PIKSREFERENCECLOCK clock = reinterpret_cast<PIKSREFERENCECLOCK>(1);
  EXPECT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(clock, nullptr);
  ASSERT_EQ(QueueWithInfo(*b.client, p), STATUS_PENDING);
  testmini::Tick(pin);
  Frame frame;
  ASSERT_EQ(b.client->WaitForFrame(p, sim::kMillisecond, &frame), STATUS_SUCCESS);
  EXPECT_FALSE(frame.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
}

TEST_F(Streaming, AClockReferenceLeftWhenThePinGoesAwayIsAVerifierStop) {
  testmini::config().leakClock = true;
  MakePin();
  ASSERT_EQ(b.client->SetMasterClock(p, true), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_ACQUIRE), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_VERIFIER_STOP(sim::Rule::ObjectReference, b.client->Close(p));
}

TEST_F(Streaming, AClockReleasedTooOftenIsAVerifierStop) {
  MakePin();
  ASSERT_EQ(b.client->SetMasterClock(p, true), STATUS_SUCCESS);
  PIKSREFERENCECLOCK clock = nullptr;
  ASSERT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_SUCCESS);
  EXPECT_EQ(clock->Release(), 0u);
  EXPECT_VERIFIER_STOP(sim::Rule::ObjectReference, clock->GetTime());
}

// Sixteen filters streaming at 30 frames per second for a simulated minute, each
// frame ticked by a timer DPC and delivered by the process dispatch.
TEST(KsThroughput, SixteenStreamsForAMinute) {
  Rig b(false);
  testmini::config().framePeriodMs = 33;
  testmini::config().instancesPossible = 1;
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  constexpr int kStreams = 16;
  constexpr ULONG kBytes = 720 * 2 * 16;
  std::vector<Handle> pins;
  for (int i = 0; i < kStreams; ++i) {
    Handle pin = b.Pin(b.Open());
    ASSERT_EQ(b.client->SetMasterClock(pin, true), STATUS_SUCCESS);
    ASSERT_EQ(b.client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    for (int k = 0; k < 4; ++k) ASSERT_EQ(QueueWithInfo(*b.client, pin, kBytes), STATUS_PENDING);
    pins.push_back(pin);
  }
  auto started = std::chrono::steady_clock::now();
  sim::Nanos end = b.m.now() + 60 * sim::kSecond;
  std::vector<int> delivered(kStreams, 0);
  Frame frame;
  while (b.m.now() < end) {
    if (b.client->WaitForAnyFrame(end - b.m.now()) != STATUS_SUCCESS) break;
    for (int i = 0; i < kStreams; ++i)
      while (b.client->TakeFrame(pins[i], &frame) == STATUS_SUCCESS) {
        ASSERT_EQ(frame.status, STATUS_SUCCESS);
        delivered[i]++;
        FrameRequest r;
        r.bufferSize = kBytes;
        r.extendedHeader = std::move(frame.extendedHeader);
        r.storage = std::move(frame.data);
        ASSERT_EQ(b.client->QueueFrame(pins[i], std::move(r)), STATUS_PENDING);
      }
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  for (int n : delivered) EXPECT_NEAR(n, 60'000 / 33, 2);
  EXPECT_LT(seconds, 20.0);
  RecordProperty("wall_seconds", std::to_string(seconds));
}

}  // namespace
