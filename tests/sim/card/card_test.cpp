#include "sim/card/card.h"

#include <gtest/gtest.h>

#include <vector>

#include "sim/kernel/machine.h"
#include "support/printers.h"

namespace sim {
namespace {

using Kind = CardTraceEntry::Kind;

// What the driver's interrupt routine makes of the three registers it reads.
uint32_t DecodeErrorSet(Card::Variant variant, uint32_t d, uint32_t e, uint32_t l) {
  if (variant == Card::Variant::Device6864) {
    if (e == 0 && l == 0 && (d >> 24) == 0) return 0;
    return ((e | e >> 16 | e >> 24) | d >> 24) & 0xFF;
  }
  if ((e >> 16) == 0 && (d >> 16) == 0) return 0;
  return ((e >> 16 | e >> 24 | l | l >> 8) | d >> 24) & 0xFF;
}

class CardTest : public ::testing::TestWithParam<Card::Variant> {
 protected:
  explicit CardTest(Card::Variant variant = Card::Variant::Standard,
                    const CardOptions &options = {})
      : card_(variant, options) {
    machine_.AttachPciDevice(&card_);
  }
  ~CardTest() override { machine_.DetachPciDevice(&card_); }

  // The driver's start: unmask the legacy interrupt with a read-modify-write.
  void UnmaskInterrupt() {
    const uint32_t command = card_.ConfigRead32(Card::kConfigCommandStatus);
    card_.ConfigWrite32(Card::kConfigCommandStatus, command & ~Card::kCommandInterruptDisable);
  }
  bool LineAsserted() { return machine_.IsInterruptLineAsserted(card_.vector()); }

  // The interrupt routine's reads, in its order.
  uint32_t ServiceErrors(Card::Variant variant) {
    const uint32_t d = card_.MmioRead32(INT_STATUS);
    const uint32_t e = card_.MmioRead32(ERROR_STATUS_A);
    const uint32_t l = card_.MmioRead32(ERROR_STATUS_B);
    return DecodeErrorSet(variant, d, e, l);
  }

