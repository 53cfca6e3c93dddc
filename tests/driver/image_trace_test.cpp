// The Windows image and the Linux build of the same sources, run through one scenario on the
// same machine, must be indistinguishable to the card and to the client: the same register
// reads and writes, barriers, bus transactions and configuration accesses at the same
// simulated times, and the same frames, headers and property answers.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "filters/filters.h"
#include "sim/card/card.h"
#include "sim/image/driver.h"
#include "sim/image/trap.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/ks/client.h"
#include "sim/image/image_rig.h"
#include "support/printers.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace {

using sim::ks::Handle;

// Everything the scenario lets anyone outside the driver observe.
struct Observed {
  std::vector<sim::CardTraceEntry> trace;
  std::vector<std::string> answers;          // statuses and property values, in order
  std::vector<std::vector<uint8_t>> frames;  // header, extended header and data of each
  sim::Nanos end = 0;
};

std::vector<uint8_t> Bytes(const sim::ks::Frame &f) {
  KSSTREAM_HEADER header = f.header;
  header.Data = nullptr;  // where the client's buffer happened to be
  std::vector<uint8_t> out(sizeof(header));
  std::memcpy(out.data(), &header, sizeof(header));
  out.insert(out.end(), f.extendedHeader.begin(), f.extendedHeader.end());
  out.insert(out.end(), f.data.begin(), f.data.end());
  return out;
}

// One card of each kind's channels that reach the decoder differently (the 6864's second
// bank sits on the two-wire bus): filters opened, controls set and read, a video and an
// audio pin each streaming with a clock for a while, a channel error the watchdog recovers
// from, then stop, close, device stop and removal.
Observed RunScenario(const sim::DriverCode &driver, sim::Card::Variant variant) {
  Observed o;
  sim::Machine m;
  sim::Card card(variant);
  auto note = [&](const std::string &what, NTSTATUS s) {
    std::ostringstream line;
    line << what << " " << std::hex << static_cast<uint32_t>(s);
    o.answers.push_back(line.str());
  };
  note("load", m.pnp().LoadDriver(driver));
  sim::PnpManager::Card *c = nullptr;
  note("add", m.pnp().AddCard(&card, &c));
  for (unsigned ch = 0; ch < 8; ++ch) card.SetInputSignal(ch, {true, ch == 5});
  note("start", m.pnp().StartCard(*c));
  {
    sim::ks::Client client(m);
    std::vector<Handle> pins;
    for (ULONG ch : {1u, 5u}) {
      Handle video = 0, audio = 0;
      for (const auto &i : client.Interfaces(KSCATEGORY_CAPTURE)) {
        if (i.referenceGuid == kVideoFilterReferenceGuids[ch])
          note("open video", client.OpenFilter(i.symbolicLink, &video));
        if (i.referenceGuid == kAudioFilterReferenceGuids[ch])
          note("open audio", client.OpenFilter(i.symbolicLink, &audio));
      }
      KSPROPERTY_VIDEOPROCAMP_S control{};
      control.Value = 40;
      note("set brightness", client.SetS(video, PROPSETID_VIDCAP_VIDEOPROCAMP,
                                         KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, control));
      control = {};
      note("get contrast", client.GetS(video, PROPSETID_VIDCAP_VIDEOPROCAMP,
                                       KSPROPERTY_VIDEOPROCAMP_CONTRAST, &control));
      o.answers.push_back("contrast " + std::to_string(control.Value));
      KSPROPERTY_VIDEODECODER_STATUS_S status{};
      note("decoder status", client.GetS(video, PROPSETID_VIDCAP_VIDEODECODER,
                                         KSPROPERTY_VIDEODECODER_STATUS, &status));
      o.answers.push_back("lines " + std::to_string(status.NumberOfLines));

      std::vector<std::vector<uint8_t>> ranges;
      note("ranges", client.PinDataRanges(video, 0, &ranges));
      std::vector<uint8_t> format;
      note("intersect", client.DataIntersection(video, 0, {ranges.at(ranges.size() - 1)}, &format));
      Handle pin = 0;
      note("create video", client.CreatePin(video, 0, format, &pin));
      pins.push_back(pin);
      std::vector<std::vector<uint8_t>> audioRanges;
      note("audio ranges", client.PinDataRanges(audio, 0, &audioRanges));
      note("intersect audio", client.DataIntersection(audio, 0, audioRanges, &format));
      note("create audio", client.CreatePin(audio, 0, format, &pin));
      pins.push_back(pin);
    }
    for (Handle p : pins) {
      note("clock", client.SetMasterClock(p, true));
      note("run", client.SetState(p, KSSTATE_RUN));
      for (int i = 0; i < 3; ++i) {
        sim::ks::FrameRequest r;
        r.bufferSize = 720 * 576 * 2;
        r.extendedHeader = sim::ks::FrameInfoHeader();
        note("queue", client.QueueFrame(p, std::move(r)));
      }
    }
    card.ScheduleChannelError(m.now() + 150 * sim::kMillisecond, 1);
    for (int round = 0; round < 8; ++round) {
      m.RunFor(100 * sim::kMillisecond);
      for (Handle p : pins) {
        sim::ks::Frame f;
        while (client.TakeFrame(p, &f) == STATUS_SUCCESS) {
          o.frames.push_back(Bytes(f));
          sim::ks::FrameRequest r;
          r.bufferSize = 720 * 576 * 2;
          r.extendedHeader = sim::ks::FrameInfoHeader();
          note("requeue", client.QueueFrame(p, std::move(r)));
        }
      }
    }
    for (Handle p : pins) note("stop", client.SetState(p, KSSTATE_STOP));
    for (Handle p : pins) {
      sim::ks::Frame f;
      while (client.TakeFrame(p, &f) == STATUS_SUCCESS) o.frames.push_back(Bytes(f));
    }
  }
  note("stop device", m.pnp().StopCard(*c));
  note("remove", m.pnp().RemoveCard(*c));
  m.pnp().UnloadDriver();
  o.trace.assign(card.trace().begin(), card.trace().end());
  o.end = m.now();
  return o;
}

