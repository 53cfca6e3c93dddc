// The PnP manager's sequences through the class driver, as the minidriver hears them: a
// rebalance and its refusal, what a stop does to the factories and their interfaces, an
// orderly removal and its veto, a surprise removal that waits for the last handle, and the
// card's power states as the bus driver sets them.
#include <gtest/gtest.h>

#include <algorithm>

#include "sim/kernel/dma.h"
#include "sim/kernel/pool.h"
#include "sim/ks/device.h"
#include "support/verifier_expect.h"
#include "tests/sim/ks/test_minidriver.h"

namespace {

using sim::ks::Handle;
using testmini::Rig;

std::vector<std::string> &Log() { return testmini::log(); }

std::vector<std::string> Since(size_t from) {
  return std::vector<std::string>(Log().begin() + static_cast<std::ptrdiff_t>(from), Log().end());
}

TEST(PnpSequences, AStopFollowsOnlyAnAgreedQueryAndARefusalIsCancelled) {
  Rig b;
  testmini::config().queryStop = STATUS_DEVICE_NOT_READY;
  size_t from = Log().size();
  EXPECT_EQ(b.m.pnp().StopCard(*b.c), STATUS_DEVICE_NOT_READY);
  EXPECT_EQ(Since(from), (std::vector<std::string>{"query-stop", "cancel-stop"}));
  EXPECT_TRUE(sim::ks::DeviceFromFdo(b.c->fdo)->Started);

  testmini::config().queryStop = STATUS_SUCCESS;
  from = Log().size();
  EXPECT_EQ(b.m.pnp().RebalanceCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(Since(from).front(), "query-stop");
  EXPECT_NE(std::find(Log().begin(), Log().end(), "stop"), Log().end());
  EXPECT_TRUE(sim::ks::DeviceFromFdo(b.c->fdo)->Started);
  EXPECT_NE(b.card.windowBase(), 0xF7E00000u) << "the rebalance moved the register window";
}

TEST(PnpSequences, AStopKeepsTheInterfacesOfFactoriesThatOutliveIt) {
  for (bool freeOnStop : {false, true}) {
    Rig b(false);
    testmini::config().freeOnStop = freeOnStop;
    testmini::config().keepFactoryAtStop = !freeOnStop;
    ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
    std::string link = b.Link();
    size_t published = b.client->AllInterfaces().size();
    Handle f = b.Open();
    ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
    // A factory made with KSCREATE_ITEM_FREEONSTOP goes with the stop; one without stays
    // published, and its filters can still be opened (the minidriver decides).
    Handle g = 0;
    EXPECT_EQ(b.client->OpenFilter(link, &g),
              freeOnStop ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_SUCCESS);
    EXPECT_EQ(b.client->AllInterfaces().empty(), freeOnStop);
    // A filter open across the stop keeps its factory and works.
    ULONG count = 0;
    EXPECT_EQ(b.client->PinCount(f, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    if (g != 0) b.client->Close(g);
    b.client->Close(f);
    ASSERT_EQ(b.m.pnp().StartCard(*b.c), STATUS_SUCCESS);
    EXPECT_EQ(b.client->AllInterfaces().size(), published);
  }
}

TEST(PnpSequences, AnOrderlyRemovalAsksAndCanBeRefused) {
  Rig b;
  testmini::config().queryRemove = STATUS_DEVICE_NOT_READY;
  size_t from = Log().size();
  EXPECT_EQ(b.m.pnp().RemoveCard(*b.c), STATUS_PLUGPLAY_QUERY_VETOED);
  EXPECT_EQ(b.m.pnp().lastVeto(), "PNP_VetoDevice");
  EXPECT_EQ(Since(from), (std::vector<std::string>{"query-remove", "cancel-remove"}));
  testmini::config().queryRemove = STATUS_SUCCESS;
  EXPECT_TRUE(b.Remove());
  EXPECT_TRUE(b.c->removed);
}

TEST(PnpSequences, ASurpriseRemovalWaitsForTheLastHandleAndWithdrawsTheInterfaces) {
  Rig b;
  Handle f = b.Open();
  Handle p = b.Pin(f);
  ASSERT_EQ(b.client->SetState(p, KSSTATE_RUN), STATUS_SUCCESS);
  std::string link = b.Link();
  size_t from = Log().size();
  ASSERT_EQ(b.m.pnp().SurpriseRemoveCard(*b.c), STATUS_SUCCESS);
  EXPECT_EQ(Since(from), (std::vector<std::string>{"surprise-removal"}));
  EXPECT_FALSE(b.card.present());
  EXPECT_TRUE(b.client->AllInterfaces().empty()) << "no new handle reaches the device";
  Handle g = 0;
  EXPECT_EQ(b.client->OpenFilter(link, &g), STATUS_OBJECT_NAME_NOT_FOUND);
  // Its handles stay usable until their holders close them; then the removal completes
  // (from a worker, as the platform does it).
  EXPECT_FALSE(b.c->removed);
  EXPECT_EQ(b.client->SetState(p, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(b.client->Close(p), STATUS_SUCCESS);
  b.m.RunPending();
  EXPECT_FALSE(b.c->removed) << "the filter's handle is still open";
  EXPECT_EQ(b.client->Close(f), STATUS_SUCCESS);
  b.m.RunPending();
  EXPECT_TRUE(b.c->removed);
  EXPECT_NE(std::find(Log().begin(), Log().end(), "remove"), Log().end());
  EXPECT_TRUE(b.Remove()) << "nothing left once the driver unloads";
}

TEST(PnpSequences, TheBusDriverTakesTheCardToD3AndBackInItsPowerUpState) {
  Rig b;
  sim::Card &card = b.card;
  uint32_t command = card.PeekConfig(0x04) & 0xFFFF;
  card.Poke(0x2C, 0x1234);
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(card.pciPowerState(), 3u);
  EXPECT_FALSE(card.Decodes());
  EXPECT_EQ(card.MmioRead32(0x2C), 0xFFFFFFFFu) << "a card in D3 reads all ones";
  card.MmioWrite32(0x2C, 0x5678);
  ASSERT_EQ(b.m.pnp().SetCardPower(*b.c, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(card.pciPowerState(), 0u);
  EXPECT_EQ(card.Peek(0x2C), 0u) << "back from D3 in its power-up state";
  EXPECT_EQ(card.PeekConfig(0x04) & 0xFFFF, command) << "the header as the bus driver kept it";
  EXPECT_EQ(card.PeekConfig(0x10), static_cast<uint32_t>(card.windowBase()));
}

// A minidriver that sends a PnP request must preset its status; a surprise-removed card
// answers its configuration space with all ones.
TEST(PnpSequences, AGoneCardAnswersNothing) {
  Rig b;
  b.m.pnp().SurpriseRemoveCard(*b.c);
  EXPECT_EQ(b.card.ConfigRead32(0), 0xFFFFFFFFu);
  EXPECT_EQ(b.card.MmioRead32(0), 0xFFFFFFFFu);
  b.m.RunPending();
  EXPECT_TRUE(b.c->removed) << "no handle was open: removed at once";
}

}  // namespace
