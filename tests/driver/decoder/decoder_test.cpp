// The decoders as the card sees them: the two-wire bus on the wires, card
// initialisation, standard detection and the per-channel programming.
#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "decoder/decoder.h"
#include "driver/device/device_rig.h"
#include "sim/kernel/registry.h"
#include "video/formats.h"

namespace {

using sim::BusEvent;
using sim::Card;
using sim::CardTraceEntry;
using suite::DeviceRig;

std::string Describe(const sim::BusTransaction &t) {
  std::string s;
  for (const BusEvent &e : t.events) {
    if (e.kind == BusEvent::Start) s += "S ";
    if (e.kind == BusEvent::Stop) s += "P";
    if (e.kind == BusEvent::Byte) {
      char b[16];
      std::snprintf(b, sizeof b, "%02X%s ", e.value, e.acked ? "+" : "-");
      s += b;
    }
  }
  return s;
}

// Rising clock edges the driver produced on SERIAL_IF since trace entry `from`.
int ClockPulses(const Card &card, size_t from) {
  int pulses = 0;
  uint32_t last = 1;
  for (size_t i = from; i < card.trace().size(); ++i) {
    const CardTraceEntry &e = card.trace()[i];
    if (e.kind != CardTraceEntry::Kind::Write || e.offset != SERIAL_IF) continue;
    if ((e.value & 1) && !(last & 1)) ++pulses;
    last = e.value;
  }
  return pulses;
}

std::string Settings(const DeviceRig &b) {
  return "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\" + b.c->instancePath + "\\Device Parameters";
}

TEST(SerialBus, WriteAndReadOnTheWires) {
  DeviceRig b;
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  CCaptureDevice *d = b.dev();
  b.card.ClearBusLog();
  sim::Nanos t0 = b.m.now();
  DecoderWrite(d, ChannelBank(5), ChannelRegister(5, 8), 0x1234A7);
  sim::Nanos writeTook = b.m.now() - t0;
  ASSERT_EQ(b.card.BusLog().size(), 1u);
  EXPECT_EQ(Describe(b.card.BusLog()[0]), "S 50+ 18+ A7+ P");
  EXPECT_EQ(b.card.DecoderRegister(1, 0x18), 0xA7u) << "the low byte only";
  EXPECT_NEAR(writeTook / 1000.0, 1800, 120) << "about 1.8 ms of 20 us steps";

  b.card.ClearBusLog();
  size_t mark = b.card.trace().size();
  t0 = b.m.now();
  EXPECT_EQ(DecoderRead(d, 1, 0x18), 0xA7u);
  sim::Nanos readTook = b.m.now() - t0;
  // 115 half steps: start, two bytes with their acks and a stop; a fresh start (its own
  // four), the address, its ack, eight bits read, a stop.
  EXPECT_NEAR(readTook / 1000.0, 115 * 20, 10);
  ASSERT_EQ(b.card.BusLog().size(), 2u) << "a write phase and a fresh read phase";
  EXPECT_EQ(Describe(b.card.BusLog()[0]), "S 50+ 18+ P");
  EXPECT_EQ(Describe(b.card.BusLog()[1]), "S 51+ A7- P");
  // Two bytes with their ack clocks, a stop; the address with its ack, 8 data bits and
  // no ninth clock, a stop (each stop raises the clock once).
  EXPECT_EQ(ClockPulses(b.card, mark), (9 + 9 + 1) + (9 + 8 + 1));
  EXPECT_TRUE(b.card.BusTimingViolations().empty());
}

TEST(SerialBus, MemoryMappedBanksTakeOneRegisterWrite) {
  DeviceRig b(Card::Variant::Standard);
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  size_t writes = b.card.CountWrites(DecoderRegisterOffset(1, ChannelRegister(5, DECODER_MODE)));
  DecoderWrite(b.dev(), ChannelBank(5), ChannelRegister(5, 8), 0xFFFFFFF6);
  EXPECT_EQ(b.card.CountWrites(DecoderRegisterOffset(1, ChannelRegister(5, DECODER_MODE))),
            writes + 1);
  EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(1, ChannelRegister(5, DECODER_MODE))), 0xFFFFFFF6u)
      << "the whole 32-bit value";
  EXPECT_TRUE(b.card.BusLog().empty());
}