void ExpectSame(const Observed &linux, const Observed &image) {
  EXPECT_EQ(linux.answers, image.answers);
  EXPECT_EQ(linux.end, image.end);
  ASSERT_GT(linux.trace.size(), 1000u);
  size_t n = std::min(linux.trace.size(), image.trace.size());
  for (size_t i = 0; i < n; ++i)
    if (!(linux.trace[i] == image.trace[i])) {
      ADD_FAILURE() << "the traces part at entry " << i << ": " << linux.trace[i].ToString()
                    << " (Linux build) against " << image.trace[i].ToString() << " (image)";
      break;
    }
  EXPECT_EQ(linux.trace.size(), image.trace.size());
  ASSERT_GT(linux.frames.size(), 40u);
  ASSERT_EQ(linux.frames.size(), image.frames.size());
  for (size_t i = 0; i < linux.frames.size(); ++i) {
    const auto &a = linux.frames[i];
    const auto &b = image.frames[i];
    size_t at = 0;
    while (at < std::min(a.size(), b.size()) && a[at] == b[at]) ++at;
    EXPECT_TRUE(a == b) << "frame " << i << " differs at byte " << at << " of " << a.size() << "/"
                        << b.size();
  }
}

class DriverImageTrace : public ::testing::TestWithParam<sim::Card::Variant> {};

TEST_P(DriverImageTrace, TheImageAndTheLinuxBuildLookTheSameToTheCardAndTheClient) {
  REQUIRE_WINDOWS_FILE(path, "driver/morvane.sys");
  Observed linux = RunScenario(sim::DriverCode{DriverEntry, nullptr, 0, nullptr}, GetParam());
  sim::image::TrapCounts before = sim::image::trapCounts();
  Observed image = RunScenario(sim::image::LoadDriverImage(path), GetParam());
  sim::image::TrapCounts after = sim::image::trapCounts();
  // The image really ran: its register accesses and barriers came through the traps.
  EXPECT_GT(after.registerReads - before.registerReads, 100u);
  EXPECT_GT(after.barriers - before.barriers, 10u);
  ExpectSame(linux, image);
}

INSTANTIATE_TEST_SUITE_P(BothVariants, DriverImageTrace,
                         ::testing::Values(sim::Card::Variant::Device6864,
                                           sim::Card::Variant::Standard),
                         [](const ::testing::TestParamInfo<sim::Card::Variant> &info) {
                           return info.param == sim::Card::Variant::Device6864 ? "6864"
                                                                               : "standard";
                         });

}  // namespace
