#include "sim/kernel/pool.h"

#include <cstdlib>
#include <cstring>

#include "sim/kernel/machine.h"

namespace sim {

Pool::~Pool() {
  for (auto &[p, b] : live_) std::free(p);
}

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
  machine_.RequireIrql(type == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
  ++allocations_;
  if (failAt_ != 0 && allocations_ == failAt_) {
    failAt_ = 0;
    return nullptr;
  }
  if (bytes == 0) bytes = 1;
  void *p = std::aligned_alloc(16, (bytes + 15) / 16 * 16);
  if (p == nullptr) return nullptr;
  // Pool is not zeroed: a pattern catches code that relies on it.
  std::memset(p, 0xA5, bytes);
  live_[p] = Block{bytes, tag};
  freed_.erase(p);
  return p;
}

void Pool::Free(PVOID p, ULONG tag, bool checkTag) {
  machine_.RequireIrql(DISPATCH_LEVEL, "ExFreePool");
  auto it = live_.find(p);
  if (it == live_.end()) {
    if (freed_.count(p)) machine_.verifier().Stop(Rule::PoolDoubleFree, "block freed twice");
    machine_.verifier().Stop(Rule::PoolBadFree, "block was never allocated from pool");
  }
  if (checkTag && it->second.tag != tag)
    machine_.verifier().Stop(Rule::PoolBadFree, "freed with tag '" + TagName(tag) +
                                                    "' but allocated with '" +
                                                    TagName(it->second.tag) + "'");
  machine_.CheckFreedRange(p, it->second.size,
                           ("pool block '" + TagName(it->second.tag) + "'").c_str());
  live_.erase(it);
  freed_.insert(p);
  std::free(p);
}

size_t Pool::liveCount(ULONG tag) const {
  size_t n = 0;
  for (const auto &[p, b] : live_) n += b.tag == tag;
  return n;
}

size_t Pool::liveBytes(ULONG tag) const {
  size_t n = 0;
  for (const auto &[p, b] : live_)
    if (b.tag == tag) n += b.size;
  return n;
}

std::string Pool::TagName(ULONG tag) {
  std::string s(4, ' ');
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s[i] = (c >= 0x20 && c < 0x7F) ? c : '.';
  }
  return s;
}

ULONG Pool::TagFromName(const char name[4]) {
  ULONG t = 0;
  for (int i = 0; i < 4; ++i)
    t |= static_cast<ULONG>(static_cast<unsigned char>(name[i])) << (8 * i);
  return t;
}

void Pool::CheckNoLeaks(const std::string &owner) {
  if (live_.empty()) return;
  std::map<ULONG, std::pair<size_t, size_t>> byTag;
  for (const auto &[p, b] : live_) {
    byTag[b.tag].first++;
    byTag[b.tag].second += b.size;
  }
  std::string msg = owner + " left pool allocated:";
  for (const auto &[tag, cb] : byTag)
    msg += " '" + TagName(tag) + "' x" + std::to_string(cb.first) + " (" +
           std::to_string(cb.second) + " bytes)";
  machine_.verifier().Stop(Rule::PoolLeak, msg);
}

}  // namespace sim
