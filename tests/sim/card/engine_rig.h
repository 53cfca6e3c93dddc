// A card on a machine, driven through its registers with DMA buffers of our own: the
// capture engines without the driver.
#pragma once

#include <gtest/gtest.h>
#include <ntddk.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/machine.h"

namespace sim::test {

class EngineRig {
 public:
  struct Buffer {
    uint8_t *host = nullptr;
    uint32_t bus = 0;
    ULONG length = 0;
  };

  explicit EngineRig(Card::Variant variant = Card::Variant::Standard) : card(variant) {
    m.AttachPciDevice(&card);
    DEVICE_DESCRIPTION d{};
    d.Version = DEVICE_DESCRIPTION_VERSION;
    d.Master = TRUE;
    d.Dma32BitAddresses = TRUE;
    d.InterfaceType = PCIBus;
    d.DmaWidth = Width32Bits;
    d.MaximumLength = 0x2000000;
    ULONG mapRegisters = 0;
    adapter = IoGetDmaAdapter(nullptr, &d, &mapRegisters);
    card.SetCompletionObserver([this](const Card::Completion &c) { completions.push_back(c); });
  }
  ~EngineRig() {
    if (m.verifier().stopped()) return;
    for (const Buffer &b : buffers_) {
      PHYSICAL_ADDRESS logical;
      logical.QuadPart = b.bus;
      adapter->DmaOperations->FreeCommonBuffer(adapter, b.length, logical, b.host, FALSE);
    }
    adapter->DmaOperations->PutDmaAdapter(adapter);
  }

  Buffer Allocate(ULONG length) {
    PHYSICAL_ADDRESS logical;
    void *host = adapter->DmaOperations->AllocateCommonBuffer(adapter, length, &logical, FALSE);
    EXPECT_NE(host, nullptr);
    Buffer b{static_cast<uint8_t *>(host), static_cast<uint32_t>(logical.QuadPart), length};
    std::memset(b.host, 0xEE, length);  // anything the card writes shows
    buffers_.push_back(b);
    return b;
  }

  // Channel c's four field buffers (A0, A1, B0, B1) and geometry, as the driver programs them.
  std::vector<Buffer> ProgramVideo(unsigned c, uint32_t formatCode, unsigned width, unsigned lines,
                                   unsigned bytesPerLine, ULONG bufferLength = 414720) {
    std::vector<Buffer> fields;
    for (unsigned i = 0; i < 4; ++i) {
      fields.push_back(Allocate(bufferLength));
      card.Poke(DmaAddressRegister(c, i / 2, i % 2), fields.back().bus);
    }
    const uint32_t geometry = lines << 22 | (bytesPerLine & 0x7FF) << 11 | (bytesPerLine & 0x7FF);
    card.Poke(DmaGeometryRegister(c, 0), geometry);
    card.Poke(DmaGeometryRegister(c, 1), geometry);
    card.Poke(CaptureGeometryRegister(c), 0x80000000u | lines << 16 | width);
    card.Poke(ChannelControlRegister(c), formatCode << 20);
    return fields;
  }
  // Channel c's two audio blocks and the shared block length and sample clock.
  std::vector<Buffer> ProgramAudio(unsigned c, uint32_t clockDivisor, uint32_t blockBytes = 4096) {
    std::vector<Buffer> blocks = {Allocate(4096), Allocate(4096)};
    card.Poke(AudioBlockRegister(c, 0), blocks[0].bus);
    card.Poke(AudioBlockRegister(c, 1), blocks[1].bus);
    card.Poke(AUDIO_BLOCK_LENGTH, blockBytes << 19);
    card.Poke(AUDIO_SAMPLE_CLOCK, clockDivisor);
    return blocks;
  }

  void Start(unsigned bit) {
    card.Poke(CHANNEL_ENABLE, card.Peek(CHANNEL_ENABLE) | 1u << bit);
    card.Poke(CHANNEL_CONTROL, card.Peek(CHANNEL_CONTROL) | 1u << bit | kMasterEnable);
  }
  void Stop(unsigned bit) {
    card.Poke(CHANNEL_ENABLE, card.Peek(CHANNEL_ENABLE) & ~(1u << bit));
    card.Poke(CHANNEL_CONTROL, card.Peek(CHANNEL_CONTROL) & ~(1u << bit));
  }

  std::vector<Card::Completion> Of(unsigned bit) const {
    std::vector<Card::Completion> out;
    for (const auto &c : completions)
      if (c.channelBit == bit) out.push_back(c);
    return out;
  }

  Machine m;
  Card card;
  PDMA_ADAPTER adapter = nullptr;
  std::vector<Card::Completion> completions;

 private:
  std::vector<Buffer> buffers_;
};

// Audio sample clock values the driver programs: 8,192,000,000,000 / rate.
constexpr uint32_t kClock44100 = 185'759'637;
constexpr uint32_t kClock48000 = 170'666'666;
constexpr uint32_t kClock8000 = 1'024'000'000;

}  // namespace sim::test
