// Low resources, as the platform's verifier simulates them: the services a driver calls
// to get memory, mappings, adapters, IRPs, interrupts, filter factories and registry data
// fail when the machine says so. Only the driver's own calls are counted and failed, never
// what the simulated platform does for itself.
//
// Three ways to choose the failures, which combine:
//  - a counting run records every call (point, its number at that point, overall number);
//  - chosen calls fail: the Nth call of one point, or the Nth call overall;
//  - random calls fail, each with a probability, from a seeded stream (the same seed and
//    the same schedule fail the same calls).
// Contiguous memory can also be fragmented: common buffers above a size find no room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/kernel/scheduler.h"

namespace sim {

enum class FaultPoint : uint8_t {
  Pool,              // ExAllocatePoolWithTag and friends
  CommonBuffer,      // AllocateCommonBuffer (contiguous memory)
  MapIoSpace,        // MmMapIoSpace
  DmaAdapter,        // IoGetDmaAdapter
  Irp,               // IoAllocateIrp, IoBuildSynchronousFsdRequest
  ConnectInterrupt,  // IoConnectInterrupt
  FilterFactory,     // KsCreateFilterFactory
  RegistryKey,       // IoOpenDeviceRegistryKey
  RegistryValue,     // ZwQueryValueKey
};
constexpr unsigned kFaultPoints = 9;
constexpr uint32_t kAllFaultPoints = (1u << kFaultPoints) - 1;

// "pool", "common-buffer", ...; the names morvane-ctl and the tests use.
const char *FaultPointName(FaultPoint point);
std::optional<FaultPoint> FaultPointFromName(const std::string &name);

class FaultInjector {
 public:
  struct Call {
    FaultPoint point;
    uint64_t index;    // 1-based, among this point's calls
    uint64_t overall;  // 1-based, among all calls
    bool failed;
  };

  // Whether the service a driver called at `point` fails now. `bytes` is the size asked
  // for, where there is one (contiguous memory looks at it).
  bool Fail(FaultPoint point, bool callerIsDriver, size_t bytes = 0);

  // Counting: every driver call from now on is recorded.
  void Record(bool on) { recording_ = on; }
  const std::vector<Call> &calls() const { return calls_; }
  void ClearRecord() { calls_.clear(); }

  // The Nth call of `point` (or overall) counted from now fails; one such choice at a time
  // per point, and one overall.
  void FailNth(FaultPoint point, uint64_t nth);
  void FailNthOverall(uint64_t nth);

  // Each call at a point in `mask` fails with probability `rate` (0 < rate <= 1).
  void SetRandom(uint64_t seed, double rate, uint32_t mask = kAllFaultPoints);
  void StopRandom() { randomRate_ = 0; }
  bool randomOn() const { return randomRate_ > 0; }

  // Contiguous memory fragmented so that no run above `bytes` is free (0: not fragmented).
  void SetContiguousLimit(size_t bytes) { contiguousLimit_ = bytes; }
  size_t contiguousLimit() const { return contiguousLimit_; }

  // Forgets the choices (not the counters).
  void Clear();

  uint64_t callCount(FaultPoint point) const { return counts_[Index(point)]; }
  uint64_t failureCount(FaultPoint point) const { return failures_[Index(point)]; }
  uint64_t totalCalls() const { return overall_; }
  uint64_t totalFailures() const;

 private:
  static unsigned Index(FaultPoint p) { return static_cast<unsigned>(p); }

  bool recording_ = false;
  std::vector<Call> calls_;
  uint64_t counts_[kFaultPoints] = {};
  uint64_t failures_[kFaultPoints] = {};
  uint64_t overall_ = 0;
  uint64_t failAt_[kFaultPoints] = {};  // absolute call number at the point, 0 none
  uint64_t failOverallAt_ = 0;
  double randomRate_ = 0;
  uint32_t randomMask_ = 0;
  Random random_{0};
  size_t contiguousLimit_ = 0;
};

}  // namespace sim
