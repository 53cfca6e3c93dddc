#include "support/fuzz.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

bool Verbose() {
  static const bool verbose = std::getenv("FUZZ_VERBOSE") != nullptr;
  return verbose;
}

void Fail(const std::string &what) {
  std::fprintf(stderr, "\nINVARIANT BROKEN: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::vector<uint8_t> Input::Bytes(size_t n) {
  n = std::min(n, remaining());
  std::vector<uint8_t> out(data_ + at_, data_ + at_ + n);
  at_ += n;
  return out;
}

uint32_t Input::Length(uint32_t limit) {
  uint8_t kind = Byte();
  uint32_t n = (kind & 0xC0) == 0xC0 ? U32() : (kind & 0x80) ? U16() : kind & 0x7F;
  return limit == 0 ? 0 : n % (limit + 1);
}

std::vector<uint8_t> Input::Rest() { return Bytes(remaining()); }

GuardedBuffer::GuardedBuffer(size_t size, uint8_t fill)
    : size_(size), storage_(size + 2 * kGuard, kGuardByte) {
  std::memset(storage_.data() + kGuard, fill, size);
}

std::vector<uint8_t> GuardedBuffer::Contents() const {
  return std::vector<uint8_t>(storage_.begin() + kGuard, storage_.begin() + kGuard + size_);
}

void GuardedBuffer::CheckGuards(const std::string &what) const {
  for (size_t i = 0; i < kGuard; ++i) {
    FUZZ_CHECK(storage_[i] == kGuardByte, what + ": written before the client's buffer");
    FUZZ_CHECK(storage_[kGuard + size_ + i] == kGuardByte,
               what + ": written past the client's buffer of " + std::to_string(size_) + " bytes");
  }
}

}  // namespace fuzz
