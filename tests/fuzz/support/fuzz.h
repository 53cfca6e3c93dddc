// What every fuzz target shares: reading structured choices from the fuzzer's bytes,
// client buffers with guard bytes, and invariant checks that stop the run with a message.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fuzz {

// A broken invariant: prints what and aborts, which libFuzzer records as a crash with its
// input (and the corpus replay test reports as a failure).
[[noreturn]] void Fail(const std::string &what);

#define FUZZ_CHECK(condition, message)                                          \
  do {                                                                          \
    if (!(condition)) ::fuzz::Fail(std::string(#condition) + ": " + (message)); \
  } while (0)

// With FUZZ_VERBOSE set in the environment, what a target does, one line per step (to read
// what a crashing input did).
bool Verbose();
#define FUZZ_LOG(...)                                         \
  do {                                                        \
    if (::fuzz::Verbose()) std::fprintf(stderr, __VA_ARGS__); \
  } while (0)

// memcpy that accepts the null pointers of empty buffers.
inline void Copy(void *to, const void *from, size_t n) {
  if (n != 0) std::memcpy(to, from, n);
}

// Choices read from the input; past its end every read gives zero, so any input decodes.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  size_t remaining() const { return at_ < size_ ? size_ - at_ : 0; }
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  uint32_t U32() { return U16() | static_cast<uint32_t>(U16()) << 16; }
  uint64_t U64() { return U32() | static_cast<uint64_t>(U32()) << 32; }
  bool Bool() { return (Byte() & 1) != 0; }
  // 0 ... n - 1 (n > 0), from one byte when n fits in one.
  uint32_t Below(uint32_t n) { return n <= 256 ? Byte() % n : U32() % n; }
  template <class T, size_t N>
  const T &Pick(const T (&options)[N]) {
    return options[Below(static_cast<uint32_t>(N))];
  }
  // Up to n bytes (fewer at the end of the input).
  std::vector<uint8_t> Bytes(size_t n);
  // A length: usually small, sometimes anything up to limit.
  uint32_t Length(uint32_t limit);
  // The rest of the input.
  std::vector<uint8_t> Rest();

 private:
  const uint8_t *data_;
  size_t size_;
  size_t at_ = 0;
};

// A client's buffer with guard bytes on both sides: nothing may write outside it.
class GuardedBuffer {
 public:
  static constexpr size_t kGuard = 64;
  static constexpr uint8_t kGuardByte = 0xA5;
  explicit GuardedBuffer(size_t size, uint8_t fill = 0xCC);
  uint8_t *data() { return size_ ? storage_.data() + kGuard : nullptr; }
  const uint8_t *data() const { return size_ ? storage_.data() + kGuard : nullptr; }
  size_t size() const { return size_; }
  std::vector<uint8_t> Contents() const;
  // Fails the run when a guard byte changed.
  void CheckGuards(const std::string &what) const;

 private:
  size_t size_;
  std::vector<uint8_t> storage_;
};

}  // namespace fuzz
