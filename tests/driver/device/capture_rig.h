// Pins of a started card capturing small frames through the client, taken back and queued
// again as the machine runs, each frame checked: picture numbers rise, and a picture is
// either delivered or counted as dropped.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/client_rig.h"

namespace suite {

class CaptureRig : public ClientRig {
 public:
  explicit CaptureRig(sim::Card::Variant v = sim::Card::Variant::Standard) : ClientRig(v) {}

  struct Pin {
    Handle handle = 0;
    bool video = true;
    ULONG channel = 0;
    uint64_t delivered = 0;
    uint64_t cancelled = 0;
    int64_t picture = 0;  // the last frame's PictureNumber
    int64_t drops = 0;    // and its DropCount
  };

  // The channel's pin, small frames for video, running with three buffers queued.
  Pin &Add(bool video, ULONG channel) {
    Handle filter = Open(video, channel);
    std::vector<uint8_t> format;
    if (video) {
      format = VideoFormat(filter, 0);
      KS_VIDEOINFOHEADER &vih = Vih(format);
      vih.bmiHeader.biWidth = 160;
      vih.bmiHeader.biHeight = 120;
      vih.bmiHeader.biSizeImage = 160 * 2 * 120;
      vih.rcSource = vih.rcTarget = RECT{0, 0, 160, 120};
      reinterpret_cast<KSDATAFORMAT *>(format.data())->SampleSize = vih.bmiHeader.biSizeImage;
    } else {
      format = Intersect(filter, AudioRange(48000, 48000));
    }
    Pin p;
    p.handle = CreatePin(filter, format);
    p.video = video;
    p.channel = channel;
    bytes_.push_back(video ? 160 * 2 * 120 : 4096);
    EXPECT_EQ(client->SetMasterClock(p.handle, true), STATUS_SUCCESS);
    EXPECT_EQ(client->SetState(p.handle, KSSTATE_RUN), STATUS_SUCCESS);
    pins.push_back(p);
    for (int i = 0; i < 3; ++i) Queue(pins.size() - 1, {});
    return pins.back();
  }

  // Runs the machine, taking frames back and queueing them again.
  void Run(sim::Nanos d) {
    sim::Nanos end = m.now() + d;
    while (m.now() < end) {
      m.RunFor(std::min<sim::Nanos>(5 * sim::kMillisecond, end - m.now()));
      Collect();
    }
  }
  void Collect() {
    for (size_t i = 0; i < pins.size(); ++i) {
      sim::ks::Frame f;
      while (client->TakeFrame(pins[i].handle, &f) == STATUS_SUCCESS) {
        Check(pins[i], f);
        Queue(i, std::move(f.data));
      }
    }
  }
  std::vector<uint64_t> Delivered() const {
    std::vector<uint64_t> d;
    for (const Pin &p : pins) d.push_back(p.delivered);
    return d;
  }
  // Every pin delivered more than `before` says.
  bool AllMoreThan(const std::vector<uint64_t> &before) const {
    for (size_t i = 0; i < pins.size(); ++i)
      if (pins[i].delivered <= before[i]) return false;
    return true;
  }
  // Register accesses the card saw from trace entry `from` on.
  size_t AccessesSince(size_t from) const {
    size_t n = 0;
    for (size_t i = from; i < card.trace().size(); ++i)
      n += card.trace()[i].kind == sim::CardTraceEntry::Kind::Read ||
           card.trace()[i].kind == sim::CardTraceEntry::Kind::Write;
    return n;
  }

  std::vector<Pin> pins;

 private:
  void Queue(size_t i, std::vector<uint8_t> storage) {
    sim::ks::FrameRequest r;
    r.bufferSize = bytes_[i];
    r.extendedHeader = sim::ks::FrameInfoHeader();
    r.storage = std::move(storage);
    client->QueueFrame(pins[i].handle, std::move(r));
  }
  void Check(Pin &p, const sim::ks::Frame &f) {
    if (f.status != STATUS_SUCCESS) {
      EXPECT_EQ(f.status, STATUS_CANCELLED);
      ++p.cancelled;
      return;
    }
    ++p.delivered;
    if (!p.video) return;
    KS_FRAME_INFO info{};
    ASSERT_TRUE(f.Extended(&info));
    EXPECT_GT(info.PictureNumber, p.picture) << "picture numbers rise on video" << p.channel;
    EXPECT_EQ(static_cast<uint64_t>(info.PictureNumber - info.DropCount), p.delivered)
        << "every picture of video" << p.channel << " delivered or counted as dropped";
    p.picture = info.PictureNumber;
    p.drops = info.DropCount;
  }

  std::vector<ULONG> bytes_;
};

}  // namespace suite
