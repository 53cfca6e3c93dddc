#include "sim/card/decoder.h"

namespace sim {

void ExternalDecoder::PowerUp() {
  regs_.fill(0);
  for (unsigned k = 0; k < kChannelsPerBank; ++k) SetLines625(k, lines625_[k]);
  pointer_ = 0;
  expectPointer_ = false;
}

void ExternalDecoder::SetRegister(uint8_t r, uint8_t value) {
  const int k = StatusRegisterChannel(r);
  regs_[r] = k < 0 ? value : static_cast<uint8_t>(WithStatusBit(value, lines625_[k]));
}

void ExternalDecoder::SetLines625(unsigned k, bool on) {
  lines625_[k] = on;
  const uint8_t r = static_cast<uint8_t>(ChannelRegister(k, DECODER_STATUS));
  regs_[r] = static_cast<uint8_t>(WithStatusBit(regs_[r], on));
}

bool ExternalDecoder::OnWrite(uint8_t byte) {
  if (expectPointer_) {
    pointer_ = byte;
    expectPointer_ = false;
  } else {
    SetRegister(pointer_++, byte);
  }
  return true;
}

}  // namespace sim