  Machine machine_;
  Card card_;
};

TEST_F(CardTest, LineStaysQuietUntilTheDriverUnmasksIt) {
  card_.RaiseChannelEvents(0x1, 0);
  EXPECT_FALSE(LineAsserted());
  EXPECT_NE(card_.PeekConfig(Card::kConfigCommandStatus) & (1u << 19), 0u);  // pending shown
  UnmaskInterrupt();
  EXPECT_TRUE(LineAsserted());
}

TEST_F(CardTest, IntStatusClearsOnReadAndDrivesTheLineLevel) {
  UnmaskInterrupt();
  EXPECT_FALSE(LineAsserted());

  card_.RaiseChannelEvents(0x0000'0004, 0x0000'0001);
  card_.RaiseChannelEvents(0x0000'0100, 0x0000'0101);  // a second event before service
  EXPECT_TRUE(LineAsserted());

  EXPECT_EQ(card_.MmioRead32(INT_STATUS), 0x0000'0104u);  // both events, in one read
  EXPECT_FALSE(LineAsserted());
  EXPECT_EQ(card_.MmioRead32(INT_STATUS), 0u);
  // Buffer status keeps the latest engine value across reads.
  EXPECT_EQ(card_.MmioRead32(BUFFER_STATUS), 0x0000'0101u);
  EXPECT_EQ(card_.MmioRead32(BUFFER_STATUS), 0x0000'0101u);

  card_.RaiseChannelEvents(0x0000'0002, 0);
  EXPECT_TRUE(LineAsserted());
  // Reading anything else does not acknowledge the interrupt.
  card_.MmioRead32(BUFFER_STATUS);
  card_.MmioRead32(ERROR_STATUS_A);
  EXPECT_TRUE(LineAsserted());
}

// Asserting the line runs the service routine at once; its read of INT_STATUS must
// find the event and quieten the line from inside that call.
TEST_F(CardTest, ServiceRoutineSeesEachEventAndQuietensTheLine) {
  struct Service {
    Machine *machine;
    volatile ULONG *registers;
    std::vector<uint32_t> seen;
  };
  auto *registers =
      static_cast<volatile ULONG *>(machine_.MapIoSpace(card_.windowBase(), Card::kWindowLength));
  ASSERT_NE(registers, nullptr);
  Service service{&machine_, registers, {}};
  PKINTERRUPT interrupt = nullptr;
  auto routine = [](PKINTERRUPT, PVOID context) NTAPI -> BOOLEAN {
    auto *s = static_cast<Service *>(context);
    s->seen.push_back(s->machine->ReadRegister(s->registers + INT_STATUS / 4));
    return TRUE;
  };
  ASSERT_EQ(machine_.ConnectInterrupt(&interrupt, routine, &service, card_.vector(), 5, 5,
                                      LevelSensitive, FALSE),
            STATUS_SUCCESS);
  card_.RaiseChannelEvents(0x0000'0004, 0);
  UnmaskInterrupt();  // the event waiting behind Interrupt Disable is delivered now
  card_.RaiseChannelEvents(0x0000'0100, 0);
  EXPECT_EQ(service.seen, (std::vector<uint32_t>{0x0000'0004, 0x0000'0100}));
  EXPECT_FALSE(LineAsserted());
  machine_.DisconnectInterrupt(interrupt);
  machine_.UnmapIoSpace(const_cast<ULONG *>(registers), Card::kWindowLength);
}

TEST_F(CardTest, StatusRegistersIgnoreStores) {
  card_.RaiseChannelEvents(0x1, 0x55);
  card_.InjectErrorBits(0x10, 0x20, 0);
  for (uint32_t offset : {INT_STATUS, BUFFER_STATUS, ERROR_STATUS_A, ERROR_STATUS_B})
    card_.MmioWrite32(offset, 0xFFFF'FFFF);
  EXPECT_EQ(card_.Peek(INT_STATUS), 0x1u);
  EXPECT_EQ(card_.Peek(BUFFER_STATUS), 0x55u);
  EXPECT_EQ(card_.Peek(ERROR_STATUS_A), 0x10u);
  EXPECT_EQ(card_.Peek(ERROR_STATUS_B), 0x20u);
}

TEST_F(CardTest, PlainRegistersReadBackWhatWasWritten) {
  for (uint32_t offset :
       {CHANNEL_CONTROL, RESET_CONTROL, CHANNEL_ENABLE, 0x2Cu, 0xB8u, SERIAL_IF, 0x420u, 0xFFCu}) {
    card_.MmioWrite32(offset, 0xA5A5'0000 | offset);
    EXPECT_EQ(card_.MmioRead32(offset), 0xA5A5'0000 | offset) << std::hex << offset;
  }
  EXPECT_EQ(card_.Writes(RESET_CONTROL), std::vector<uint32_t>{0xA5A5'0018});
}

TEST_F(CardTest, ChannelRunsOnlyWithBothEnablesAndTheMasterBit) {
  std::vector<std::pair<uint32_t, uint32_t>> changes;
  card_.SetRunningChangeHook(
      [&](uint32_t before, uint32_t after) { changes.emplace_back(before, after); });
  card_.MmioWrite32(CHANNEL_ENABLE, 0x0104);   // video 2, audio 0
  card_.MmioWrite32(CHANNEL_CONTROL, 0x0104);  // no master enable yet
  EXPECT_FALSE(card_.IsChannelRunning(2));
  card_.MmioWrite32(CHANNEL_CONTROL, 0x8000'0104);
  EXPECT_TRUE(card_.IsChannelRunning(2));
  EXPECT_TRUE(card_.IsChannelRunning(8));
  EXPECT_FALSE(card_.IsChannelRunning(3));
  card_.MmioWrite32(CHANNEL_CONTROL, 0x8000'0104);  // no change, no notification
  card_.MmioWrite32(CHANNEL_ENABLE, 0x0100);        // video 2 taken out
  EXPECT_EQ(card_.RunningChannels(), 0x0100u);
  card_.Reset();
  EXPECT_EQ(card_.RunningChannels(), 0u);

  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {0, 0x0104}, {0x0104, 0x0100}, {0x0100, 0}};
  EXPECT_EQ(changes, expected);
}

// ---- error layouts, for both variants

class CardErrorTest : public CardTest {
 protected:
  CardErrorTest() : CardTest(GetParam()) {}
};

TEST_P(CardErrorTest, RaisedErrorDecodesToItsChannelAndClearsOnRead) {
  UnmaskInterrupt();
  for (unsigned n = 0; n < 8; ++n) {
    card_.RaiseChannelError(n);
    EXPECT_TRUE(LineAsserted());
    EXPECT_EQ(ServiceErrors(GetParam()), 1u << n) << "channel " << n;
    EXPECT_FALSE(LineAsserted());
    EXPECT_EQ(ServiceErrors(GetParam()), 0u);  // nothing left behind
  }
  card_.RaiseChannelError(1);
  card_.RaiseChannelError(6);
  EXPECT_EQ(ServiceErrors(GetParam()), 0x42u);
}

TEST_P(CardErrorTest, ErrorBitsOutsideTheVariantsLayoutDoNotCount) {
  if (GetParam() == Card::Variant::Device6864) {
    card_.InjectErrorBits(0x0000'FF00, 0x0000'00FF, 0);  // bits 8-15 of A, all of B
    EXPECT_EQ(ServiceErrors(GetParam()), 0u);
    card_.InjectErrorBits(0x0000'0001, 0, 0);
    EXPECT_EQ(ServiceErrors(GetParam()), 0x01u);
  } else {
    card_.InjectErrorBits(0x0000'0001, 0, 0);  // low half of A is not an error here
    EXPECT_EQ(ServiceErrors(GetParam()), 0u);
    card_.InjectErrorBits(0x0001'0000, 0x0000'0200, 0);
    EXPECT_EQ(ServiceErrors(GetParam()), 0x03u);
    EXPECT_EQ(ServiceErrors(GetParam()), 0u) << "both registers clear on read";
  }
  // Bits that do not count are cleared by the read all the same.
  EXPECT_EQ(card_.Peek(ERROR_STATUS_A), 0u);
  EXPECT_EQ(card_.Peek(ERROR_STATUS_B), 0u);
}

INSTANTIATE_TEST_SUITE_P(Variants, CardErrorTest,
                         ::testing::Values(Card::Variant::Device6864, Card::Variant::Standard),
                         [](const auto &info) { return ::testing::PrintToString(info.param); });

// ---- configuration space

TEST(CardConfigTest, IdentifiesEachVariant) {
  Card a(Card::Variant::Device6864);
  Card b(Card::Variant::Standard);
  EXPECT_EQ(a.ConfigRead32(0x00), 0x6864'4D56u);
  EXPECT_EQ(b.ConfigRead32(0x00), 0x7001'4D56u);
  EXPECT_EQ(a.ConfigRead32(0x08) >> 16, 0x0400u);   // multimedia, video
  EXPECT_EQ(a.ConfigRead32(0x3C) >> 8 & 0xFF, 1u);  // INTA#
}

TEST_F(CardTest, DriverReadModifyWritesClearOnlyTheirBit) {
  struct Case {
    uint32_t offset;
    uint32_t bit;
  };
  for (const Case c : {Case{0x50, 1u << 16}, Case{0x04, 1u << 10}, Case{0xAC, 1u << 31}}) {
    const uint32_t before = card_.ConfigRead32(c.offset);
    ASSERT_NE(before & c.bit, 0u) << std::hex << c.offset;
    ASSERT_NE(before & ~c.bit, 0u) << "no other bits to preserve at " << std::hex << c.offset;
    card_.ConfigWrite32(c.offset, before & ~c.bit);
    EXPECT_EQ(card_.ConfigRead32(c.offset), before & ~c.bit) << std::hex << c.offset;
  }
}

TEST_F(CardTest, ReadOnlyConfigFieldsIgnoreWrites) {
  const uint32_t id = card_.ConfigRead32(0x00);
  const uint32_t classRevision = card_.ConfigRead32(0x08);
  card_.ConfigWrite32(0x00, 0x1234'5678);
  card_.ConfigWrite32(0x08, 0);
  EXPECT_EQ(card_.ConfigRead32(0x00), id);
  EXPECT_EQ(card_.ConfigRead32(0x08), classRevision);

  // BAR 0 sizing: all ones reads back the 4 KiB window's mask.
  const uint32_t bar = card_.ConfigRead32(0x10);
  card_.ConfigWrite32(0x10, 0xFFFF'FFFF);
  EXPECT_EQ(card_.ConfigRead32(0x10), 0xFFFF'F000u);
  card_.ConfigWrite32(0x10, bar);
  EXPECT_EQ(card_.ConfigRead32(0x10), bar);
  EXPECT_EQ(bar, static_cast<uint32_t>(card_.windowBase()));
}

TEST_F(CardTest, AccessesOutsideTheLayoutAreFaults) {
  card_.MmioWrite32(0x28, 0x1234);
  EXPECT_EQ(card_.MmioRead32(0x2A), 0xFFFF'FFFFu);
  card_.MmioWrite32(0x26, 0xFFFF'FFFF);
  card_.MmioWrite32(0x1000, 1);
  EXPECT_EQ(card_.ConfigRead32(0x101), 0xFFFF'FFFFu);
  EXPECT_EQ(card_.Peek(0x28), 0x1234u);  // the neighbour is untouched
  ASSERT_EQ(card_.faults().size(), 4u);
  EXPECT_EQ(card_.faults()[2].offset, 0x1000u);
}

// ---- trace

TEST_F(CardTest, TraceRecordsAccessesInOrderWithTheirTime) {
  UnmaskInterrupt();
  card_.Clear();
  const Nanos t0 = machine_.now();
  card_.MmioWrite32(CHANNEL_ENABLE, 0x4);
  card_.OnBarrier();
  machine_.Spend(5 * kMicrosecond);
  const Nanos t1 = machine_.now();
  ASSERT_GT(t1, t0);
  card_.RaiseChannelEvents(0x4, 0x1);
  card_.MmioRead32(INT_STATUS);
  card_.MmioWrite32(CHANNEL_ENABLE, 0x0);

  const std::vector<CardTraceEntry> expected = {
      {t0, Kind::Write, CHANNEL_ENABLE, 0x4}, {t0, Kind::Barrier, 0, 0},
      {t1, Kind::Event, INT_STATUS, 0x4},     {t1, Kind::Line, 0, 1},
      {t1, Kind::Read, INT_STATUS, 0x4},      {t1, Kind::Line, 0, 0},
      {t1, Kind::Write, CHANNEL_ENABLE, 0x0},
  };
  EXPECT_EQ(std::vector<CardTraceEntry>(card_.trace().begin(), card_.trace().end()), expected);
  EXPECT_EQ(card_.Between(t0, t1).size(), 2u);
  EXPECT_EQ(card_.Writes(CHANNEL_ENABLE), (std::vector<uint32_t>{0x4, 0x0}));
  EXPECT_EQ(card_.CountReads(INT_STATUS), 1u);
  EXPECT_EQ(card_.CountBarriers(), 1u);

  // Peek and Poke stay out of the trace.
  card_.Poke(0x30, 7);
  EXPECT_EQ(card_.Peek(0x30), 7u);
  EXPECT_EQ(card_.trace().size(), expected.size());

  const std::string summary = card_.Summary();
  EXPECT_NE(summary.find("CHANNEL_ENABLE"), std::string::npos) << summary;
  EXPECT_NE(summary.find("1 reads, 2 writes, 1 barriers"), std::string::npos) << summary;
  card_.Clear();
  EXPECT_TRUE(card_.trace().empty());
  EXPECT_EQ(card_.Summary().find("CHANNEL_ENABLE"), std::string::npos);
}

TEST_F(CardTest, ConfigAccessesAndResetsAreTraced) {
  card_.Clear();
  const uint32_t value = card_.ConfigRead32(0x50);
  card_.ConfigWrite32(0x50, value & ~Card::kVendorControlGate);
  card_.Reset();
  EXPECT_EQ(card_.ConfigWrites(0x50), std::vector<uint32_t>{value & ~Card::kVendorControlGate});
  ASSERT_EQ(card_.trace().size(), 3u);
  EXPECT_EQ(card_.trace()[0].kind, Kind::ConfigRead);
  EXPECT_EQ(card_.trace()[2].kind, Kind::Reset);
  EXPECT_EQ(card_.PeekConfig(0x50), value);  // power-up value again
}

class CardBoundedTraceTest : public CardTest {
 protected:
  CardBoundedTraceTest() : CardTest(Card::Variant::Standard, CardOptions{.traceCapacity = 3}) {}
};

TEST_F(CardBoundedTraceTest, KeepsTheNewestEntries) {
  for (uint32_t v = 1; v <= 5; ++v) card_.MmioWrite32(0x2C, v);
  EXPECT_EQ(card_.Writes(0x2C), (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(card_.droppedTraceEntries(), 2u);
}

}  // namespace
}  // namespace sim