TEST(SerialBus, OtherSerialBitsSurviveAndAnAbsentDeviceReadsTheIdleLine) {
  DeviceRig b;
  b.card.Poke(SERIAL_IF, 0xA5A40000 | 0x3);
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  CCaptureDevice *d = b.dev();
  for (int i = 0; i < 5; ++i) {
    DecoderWrite(d, 1, 0x40 + i, i);
    DecoderRead(d, 1, 0x40 + i);
  }
  EXPECT_EQ(b.card.Peek(SERIAL_IF) & ~0x30003u, 0xA5A40000u & ~0x30003u);
  EXPECT_EQ(b.card.Peek(SERIAL_IF) & 0x30003u, 0x3u) << "idle: clock and data high, driven";

  sim::Nanos t0 = b.m.now();
  DecoderRead(d, 1, 0x40);
  sim::Nanos present = b.m.now() - t0;
  b.card.SetExternalDecoderPresent(false);
  t0 = b.m.now();
  EXPECT_EQ(DecoderRead(d, 1, 0x40), 0xFFu);
  sim::Nanos absent = b.m.now() - t0;
  EXPECT_NEAR((absent - present) / 1000.0, 3 * 40, 10) << "a second ack pulse per byte";
  DecoderWrite(d, 1, 0x40, 0x12);  // lost without notice
  EXPECT_TRUE(b.ok());
}

using Kind = CardTraceEntry::Kind;
using Op = std::tuple<Kind, uint32_t, uint32_t>;

// Register loads, stores and barriers from trace entry `from` on, SERIAL_IF's (and the
// barriers after its stores) left out; stores keep their values.
std::vector<Op> RegisterOps(const Card &card, size_t from) {
  std::vector<Op> ops;
  bool afterSerial = false;
  for (size_t i = from; i < card.trace().size(); ++i) {
    const CardTraceEntry &e = card.trace()[i];
    if (e.kind != Kind::Read && e.kind != Kind::Write && e.kind != Kind::Barrier) continue;
    bool serial = e.kind != Kind::Barrier && e.offset == SERIAL_IF;
    bool skip = serial || (e.kind == Kind::Barrier && afterSerial);
    afterSerial = serial && e.kind == Kind::Write;
    if (skip) continue;
    ops.emplace_back(e.kind, e.kind == Kind::Barrier ? 0 : e.offset,
                     e.kind == Kind::Write ? e.value : 0);
  }
  return ops;
}

// The card initialisation, step by step: `put` is a store with its barrier and, when
// asked, one read-back.
std::vector<Op> InitialisationOps(bool device6864) {
  std::vector<Op> ops = {{Kind::Read, INT_STATUS, 0}};  // Start's one read first
  auto put = [&](uint32_t offset, uint32_t value, bool readBack) {
    ops.emplace_back(Kind::Write, offset, value);
    ops.emplace_back(Kind::Barrier, 0, 0);
    if (readBack) ops.emplace_back(Kind::Read, offset, 0);
  };
  put(CHANNEL_CONTROL, 0, true);
  put(CHANNEL_ENABLE, 0, true);
  put(RESET_CONTROL, 1, true);  // the read-back after a 400 us wait
  put(RESET_CONTROL, 0xF, true);
  put(0x600, 0x3F, true);
  put(RESET_CONTROL, 1, true);
  put(RESET_CONTROL, 0xF, true);
  put(CHANNEL_CONTROL, 0, true);  // step 5
  put(CHANNEL_ENABLE, 0, true);
  put(0x34, 0x3EFE0FF0, true);
  put(0x30, 0x0004C4B6, true);
  put(0x2C, 0x00FF0004, false);
  const std::vector<uint32_t> mode = {0x420, 0x460, 0x4A0, 0x4E0, 0x820, 0x860, 0x8A0, 0x8E0};
  size_t mapped = device6864 ? 4 : 8;
  for (size_t c = 0; c < mapped; ++c) put(mode[c], 0x14, false);
  for (size_t c = 0; c < mapped; ++c) put(mode[c] + 8, 0x0E, false);
  put(0x658, 0xE7, false);
  if (device6864) {
    ops.emplace_back(Kind::Read, 0x3F4, 0);
    put(0x3F4, 0, false);  // bits 15-31 cleared (the register reads 0 at power-up)
    put(0x3F4, 0x8002, false);
    // The serial interface is set idle and driven for the bus writes (left out here);
    // then bank 0's mode and delay registers, and four of them read once.
    for (uint32_t offset : {0x420u, 0x460u, 0x4A0u, 0x4E0u, 0x520u, 0x560u, 0x5A0u, 0x5E0u})
      put(offset, 0x14, false);
    for (uint32_t offset : {0x428u, 0x468u, 0x4A8u, 0x4E8u}) put(offset, 0x0E, false);
    for (uint32_t offset : {0x420u, 0x428u, 0x460u, 0x468u})
      ops.emplace_back(Kind::Read, offset, 0);
  } else {
    put(0xA58, 0xE7, false);
    put(0x3EC, 2, false);
  }
  ops.emplace_back(Kind::Read, CHANNEL_ROUTING, 0);
  put(CHANNEL_ROUTING, 0x144D, true);
  return ops;
}

