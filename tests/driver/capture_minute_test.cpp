// All sixteen streams of a card for a simulated minute with buffers always queued: every
// frame and block the card completes reaches the client, in order, with aligned sound.
#include <cmath>
#include <cstring>
#include <map>

#include "support/client_rig.h"
#include "sim/card/source.h"

namespace {

using sim::Card;
using sim::PatternSource;
using sim::ks::Frame;
using sim::ks::Handle;
using suite::ClientRig;

struct Video {
  Handle pin = 0;
  ULONG image = 0;
  LONGLONG interval = 0;
  uint64_t delivered = 0;
  LONGLONG lastPicture = 0;
  bool ordered = true;
  LONGLONG firstTime = -1;  // presentation time of the first frame (100 ns)
  uint32_t firstFrame = 0;  // its input frame number
};

struct Audio {
  Handle pin = 0;
  uint64_t delivered = 0;
  LONGLONG markerTime = -1;  // time of the first marker (100 ns)
};

TEST(CaptureMinute, SixteenStreamsDeliverEveryFrameAndBlock) {
  ClientRig b;
  Video video[8];
  Audio audio[8];
  std::map<unsigned, uint64_t> completedB, completedBlocks;  // by channel bit
  sim::Nanos end = 0;
  b.card.SetCompletionObserver([&](const Card::Completion &c) {
    if (c.channelBit < 8 && c.fieldB) ++completedB[c.channelBit];
    if (c.channelBit >= 8) ++completedBlocks[c.channelBit];
  });
  for (ULONG c = 0; c < 8; ++c) {
    b.card.SetInputSignal(c, {true, c >= 4});
    Handle f = b.Open(true, c);
    std::vector<uint8_t> format = b.VideoFormat(f, 0);
    video[c].image = ClientRig::Vih(format).bmiHeader.biSizeImage;
    video[c].interval = ClientRig::Vih(format).AvgTimePerFrame;
    video[c].pin = b.CreatePin(f, format);
    Handle af = b.Open(false, c);
    audio[c].pin = b.CreatePin(af, b.Intersect(af, ClientRig::AudioRange(48000, 48000)));
    for (Handle p : {video[c].pin, audio[c].pin})
      ASSERT_EQ(b.client->SetMasterClock(p, true), STATUS_SUCCESS);
  }
  auto queue = [&](Handle pin, ULONG bytes, std::vector<uint8_t> storage) {
    sim::ks::FrameRequest r;
    r.bufferSize = bytes;
    r.extendedHeader = sim::ks::FrameInfoHeader();
    r.storage = std::move(storage);
    return b.client->QueueFrame(pin, std::move(r));
  };
  for (ULONG c = 0; c < 8; ++c) {
    ASSERT_EQ(b.client->SetState(video[c].pin, KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(b.client->SetState(audio[c].pin, KSSTATE_RUN), STATUS_SUCCESS);
  }
  for (ULONG c = 0; c < 8; ++c) {
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(queue(video[c].pin, video[c].image, {}), STATUS_PENDING);
      ASSERT_EQ(queue(audio[c].pin, 4096, {}), STATUS_PENDING);
    }
  }
  sim::Nanos start = b.m.now();
  end = start + 60 * sim::kSecond;

  auto drain = [&] {
    Frame f;
    for (ULONG c = 0; c < 8; ++c) {
      Video &v = video[c];
      while (b.client->TakeFrame(v.pin, &f) == STATUS_SUCCESS) {
        ASSERT_EQ(f.status, STATUS_SUCCESS);
        KS_FRAME_INFO info{};
        ASSERT_TRUE(f.Extended(&info));
        ++v.delivered;
        v.ordered &= info.PictureNumber == v.lastPicture + 1 && info.DropCount == 0;
        v.lastPicture = info.PictureNumber;
        if (v.firstTime < 0) {
          v.firstTime = f.header.PresentationTime.Time;
          v.firstFrame =
              PatternSource::DecodeCounter(sim::PixelFormat::Yuy2, f.data.data(), 720)->frame;
        }
        queue(v.pin, v.image, std::move(f.data));
      }
      Audio &a = audio[c];
      while (b.client->TakeFrame(a.pin, &f) == STATUS_SUCCESS) {
        ++a.delivered;
        if (a.markerTime < 0) {
          for (size_t k = 1; k < 2048; ++k) {
            int16_t s, prev;
            std::memcpy(&s, f.data.data() + 2 * k, 2);
            std::memcpy(&prev, f.data.data() + 2 * (k - 1), 2);
            if (s == 32767 && prev != -32767) {
              // The block's first sample was taken 2048 samples before its completion.
              a.markerTime = f.header.PresentationTime.Time - 2048 * 10000000ll / 48000 +
                             static_cast<LONGLONG>(k) * 10000000 / 48000;
              break;
            }
          }
        }
        queue(a.pin, 4096, std::move(f.data));
      }
    }
  };
  while (b.m.now() < end) {
    b.client->WaitForAnyFrame(end - b.m.now());
    drain();
    ASSERT_TRUE(b.ok());
  }
  // The card stops capturing; what it completed is processed and delivered.
  b.card.Poke(CHANNEL_CONTROL, 0);
  b.m.RunFor(5 * sim::kMillisecond);
  drain();

  for (ULONG c = 0; c < 8; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    double fps = c < 4 ? 30000.0 / 1001.0 : 25.0;
    EXPECT_TRUE(video[c].ordered) << "picture numbers consecutive, nothing dropped";
    EXPECT_EQ(video[c].delivered, completedB[c]) << "every frame the card completed";
    EXPECT_NEAR(static_cast<double>(video[c].delivered), 60 * fps, 2.0)
        << "less the first frame's wait";
    EXPECT_EQ(audio[c].delivered, completedBlocks[8 + c]) << "every block the card completed";
    // The watchdog's first tick resets every channel once after a video start.
    EXPECT_NEAR(static_cast<double>(audio[c].delivered), 60.0 * 48000 / 2048, 2.0);
    // Both pins started together: the first frame's start and the first frame marker in
    // the sound are the same moment on the clock, give or take a frame.
    ASSERT_GE(audio[c].markerTime, 0);
    LONGLONG period = c < 4 ? 333667 : 400000;
    LONGLONG frameStart = video[c].firstTime - period;
    EXPECT_LT(std::llabs(audio[c].markerTime - frameStart), period);
  }
  for (ULONG c = 0; c < 8; ++c) {
    EXPECT_EQ(b.client->SetState(video[c].pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(b.client->SetState(audio[c].pin, KSSTATE_STOP), STATUS_SUCCESS);
  }
  EXPECT_TRUE(b.ok());
}

}  // namespace
