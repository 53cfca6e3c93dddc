#include "sim/kernel/dma.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORVANE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define MORVANE_ASAN 1
#endif
#ifdef MORVANE_ASAN
#include <sanitizer/asan_interface.h>
#define MORVANE_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define MORVANE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define MORVANE_POISON(p, n) ((void)(p), (void)(n))
#define MORVANE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "sim/kernel/machine.h"
#include "sim/kernel/sync_annotations.h"

namespace sim {

struct DmaSystem::Adapter {
  DMA_ADAPTER pub;  // first: the driver's PDMA_ADAPTER points here
  DmaSystem *system;
  PDEVICE_OBJECT pdo;
  bool live;
  bool dma32;
  ULONG maximumLength;
};

namespace {

size_t Span(size_t length) { return (length + 4095) / 4096 * 4096; }

DMA_OPERATIONS MakeOperations() {
  DMA_OPERATIONS ops{};
  ops.Size = sizeof(DMA_OPERATIONS);
  ops.PutDmaAdapter = &DmaSystem::PutAdapter;
  ops.AllocateCommonBuffer = &DmaSystem::AllocateCommonBuffer;
  ops.FreeCommonBuffer = &DmaSystem::FreeCommonBuffer;
  return ops;
}

DMA_OPERATIONS g_operations = MakeOperations();

}  // namespace

namespace {
constexpr uint64_t kBusStart = 0x10000000;
constexpr uint64_t kBusEnd = 0x100000000ull;
constexpr uint64_t kGuard = 4096;  // a page between buffers catches DMA that runs over
}  // namespace

DmaSystem::DmaSystem(Machine &machine) : machine_(machine) {
  freeBus_[kBusStart] = kBusEnd - kBusStart;
}

// Next fit from where the last allocation ended: an address comes back into use only after
// the whole space has been gone through, so DMA a device still aims at a freed buffer finds
// nothing there instead of someone else's new buffer.
uint64_t DmaSystem::TakeBusRange(uint64_t span) {
  for (int pass = 0; pass < 2; ++pass) {
    for (auto it = freeBus_.begin(); it != freeBus_.end(); ++it) {
      uint64_t start = std::max(it->first, busCursor_);
      uint64_t end = it->first + it->second;
      if (start >= end || end - start < span) continue;
      uint64_t base = it->first;
      uint64_t length = it->second;
      freeBus_.erase(it);
      if (start > base) freeBus_[base] = start - base;
      if (start + span < base + length) freeBus_[start + span] = base + length - start - span;
      busCursor_ = start + span;
      return start;
    }
    busCursor_ = kBusStart;
  }
  return 0;
}

void DmaSystem::GiveBusRange(uint64_t bus, uint64_t span) {
  auto next = freeBus_.lower_bound(bus);
  if (next != freeBus_.end() && bus + span == next->first) {
    span += next->second;
    next = freeBus_.erase(next);
  }
  if (next != freeBus_.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second == bus) {
      previous->second += span;
      return;
    }
  }
  freeBus_[bus] = span;
}

DmaSystem::~DmaSystem() {
  for (auto &[bus, b] : buffers_) {
    MORVANE_UNPOISON(b.memory, Span(b.length));
    std::free(b.memory);
  }
}

PDMA_ADAPTER DmaSystem::GetAdapter(PDEVICE_OBJECT pdo, const DEVICE_DESCRIPTION &d,
                                   PULONG mapRegisters) {
  machine_.RequireIrql(PASSIVE_LEVEL, "IoGetDmaAdapter");
  if (d.Version > DEVICE_DESCRIPTION_VERSION2 || d.InterfaceType != PCIBus || !d.Master ||
      (d.Dma32BitAddresses == 0 && d.Dma64BitAddresses == 0))
    return nullptr;
  auto a = std::make_unique<Adapter>();
  a->pub.Version = 1;
  a->pub.Size = sizeof(DMA_ADAPTER);
  a->pub.DmaOperations = &g_operations;
  a->system = this;
  a->pdo = pdo;
  a->live = true;
  a->dma32 = d.Dma64BitAddresses == 0;
  a->maximumLength = d.MaximumLength;
  if (mapRegisters != nullptr) *mapRegisters = d.MaximumLength / 4096 + 1;
  adapters_.push_back(std::move(a));
  return &adapters_.back()->pub;
}

