#include "concurrency/rig.h"

#include <cstring>

#include "audio/audio.h"
#include "filters/filters.h"
#include "sim/kernel/pool.h"
#include "sim/ks/device.h"
#include "support/driver_choice.h"

namespace scenarios {

namespace {

std::string Hex(NTSTATUS status) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
  return buf;
}

}  // namespace

Rig::Rig(const sim::Machine::Options &options, sim::Card::Variant variant, uint64_t seed,
         Outcome &outcome)
    : m(options), card(variant), out(outcome), params_(seed * 0x2545F4914F6CDD1Dull + 17) {
  out.Check(m.pnp().LoadDriver(suite::SuiteDriver()) == STATUS_SUCCESS, "the driver loads");
  out.Check(m.pnp().AddCard(&card, &c) == STATUS_SUCCESS, "the card is added");
  out.Check(m.pnp().StartCard(*c) == STATUS_SUCCESS, "the card starts");
  client = std::make_unique<sim::ks::Client>(m);
  card.SetCompletionObserver([this](const sim::Card::Completion &done) { OnCompletion(done); });
}

Rig::~Rig() {
  card.SetCompletionObserver(nullptr);
  if (m.verifier().stopped()) return;
  client.reset();
}

CCaptureDevice *Rig::dev() const {
  suite::RequireDriverInternals();
  return DeviceContext(sim::ks::DeviceFromFdo(c->fdo));
}

Handle Rig::Open(bool video, ULONG channel) {
  const GUID &ref =
      video ? kVideoFilterReferenceGuids[channel] : kAudioFilterReferenceGuids[channel];
  for (const auto &i : client->Interfaces(KSCATEGORY_CAPTURE)) {
    if (i.referenceGuid != ref) continue;
    Handle h = 0;
    NTSTATUS status = client->OpenFilter(i.symbolicLink, &h);
    out.Check(status == STATUS_SUCCESS, "opening a filter: " + Hex(status));
    return h;
  }
  out.Check(false, "no filter for channel " + std::to_string(channel));
  return 0;
}

std::vector<uint8_t> Rig::VideoFormat(Handle filter, int range) {
  std::vector<std::vector<uint8_t>> ranges;
  std::vector<uint8_t> format;
  if (out.Check(client->PinDataRanges(filter, 0, &ranges) == STATUS_SUCCESS &&
                    ranges.size() > static_cast<size_t>(range),
                "the video pin's ranges"))
    out.Check(client->DataIntersection(filter, 0, {ranges[range]}, &format) == STATUS_SUCCESS,
              "a video format");
  return format;
}

std::vector<uint8_t> Rig::ScaledVideoFormat(Handle filter, LONG width, LONG height, int range) {
  std::vector<uint8_t> format = VideoFormat(filter, range);
  if (format.size() < sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER)) return format;
  auto *df = reinterpret_cast<KSDATAFORMAT *>(format.data());
  auto *vih = reinterpret_cast<KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT));
  KS_BITMAPINFOHEADER &bmi = vih->bmiHeader;
  ULONG stride = ((static_cast<ULONG>(bmi.biBitCount) * static_cast<ULONG>(width) + 31) / 32) * 4;
  bmi.biWidth = width;
  bmi.biHeight = bmi.biHeight < 0 ? -height : height;
  bmi.biSizeImage = stride * static_cast<ULONG>(height);
  vih->rcSource = RECT{0, 0, width, height};
  vih->rcTarget = vih->rcSource;
  df->SampleSize = bmi.biSizeImage;
  return format;
}

std::vector<uint8_t> Rig::AudioFormat(Handle filter, ULONG rate) {
  KSDATARANGE_AUDIO r = kAudioRanges[0];
  r.MinimumSampleFrequency = r.MaximumSampleFrequency = rate;
  std::vector<uint8_t> range(sizeof(r));
  std::memcpy(range.data(), &r, sizeof(r));
  std::vector<uint8_t> format;
  out.Check(client->DataIntersection(filter, 0, {range}, &format) == STATUS_SUCCESS,
            "an audio format");
  return format;
}

Handle Rig::CreatePin(Handle filter, const std::vector<uint8_t> &format, bool clock,
                      NTSTATUS expected) {
  Handle pin = 0;
  NTSTATUS status = client->CreatePin(filter, 0, format, &pin);
  out.Check(status == expected, "creating a pin: " + Hex(status) + ", expected " + Hex(expected));
  if (!NT_SUCCESS(status)) return 0;
  TrackPin(pin, format);
  if (clock) out.Check(client->SetMasterClock(pin, true) == STATUS_SUCCESS, "a master clock");
  return pin;
}

Handle Rig::VideoPin(ULONG channel, int range, bool clock) {
  Handle filter = Open(true, channel);
  return CreatePin(filter, VideoFormat(filter, range), clock);
}

Handle Rig::SmallVideoPin(ULONG channel, bool clock) {
  Handle filter = Open(true, channel);
  return CreatePin(filter, ScaledVideoFormat(filter, 160, 120), clock);
}

Handle Rig::AudioPin(ULONG channel, ULONG rate, bool clock) {
  Handle filter = Open(false, channel);
  return CreatePin(filter, AudioFormat(filter, rate), clock);
}

