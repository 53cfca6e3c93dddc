// Non-paged pool with per-tag accounting, failure injection and the verifier's
// checks on frees and leaks.
#pragma once

#include <ntddk.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace sim {

class Machine;

class Pool {
 public:
  explicit Pool(Machine &machine) : machine_(machine) {}
  ~Pool();

  PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag);
  void Free(PVOID p, ULONG tag, bool checkTag);

  // Fail the Nth allocation from now (1 = the next one); 0 disables.
  void FailAllocation(uint64_t nth) { failAt_ = nth ? allocations_ + nth : 0; }
  uint64_t allocationCount() const { return allocations_; }

  size_t liveCount() const { return live_.size(); }
  size_t liveCount(ULONG tag) const;
  size_t liveBytes(ULONG tag) const;
  // "KCNw" etc.: the tag as the four characters it shows in a pool dump.
  static std::string TagName(ULONG tag);
  static ULONG TagFromName(const char name[4]);
  // Verifier stop listing what is still allocated, by tag.
  void CheckNoLeaks(const std::string &owner);

 private:
  struct Block {
    SIZE_T size;
    ULONG tag;
  };
  Machine &machine_;
  std::map<PVOID, Block> live_;
  std::set<PVOID> freed_;
  uint64_t allocations_ = 0;
  uint64_t failAt_ = 0;
};

}  // namespace sim