size_t DmaSystem::liveAdapters() const {
  size_t n = 0;
  for (const auto &a : adapters_) n += a->live;
  return n;
}

size_t DmaSystem::liveAdapters(PDEVICE_OBJECT pdo) const {
  size_t n = 0;
  for (const auto &a : adapters_) n += a->live && a->pdo == pdo;
  return n;
}

size_t DmaSystem::liveCommonBuffers(PDEVICE_OBJECT pdo) const {
  size_t n = 0;
  for (const auto &[bus, b] : buffers_) n += b.adapter->pdo == pdo;
  return n;
}

void NTAPI DmaSystem::PutAdapter(PDMA_ADAPTER adapter) {
  InSim inSim;
  Machine &m = Machine::Current();
  m.RequireIrql(PASSIVE_LEVEL, "PutDmaAdapter");
  auto *a = reinterpret_cast<Adapter *>(adapter);
  DmaSystem &sys = m.dma();
  bool known = false;
  for (const auto &p : sys.adapters_) known |= p.get() == a;
  if (!known || !a->live)
    m.verifier().Stop(Rule::InvalidParameter, "PutDmaAdapter of an adapter that is not live");
  for (const auto &[bus, b] : sys.buffers_)
    if (b.adapter == a)
      m.verifier().Stop(Rule::ResourceLeak, "PutDmaAdapter with common buffers still allocated");
  a->live = false;
}

namespace {

// Freed common buffers are kept for the next allocation of the same span (in this machine
// or the next one): a scenario run over many seeds, or a fuzz target starting a card per
// input, would otherwise spend its time faulting fresh pages in. Kept memory is poisoned for
// AddressSanitizer, so the processor touching a freed common buffer is still caught (and so
// is the slack between a buffer's length and its span); under ThreadSanitizer it goes back
// to the allocator, whose reuse resets what that sanitizer remembers about it.

constexpr size_t kKeptBytes = 64u << 20;
// Freed at exit, so the leak checker that runs after static destruction finds nothing.
struct KeptMemory {
  std::multimap<uint64_t, void *> bySpan;
  ~KeptMemory() {
    for (auto &[span, p] : bySpan) {
      MORVANE_UNPOISON(p, span);
      std::free(p);
    }
  }
};
KeptMemory g_keptMemory;
std::multimap<uint64_t, void *> &g_kept = g_keptMemory.bySpan;
size_t g_keptBytes = 0;

void *TakeMemory(uint64_t span) {
  auto it = g_kept.find(span);
  if (it == g_kept.end()) return std::aligned_alloc(4096, span);
  void *p = it->second;
  g_kept.erase(it);
  g_keptBytes -= span;
  MORVANE_UNPOISON(p, span);
  return p;
}

void GiveMemory(void *p, uint64_t span) {
#if defined(MORVANE_TSAN_FIBERS)
  const bool keep = false;
#else
  const bool keep = g_keptBytes + span <= kKeptBytes;
#endif
  if (!keep) {
    MORVANE_UNPOISON(p, span);
    std::free(p);
    return;
  }
  MORVANE_POISON(p, span);
  g_kept.emplace(span, p);
  g_keptBytes += span;
}

}  // namespace

PVOID NTAPI DmaSystem::AllocateCommonBuffer(PDMA_ADAPTER adapter, ULONG length,
                                            PPHYSICAL_ADDRESS logical, BOOLEAN cacheEnabled) {
  InSim inSim;
  Machine &m = Machine::Current();
  m.RequireIrql(PASSIVE_LEVEL, __func__);
  auto *a = reinterpret_cast<Adapter *>(adapter);
  if (!a->live)
    m.verifier().Stop(Rule::InvalidParameter, std::string(__func__) + " on a released adapter");
  DmaSystem &sys = m.dma();
  ++sys.allocations_;
  if (sys.failAt_ != 0 && sys.allocations_ == sys.failAt_) {
    sys.failAt_ = 0;
    return nullptr;
  }
  if (m.faults().Fail(FaultPoint::CommonBuffer, inSim.callerIsDriver, length)) return nullptr;
  if (length == 0) return nullptr;
  uint64_t span = Span(length);
  uint64_t bus = sys.TakeBusRange(span + kGuard);
  if (bus == 0) return nullptr;  // no contiguous bus space left below 4 GiB
  auto *mem = static_cast<uint8_t *>(TakeMemory(span));
  if (mem == nullptr) {
    sys.GiveBusRange(bus, span + kGuard);
    return nullptr;
  }
  MORVANE_POISON(mem, span);
  MORVANE_UNPOISON(mem, length);
  std::memset(mem, 0x5A, length);  // common buffers are not zeroed
  Buffer &b = sys.buffers_[bus] = Buffer{bus, length, mem, a, cacheEnabled != FALSE};
  sys.byAddress_[reinterpret_cast<uintptr_t>(mem)] = &b;
  logical->QuadPart = static_cast<LONGLONG>(bus);
  return mem;
}

