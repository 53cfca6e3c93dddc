// Audio delivery end to end: the card fills blocks A and B in turn, the interrupt's DPC
// copies each new block into the client's next buffer with its timing.
#include <algorithm>
#include <cstring>

#include "support/client_rig.h"
#include "sim/card/source.h"

namespace {

using sim::Card;
using sim::PatternSource;
using sim::ks::Frame;
using sim::ks::Handle;
using suite::ClientRig;

struct AudioStream {
  ClientRig &b;
  ULONG channel;
  ULONG rate;
  Handle pin = 0;
  sim::Nanos firstBlockAt = -1;

  AudioStream(ClientRig &rig, ULONG c, ULONG r) : b(rig), channel(c), rate(r) {
    Handle f = b.Open(false, c);
    pin = b.CreatePin(f, b.Intersect(f, ClientRig::AudioRange(r, r)));
    b.card.SetCompletionObserver([this](const Card::Completion &done) {
      if (done.channelBit == 8 + channel && firstBlockAt < 0) firstBlockAt = done.time;
    });
  }
  NTSTATUS Queue(ULONG bytes = 4096, ULONG optionsFlags = 0, uint8_t fill = 0) {
    sim::ks::FrameRequest r;
    r.bufferSize = bytes;
    r.extendedHeader.resize(sizeof(KS_FRAME_INFO));  // audio buffers carry the same 128-byte header
    r.optionsFlags = optionsFlags;
    r.storage.assign(bytes, fill);
    return b.client->QueueFrame(pin, std::move(r));
  }
  Frame Next() {
    Frame f;
    EXPECT_EQ(b.client->WaitForFrame(pin, sim::kSecond, &f), STATUS_SUCCESS);
    return f;
  }
  // The samples the input carried from the channel's start, as the card takes them.
  std::vector<int16_t> Expected(size_t count) const {
    uint32_t divisor = b.card.Peek(AUDIO_SAMPLE_CLOCK);
    sim::AudioRequest request;
    request.channel = channel;
    request.anchor = firstBlockAt - static_cast<sim::CardTime>(2048ull * divisor / 8192);
    request.clockDivisor = divisor;
    request.count = count;
    request.timeline = &b.card.inputTimeline(channel);
    std::vector<int16_t> out(count);
    for (size_t k = 0; k < count; ++k) out[k] = PatternSource::Sample(request, k);
    return out;
  }
};

std::vector<int16_t> Samples(const Frame &f) {
  std::vector<int16_t> s(f.header.DataUsed / 2);
  std::memcpy(s.data(), f.data.data(), s.size() * 2);
  return s;
}

TEST(AudioDelivery, BlocksArriveInOrderWithTheInputsSamples) {
  ClientRig b;
  AudioStream a(b, 2, 48000);
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 6; ++i) a.Queue();
  std::vector<int16_t> got;
  for (int i = 0; i < 6; ++i) {
    Frame f = a.Next();
    EXPECT_EQ(f.header.DataUsed, 4096u);
    std::vector<int16_t> s = Samples(f);
    got.insert(got.end(), s.begin(), s.end());
  }
  ASSERT_GE(a.firstBlockAt, 0);
  std::vector<int16_t> expected = a.Expected(got.size());
  for (size_t k = 0; k < got.size(); ++k) ASSERT_EQ(got[k], expected[k]) << "sample " << k;
  // Markers at every video frame start: 48000 / 29.97 samples apart.
  std::vector<size_t> markers;
  for (size_t k = 1; k < got.size(); ++k)
    if (got[k] == 32767 && got[k - 1] != -32767) markers.push_back(k);
  ASSERT_GE(markers.size(), 5u);
  for (size_t i = 1; i < markers.size(); ++i) EXPECT_NEAR(markers[i] - markers[i - 1], 1601.6, 1.0);
}

TEST(AudioDelivery, DurationsAndBufferSizes) {
  ClientRig b;
  AudioStream a(b, 1, 44100);
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  a.Queue(4096);
  a.Queue(1000);
  a.Queue(8192, 0, 0xAB);
  a.Queue(4096);
  Frame full = a.Next(), small = a.Next(), large = a.Next(), next = a.Next();
  EXPECT_EQ(full.header.Duration, 464399);
  EXPECT_EQ(small.header.Duration, 113378);
  EXPECT_EQ(small.header.DataUsed, 1000u);
  EXPECT_EQ(small.status, STATUS_SUCCESS) << "a small buffer is completed all the same";
  EXPECT_EQ(large.header.DataUsed, 4096u);
  EXPECT_EQ(large.header.Duration, 464399);
  EXPECT_EQ(std::count(large.data.begin() + 4096, large.data.end(), 0xAB), 4096)
      << "one block fills one buffer, whatever its size";
  // The blocks follow each other with no sample lost: the next buffer starts where the
  // large one's block ended.
  std::vector<int16_t> expected = a.Expected(4 * 2048);
  EXPECT_EQ(std::memcmp(large.data.data(), expected.data() + 2 * 2048, 4096), 0);
  EXPECT_EQ(std::memcmp(next.data.data(), expected.data() + 3 * 2048, 4096), 0);
  // No clock: the sample-clock fraction and no valid time.
  EXPECT_EQ(full.header.PresentationTime.Time, 0);
  EXPECT_EQ(full.header.PresentationTime.Numerator, 80000000u);
  EXPECT_EQ(full.header.PresentationTime.Denominator, 44100u * 16);
  EXPECT_EQ(full.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID, 0u);
}