void Rig::TrackPin(Handle pin, const std::vector<uint8_t> &format) {
  ULONG bytes = 4096;
  if (format.size() >= sizeof(KSDATAFORMAT) + sizeof(KS_VIDEOINFOHEADER) &&
      reinterpret_cast<const KSDATAFORMAT *>(format.data())->MajorFormat == KSDATAFORMAT_TYPE_VIDEO)
    bytes = reinterpret_cast<const KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT))
                ->bmiHeader.biSizeImage;
  frameBytes_.push_back({pin, bytes});
}

ULONG Rig::FrameBytes(Handle pin) const {
  for (const auto &[h, bytes] : frameBytes_)
    if (h == pin) return bytes;
  return 0;
}

void Rig::Queue(Handle pin, int count) {
  ULONG bytes = FrameBytes(pin);
  for (int i = 0; i < count; ++i) {
    sim::ks::FrameRequest r;
    r.bufferSize = bytes;
    r.extendedHeader = sim::ks::FrameInfoHeader();  // both pins take 128-byte headers
    NTSTATUS status = client->QueueFrame(pin, std::move(r));
    out.Check(status == STATUS_PENDING, "a buffer is queued: " + Hex(status));
  }
}

namespace {

uint64_t Mix(uint64_t h, const void *data, size_t length) {
  const auto *p = static_cast<const uint8_t *>(data);
  for (size_t i = 0; i < length; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
  return h;
}
template <class T>
uint64_t Mix(uint64_t h, const T &value) {
  return Mix(h, &value, sizeof value);
}

}  // namespace

uint64_t Rig::Fingerprint() const {
  uint64_t h = frames_;
  for (const sim::CardTraceEntry &e : card.trace()) {
    h = Mix(h, e.time);
    h = Mix(h, e.kind);
    h = Mix(h, e.offset);
    h = Mix(h, e.value);
  }
  h = Mix(h, m.steps());
  h = Mix(h, m.switches());
  return Mix(h, m.now());
}

int Rig::Recycle(Handle pin) {
  int n = 0;
  sim::ks::Frame f;
  while (client->TakeFrame(pin, &f) == STATUS_SUCCESS) {
    ++n;
    frames_ = Mix(frames_, pin);
    frames_ = Mix(frames_, f.status);
    frames_ = Mix(frames_, f.header.PresentationTime.Time);
    frames_ = Mix(frames_, f.header.DataUsed);
    frames_ = Mix(frames_, f.header.OptionsFlags);
    frames_ = Mix(frames_, f.extendedHeader.data(), f.extendedHeader.size());
    frames_ = Mix(frames_, f.data.data(), f.data.size());
    sim::ks::FrameRequest r;
    r.bufferSize = static_cast<ULONG>(f.data.size());
    r.extendedHeader = f.extendedHeader;
    r.storage = std::move(f.data);
    client->QueueFrame(pin, std::move(r));
  }
  return n;
}

void Rig::OnCompletion(const sim::Card::Completion &done) {
  if (done.channelBit < 8 && !done.fieldB) return;
  for (size_t i = 0; i < waiters_.size();) {
    Waiter &w = waiters_[i];
    if (w.bit == done.channelBit && --w.remaining == 0) {
      if (w.explore) Explore();
      m.SignalEvent(w.event);
      waiters_.erase(waiters_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    ++i;
  }
  if (observer_) observer_(done);
}

void Rig::WaitForCard(unsigned channelBit, int count, bool explore) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  waiters_.push_back({channelBit, count, &done, explore});
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10'000'000;  // 1 s
  NTSTATUS status = KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout);
  if (status != STATUS_SUCCESS) {
    for (size_t i = 0; i < waiters_.size(); ++i)
      if (waiters_[i].event == &done)
        waiters_.erase(waiters_.begin() + static_cast<std::ptrdiff_t>(i));
    out.Check(false, "the card completed nothing on channel bit " + std::to_string(channelBit));
  }
}

void Rig::Explore(uint64_t steps) {
  exploreFrom_ = m.steps();
  m.ExploreFromHere(steps);
}

uint32_t Rig::Spawn(const std::string &name, std::function<void()> body, sim::ThreadKind kind) {
  uint32_t id = m.CreateThread(name, std::move(body), kind);
  threads_.push_back(id);
  return id;
}

void Rig::JoinAll(sim::Nanos timeout) {
  sim::Nanos deadline = m.now() + timeout;
  // Threads may start others meanwhile: they are joined too.
  for (size_t i = 0; i < threads_.size(); ++i)
    out.Check(m.JoinThread(threads_[i], deadline),
              "a client thread is still running at the deadline");
  threads_.clear();
}

void Rig::Finish() {
  JoinAll();
  client.reset();
  if (!removed_) {
    out.Check(m.pnp().RemoveCard(*c) == STATUS_SUCCESS, "the card is removed");
    removed_ = true;
  }
  // Whatever the driver's DPCs, timers or interrupt still had to do runs into nothing now.
  m.RunFor(20 * sim::kMillisecond);
  out.Check(m.connectedInterrupts() == 0, "no interrupt object is left connected");
  for (const char *tag : {"KCNw", "QFPn", "ShCa", "Vorl"})
    out.Check(m.pool().liveCount(sim::Pool::TagFromName(tag)) == 0,
              std::string("pool '") + tag + "' is all freed");
  m.pnp().UnloadDriver();
}

}  // namespace scenarios
