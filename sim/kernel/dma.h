// Bus-master DMA: adapters, common buffers and the bus-address map through which
// the card reaches memory.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace sim {

class Machine;

class DmaSystem {
 public:
  explicit DmaSystem(Machine &machine);
  ~DmaSystem();

  PDMA_ADAPTER GetAdapter(PDEVICE_OBJECT pdo, const DEVICE_DESCRIPTION &description,
                          PULONG mapRegisters);

  // The card's side: every access must fall inside one live common buffer.
  void Write(uint64_t busAddress, const void *data, size_t length);
  void Read(uint64_t busAddress, void *data, size_t length);
  // Where a device write of `length` bytes at busAddress lands, for a device that builds
  // its data in place; the same checks as Write.
  uint8_t *WriteTarget(uint64_t busAddress, size_t length);
  bool IsLive(uint64_t busAddress, size_t length) const;
  // Whether the processor sees this address uncached: inside a common buffer allocated
  // with CacheEnabled FALSE (which only a platform that honours it gives).
  bool UncachedAt(const void *address);

  size_t liveAdapters() const;
  size_t liveAdapters(PDEVICE_OBJECT pdo) const;
  size_t liveCommonBuffers(PDEVICE_OBJECT pdo) const;
  size_t liveCommonBuffers() const { return buffers_.size(); }
  // Fail the Nth common-buffer allocation from now (1 = the next one); 0 disables.
  void FailCommonBufferAllocation(uint64_t nth) { failAt_ = nth ? allocations_ + nth : 0; }

  // Platform entry points (reached through DMA_OPERATIONS).
  static void NTAPI PutAdapter(PDMA_ADAPTER adapter);
  static PVOID NTAPI AllocateCommonBuffer(PDMA_ADAPTER adapter, ULONG length,
                                          PPHYSICAL_ADDRESS logical, BOOLEAN cacheEnabled);
  static void NTAPI FreeCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PHYSICAL_ADDRESS logical,
                                     PVOID virtualAddress, BOOLEAN cacheEnabled);

  struct Adapter;

 private:
  struct Buffer {
    uint64_t bus;
    size_t length;
    uint8_t *memory;
    Adapter *adapter;
    bool cacheEnabled;
  };
  const Buffer *Find(uint64_t busAddress, size_t length) const;
  // Bus address space below 4 GiB, first fit; freed ranges are reused.
  uint64_t TakeBusRange(uint64_t span);
  void GiveBusRange(uint64_t bus, uint64_t span);

  Machine &machine_;
  std::vector<std::unique_ptr<Adapter>> adapters_;
  std::map<uint64_t, Buffer> buffers_;             // by bus address
  std::map<uintptr_t, const Buffer *> byAddress_;  // the same, by where the processor sees them
  const Buffer *lastSeen_ = nullptr;               // copies come in runs from one buffer
  std::map<uint64_t, uint64_t> freeBus_;           // free bus ranges: start -> length
  uint64_t busCursor_ = 0;                         // where the next search starts
  uint64_t allocations_ = 0;
  uint64_t failAt_ = 0;
};

}  // namespace sim
