// The decoders as the card presents them: memory-mapped banks with live status bits,
// and the external decoder on the two-wire bus, driven here by hand on the wires.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "support/printers.h"

namespace sim {
namespace {

constexpr uint32_t kClock = Card::kSerialClock;
constexpr uint32_t kData = Card::kSerialData;
constexpr uint32_t kRelease = Card::kSerialRelease;

// A bus master on SERIAL_IF: every step reads the register, changes the line bits and
// writes it back, then lets `step` pass, as the driver does.
class Master {
 public:
  Master(Machine &machine, Card &card) : machine_(machine), card_(card) {}

  Nanos step = 20 * kMicrosecond;
  // The driver raises the first clock of a read straight after releasing data.
  bool waitAfterRelease = true;

  uint32_t Load() { return card_.MmioRead32(SERIAL_IF); }
  void Put(uint32_t value, bool wait = true) {
    card_.MmioWrite32(SERIAL_IF, value);
    if (wait) machine_.Spend(step);
  }
  void Idle() { Put((Load() & ~kRelease) | kClock | kData); }

  void Start() {
    uint32_t v = Load() | kClock;
    Put(v);
    Put(v = (v & ~kRelease) | kData);
    Put(v &= ~(kRelease | kData));
    Put(v & ~kClock);
  }
  // The driver's start raises the clock first, which after an acknowledge (data left
  // low) would make a stop; a repeated start raises data while the clock is low.
  void RepeatedStart() {
    uint32_t v = (Load() & ~kRelease) | kData;
    Put(v);
    Put(v |= kClock);
    Put(v &= ~kData);
    Put(v & ~kClock);
  }
  void Stop() {
    uint32_t v = Load() & ~(kRelease | kData);
    Put(v);
    Put(v |= kClock);
    Put((v & ~kRelease) | kData);
  }
  void WriteByte(uint8_t byte) {
    uint32_t v = Load();
    for (int bit = 7; bit >= 0; --bit) {
      v = (v & ~(kRelease | kData)) | ((byte >> bit & 1) ? kData : 0);
      Put(v);
      Put(v |= kClock);
      Put(v &= ~kClock);
    }
    Put((v & ~kRelease) | kData);
  }
  // Two clock pulses at most, the second only when the first saw no acknowledge.
  bool WaitAck() {
    uint32_t v = Load() | kRelease;
    Put(v, false);
    bool acked = false;
    for (int pulse = 0; pulse < 2 && !acked; ++pulse) {
      Put(v |= kClock);
      acked = (Load() & kData) == 0;
      Put(v &= ~kClock);
    }
    Put(v & ~kRelease);
    return acked;
  }
  // Eight bits and no ninth clock, as the driver reads.
  uint8_t ReadByte() {
    uint8_t byte = ReadBits();
    Put((Load() & ~(kRelease | kClock)) | kData);
    return byte;
  }
  // Eight bits and a ninth clock: acknowledged with data driven low, or released.
  uint8_t ReadByteAndAnswer(bool ack) {
    uint8_t byte = ReadBits();
    uint32_t v = Load() & ~kClock;
    v = ack ? v & ~(kRelease | kData) : v | kRelease;
    Put(v);
    Put(v |= kClock);
    Put(v &= ~kClock);
    Put(v & ~kRelease);
    return byte;
  }

  void WriteRegister(uint8_t r, uint8_t value) {
    Start();
    for (uint8_t byte : {uint8_t{0x50}, r, value}) {
      WriteByte(byte);
      WaitAck();
    }
    Stop();
  }
  uint8_t ReadRegister(uint8_t r) {
    Start();
    WriteByte(0x50);
    WaitAck();
    WriteByte(r);
    WaitAck();
    Stop();
    Start();
    WriteByte(0x51);
    WaitAck();
    uint8_t value = ReadByte();
    Stop();
    return value;
  }

