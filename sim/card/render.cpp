#include "sim/card/render.h"

#include <algorithm>
#include <cstring>

#include "sim/card/timeline.h"

namespace sim {

FieldRenderer::FieldRenderer() {
  for (auto &line : lines_) line.resize(3 * kSourceWidth);
}

void FieldRenderer::Render(InputSource &source, const FieldRequest &field, const FieldGeometry &g,
                           uint8_t *out) {
  if (sourceXWidth_ != g.width) {
    sourceX_.resize(g.width);
    for (unsigned x = 0; x < g.width; ++x)
      sourceX_[x] = static_cast<uint16_t>(x * kSourceWidth / g.width);
    sourceXWidth_ = g.width;
  }
  const unsigned sourceLines = InputTimeline::FieldLines(field.lines625);
  const size_t packed = PackedLineBytes(g.format, g.width);
  // Lines repeat a lot (scaling up, bars): a line equal to the last packed one is copied.
  // A source that can tell equal lines apart by a key spares rendering them at all.
  int rendered = -1;
  uint64_t renderedKey = 0;
  bool renderedKeyed = false;
  unsigned current = 0;  // which of lines_ holds the last packed source line
  for (unsigned l = 0; l < g.lines; ++l) {
    uint8_t *line = out + size_t{l} * g.pitch;
    if (g.pitch > packed) std::memset(line + packed, 0, g.pitch - packed);
    const int r = static_cast<int>(uint64_t{l} * sourceLines / g.lines);
    if (r == rendered) {
      std::memcpy(line, line - g.pitch, packed);
      continue;
    }
    uint64_t key = 0;
    const bool keyed = source.LineKey(field, static_cast<unsigned>(r), &key);
    if (keyed && renderedKeyed && key == renderedKey) {
      rendered = r;
      std::memcpy(line, line - g.pitch, packed);
      continue;
    }
    uint8_t *next = lines_[current ^ 1].data();
    source.RenderLine(field, static_cast<unsigned>(r), next, next + kSourceWidth,
                      next + 2 * kSourceWidth);
    const bool repeat =
        rendered >= 0 && !keyed && std::memcmp(next, lines_[current].data(), 3 * kSourceWidth) == 0;
    rendered = r;
    renderedKey = key;
    renderedKeyed = keyed;
    if (repeat) {
      std::memcpy(line, line - g.pitch, packed);
      continue;
    }
    current ^= 1;
    PackLine(g.format, next, next + kSourceWidth, next + 2 * kSourceWidth, sourceX_.data(), g.width,
             line);
  }
}

// ------------------------------------------------------------------ RenderAhead

bool RenderAhead::Key::operator==(const Key &o) const {
  return source == o.source && field.channel == o.field.channel && field.frame == o.field.frame &&
         field.fieldB == o.field.fieldB && field.lines625 == o.field.lines625 &&
         geometry == o.geometry;
}

RenderAhead::RenderAhead() : thread_([this] { Main(); }) {}

RenderAhead::~RenderAhead() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void RenderAhead::Main() {
  FieldRenderer renderer;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (stop_) return;
    Job *job = queue_.front();
    queue_.pop_front();
    job->state = State::Running;
    lock.unlock();
    job->bytes.resize(job->key.geometry.bytes());
    renderer.Render(*job->source, job->key.field, job->key.geometry, job->bytes.data());
    lock.lock();
    job->state = State::Done;
    if (job->cancelled) {
      job->source.reset();
      job->state = State::Free;
      free_.push_back(job);
    }
    doneCv_.notify_all();
  }
}

RenderAhead::Job *RenderAhead::Detach(const void *slot) {
  auto it = std::find_if(bySlot_.begin(), bySlot_.end(),
                         [slot](const auto &entry) { return entry.first == slot; });
  if (it == bySlot_.end()) return nullptr;
  Job *job = it->second;
  bySlot_.erase(it);
  return job;
}

void RenderAhead::Release(Job *job) {
  if (job->state == State::Running) {
    job->cancelled = true;  // the worker gives it back when it is done
    return;
  }
  if (job->state == State::Queued) queue_.erase(std::find(queue_.begin(), queue_.end(), job));
  job->source.reset();
  job->state = State::Free;
  free_.push_back(job);
}

void RenderAhead::Request(const void *slot, std::shared_ptr<InputSource> source,
                          const FieldRequest &field, const FieldGeometry &geometry) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Job *old = Detach(slot)) Release(old);
    if (free_.empty()) {
      jobs_.push_back(std::make_unique<Job>());
      free_.push_back(jobs_.back().get());
    }
    Job *job = free_.back();
    free_.pop_back();
    job->slot = slot;
    job->key = Key{source.get(), field, geometry};
    job->source = std::move(source);
    job->cancelled = false;
    job->state = State::Queued;
    queue_.push_back(job);
    bySlot_.emplace_back(slot, job);
  }
  wake_.notify_one();
}

bool RenderAhead::Take(const void *slot, const Key &key, uint8_t *out) {
  std::unique_lock<std::mutex> lock(mutex_);
  Job *job = Detach(slot);
  if (job == nullptr) return false;
  // Still queued: rendering it here costs no more than waiting for it.
  if (!(job->key == key) || job->state == State::Queued) {
    Release(job);
    ++missed_;
    return false;
  }
  doneCv_.wait(lock, [job] { return job->state == State::Done; });
  lock.unlock();
  std::memcpy(out, job->bytes.data(), key.geometry.bytes());
  lock.lock();
  Release(job);
  ++served_;
  return true;
}

void RenderAhead::Drop(const void *slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (Job *job = Detach(slot)) Release(job);
}

}  // namespace sim
