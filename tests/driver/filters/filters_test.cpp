// The sixteen filters a started card publishes, their pins' names by the Preview
// settings, and standard detection when a filter opens.
#include "support/client_rig.h"
#include "sim/kernel/dma.h"
#include "sim/ks/host.h"

namespace {

using sim::Card;
using suite::ClientRig;

struct Published {
  size_t video = 0, audio = 0;
  std::vector<GUID> pinNames;  // video channels 0-7
};

Published Publication(const ClientRig &b) {
  Published p;
  p.pinNames.resize(8);
  for (ULONG n = 0; n < 8; ++n) {
    sim::ks::DeviceInterface v = b.Filter(true, n);
    EXPECT_EQ(v.categories.size(), 3u);
    EXPECT_EQ(v.categories[0], KSCATEGORY_VIDEO);
    EXPECT_EQ(v.categories[1], KSCATEGORY_CAPTURE);
    EXPECT_EQ(v.categories[2], GUID_NULL);
    EXPECT_TRUE(v.cached);
    EXPECT_EQ(v.pins.size(), 1u);
    if (!v.pins.empty()) {
      p.pinNames[n] = v.pins[0].name;
      EXPECT_EQ(v.pins[0].category, PINNAME_VIDEO_CAPTURE);
    }
    sim::ks::DeviceInterface a = b.Filter(false, n);
    EXPECT_EQ(a.categories[0], KSCATEGORY_AUDIO);
  }
  p.video = b.client->Interfaces(KSCATEGORY_VIDEO).size();
  p.audio = b.client->Interfaces(KSCATEGORY_AUDIO).size();
  return p;
}

TEST(Filters, SixteenWithTheirReferenceGuidsAndCategories) {
  ClientRig b;
  Published p = Publication(b);
  EXPECT_EQ(p.video, 8u);
  EXPECT_EQ(p.audio, 8u);
  EXPECT_EQ(b.client->Interfaces(KSCATEGORY_CAPTURE).size(), 16u);
  const GUID ch5 = {0x5A71FE40, 0x1D67, 0x1185, {0xBD, 0x0B, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
  EXPECT_EQ(b.Filter(true, 5).referenceGuid, ch5);
  const GUID audio3 = {
      0x407FAEB4, 0x5180, 0x446B, {0xB7, 0x6B, 0x62, 0xA5, 0xC3, 0x09, 0xB1, 0xC6}};
  EXPECT_EQ(b.Filter(false, 3).referenceGuid, audio3);
  for (const GUID &name : p.pinNames) EXPECT_EQ(name, PINNAME_VIDEO_CAPTURE);
  // A fresh installation gets every Preview value created as 0.
  for (int n = 0; n < 8; ++n) {
    auto v = b.m.registry().GetValue(b.SettingsKey(), "Preview" + std::to_string(n));
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(b.m.registry().GetDword(b.SettingsKey(), "Preview" + std::to_string(n)), 0u);
  }
}

TEST(Filters, PreviewSettingsNameTheVideoPinsAndARestartReplacesTheFilters) {
  ClientRig b(Card::Variant::Device6864, false);
  sim::Registry &r = b.m.registry();
  std::string key = b.SettingsKey();
  r.SetDword(key, "Preview1", 1);
  r.SetDword(key, "Preview2", 2);
  r.SetString(key, "Preview3", "preview, as a long string");
  r.SetValue(key, "Preview4", REG_BINARY, {1, 0, 0, 0});
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  Published p = Publication(b);
  EXPECT_EQ(p.pinNames[1], PINNAME_VIDEO_PREVIEW);
  EXPECT_EQ(p.pinNames[2], PINNAME_VIDEO_CAPTURE);
  EXPECT_EQ(r.GetDword(key, "Preview2"), 2u) << "a readable value stays as it is";
  EXPECT_EQ(p.pinNames[3], PINNAME_VIDEO_CAPTURE);
  EXPECT_EQ(r.GetValue(key, "Preview3")->type, static_cast<ULONG>(REG_DWORD))
      << "unreadable: replaced";
  EXPECT_EQ(r.GetDword(key, "Preview3"), 0u);
  EXPECT_EQ(p.pinNames[4], PINNAME_VIDEO_PREVIEW) << "the type is not examined";

  // The setting takes effect at the next start, which publishes sixteen filters again.
  r.SetDword(key, "Preview1", 0);
  r.SetDword(key, "Preview6", 1);
  ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  p = Publication(b);
  EXPECT_EQ(sim::ks::host::DeviceOf(sim::ks::DeviceFromFdo(b.c->fdo))->factories.size(), 16u)
      << "the earlier factories are replaced, not kept beside the new ones";
  EXPECT_EQ(p.video, 8u);
  EXPECT_EQ(p.audio, 8u);
  EXPECT_EQ(b.client->Interfaces(KSCATEGORY_CAPTURE).size(), 16u);
  EXPECT_EQ(p.pinNames[1], PINNAME_VIDEO_CAPTURE);
  EXPECT_EQ(p.pinNames[6], PINNAME_VIDEO_PREVIEW);
}

TEST(Filters, OpeningAFilterDetectsItsChannelsStandard) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    ClientRig b(v);
    b.card.SetInputSignal(5, {true, true});
    b.card.SetInputSignal(0, {true, true});
    sim::ks::Handle f = b.Open(true, 5);
    std::vector<std::vector<uint8_t>> ranges;
    ASSERT_EQ(b.client->PinDataRanges(f, 0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 4u);
    auto *first = reinterpret_cast<const KS_DATARANGE_VIDEO *>(ranges[0].data());
    EXPECT_EQ(first->ConfigCaps.InputSize.cy, 576) << "the 576-line set on a 625-line input";
    EXPECT_EQ(b.dev()->channelVideo[5].videoStandard, static_cast<ULONG>(KS_AnalogVideo_PAL_B));
    EXPECT_EQ(b.dev()->channelVideo[0].videoStandard, static_cast<ULONG>(KS_AnalogVideo_NTSC_M));
    sim::ks::Handle a = b.Open(false, 4);  // an audio filter refreshes video channel 0
    EXPECT_EQ(b.dev()->channelVideo[0].videoStandard, static_cast<ULONG>(KS_AnalogVideo_PAL_B));
    b.client->Close(a);
    b.client->Close(f);
  }
}

// The tenth of the sixteen factories cannot be made (its descriptor copy finds no pool):
// Start fails with that status, holds nothing and leaves none of the nine made before
// published (a card that did not start has no filters); the next Start makes all sixteen.
TEST(Filters, TheTenthFactoryFailing) {
  ClientRig b(Card::Variant::Standard, false);
  b.m.pool().FailAllocation(2 * 9 + 1);  // each factory takes a descriptor and a pin copy
  EXPECT_EQ(b.m.pnp().StartCard(*b.c), STATUS_NO_MEMORY);
  auto *device = sim::ks::host::DeviceOf(sim::ks::DeviceFromFdo(b.c->fdo));
  EXPECT_EQ(device->factories.size(), 0u);
  EXPECT_TRUE(b.client->Interfaces(KSCATEGORY_CAPTURE).empty());
  EXPECT_EQ(b.dev()->registers, nullptr);
  EXPECT_EQ(b.m.dma().liveAdapters(), 0u);
  EXPECT_EQ(b.m.liveMappings(&b.card), 0u);
  ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(device->factories.size(), 16u);
  EXPECT_EQ(b.client->Interfaces(KSCATEGORY_CAPTURE).size(), 16u);
}

// Two cards: each publishes its own ranges per channel, and one card's filter opening or
// start leaves the other's as they were.
TEST(Filters, EachCardKeepsItsOwnRanges) {
  ClientRig b;
  Card second(Card::Variant::Standard);
  sim::PnpManager::Card *c2 = nullptr;
  ASSERT_EQ(b.m.pnp().AddCard(&second, &c2), STATUS_SUCCESS);
  ASSERT_EQ(b.m.pnp().StartCard(*c2), STATUS_SUCCESS);
  auto open = [&](const std::string &instance, ULONG channel) {
    for (const auto &i : b.client->Interfaces(KSCATEGORY_VIDEO)) {
      if (i.referenceGuid != kVideoFilterReferenceGuids[channel] || i.deviceInstance != instance)
        continue;
      sim::ks::Handle h = 0;
      EXPECT_EQ(b.client->OpenFilter(i.symbolicLink, &h), STATUS_SUCCESS);
      return h;
    }
    ADD_FAILURE() << "no filter for " << instance;
    return sim::ks::Handle{0};
  };
  auto lines = [&](sim::ks::Handle f) {
    std::vector<std::vector<uint8_t>> ranges;
    EXPECT_EQ(b.client->PinDataRanges(f, 0, &ranges), STATUS_SUCCESS);
    return ranges.empty() ? 0
                          : reinterpret_cast<const KS_DATARANGE_VIDEO *>(ranges[0].data())
                                ->ConfigCaps.InputSize.cy;
  };
  b.card.SetInputSignal(2, {true, true});
  sim::ks::Handle first = open(b.c->instancePath, 2);
  ASSERT_EQ(lines(first), 576);
  sim::ks::Handle other = open(c2->instancePath, 2);  // a 525-line input on the second card
  EXPECT_EQ(lines(other), 480);
  EXPECT_EQ(lines(first), 576) << "the second card's detection is its own";
  ASSERT_EQ(b.m.pnp().StopCard(*c2), STATUS_SUCCESS);
  b.client->Close(other);
  ASSERT_EQ(b.m.pnp().StartCard(*c2), STATUS_SUCCESS);
  EXPECT_EQ(lines(first), 576) << "the second card's start resets only its own lists";
  b.client->Close(first);
  EXPECT_EQ(b.m.pnp().RemoveCard(*c2), STATUS_SUCCESS);
}

}  // namespace