void NTAPI DmaSystem::FreeCommonBuffer(PDMA_ADAPTER adapter, ULONG length, PHYSICAL_ADDRESS logical,
                                       PVOID virtualAddress, BOOLEAN) {
  InSim inSim;
  Machine &m = Machine::Current();
  m.RequireIrql(PASSIVE_LEVEL, __func__);
  DmaSystem &sys = m.dma();
  auto it = sys.buffers_.find(static_cast<uint64_t>(logical.QuadPart));
  if (it == sys.buffers_.end() || it->second.memory != virtualAddress ||
      it->second.adapter != reinterpret_cast<Adapter *>(adapter))
    m.verifier().Stop(Rule::InvalidParameter,
                      std::string(__func__) + " of a buffer that was not allocated");
  if (it->second.length != length)
    m.verifier().Stop(Rule::InvalidParameter,
                      std::string(__func__) + " length " + std::to_string(length) +
                          " differs from the allocated " + std::to_string(it->second.length));
  m.CheckFreedRange(virtualAddress, length, "a common buffer");
  const uint64_t span = Span(it->second.length);
  GiveMemory(it->second.memory, span);
  sys.byAddress_.erase(reinterpret_cast<uintptr_t>(it->second.memory));
  if (sys.lastSeen_ == &it->second) sys.lastSeen_ = nullptr;
  sys.GiveBusRange(it->first, span + kGuard);
  sys.buffers_.erase(it);
}

const DmaSystem::Buffer *DmaSystem::Find(uint64_t bus, size_t length) const {
  auto it = buffers_.upper_bound(bus);
  if (it == buffers_.begin()) return nullptr;
  --it;
  const Buffer &b = it->second;
  if (bus < b.bus || bus + length > b.bus + b.length || bus + length < bus) return nullptr;
  return &b;
}

bool DmaSystem::IsLive(uint64_t bus, size_t length) const { return Find(bus, length) != nullptr; }

bool DmaSystem::UncachedAt(const void *address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  auto inside = [at](const Buffer *b) {
    const auto base = reinterpret_cast<uintptr_t>(b->memory);
    return at >= base && at < base + b->length;
  };
  if (lastSeen_ == nullptr || !inside(lastSeen_)) {
    lastSeen_ = nullptr;
    auto it = byAddress_.upper_bound(at);
    if (it == byAddress_.begin()) return false;
    --it;
    if (!inside(it->second)) return false;
    lastSeen_ = it->second;
  }
  return !lastSeen_->cacheEnabled;
}

uint8_t *DmaSystem::WriteTarget(uint64_t bus, size_t length) {
  const Buffer *b = Find(bus, length);
  if (b == nullptr)
    machine_.verifier().Stop(Rule::DmaOutsideBuffer, "device write of " + std::to_string(length) +
                                                         " bytes at bus address " +
                                                         std::to_string(bus) +
                                                         " outside a live common buffer");
  return b->memory + (bus - b->bus);
}

void DmaSystem::Write(uint64_t bus, const void *data, size_t length) {
  std::memcpy(WriteTarget(bus, length), data, length);
}

void DmaSystem::Read(uint64_t bus, void *data, size_t length) {
  const Buffer *b = Find(bus, length);
  if (b == nullptr)
    machine_.verifier().Stop(Rule::DmaOutsideBuffer,
                             "device read of " + std::to_string(length) + " bytes at bus address " +
                                 std::to_string(bus) + " outside a live common buffer");
  std::memcpy(data, b->memory + (bus - b->bus), length);
}

}  // namespace sim
