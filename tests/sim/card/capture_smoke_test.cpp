// The engines under the real driver: a client running a video pin and an audio pin
// gets frames and blocks holding exactly what the inputs carry.
#include <gtest/gtest.h>

#include <vector>

#include "support/client_rig.h"
#include "sim/card/source.h"

namespace {

using sim::PatternSource;

TEST(CaptureSmoke, AWovenFrameAndAnAudioBlockArriveWithTheInputsBytes) {
  suite::ClientRig b;
  // Video: the first range (720 x 480 YUY2, 29.97 frames per second).
  const sim::ks::Handle filter = b.Open(true, 0);
  std::vector<uint8_t> format = b.VideoFormat(filter, 0);
  const KS_VIDEOINFOHEADER vih = suite::ClientRig::Vih(format);
  ASSERT_EQ(vih.bmiHeader.biWidth, 720);
  ASSERT_EQ(vih.bmiHeader.biHeight, 480);
  const sim::ks::Handle pin = b.CreatePin(filter, format);
  ASSERT_EQ(b.client->SetMasterClock(pin, true), STATUS_SUCCESS);

  // Audio of the same input at 48 kHz.
  const sim::ks::Handle audioFilter = b.Open(false, 0);
  const sim::ks::Handle audio = b.CreatePin(
      audioFilter, b.Intersect(audioFilter, suite::ClientRig::AudioRange(48000, 48000)));

  ASSERT_EQ(b.client->SetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(b.client->SetState(audio, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) {
    sim::ks::FrameRequest request;
    request.bufferSize = vih.bmiHeader.biSizeImage;
    request.extendedHeader = sim::ks::FrameInfoHeader();
    ASSERT_EQ(b.client->QueueFrame(pin, request), STATUS_PENDING);
    sim::ks::FrameRequest block;  // audio buffers carry the same 128-byte header
    block.bufferSize = 4096;
    block.extendedHeader.resize(sizeof(KS_FRAME_INFO));
    ASSERT_EQ(b.client->QueueFrame(audio, block), STATUS_PENDING);
  }

  sim::ks::Frame frame;
  ASSERT_EQ(b.client->WaitForFrame(pin, sim::kSecond, &frame), STATUS_SUCCESS);
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(frame.header.DataUsed, 691200u);
  EXPECT_EQ(frame.header.OptionsFlags, 0x110u);
  KS_FRAME_INFO info;
  ASSERT_TRUE(frame.Extended(&info));
  EXPECT_EQ(info.PictureNumber, 1);
  EXPECT_EQ(info.DropCount, 0);

  // Even lines are field A, odd lines field B, of one input frame.
  const auto top = PatternSource::DecodeCounter(sim::PixelFormat::Yuy2, frame.data.data(), 720);
  const auto second =
      PatternSource::DecodeCounter(sim::PixelFormat::Yuy2, frame.data.data() + 1440, 720);
  ASSERT_TRUE(top && second);
  EXPECT_FALSE(top->fieldB);
  EXPECT_TRUE(second->fieldB);
  EXPECT_EQ(top->frame, second->frame);
  EXPECT_EQ(top->channel, 0u);
  for (unsigned line = 0; line < 480; ++line) {
    const uint8_t *row = frame.data.data() + size_t{line} * 1440;
    for (unsigned x = 0; x < 720; x += 2) {
      const auto p = [&](unsigned px) {
        return PatternSource::Pixel(0, top->frame, line % 2 == 1, px, line / 2, false);
      };
      const uint8_t expected[4] = {p(x).y, p(x).u, p(x + 1).y, p(x).v};
      ASSERT_EQ(std::memcmp(row + 2 * x, expected, 4), 0) << "line " << line << " x " << x;
    }
  }

  // One block of the tone from the start of the channel.
  ASSERT_EQ(b.client->WaitForFrame(audio, sim::kSecond, &frame), STATUS_SUCCESS);
  EXPECT_EQ(frame.header.DataUsed, 4096u);
  int peak = 0;
  for (size_t i = 0; i < 4096; i += 2) {
    const auto s = static_cast<int16_t>(frame.data[i] | frame.data[i + 1] << 8);
    peak = std::max(peak, std::abs(static_cast<int>(s)));
  }
  EXPECT_GE(peak, 8000) << "the tone (or a marker) is there";
}

}  // namespace
