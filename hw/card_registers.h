// The card's register block, named once: the offsets the driver programs, the emulated
// card serves and the tests read back. Offsets are bytes from the start of the 4 KiB
// block; every register is 32 bits wide. No dependencies, so kernel code can include it.
#pragma once

// ---- global registers
constexpr unsigned INT_STATUS = 0x00;       // events: bits 0-7 video, 8-15 audio; 24-31 errors
constexpr unsigned BUFFER_STATUS = 0x04;    // just completed: bank (c), field B (24 + c), block
constexpr unsigned CHANNEL_CONTROL = 0x08;  // channel bits 0-15, master enable bit 31
constexpr unsigned ERROR_STATUS_A = 0x0C;
constexpr unsigned ERROR_STATUS_B = 0x14;
constexpr unsigned RESET_CONTROL = 0x18;
constexpr unsigned CHANNEL_ENABLE = 0x28;  // channel bits 0-15
// Set at initialisation and read when an audio channel starts; no other use.
constexpr unsigned CARD_SETUP_2C = 0x2C;
constexpr unsigned CARD_SETUP_30 = 0x30;
constexpr unsigned CARD_SETUP_34 = 0x34;
constexpr unsigned AUDIO_BLOCK_LENGTH = 0xB0;  // bytes in bits 31-19, bits 10-0 kept
constexpr unsigned AUDIO_SAMPLE_CLOCK = 0xB4;  // 8,192,000,000,000 / samples per second
constexpr unsigned CHANNEL_ROUTING = 0xB8;     // bits 16 + 2c and 17 + 2c per video channel
constexpr unsigned SERIAL_IF = 0xBC;           // the two-wire bus lines
constexpr unsigned AUDIO_STATUS = 0xE0;        // read once after an audio channel is set up
constexpr unsigned CAPTURE_GEOMETRY = 0x104;   // the geometry of the channel set up last
constexpr unsigned BOARD_SETUP = 0x3EC;        // the board with both banks mapped: 2
constexpr unsigned DECODER_RESET = 0x3F4;      // the 0x6864 board: bits 15 and 1 pulsed

constexpr unsigned kMasterEnable = 0x80000000u;
constexpr unsigned kRegisterBlockSize = 0x1000;

// ---- per channel c (0-7)
// Pixel format in bits 20-22; the frame-rate logic in bits 28 and 29.
constexpr unsigned ChannelControlRegister(unsigned c) { return 0x40 + 4 * c; }
// The bus addresses of audio channel c's blocks A (0) and B (1).
constexpr unsigned AudioBlockRegister(unsigned c, unsigned block) {
  return 0x60 + 8 * c + 4 * block;
}
// Frames kept of 15: a bit pair per frame, bit 31 on.
constexpr unsigned FrameKeepRegister(unsigned c) { return 0xE4 + 4 * c; }
// Bit 31 set, lines per field in bits 30-16, width in 15-0.
constexpr unsigned CaptureGeometryRegister(unsigned c) { return 0x128 + 4 * c; }
// The DMA block: the field buffers' bus addresses (field A or B, bank 0 or 1) and each
// field's geometry (lines << 22 | bytes per line << 11 | bytes per line).
constexpr unsigned DmaBlock(unsigned c) { return 0x200 + 0x20 * c; }
constexpr unsigned DmaAddressRegister(unsigned c, unsigned fieldB, unsigned bank) {
  return DmaBlock(c) + 0x10 * fieldB + 0x08 * bank;
}
constexpr unsigned DmaGeometryRegister(unsigned c, unsigned fieldB) {
  return DmaBlock(c) + 0x04 + 0x10 * fieldB;
}

// ---- the decoders
// Two banks of 256 registers: bank 0 serves channels 0-3, bank 1 channels 4-7. Bank 0 is
// always in the block; bank 1 too, except on the 0x6864 board (there it is a chip on the
// two-wire bus, and its window in the block is plain storage).
constexpr unsigned kDecoderBankLength = 0x400;
constexpr unsigned DecoderBankBase(unsigned bank) { return bank == 0 ? 0x400 : 0x800; }
constexpr unsigned DecoderRegisterOffset(unsigned bank, unsigned r) {
  return DecoderBankBase(bank) + 4 * (r & 0xFF);
}
constexpr unsigned ChannelBank(unsigned c) { return c / 4; }
// Register n of channel c's block of 16 in its bank.
constexpr unsigned ChannelRegister(unsigned c, unsigned n) { return 0x10 * (c % 4) + n; }
constexpr unsigned DECODER_STATUS = 0;  // bit 0: a 625-line signal
constexpr unsigned DECODER_BRIGHTNESS = 1;
constexpr unsigned DECODER_CONTRAST = 2;
constexpr unsigned DECODER_SHARPNESS = 3;
constexpr unsigned DECODER_SATURATION = 4;  // and the next one, with the same value
constexpr unsigned DECODER_HUE = 6;
constexpr unsigned DECODER_MODE = 8;    // 0x14 for 525 lines, 0x18 for 625
constexpr unsigned DECODER_DELAY = 10;  // horizontal delay
// Bank-wide registers.
constexpr unsigned DECODER_SETUP_80 = 0x80;  // bank 0 only
constexpr unsigned DECODER_SETUP_83 = 0x83;  // bank 0 only
constexpr unsigned DECODER_SETUP_96 = 0x96;
// The scaler of channel c: three registers (i = 0-2), in the bank's scaler block, or on
// the external decoder three in a row per channel.
constexpr unsigned ScalerRegister(unsigned c, unsigned i, bool external) {
  return external ? 0xE4 + 3 * (c % 4) + i : 0x44 + 0x10 * (c % 4) + i;
}
// The audio setting of channel c in its bank.
constexpr unsigned DecoderAudioRegister(unsigned c) { return 0xD0 + c % 4; }