// Time from the store of `value` into RESET_CONTROL to the next access of the register.
sim::Nanos ResetWait(const Card &card, uint32_t value) {
  const auto &t = card.trace();
  for (size_t i = 0; i < t.size(); ++i) {
    if (t[i].kind != Kind::Write || t[i].offset != RESET_CONTROL || t[i].value != value) continue;
    for (size_t j = i + 1; j < t.size(); ++j)
      if (t[j].offset == RESET_CONTROL && t[j].kind == Kind::Read) return t[j].time - t[i].time;
  }
  return -1;
}

TEST(CardInit, TheWholeSequenceInOrderWithItsWaits) {
  for (Card::Variant v : {Card::Variant::Standard, Card::Variant::Device6864}) {
    bool device6864 = v == Card::Variant::Device6864;
    SCOPED_TRACE(device6864 ? "0x6864" : "standard");
    DeviceRig b(v);
    ASSERT_EQ(b.Start(), STATUS_SUCCESS);
    std::vector<Op> ops = RegisterOps(b.card, 0), want = InitialisationOps(device6864);
    EXPECT_EQ(ops, want);
    for (size_t i = 0; i < std::min(ops.size(), want.size()); ++i)
      if (ops[i] != want[i]) {
        ADD_FAILURE() << "first difference at " << i << ": offset " << std::hex
                      << std::get<1>(ops[i]) << " vs " << std::get<1>(want[i]);
        break;
      }
    // The two reset waits, on the board without bus time to hide them.
    EXPECT_GE(ResetWait(b.card, 1), 400 * sim::kMicrosecond);
    EXPECT_LT(ResetWait(b.card, 1), 402 * sim::kMicrosecond);
    EXPECT_GE(ResetWait(b.card, 0xF), 400 * sim::kMicrosecond);
    EXPECT_LT(ResetWait(b.card, 0xF), 402 * sim::kMicrosecond);
    if (!device6864) {
      EXPECT_TRUE(b.card.BusLog().empty());
      continue;
    }
    // The external decoder: 100 ms between the two stores of 0x3F4, then the bus
    // transactions in order, with a read after the first write and after 0xFA.
    std::vector<sim::Nanos> at;
    for (const CardTraceEntry &e : b.card.trace())
      if (e.kind == Kind::Write && e.offset == 0x3F4) at.push_back(e.time);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_GE(at[1] - at[0], 100 * sim::kMillisecond);
    EXPECT_LT(at[1] - at[0], 101 * sim::kMillisecond);
    std::vector<std::string> expected = {"S 50+ 61+ 02+ P", "S 50+ 61+ P", "S 51+ 02- P"};
    const std::pair<int, int> writes[] = {
        {0x9E, 0x73}, {0xCF, 0x80}, {0xDB, 0xC0}, {0xD0, 0x88}, {0xD1, 0x88}, {0xD2, 0x01},
        {0xD7, 0x32}, {0xCA, 0xAA}, {0xFA, 0x4A}, {0x6A, 0x0F}, {0x6B, 0x0F}, {0x6C, 0x0F},
        {0x60, 0x45}, {0x4B, 0x30}, {0x08, 0x14}, {0x18, 0x14}, {0x28, 0x14}, {0x38, 0x14},
        {0x0A, 0x0E}, {0x1A, 0x0E}, {0x2A, 0x0E}, {0x3A, 0x0E}, {0x02, 0x64}, {0x12, 0x64},
        {0x22, 0x64}, {0x32, 0x64}, {0x96, 0xE7}};
    for (auto [reg, value] : writes) {
      char text[32];
      std::snprintf(text, sizeof text, "S 50+ %02X+ %02X+ P", reg, value);
      expected.push_back(text);
      if (reg == 0xFA) {
        expected.push_back("S 50+ FA+ P");
        expected.push_back("S 51+ 4A- P");
      }
    }
    std::vector<std::string> got;
    for (const sim::BusTransaction &t : b.card.BusLog()) got.push_back(Describe(t));
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(b.card.BusTimingViolations().empty());
  }
}

