// Turning what an input carries into the bytes of one captured field: the input's
// lines scaled to the programmed size by nearest neighbour and packed in the pixel
// format, line by line. A field is a pure function of the source, the field and the
// geometry, so it can be rendered straight into the DMA buffer or, for a source that
// says it is pure, ahead of time on another host thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/card/pixels.h"
#include "sim/card/source.h"

namespace sim {

struct FieldGeometry {
  PixelFormat format = PixelFormat::Yuy2;
  unsigned width = 0;  // pixels
  unsigned lines = 0;  // lines of the field as captured
  unsigned pitch = 0;  // bytes per line in the buffer, at least the packed line

  size_t bytes() const { return size_t{lines} * pitch; }
  bool operator==(const FieldGeometry &) const = default;
};

// Scratch for rendering fields: one per thread that renders.
class FieldRenderer {
 public:
  FieldRenderer();
  // Writes geometry.bytes() bytes at out: each line packed, zero padded to the pitch.
  void Render(InputSource &source, const FieldRequest &field, const FieldGeometry &geometry,
              uint8_t *out);

 private:
  std::vector<uint8_t> lines_[2];  // two planar source lines, to spot repeats
  std::vector<uint16_t> sourceX_;  // output pixel -> source pixel
  unsigned sourceXWidth_ = 0;
};

// A host thread that renders fields of pure sources ahead of their time. The card
// asks for a field as soon as it knows which one comes next on a channel, and takes
// the bytes when the field is due, if nothing that decides them has changed meanwhile;
// otherwise it renders the field itself. Either way the bytes are the same.
class RenderAhead {
 public:
  RenderAhead();
  ~RenderAhead();
  RenderAhead(const RenderAhead &) = delete;
  RenderAhead &operator=(const RenderAhead &) = delete;

  struct Key {
    const InputSource *source = nullptr;
    FieldRequest field;
    FieldGeometry geometry;
    bool operator==(const Key &other) const;
  };

  // Queues the field for `slot` (a channel of a card), replacing what the slot had.
  void Request(const void *slot, std::shared_ptr<InputSource> source, const FieldRequest &field,
               const FieldGeometry &geometry);
  // Copies the slot's field to out when it was rendered for exactly `key` (waiting for
  // the worker if it is still on it) and returns true; false leaves the rendering to
  // the caller. The slot is empty afterwards.
  bool Take(const void *slot, const Key &key, uint8_t *out);
  // Forgets the slot's field (the channel stopped or its card went away).
  void Drop(const void *slot);

  uint64_t served() const { return served_; }  // fields taken from the worker
  uint64_t missed() const { return missed_; }  // fields asked for but rendered in place

 private:
  enum class State { Free, Queued, Running, Done };
  struct Job {
    const void *slot = nullptr;
    Key key;
    std::shared_ptr<InputSource> source;
    std::vector<uint8_t> bytes;
    State state = State::Free;
    bool cancelled = false;  // its slot moved on while the worker rendered it
  };
  void Main();
  // Takes the slot's job out of the table (mutex held); null when it has none.
  Job *Detach(const void *slot);
  // Gives a detached job back, or leaves it to the worker to give back (mutex held).
  void Release(Job *job);

  std::mutex mutex_;
  std::condition_variable wake_;    // the worker: a job arrived, or stop
  std::condition_variable doneCv_;  // the card: a job finished
  std::deque<Job *> queue_;
  std::vector<std::pair<const void *, Job *>> bySlot_;
  std::vector<std::unique_ptr<Job>> jobs_;  // every job ever made, reused
  std::vector<Job *> free_;
  bool stop_ = false;
  uint64_t served_ = 0;
  uint64_t missed_ = 0;
  std::thread thread_;
};

}  // namespace sim
