// Client frame memory, reused as a capture application's allocator reuses it: a frame
// goes to the driver, comes back filled, is shared by the file writer and the still
// (each holding a reference), and returns to the pool when the last one lets go. Once
// the pool has made what the capture needs, nothing is allocated or faulted in again.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace ctl {

class FramePool;

class FrameBuffer {
 public:
  std::vector<uint8_t> bytes;

 private:
  friend class FrameRef;
  friend class FramePool;
  std::atomic<int> refs_{0};
  FramePool *pool_ = nullptr;
};

class FrameRef {
 public:
  FrameRef() = default;
  explicit FrameRef(FrameBuffer *buffer) : buffer_(buffer) {
    if (buffer_ != nullptr) buffer_->refs_.fetch_add(1, std::memory_order_relaxed);
  }
  FrameRef(const FrameRef &other) : FrameRef(other.buffer_) {}
  FrameRef(FrameRef &&other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
  FrameRef &operator=(FrameRef other) noexcept {
    std::swap(buffer_, other.buffer_);
    return *this;
  }
  ~FrameRef() { Reset(); }
  inline void Reset();

  FrameBuffer *get() const { return buffer_; }
  FrameBuffer *operator->() const { return buffer_; }
  explicit operator bool() const { return buffer_ != nullptr; }
  // Gives up this reference without releasing it (for a callback that releases it later).
  FrameBuffer *Detach() { return std::exchange(buffer_, nullptr); }
  // Takes over a reference given up with Detach.
  static FrameRef Adopt(FrameBuffer *buffer) {
    FrameRef r;
    r.buffer_ = buffer;
    return r;
  }

 private:
  FrameBuffer *buffer_ = nullptr;
};

class FramePool {
 public:
  // About `limit` buffers at once: Take waits for one to come back beyond that, for a
  // while. A writer slower than the capture holds the capture back; one that waits for
  // more of the capture before it lets go (a muxer waiting for the other stream) gets
  // another buffer rather than a deadlock.
  explicit FramePool(size_t limit) : limit_(limit) {
    all_.reserve(limit);
    free_.reserve(limit);
  }
  FramePool(const FramePool &) = delete;
  FramePool &operator=(const FramePool &) = delete;

  FrameRef Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    returned_.wait_for(lock, std::chrono::seconds(2),
                       [this] { return !free_.empty() || all_.size() < limit_; });
    FrameBuffer *b;
    if (!free_.empty()) {
      b = free_.back();
      free_.pop_back();
    } else {
      all_.push_back(std::make_unique<FrameBuffer>());
      b = all_.back().get();
      b->pool_ = this;
    }
    return FrameRef(b);
  }
  // Buffers made so far: what the capture needed at most.
  size_t made() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return all_.size();
  }

 private:
  friend class FrameRef;
  void Give(FrameBuffer *b) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(b);
    }
    returned_.notify_one();
  }

  size_t limit_;
  mutable std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<FrameBuffer>> all_;
  std::vector<FrameBuffer *> free_;
};

void FrameRef::Reset() {
  FrameBuffer *b = std::exchange(buffer_, nullptr);
  if (b != nullptr && b->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1 && b->pool_ != nullptr)
    b->pool_->Give(b);
}

}  // namespace ctl
