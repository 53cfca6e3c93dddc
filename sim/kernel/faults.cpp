#include "sim/kernel/faults.h"

namespace sim {

namespace {

const char *const kNames[kFaultPoints] = {"pool",           "common-buffer", "map-io-space",
                                          "dma-adapter",    "irp",           "connect-interrupt",
                                          "filter-factory", "registry-key",  "registry-value"};

}  // namespace

const char *FaultPointName(FaultPoint point) { return kNames[static_cast<unsigned>(point)]; }

std::optional<FaultPoint> FaultPointFromName(const std::string &name) {
  for (unsigned i = 0; i < kFaultPoints; ++i)
    if (name == kNames[i]) return static_cast<FaultPoint>(i);
  return std::nullopt;
}

bool FaultInjector::Fail(FaultPoint point, bool callerIsDriver, size_t bytes) {
  if (!callerIsDriver) return false;
  const unsigned i = Index(point);
  const uint64_t index = ++counts_[i];
  const uint64_t overall = ++overall_;
  bool fail = false;
  if (failAt_[i] != 0 && index == failAt_[i]) {
    failAt_[i] = 0;
    fail = true;
  }
  if (failOverallAt_ != 0 && overall == failOverallAt_) {
    failOverallAt_ = 0;
    fail = true;
  }
  if (point == FaultPoint::CommonBuffer && contiguousLimit_ != 0 && bytes > contiguousLimit_)
    fail = true;
  // The stream advances on every call it covers, failed or not, so that one choice does
  // not shift the others.
  if (randomRate_ > 0 && (randomMask_ & (1u << i)) != 0) {
    const double draw = static_cast<double>(random_.Next() >> 11) * 0x1.0p-53;
    if (draw < randomRate_) fail = true;
  }
  if (fail) ++failures_[i];
  if (recording_) calls_.push_back(Call{point, index, overall, fail});
  return fail;
}

void FaultInjector::FailNth(FaultPoint point, uint64_t nth) {
  failAt_[Index(point)] = nth == 0 ? 0 : counts_[Index(point)] + nth;
}

void FaultInjector::FailNthOverall(uint64_t nth) { failOverallAt_ = nth == 0 ? 0 : overall_ + nth; }

void FaultInjector::SetRandom(uint64_t seed, double rate, uint32_t mask) {
  random_ = Random(seed * 0x9E3779B97F4A7C15ull + 0x6C6F77);
  randomRate_ = rate;
  randomMask_ = mask;
}

void FaultInjector::Clear() {
  for (uint64_t &at : failAt_) at = 0;
  failOverallAt_ = 0;
  randomRate_ = 0;
  contiguousLimit_ = 0;
}

uint64_t FaultInjector::totalFailures() const {
  uint64_t n = 0;
  for (uint64_t f : failures_) n += f;
  return n;
}

}  // namespace sim