// What the sequences leave in the decoders, as the card sees them.
TEST(CardInit, DecodersAfterInitialisation) {
  DeviceRig b;
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  for (ULONG c = 0; c < 4; ++c) {
    EXPECT_EQ(b.card.DecoderRegister(0, ChannelRegister(c, 8)), 0x14u);
    EXPECT_EQ(b.card.DecoderRegister(0, ChannelRegister(c, 10)), 0x0Eu);
    EXPECT_EQ(b.card.DecoderRegister(1, ChannelRegister(c, 8)), 0x14u);
    EXPECT_EQ(b.card.DecoderRegister(1, ChannelRegister(c, 10)), 0x0Eu);
    EXPECT_EQ(b.card.DecoderRegister(1, ChannelRegister(c, 2)), 0x64u) << "contrast 100";
  }
  EXPECT_EQ(b.card.DecoderRegister(1, 0x9E), 0x73u);
  EXPECT_EQ(b.card.DecoderRegister(1, 0x6C), 0x0Fu);
  EXPECT_EQ(b.card.DecoderRegister(1, 0x96), 0xE7u);
  EXPECT_EQ(b.card.DecoderRegister(0, 0x96), 0xE7u);
  EXPECT_EQ(b.card.Peek(DECODER_RESET) & 0x8002u, 0x8002u);
}

TEST(CardInit, AgainOnTheWayBackToD0) {
  DeviceRig b(Card::Variant::Standard);
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  // Back to D0 runs the initialisation again; D0 to D0 does not.
  size_t resets = b.card.CountWrites(RESET_CONTROL);
  b.m.pnp().SetCardPower(*b.c, PowerDeviceD0);
  EXPECT_EQ(b.card.CountWrites(RESET_CONTROL), resets);
  b.m.pnp().SetCardPower(*b.c, PowerDeviceD3);
  b.card.Poke(DecoderRegisterOffset(1, ChannelRegister(4, DECODER_MODE)), 0x99);
  b.m.pnp().SetCardPower(*b.c, PowerDeviceD0);
  EXPECT_EQ(b.card.CountWrites(RESET_CONTROL), resets + 4);
  EXPECT_EQ(b.card.Peek(DecoderRegisterOffset(1, ChannelRegister(4, DECODER_MODE))), 0x14u);
}

TEST(Standard, DetectionFollowsTheInputAndSwitchesTheRanges) {
  for (Card::Variant v : {Card::Variant::Device6864, Card::Variant::Standard}) {
    DeviceRig b(v);
    ASSERT_EQ(b.Start(), STATUS_SUCCESS);
    CCaptureDevice *d = b.dev();
    b.card.SetInputSignal(5, {true, true});
    b.card.SetInputSignal(1, {true, true});
    DetectChannelStandard(d, 5);
    DetectChannelStandard(d, 1);
    EXPECT_EQ(d->channelVideo[5].videoStandard, static_cast<ULONG>(KS_AnalogVideo_PAL_B));
    EXPECT_EQ(d->channelFormats[5][0], &kVideoRanges576[0].DataRange);
    EXPECT_EQ(d->channelFormats[1][3], &kVideoRanges576[3].DataRange);
    EXPECT_EQ(d->channelFormats[2][0], &kVideoRanges480[0].DataRange);
    b.card.SetInputSignal(5, {true, false});
    DetectChannelStandard(d, 5);
    EXPECT_EQ(d->channelVideo[5].videoStandard, static_cast<ULONG>(KS_AnalogVideo_NTSC_M));
    EXPECT_EQ(d->channelFormats[5][0], &kVideoRanges480[0].DataRange);
    size_t before = b.card.trace().size();
    DetectChannelStandard(d, 8);
    EXPECT_EQ(b.card.trace().size(), before);
    ASSERT_EQ(b.m.pnp().StopCard(*b.c), STATUS_SUCCESS);
    ASSERT_EQ(b.Start(), STATUS_SUCCESS);
    EXPECT_EQ(b.dev()->channelFormats[1][0], &kVideoRanges480[0].DataRange)
        << "start resets the lists";
  }
}