 private:
  uint8_t ReadBits() {
    Put(Load() | kRelease, waitAfterRelease);
    uint32_t v = Load();
    uint8_t byte = 0;
    for (int bit = 7; bit >= 0; --bit) {
      Put(v |= kClock);
      if (Load() & kData) byte |= static_cast<uint8_t>(1u << bit);
      Put(v &= ~kClock);
    }
    return byte;
  }

  Machine &machine_;
  Card &card_;
};

std::vector<std::string> Transactions(const Card &card) {
  std::vector<std::string> texts;
  for (const BusTransaction &t : card.BusLog()) texts.push_back(t.ToString());
  return texts;
}

class SerialBusTest : public ::testing::Test {
 protected:
  SerialBusTest() : card_(Card::Variant::Device6864), master_(machine_, card_) {
    machine_.AttachPciDevice(&card_);
    master_.Idle();
    machine_.Spend(kMillisecond);
  }
  ~SerialBusTest() override { machine_.DetachPciDevice(&card_); }

  Machine machine_;
  Card card_;
  Master master_;
};

TEST_F(SerialBusTest, RegisterWritesStoreAtThePointerAndAdvanceIt) {
  master_.WriteRegister(0x18, 0xA7);
  ASSERT_EQ(card_.BusLog().size(), 1u);
  const BusTransaction &t = card_.BusLog()[0];
  EXPECT_EQ(t.ToString(), "S 50+ 18+ A7+ P");
  EXPECT_TRUE(t.complete());
  EXPECT_EQ(t.clocks, 3u * 9u);
  for (size_t i = 1; i < t.events.size(); ++i) EXPECT_LT(t.events[i - 1].time, t.events[i].time);
  EXPECT_EQ(card_.DecoderRegister(1, 0x18), 0xA7u);

  // One message, three data bytes: the pointer wraps, and status register 0 keeps
  // bit 0 for the (525-line) input.
  master_.Start();
  for (uint8_t byte : {0x50, 0xFE, 0x11, 0x22, 0x33}) {
    master_.WriteByte(byte);
    EXPECT_TRUE(master_.WaitAck());
  }
  master_.Stop();
  EXPECT_EQ(card_.DecoderRegister(1, 0xFE), 0x11u);
  EXPECT_EQ(card_.DecoderRegister(1, 0xFF), 0x22u);
  EXPECT_EQ(card_.DecoderRegister(1, 0x00), 0x32u);
  EXPECT_EQ(card_.DecoderRegister(1, 0x18), 0xA7u);
  EXPECT_TRUE(card_.BusTimingViolations().empty());
  // The memory window of bank 1 is not the external decoder's.
  EXPECT_EQ(card_.Peek(DecoderBankBase(1) + 4 * 0x18), 0u);
}

TEST_F(SerialBusTest, ReadsSendTheRegisterAtThePointer) {
  card_.SetDecoderRegister(1, 0x18, 0xA7);
  card_.SetDecoderRegister(1, 0x19, 0x5A);
  card_.SetDecoderRegister(1, 0x1A, 0x3C);
  EXPECT_EQ(master_.ReadRegister(0x18), 0xA7u);
  EXPECT_EQ(master_.ReadRegister(0x18), 0xA7u) << "the address phase sets the pointer again";
  EXPECT_EQ(master_.ReadRegister(0x19), 0x5Au);
  EXPECT_EQ(Transactions(card_),
            (std::vector<std::string>{"S 50+ 18+ P", "S 51+ A7- P", "S 50+ 18+ P", "S 51+ A7- P",
                                      "S 50+ 19+ P", "S 51+ 5A- P"}));
  EXPECT_EQ(card_.BusLog()[1].clocks, 9u + 8u) << "no ninth clock after the data byte";

  // Repeated start, and reading on while the master acknowledges.
  card_.ClearBusLog();
  master_.Start();
  master_.WriteByte(0x50);
  master_.WaitAck();
  master_.WriteByte(0x18);
  master_.WaitAck();
  master_.RepeatedStart();
  master_.WriteByte(0x51);
  EXPECT_TRUE(master_.WaitAck());
  EXPECT_EQ(master_.ReadByteAndAnswer(true), 0xA7u);
  EXPECT_EQ(master_.ReadByteAndAnswer(true), 0x5Au);
  EXPECT_EQ(master_.ReadByteAndAnswer(false), 0x3Cu);
  master_.Stop();
  EXPECT_EQ(Transactions(card_), std::vector<std::string>{"S 50+ 18+ S 51+ A7+ 5A+ 3C- P"});
  EXPECT_EQ(card_.DecoderRegister(1, 0x18), 0xA7u) << "reads change nothing";
  EXPECT_TRUE(card_.BusTimingViolations().empty());
}

TEST_F(SerialBusTest, AbsentOrOtherDevicesNeitherAcknowledgeNorDrive) {
  card_.SetExternalDecoderPresent(false);
  const Nanos t0 = machine_.now();
  master_.WriteRegister(0x18, 0xA7);
  EXPECT_EQ(machine_.now() - t0, (4 + 3 * (8 * 3 + 1 + 2 * 2 + 1) + 3) * master_.step);
  EXPECT_EQ(master_.ReadRegister(0x18), 0xFFu);
  // The second acknowledge pulse is not taken for a data bit.
  EXPECT_EQ(Transactions(card_),
            (std::vector<std::string>{"S 50- 18- A7- P", "S 50- 18- P", "S 51- FF- P"}));
  EXPECT_EQ(card_.BusLog()[0].clocks, 3u * 10u);
  EXPECT_EQ(card_.DecoderRegister(1, 0x18), 0u);

  card_.SetExternalDecoderPresent(true);
  card_.ClearBusLog();
  master_.Start();
  master_.WriteByte(0x52);  // a device at 0x29
  EXPECT_FALSE(master_.WaitAck());
  master_.WriteByte(0x18);
  EXPECT_FALSE(master_.WaitAck());
  master_.Stop();
  master_.WriteRegister(0x18, 0x3C);
  EXPECT_EQ(Transactions(card_), (std::vector<std::string>{"S 52- 18- P", "S 50+ 18+ 3C+ P"}));
  EXPECT_EQ(card_.DecoderRegister(1, 0x18), 0x3Cu);
  EXPECT_TRUE(card_.BusTimingViolations().empty());
}

TEST_F(SerialBusTest, OtherBitsAreStorageAndBitOneReadsTheLine) {
  card_.Poke(SERIAL_IF, 0xA5A4'0003);
  for (uint8_t r = 0x40; r < 0x48; ++r) {
    master_.WriteRegister(r, r);
    EXPECT_EQ(master_.ReadRegister(r), r);
  }
  EXPECT_EQ(card_.Peek(SERIAL_IF), 0xA5A4'0003u);

  // The device holds data low for its acknowledge although the card drives it high.
  master_.Start();
  master_.WriteByte(0x50);
  EXPECT_NE(card_.Writes(SERIAL_IF).back() & kData, 0u);
  EXPECT_EQ(master_.Load() & kData, 0u);
  EXPECT_EQ(master_.Load() & ~kData, 0xA5A4'0000u);
  master_.WaitAck();
  master_.Stop();
}

TEST_F(SerialBusTest, ResetCutsAnOpenTransactionShort) {
  master_.WriteRegister(0x30, 0x44);
  master_.Start();
  master_.WriteByte(0x50);
  master_.WaitAck();
  card_.Reset();
  ASSERT_EQ(card_.BusLog().size(), 2u);
  EXPECT_FALSE(card_.BusLog()[1].complete());
  EXPECT_EQ(card_.BusLog()[1].ToString(), "S 50+");
  EXPECT_EQ(card_.DecoderRegister(1, 0x30), 0u) << "the decoder powered up again";
  master_.Idle();
  machine_.Spend(kMillisecond);
  master_.WriteRegister(0x30, 0x44);
  EXPECT_EQ(card_.BusLog().back().ToString(), "S 50+ 30+ 44+ P");
  EXPECT_EQ(card_.DecoderRegister(1, 0x30), 0x44u);
}

// ---- timing

struct Step {
  bool clock;
  bool data;
  Nanos after;
};

constexpr Nanos T = 20 * kMicrosecond;

struct TimingCase {
  const char *rule;
  std::vector<Step> steps;  // from idle, back to idle
};

// A start, a bit of 1, a bit of 0 and (raising data last) a stop; each case makes one
// gap too short.
const TimingCase kTimingCases[] = {
    {"start hold",
     {{1, 0, 3000}, {0, 0, T}, {0, 1, T}, {1, 1, T}, {0, 1, T}, {0, 0, T}, {1, 0, T}}},
    {"data setup", {{1, 0, T}, {0, 0, T}, {0, 1, 200}, {1, 1, T}, {0, 1, T}, {0, 0, T}, {1, 0, T}}},
    {"clock high",
     {{1, 0, T}, {0, 0, T}, {0, 1, T}, {1, 1, 3000}, {0, 1, T}, {0, 0, T}, {1, 0, T}}},
    {"clock low",
     {{1, 0, T}, {0, 0, T}, {0, 1, T}, {1, 1, T}, {0, 1, 2000}, {0, 0, 2000}, {1, 0, T}}},
    {"stop setup",
     {{1, 0, T}, {0, 0, T}, {0, 1, T}, {1, 1, T}, {0, 1, T}, {0, 0, T}, {1, 0, 3000}}},
    {"bus free",
     {{1, 0, T},
      {0, 0, T},
      {0, 1, T},
      {1, 1, T},
      {0, 1, T},
      {0, 0, T},
      {1, 0, T},
      {1, 1, 4000},
      {1, 0, T},
      {0, 0, T},
      {1, 0, T}}},
    {"repeated start setup",
     {{1, 0, T}, {0, 0, T}, {0, 1, T}, {1, 1, 4000}, {1, 0, T}, {0, 0, T}, {1, 0, T}}},
};

TEST_F(SerialBusTest, EachStandardModeMinimumIsChecked) {
  for (const TimingCase &c : kTimingCases) {
    card_.ClearBusLog();
    for (const Step &s : c.steps) {
      card_.MmioWrite32(SERIAL_IF, (s.clock ? kClock : 0) | (s.data ? kData : 0));
      machine_.Spend(s.after);
    }
    card_.MmioWrite32(SERIAL_IF, kClock | kData);
    machine_.Spend(kMillisecond);
    ASSERT_EQ(card_.BusTimingViolations().size(), 1u) << c.rule;
    const std::string &text = card_.BusTimingViolations()[0];
    EXPECT_NE(text.find(std::string(": ") + c.rule + " "), std::string::npos) << text;
    EXPECT_FALSE(card_.BusLog().empty()) << c.rule << ": still decoded";
  }
}

// Releasing data onto a device's 1 and raising the clock in the same instant leaves
// the bit no setup time.
TEST_F(SerialBusTest, ReleasingOntoAOneRightBeforeTheClockIsFlagged) {
  master_.waitAfterRelease = false;
  card_.SetDecoderRegister(1, 0x21, 0x7F);
  card_.SetDecoderRegister(1, 0x22, 0x80);
  EXPECT_EQ(master_.ReadRegister(0x21), 0x7Fu);
  EXPECT_TRUE(card_.BusTimingViolations().empty()) << "the card drove 0 and the bit is 0";
  EXPECT_EQ(master_.ReadRegister(0x22), 0x80u);
  ASSERT_EQ(card_.BusTimingViolations().size(), 1u);
  EXPECT_NE(card_.BusTimingViolations()[0].find("data setup 0 ns"), std::string::npos)
      << card_.BusTimingViolations()[0];
}

// ---- status bits, both boards

class DecoderStatusTest : public ::testing::TestWithParam<Card::Variant> {
 protected:
  DecoderStatusTest() : card_(GetParam()), master_(machine_, card_) {
    machine_.AttachPciDevice(&card_);
    master_.Idle();
  }
  ~DecoderStatusTest() override { machine_.DetachPciDevice(&card_); }
  bool Six864() const { return GetParam() == Card::Variant::Device6864; }

  Machine machine_;
  Card card_;
  Master master_;
};

TEST_P(DecoderStatusTest, BitZeroFollowsA625LineInput) {
  for (unsigned c = 0; c < 8; ++c) EXPECT_EQ(card_.DecoderRegister(c / 4, 0x10 * (c % 4)), 0u);

  card_.SetInputSignal(1, {true, true});
  EXPECT_EQ(card_.MmioRead32(0x440), 1u);
  card_.MmioWrite32(0x440, 0xF0);
  card_.MmioWrite32(0x400, 0xF1);  // channel 0 carries 525 lines
  EXPECT_EQ(card_.MmioRead32(0x440), 0xF1u) << "bit 0 from the input, the rest as written";
  EXPECT_EQ(card_.MmioRead32(0x400), 0xF0u);
  card_.SetInputSignal(1, {false, true});
  EXPECT_EQ(card_.Peek(0x440), 0xF0u) << "no signal is not a 625-line signal";
  EXPECT_EQ(card_.inputSignal(1), (InputSignal{false, true}));

  // Only register 0 of each channel's block is a status.
  card_.SetInputSignal(0, {true, true});
  card_.MmioWrite32(0x404, 0x10);
  card_.MmioWrite32(0x500, 0x10);
  EXPECT_EQ(card_.Peek(0x404), 0x10u);
  EXPECT_EQ(card_.Peek(0x500), 0x10u);

  card_.SetInputSignal(5, {true, true});
  card_.MmioWrite32(0x840, 0xF0);
  EXPECT_EQ(card_.DecoderRegister(1, 0x10), Six864() ? 1u : 0xF1u);
  EXPECT_EQ(card_.Peek(0x840), Six864() ? 0xF0u : 0xF1u) << "plain storage on the 0x6864";
  if (Six864()) {
    card_.SetDecoderRegister(1, 0x10, 0x1E);
    EXPECT_EQ(master_.ReadRegister(0x10), 0x1Fu);
    card_.SetInputSignal(5, {true, false});
    EXPECT_EQ(master_.ReadRegister(0x10), 0x1Eu);
    card_.SetInputSignal(5, {true, true});
  }

  card_.Reset();
  EXPECT_EQ(card_.DecoderRegister(0, 0x00), 1u) << "the input outlives a card reset";
  EXPECT_EQ(card_.DecoderRegister(0, 0x10), 0u);
  EXPECT_EQ(card_.DecoderRegister(1, 0x10), 1u);
  EXPECT_EQ(card_.DecoderRegister(0, 0x01), 0u);
}

TEST_P(DecoderStatusTest, OnlyThe6864HasADeviceOnTheBus) {
  card_.SetDecoderRegister(1, 0x18, 0x5A);
  machine_.Spend(kMillisecond);
  EXPECT_EQ(master_.ReadRegister(0x18), Six864() ? 0x5Au : 0xFFu);
  EXPECT_EQ(card_.externalDecoderPresent(), Six864());
  EXPECT_EQ(card_.Peek(0x860), Six864() ? 0u : 0x5Au);
}

INSTANTIATE_TEST_SUITE_P(Variants, DecoderStatusTest,
                         ::testing::Values(Card::Variant::Device6864, Card::Variant::Standard),
                         [](const auto &info) { return ::testing::PrintToString(info.param); });

}  // namespace
}  // namespace sim