TEST(AudioDelivery, PresentationTimeFromTheClock) {
  ClientRig b;
  AudioStream a(b, 0, 16000);
  ASSERT_EQ(b.client->SetMasterClock(a.pin, true), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  a.Queue(4096, KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY);
  Frame f = a.Next();
  EXPECT_EQ(f.header.PresentationTime.Numerator, 1u);
  EXPECT_EQ(f.header.PresentationTime.Denominator, 1u);
  EXPECT_EQ(f.header.OptionsFlags, static_cast<ULONG>(KSSTREAM_HEADER_OPTIONSF_TIMEVALID |
                                                      KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY))
      << "the time-valid flag is added to the client's";
  EXPECT_GE(f.header.PresentationTime.Time, a.firstBlockAt / 100);
  EXPECT_LE(f.header.PresentationTime.Time, b.m.now() / 100);
}

// The toggle rules one interrupt at a time: a block is a change of the channel's toggle
// bit against the last one acted on; a paused stream acts on nothing and remembers
// nothing, so after resuming the toggle of the last delivered block delivers nothing.
TEST(AudioDelivery, ToggleRulesExactly) {
  ClientRig b;
  AudioStream a(b, 3, 48000);
  const ULONG bit = 1u << 11;
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  std::memset(b.dev()->audioBuffers[6], 0x11, 4096);  // block A of channel 3
  std::memset(b.dev()->audioBuffers[7], 0x22, 4096);  // block B
  for (int i = 0; i < 4; ++i) a.Queue();
  auto raise = [&](ULONG toggle) {
    b.card.RaiseChannelEvents(bit, toggle);
    return b.client->CompletedFrames(a.pin);
  };
  EXPECT_EQ(raise(bit), 0u) << "set after start, as after a stop: no block yet";
  EXPECT_EQ(raise(0), 1u) << "the first change is block A";
  EXPECT_EQ(raise(0), 1u) << "unchanged: two blocks went by, or none";
  EXPECT_EQ(raise(bit), 2u);
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  EXPECT_EQ(raise(0), 2u) << "paused: nothing delivered";
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(raise(bit), 2u) << "the toggle last delivered, kept across the pause";
  EXPECT_EQ(raise(0), 3u);
  // A stop sets the toggle back: after a new start block A is the first block again.
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  a.Queue();
  size_t before = b.client->CompletedFrames(a.pin);  // the unused buffer came back at STOP
  EXPECT_EQ(raise(0), before + 1);
  Frame f;
  std::vector<uint8_t> firsts;
  while (b.client->TakeFrame(a.pin, &f) == STATUS_SUCCESS)
    if (f.status == STATUS_SUCCESS) firsts.push_back(f.data[0]);
  EXPECT_EQ(firsts, (std::vector<uint8_t>{0x11, 0x22, 0x11, 0x11})) << "A, B, A; A";
}

// A block is recognised only by a change of its toggle bit.
TEST(AudioDelivery, ToggleRules) {
  ClientRig b;
  AudioStream a(b, 3, 48000);
  ULONG bit = 1u << 11;
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 8; ++i) a.Queue();
  a.Next();  // block A
  // An interrupt with the toggle unchanged delivers nothing.
  size_t completed = b.client->CompletedFrames(a.pin);
  b.card.RaiseChannelEvents(bit, b.card.Peek(BUFFER_STATUS));
  b.m.RunFor(sim::kMicrosecond * 100);
  EXPECT_EQ(b.client->CompletedFrames(a.pin), completed);

  // Two blocks between interrupts: the toggle reads as before, neither is delivered.
  Frame f;
  while (b.client->TakeFrame(a.pin, &f) == STATUS_SUCCESS) {
  }
  sim::Nanos block = 42666667;
  b.card.DelayInterrupts(11, b.m.now(), b.m.now() + block, block + block / 2);
  b.m.RunFor(2 * block + block / 4);
  size_t delivered = b.client->CompletedFrames(a.pin);
  b.m.RunFor(3 * block);
  EXPECT_EQ(b.client->CompletedFrames(a.pin), delivered + 3) << "regular blocks resume";
  EXPECT_LE(delivered, 1u) << "the blocks whose interrupt came two blocks late are lost";

  // Paused: nothing is delivered; running again picks up at the next change.
  while (b.client->TakeFrame(a.pin, &f) == STATUS_SUCCESS) {
  }
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_PAUSE), STATUS_SUCCESS);
  b.m.RunFor(3 * block);
  EXPECT_EQ(b.client->CompletedFrames(a.pin), 0u);
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  b.m.RunFor(2 * block);
  EXPECT_GE(b.client->CompletedFrames(a.pin), 1u);
  EXPECT_TRUE(b.ok());
}

TEST(AudioDelivery, NoBufferQueuedDropsTheBlock) {
  ClientRig b;
  AudioStream a(b, 4, 48000);
  ASSERT_EQ(b.client->SetState(a.pin, KSSTATE_RUN), STATUS_SUCCESS);
  b.m.RunFor(200 * sim::kMillisecond);
  sim::Nanos queuedAt = b.m.now();
  a.Queue();
  Frame f = a.Next();
  std::vector<int16_t> got = Samples(f);
  // The buffer holds the first block completed after it was queued; the earlier ones
  // went nowhere and are not delivered later.
  std::vector<int16_t> expected = a.Expected(12 * 2048);
  int matched = -1;
  for (int n = 0; n < 12; ++n)
    if (std::memcmp(got.data(), expected.data() + n * 2048, 4096) == 0) matched = n;
  sim::Nanos blockPeriod = 2048ll * b.card.Peek(AUDIO_SAMPLE_CLOCK) / 8192;
  EXPECT_EQ(matched, static_cast<int>((queuedAt - a.firstBlockAt) / blockPeriod + 1));
  EXPECT_GE(matched, 4);
  EXPECT_TRUE(b.ok());
}

}  // namespace