struct Programmed {
  uint32_t geometry, scaler0, scaler1, scaler2, reg8, reg10;
};

Programmed Configure(DeviceRig &b, ULONG c, ULONG width, ULONG height) {
  CCaptureDevice *d = b.dev();
  ConfigureChannelVideo(d, c, width, height);
  ULONG bank = ChannelBank(c);
  bool bus = bank == 1 && d->isDevice6864;
  // Where the decoders keep a channel's scaler: at 0x44 of its block in a mapped bank, three
  // registers per channel from 0xE4 on the external decoder.
  ULONG first = bus ? 0xE4 + 3 * (c % 4) : 0x44 + 0x10 * (c % 4);
  auto scaler = [&](ULONG i) { return b.card.DecoderRegister(bank, first + i); };
  return {b.card.Peek(CaptureGeometryRegister(c)),
          scaler(0),
          scaler(1),
          scaler(2),
          b.card.DecoderRegister(bank, ChannelRegister(c, 8)),
          b.card.DecoderRegister(bank, ChannelRegister(c, 10))};
}

TEST(ChannelVideo, WorkedSizesOnBothStandardsAndBothBanks) {
  DeviceRig b;
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  CCaptureDevice *d = b.dev();
  for (ULONG c : {2u, 6u}) {
    d->channelVideo[c].videoStandard = KS_AnalogVideo_NTSC_M;
    Programmed p = Configure(b, c, 720, 480);
    EXPECT_EQ(p.geometry, 0x80F002D0u);
    EXPECT_EQ(b.card.Peek(CAPTURE_GEOMETRY), 0x80F002D0u);
    EXPECT_EQ(p.scaler0, 0x00u);
    EXPECT_EQ(p.scaler1, 0x11u);
    EXPECT_EQ(p.scaler2, 0x00u);
    EXPECT_EQ(p.reg8, 0x14u);
    EXPECT_EQ(p.reg10, 15u) << "no HDELAY: the 525-line default";

    p = Configure(b, c, 360, 240);
    EXPECT_EQ(p.geometry, 0x80F00168u) << "240 lines are one field, not halved";
    EXPECT_EQ(p.scaler1, 0x12u);

    d->channelVideo[c].videoStandard = KS_AnalogVideo_PAL_B;
    p = Configure(b, c, 720, 576);
    EXPECT_EQ(p.geometry, 0x812002D0u);
    EXPECT_EQ(p.scaler0, 0x00u);
    EXPECT_EQ(p.scaler1, 0x11u);
    EXPECT_EQ(p.reg8, 0x18u);
    EXPECT_EQ(p.reg10, 10u);
  }
  EXPECT_EQ(b.m.connectedInterrupts(), 1u) << "configuring a channel connects the interrupt";
  EXPECT_EQ(b.card.Writes(CAPTURE_GEOMETRY).size(), 3u * 2u * 2u);
}

TEST(ChannelVideo, RegistrySettingsAreReadAtEachConfiguration) {
  DeviceRig b(Card::Variant::Standard);
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  CCaptureDevice *d = b.dev();
  sim::Registry &reg = b.m.registry();
  reg.SetDword(Settings(b), "HDELAY3", 20);
  reg.SetDword(Settings(b), "INTMODE3", 2);
  d->channelVideo[3].videoStandard = KS_AnalogVideo_PAL_B;
  EXPECT_EQ(Configure(b, 3, 720, 576).reg10, 20u) << "stored values win over the standard";
  EXPECT_EQ(d->intmode[3], 2u);

  reg.SetValue(Settings(b), "HDELAY3", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});  // too long
  reg.SetValue(Settings(b), "INTMODE3", REG_BINARY, {2, 0, 0, 0});             // type ignored
  EXPECT_EQ(Configure(b, 3, 720, 576).reg10, 10u);
  EXPECT_EQ(d->intmode[3], 2u);
  reg.DeleteValue(Settings(b), "INTMODE3");
  Configure(b, 3, 720, 576);
  EXPECT_EQ(d->intmode[3], 0u);
  EXPECT_EQ(reg.openHandles(), 0u) << "every key opened is closed";
}

