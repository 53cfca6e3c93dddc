// The video decoders' register files. Each bank serves four channels with 256
// registers; register 0x10 * k is channel k's status, whose bit 0 follows the input
// (set while it carries a 625-line signal) and whose other bits hold what was written.
// The external decoder is the same register file reached over the two-wire bus.
#pragma once

#include <array>
#include <cstdint>

#include "card_registers.h"
#include "sim/card/serial_bus.h"

namespace sim {

constexpr unsigned kChannelsPerBank = 4;
constexpr unsigned kDecoderRegisters = 256;
constexpr uint32_t kStatus625Lines = 0x1;

// The channel (0-3 within the bank) whose status register r is, or -1.
constexpr int StatusRegisterChannel(unsigned r) {
  for (unsigned k = 0; k < kChannelsPerBank; ++k)
    if (r == ChannelRegister(k, DECODER_STATUS)) return static_cast<int>(k);
  return -1;
}

constexpr uint32_t WithStatusBit(uint32_t stored, bool lines625) {
  return (stored & ~kStatus625Lines) | (lines625 ? kStatus625Lines : 0);
}

class ExternalDecoder : public BusDevice {
 public:
  static constexpr uint8_t kBusAddress = 0x28;

  ExternalDecoder() { PowerUp(); }

  // Registers back to 0 (status bits still follow the inputs), pointer to 0.
  void PowerUp();

  uint8_t Register(uint8_t r) const { return regs_[r]; }
  // Stores a register as a bus write would, status bit included.
  void SetRegister(uint8_t r, uint8_t value);
  // Input k (0-3) carries a 625-line signal.
  void SetLines625(unsigned k, bool on);
  uint8_t pointer() const { return pointer_; }

  // ---- BusDevice
  uint8_t busAddress() const override { return kBusAddress; }
  void OnStart() override { expectPointer_ = true; }
  bool OnWrite(uint8_t byte) override;
  uint8_t OnRead() override { return regs_[pointer_++]; }

 private:
  std::array<uint8_t, kDecoderRegisters> regs_{};
  std::array<bool, kChannelsPerBank> lines625_{};
  uint8_t pointer_ = 0;         // wraps from 0xFF to 0x00
  bool expectPointer_ = false;  // the first byte written after the address sets it
};

}  // namespace sim