TEST(ChannelVideo, SizesTheScalerCannotDivideByAreNeverProgrammed) {
  DeviceRig b(Card::Variant::Standard);
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  CCaptureDevice *d = b.dev();
  size_t geometryWrites = b.card.CountWrites(CaptureGeometryRegister(2));
  for (auto [w, h] : {std::pair{2048u, 480u},
                      {0u, 480u},
                      {0x10000u + 720, 480u},
                      {720u, 1024u},
                      {720u, 0u},
                      {0x102D0u, 240u}}) {
    ConfigureChannelVideo(d, 2, w, h);
  }
  EXPECT_EQ(b.card.CountWrites(CaptureGeometryRegister(2)), geometryWrites);
  size_t patterns = b.card.CountWrites(FrameKeepRegister(2));
  ProgramFrameRate(d, 2, 0);
  ProgramFrameRate(d, 2, -333667);
  EXPECT_EQ(b.card.CountWrites(FrameKeepRegister(2)), patterns);
  EXPECT_TRUE(b.ok());
}

// Frames per second are rounded to the nearest whole number, and no interval the pin
// accepts programs an empty pattern: the table follows the live status bit.
TEST(FrameRate, RoundedRatesAndNeverAnEmptyPattern) {
  DeviceRig b;
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  CCaptureDevice *d = b.dev();
  const ULONG keep = FrameKeepRegister(1);
  b.card.Poke(ChannelControlRegister(1), 0xFFFFFFFF);
  ProgramFrameRate(d, 1, 333667);
  EXPECT_EQ(b.card.Peek(keep), 0xBFFFFFFFu) << "29.97 frames per second keep every frame";
  EXPECT_EQ(b.card.Peek(ChannelControlRegister(1)), 0xCFFFFFFFu)
      << "bits 28 and 29 cleared, read back";
  EXPECT_EQ(b.card.Reads(ChannelControlRegister(1)).size(), 2u);
  const std::pair<LONGLONG, uint32_t> rates525[] = {
      {333333, 0xBFFFFFFF},    // 30
      {344828, 0x8FFFFFFF},    // 29.0: 14 of 15
      {357143, 0x8FFFFFFF},    // 28.0
      {666667, 0x83333333},    // 15.0: 7 of 15
      {689655, 0x83333333},    // 14.5 rounds to 15
      {4000000, 0x80000003},   // 2.5 rounds to 3: one of 15
      {5000001, 0x80000003},   // 1.99 rounds to 2
      {10010010, 0x80000003},  // the slowest published interval: not nothing
      {100000000, 0x80000003}};
  for (auto [interval, word] : rates525) {
    ProgramFrameRate(d, 1, interval);
    EXPECT_EQ(b.card.Peek(keep), word) << interval;
  }
  b.card.SetInputSignal(1, {true, true});
  const std::pair<LONGLONG, uint32_t> rates625[] = {
      {400000, 0xBFFFFFFF},     // 25
      {416667, 0x9FFFFFFE},     // 24: 14 of 15
      {10000000, 0x80000006},   // 1 frame per second keeps one frame in 15
      {30000000, 0x80000006}};  // 0.33 rounds to 0: still one in 15
  for (auto [interval, word] : rates625) {
    ProgramFrameRate(d, 1, interval);
    EXPECT_EQ(b.card.Peek(keep), word) << interval;
  }
  b.card.SetInputSignal(6, {true, true});
  ProgramFrameRate(d, 6, 400000);  // status over the bus
  EXPECT_EQ(b.card.Peek(FrameKeepRegister(6)), 0xBFFFFFFFu);
  b.card.SetInputSignal(6, {true, false});
  ProgramFrameRate(d, 6, 400000);
  EXPECT_EQ(b.card.Peek(FrameKeepRegister(6)), 0x8FF3FCFFu) << "25 on the 525-line table: 12 of 15";
}

TEST(PixelFormat, OnlyBits20To22Change) {
  DeviceRig b;
  ASSERT_EQ(b.Start(), STATUS_SUCCESS);
  b.card.Poke(ChannelControlRegister(4), 0xFFFFFFFF);
  SelectVideoFormat(b.dev(), 4, &KSDATAFORMAT_SUBTYPE_UYVY);
  EXPECT_EQ(b.card.Peek(ChannelControlRegister(4)), 0xFF8FFFFFu);
  SelectVideoFormat(b.dev(), 4, &KSDATAFORMAT_SUBTYPE_YUY2);
  EXPECT_EQ(b.card.Peek(ChannelControlRegister(4)), 0xFFEFFFFFu);
}

}  // namespace
