#include "soak.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "filters/filters.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/faults.h"
#include "sim/kernel/pool.h"
#include "sim/kernel/verifier.h"
#include "sim/ks/device.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace soak {

namespace {

using sim::Nanos;
using sim::ks::Handle;

constexpr Nanos kSlice = 10 * sim::kMillisecond;
constexpr uint64_t kBuffersPerStream = 3;
constexpr double kCheckpointSeconds = 60;
// Frames the card completed with a buffer waiting that the driver may still leave out of
// its count when the pin stops: the one whose processing was pending, and the one being
// filled.
constexpr uint64_t kInFlightAtStop = 2;
constexpr uint64_t kRssGrowthKb = 64 * 1024;
// How long the soak waits for what the platform does by itself (a removal completing once
// the last handle closed, the actions still under way at the end).
constexpr Nanos kPlatformPatience = 5 * sim::kSecond;

const char *kStateNames[] = {"STOP", "ACQUIRE", "PAUSE", "RUN"};
const char *const kTags[] = {"KCNw", "QFPn", "ShCa", "Vorl"};

std::vector<uint8_t> FrameInfoHeader() {
  KS_FRAME_INFO info{};
  info.ExtendedHeaderSize = sizeof info;
  std::vector<uint8_t> v(sizeof info);
  std::memcpy(v.data(), &info, sizeof info);
  return v;
}

uint64_t ResidentKb() {
  std::ifstream statm("/proc/self/statm");
  uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// A simulated thread's wait: time (and everything else) goes on meanwhile.
void Wait(Nanos d) {
  LARGE_INTEGER interval;
  interval.QuadPart = -std::max<Nanos>(d / 100, 1);
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// A signalled breach of the rules the soak checks, as opposed to a verifier stop.
struct Abort {};

}  // namespace

std::string Stream::Name() const {
  return "card" + std::to_string(card) + (video ? "/video" : "/audio") + std::to_string(channel);
}

Soak::Soak(const Options &options) : options_(options), rng_(options.seed) {
  actions_ = {
      {"state change", 1.5, &Soak::StateChange},
      {"pin reopen", 0.3, &Soak::ReopenPin},
      {"filter reopen", 0.1, &Soak::ReopenFilter},
      {"property traffic", 2.0, &Soak::Properties},
      {"buffer starvation", 0.4, &Soak::Starve},
      {"channel error", 0.25, &Soak::ChannelError},
      {"signal loss", 0.2, &Soak::SignalLoss},
      {"standard change", 0.05, &Soak::StandardChange},
      {"rebalance", 0.04, &Soak::Rebalance},
      {"sleep and wake", 0.03, &Soak::SleepWake},
      {"surprise removal", 0.008, &Soak::SurpriseRemoval},
      {"refused removal", 0.01, &Soak::RefusedRemoval},
      {"clock change", 0.02, &Soak::ClockChange},
      {"low-resources window", 0.03, &Soak::LowResources},
  };
}

Soak::~Soak() = default;

uint64_t Soak::PoolBytes() const {
  uint64_t bytes = 0;
  for (const char *tag : kTags) bytes += machine_->pool().liveBytes(sim::Pool::TagFromName(tag));
  return bytes;
}

void Soak::Breach(const std::string &what) {
  Log("breach: " + what);
  ++breachCount_;
  if (breaches_.size() < 12) {
    char at[32];
    std::snprintf(at, sizeof at, "%.3f s: ", static_cast<double>(machine_->now()) / sim::kSecond);
    breaches_.push_back(at + what);
  }
}

void Soak::Log(const std::string &what) const {
  if (options_.log)
    std::fprintf(stderr, "%.6f %s\n", static_cast<double>(machine_->now()) / sim::kSecond,
                 what.c_str());
}

Stream &Soak::AnyStream() {
  return streams_[std::uniform_int_distribution<size_t>(0, streams_.size() - 1)(rng_)];
}

uint64_t Soak::Outstanding(const Stream &s) const {
  if (s.pin == 0) return 0;
  return s.queued - s.taken - client_->CompletedFrames(s.pin);
}

bool Soak::Gone(const Stream &s) const {
  const sim::PnpManager::Card *c = cards_[s.card].pnp;
  return c == nullptr || c->surpriseRemoved || c->removed;
}

bool Soak::Excused(NTSTATUS status, const Stream &s) const {
  if (machine_->faults().randomOn() &&
      (status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NO_MEMORY))
    return true;
  return Gone(s) && status == STATUS_DEVICE_REMOVED;
}

// ------------------------------------------------------------------ set-up and streams

sim::Card *Soak::NewCard(int k) {
  sim::CardOptions cardOptions;
  cardOptions.traceCapacity = 1024;  // an hour of register accesses would not stay flat
  auto variant = k % 2 == 0 ? sim::Card::Variant::Device6864 : sim::Card::Variant::Standard;
  auto card = std::make_unique<sim::Card>(variant, cardOptions);
  std::bernoulli_distribution coin(0.5);
  for (unsigned c = 0; c < 8; ++c) card->SetInputSignal(c, {true, coin(rng_)});
  card->SetCompletionObserver([this, k](const sim::Card::Completion &c) { OnCompletion(k, c); });
  CardSlot &slot = cards_[k];
  if (slot.card) {
    slot.card->SetCompletionObserver(nullptr);
    removedCards_.push_back(std::move(slot.card));
  }
  slot.card = std::move(card);
  slot.pnp = nullptr;
  return slot.card.get();
}

void Soak::Start() {
  sim::Machine::Options machine;
  machine.processors = options_.processors;
  machine.seed = options_.seed;
  machine.replay = "morvane-soak --seconds " +
                   std::to_string(static_cast<uint64_t>(options_.seconds)) + " --seed " +
                   std::to_string(options_.seed) + " --cards " + std::to_string(options_.cards) +
                   " --cpus " + std::to_string(options_.processors);
  machine_ = std::make_unique<sim::Machine>(machine);
  if (machine_->pnp().LoadDriver(DriverEntry) != STATUS_SUCCESS) Breach("the driver does not load");
  cards_.resize(static_cast<size_t>(options_.cards));
  for (int k = 0; k < options_.cards; ++k) {
    sim::Card *card = NewCard(k);
    sim::PnpManager::Card *pc = nullptr;
    if (machine_->pnp().AddCard(card, &pc) != STATUS_SUCCESS ||
        machine_->pnp().StartCard(*pc) != STATUS_SUCCESS) {
      Breach("card " + std::to_string(k) + " does not start");
      throw Abort{};
    }
    cards_[k].pnp = pc;
  }
  poolAfterStart_ = machine_->pool().liveCount();
  client_ = std::make_unique<sim::ks::Client>(*machine_);
  for (int k = 0; k < options_.cards; ++k)
    for (bool video : {true, false})
      for (ULONG c = 0; c < 8; ++c) {
        Stream s;
        s.card = k;
        s.video = video;
        s.channel = c;
        streams_.push_back(s);
      }
  for (Stream &s : streams_) Reopen(s);
}

bool Soak::OpenStream(Stream &s) {
  const GUID &ref =
      s.video ? kVideoFilterReferenceGuids[s.channel] : kAudioFilterReferenceGuids[s.channel];
  for (const auto &i : client_->Interfaces(KSCATEGORY_CAPTURE)) {
    if (i.referenceGuid == ref && i.deviceInstance == cards_[s.card].pnp->instancePath) {
      NTSTATUS status = client_->OpenFilter(i.symbolicLink, &s.filter);
      if (status != STATUS_SUCCESS) {
        s.filter = 0;
        if (Excused(status, s)) {
          ++excused_;
          return false;
        }
        Breach(s.Name() + ": the filter does not open: " + Hex(status));
      }
      break;
    }
  }
  if (s.filter == 0) {
    Breach(s.Name() + ": no filter");
    throw Abort{};
  }
  return CreatePin(s);
}

bool Soak::CreatePin(Stream &s) {
  std::vector<uint8_t> format;
  if (s.video) {
    std::vector<std::vector<uint8_t>> ranges;
    if (client_->PinDataRanges(s.filter, 0, &ranges) != STATUS_SUCCESS || ranges.empty()) {
      Breach(s.Name() + ": no data ranges");
      throw Abort{};
    }
    size_t pick = std::uniform_int_distribution<size_t>(0, ranges.size() - 1)(rng_);
    if (client_->DataIntersection(s.filter, 0, {ranges[pick]}, &format) != STATUS_SUCCESS) {
      Breach(s.Name() + ": the pin refuses its own range " + std::to_string(pick));
      throw Abort{};
    }
    auto &vih = *reinterpret_cast<KS_VIDEOINFOHEADER *>(format.data() + sizeof(KSDATAFORMAT));
    std::uniform_real_distribution<double> u(0, 1);
    if (u(rng_) < 0.3) vih.AvgTimePerFrame = 333333;  // every frame of either standard
    if (u(rng_) < 0.25) {
      // A client's own smaller picture, scaled by the card.
      LONG lines = std::abs(vih.bmiHeader.biHeight);
      vih.bmiHeader.biWidth = lines > 480 ? 352 : 360;
      LONG height = lines > 480 ? 288 : 240;
      vih.bmiHeader.biHeight = vih.bmiHeader.biHeight < 0 ? -height : height;
      ULONG stride = ((static_cast<ULONG>(vih.bmiHeader.biBitCount) *
                           static_cast<ULONG>(vih.bmiHeader.biWidth) +
                       31) >>
                      3) &
                     ~3u;
      vih.bmiHeader.biSizeImage = stride * static_cast<ULONG>(height);
      reinterpret_cast<KSDATAFORMAT *>(format.data())->SampleSize = vih.bmiHeader.biSizeImage;
    }
    s.frameTime = vih.AvgTimePerFrame;
  } else {
    static const ULONG kRates[] = {8000, 16000, 24000, 32000, 44100, 48000};
    ULONG rate = kRates[std::uniform_int_distribution<int>(0, 5)(rng_)];
    std::vector<std::vector<uint8_t>> ranges;
    client_->PinDataRanges(s.filter, 0, &ranges);
    for (const auto &r : ranges) {
      KSDATARANGE_AUDIO a;
      std::memcpy(&a, r.data(), sizeof a);
      if (a.MaximumSampleFrequency == rate &&
          client_->DataIntersection(s.filter, 0, {r}, &format) != STATUS_SUCCESS)
        Breach(s.Name() + ": the pin refuses its own range");
    }
  }
  NTSTATUS status = client_->CreatePin(s.filter, 0, format, &s.pin);
  if (status != STATUS_SUCCESS) {
    s.pin = 0;
    if (Excused(status, s)) {
      ++excused_;
      return false;
    }
    Breach(s.Name() + ": the pin refuses a format it proposed: " + Hex(status));
    throw Abort{};
  }
  KSALLOCATOR_FRAMING_EX framing{};
  client_->GetAllocatorFraming(s.pin, &framing);
  s.frameSize = framing.FramingItem[0].FramingRange.Range.MaxFrameSize;
  s.spare.clear();
  status = client_->SetMasterClock(s.pin, true);
  if (status != STATUS_SUCCESS && !Excused(status, s))
    Breach(s.Name() + ": no clock can be given: " + Hex(status));
  s.state = KSSTATE_STOP;
  s.running = false;
  s.queued = s.taken = 0;
  s.backToRunAt = -1;
  return true;
}

void Soak::ClosePin(Stream &s) {
  if (s.pin == 0) return;
  if (s.state != KSSTATE_STOP) SetState(s, KSSTATE_STOP);
  Drain(s);
  if (client_->Close(s.pin) != STATUS_SUCCESS) Breach(s.Name() + ": the pin does not close");
  s.pin = 0;
  s.state = KSSTATE_STOP;
}

void Soak::CloseStream(Stream &s) {
  ClosePin(s);
  if (s.filter != 0 && client_->Close(s.filter) != STATUS_SUCCESS)
    Breach(s.Name() + ": the filter does not close");
  s.filter = 0;
}

void Soak::Reopen(Stream &s) {
  if (s.filter == 0 && !OpenStream(s)) return;
  if (s.pin == 0 && !CreatePin(s)) return;
  if (s.state == KSSTATE_STOP) SetState(s, KSSTATE_RUN);
  Feed(s);
}

void Soak::SetState(Stream &s, KSSTATE to) {
  if (s.pin == 0 || s.state == to) return;
  // Completions from here on are no longer the running pin's.
  if (to != KSSTATE_RUN) s.running = false;
  s.enteringRun = to == KSSTATE_RUN;
  NTSTATUS status = client_->SetState(s.pin, to);
  s.enteringRun = false;
  if (!NT_SUCCESS(status)) {
    if (Excused(status, s)) {
      ++excused_;
    } else {
      char text[96];
      std::snprintf(text, sizeof text, ": %s to %s refused (0x%08X)", kStateNames[s.state],
                    kStateNames[to], static_cast<unsigned>(status));
      Breach(s.Name() + text);
    }
    KSSTATE now = s.state;
    client_->GetState(s.pin, &now);
    s.state = now;
    return;
  }
  KSSTATE from = s.state;
  s.state = to;
  Log(s.Name() + ": " + kStateNames[from] + " to " + kStateNames[to]);
  if (to == KSSTATE_RUN) {
    if (!s.session.open) {
      s.session = Session{};
      s.session.open = true;
      ++s.totals.sessions;
    } else if (from == KSSTATE_PAUSE) {
      ++s.session.resumes;
      s.session.firstAfterResume = true;
    }
    s.running = true;
  } else if (to == KSSTATE_ACQUIRE || to == KSSTATE_STOP) {
    Drain(s);
    if (s.session.open) EndSession(s);
  }
  if (to == KSSTATE_STOP && Outstanding(s) != 0)
    Breach(s.Name() + ": " + std::to_string(Outstanding(s)) + " frame(s) kept past STOP");
}

void Soak::Feed(Stream &s) {
  if (s.pin == 0 || s.state == KSSTATE_STOP || machine_->now() < s.starvedUntil) return;
  while (Outstanding(s) < kBuffersPerStream) {
    sim::ks::FrameRequest r;
    r.bufferSize = s.frameSize;
    r.extendedHeader = FrameInfoHeader();
    // As capture programs do: the memory of a completed frame goes round again.
    if (!s.spare.empty()) {
      r.storage = std::move(s.spare.back());
      s.spare.pop_back();
    }
    NTSTATUS status = client_->QueueFrame(s.pin, std::move(r));
    if (status != STATUS_PENDING) {
      if (!Excused(status, s))
        Breach(s.Name() + ": a frame is refused in " + kStateNames[s.state] + ": " + Hex(status));
      return;
    }
    ++s.queued;
  }
}

void Soak::Drain(Stream &s) {
  if (s.pin == 0) return;
  sim::ks::Frame f;
  while (client_->TakeFrame(s.pin, &f) == STATUS_SUCCESS) {
    ++s.taken;
    struct Recycle {
      Stream &s;
      sim::ks::Frame &f;
      ~Recycle() {
        if (f.data.size() == s.frameSize && s.spare.size() < kBuffersPerStream)
          s.spare.push_back(std::move(f.data));
      }
    } recycle{s, f};
    if (f.status == STATUS_CANCELLED || (Gone(s) && f.status == STATUS_DEVICE_REMOVED)) {
      ++s.totals.cancelled;
      continue;
    }
    if (f.status != STATUS_SUCCESS) {
      Breach(s.Name() + ": a frame completed with status " + Hex(f.status));
      continue;
    }
    if (f.header.DataUsed != s.frameSize) {
      Breach(s.Name() + ": a frame came back with " + std::to_string(f.header.DataUsed) + " of " +
             std::to_string(s.frameSize) + " bytes");
    }
    if (!s.session.open) {
      Breach(s.Name() + ": a frame completed outside a running session");
      continue;
    }
    ++s.session.delivered;
    if (!s.video) continue;
    KS_FRAME_INFO info{};
    if (!f.Extended(&info)) {
      Breach(s.Name() + ": a frame without its frame information");
      continue;
    }
    if (info.PictureNumber <= s.session.lastPicture)
      Breach(s.Name() + ": picture " + std::to_string(info.PictureNumber) + " after " +
             std::to_string(s.session.lastPicture));
    s.session.lastPicture = info.PictureNumber;
    s.session.lastDrops = info.DropCount;
  }
}

void Soak::OnCompletion(int card, const sim::Card::Completion &c) {
  bool video = c.channelBit < 8;
  ULONG channel = video ? c.channelBit : c.channelBit - 8;
  Stream &s = streams_[(card * 2 + (video ? 0 : 1)) * 8 + channel];
  auto frame = static_cast<int64_t>(c.frame);
  if (video && !c.fieldB) {
    s.fieldAFrame = s.running ? frame : -1;
    s.edgeFrame = !s.running && s.enteringRun ? frame : -1;
    return;
  }
  if (!video && !s.running && s.enteringRun && s.session.open) ++s.session.edges;
  if (!s.running) return;
  if (video && s.fieldAFrame != frame) {
    ++(s.edgeFrame == frame ? s.session.edges : s.session.straddled);
    return;
  }
  if (!video && s.session.firstAfterResume) {
    s.session.firstAfterResume = false;
    ++s.session.straddled;
    return;
  }
  bool waiting = Outstanding(s) > 0;
  ++s.session.completed;
  if (video) s.session.hadBuffer.push_back(waiting);
  if (!waiting) ++s.session.starved;
}

// Every frame or block the card completed while the pin ran is delivered, reported as
// dropped, or was completed when no buffer waited.
void Soak::EndSession(Stream &s) {
  Session &x = s.session;
  x.open = false;
  Totals &t = s.totals;
  t.completed += x.completed;
  t.delivered += x.delivered;
  t.starved += x.starved;
  t.straddled += x.straddled;
  t.edges += x.edges;
  t.aways += x.aways;
  if (!s.video) {
    std::string what = s.Name() + ": " + std::to_string(x.completed) + " blocks completed, " +
                       std::to_string(x.delivered) + " delivered, " + std::to_string(x.starved) +
                       " without a buffer";
    // Every block completed with a buffer waiting is delivered; of those begun while
    // paused, any may be (the driver follows no block toggle while paused, so it takes the
    // first block after a resume when an odd number went by meanwhile, and skips it when an
    // even number did).
    uint64_t accounted = x.delivered + x.starved;
    if (accounted < x.completed || accounted > x.completed + x.straddled + x.edges)
      Breach(what + ", " + std::to_string(x.straddled + x.edges) + " begun while paused");
    t.unreported += x.completed - std::min(x.completed, x.delivered);
    return;
  }
  auto pictures = static_cast<uint64_t>(x.lastPicture);
  if (x.delivered != 0) {
    if (x.delivered + static_cast<uint64_t>(x.lastDrops) != pictures)
      Breach(s.Name() + ": picture " + std::to_string(pictures) + " but " +
             std::to_string(x.delivered) + " delivered and " + std::to_string(x.lastDrops) +
             " reported dropped");
    if (pictures > x.completed + x.edges + x.awayPictures)
      Breach(s.Name() + ": picture " + std::to_string(pictures) + " of " +
             std::to_string(x.completed) + " frames the card completed and at most " +
             std::to_string(x.awayPictures) + " missed while it was away");
  }
  // The pictures after the last one delivered were reported to nobody. (Pictures missed
  // while the card was away come before some of the completions: counting from the last
  // picture checks fewer of them then, never more.)
  uint64_t lostWithBuffer = 0;
  for (uint64_t i = std::min<uint64_t>(pictures, x.completed); i < x.completed; ++i)
    lostWithBuffer += x.hadBuffer[i];
  if (lostWithBuffer > kInFlightAtStop)
    Breach(s.Name() + ": " + std::to_string(lostWithBuffer) +
           " frames completed with a buffer waiting were neither delivered nor reported");
  t.reportedDrops += static_cast<uint64_t>(x.lastDrops);
  t.unreported += x.completed - std::min(pictures, x.completed);
  x.hadBuffer.clear();
  x.hadBuffer.shrink_to_fit();
}

// ------------------------------------------------------------------ client and card actions

void Soak::StateChange() {
  Stream &s = AnyStream();
  if (s.pin == 0 || Busy(s)) return;
  auto to = static_cast<KSSTATE>(std::uniform_int_distribution<int>(0, 3)(rng_));
  SetState(s, to);
  if (to != KSSTATE_RUN)
    s.backToRunAt =
        machine_->now() + std::uniform_int_distribution<Nanos>(20, 500)(rng_) * sim::kMillisecond;
}

void Soak::ReopenPin() {
  Stream &s = AnyStream();
  if (Busy(s) || s.filter == 0) return;
  ClosePin(s);
  Reopen(s);
}

void Soak::ReopenFilter() {
  Stream &s = AnyStream();
  if (Busy(s)) return;
  CloseStream(s);
  Reopen(s);
}

void Soak::Properties() {
  // The picture controls and the decoder are filter properties (audio filters address
  // channel 0's decoder).
  Stream &s = AnyStream();
  Handle object = s.filter;
  if (object == 0 || Busy(s)) return;
  struct Control {
    ULONG id;
    LONG min, max;
  };
  static const Control kControls[] = {{KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, -128, 127},
                                      {KSPROPERTY_VIDEOPROCAMP_CONTRAST, 0, 255},
                                      {KSPROPERTY_VIDEOPROCAMP_HUE, -128, 127},
                                      {KSPROPERTY_VIDEOPROCAMP_SATURATION, 0, 255},
                                      {KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 0, 15}};
  const Control &c = kControls[std::uniform_int_distribution<int>(0, 4)(rng_)];
  ++properties_;
  // A refusal for want of memory in a low-resources window is an answer too.
  auto refused = [&](NTSTATUS status) {
    if (status == STATUS_SUCCESS) return false;
    if (Excused(status, s)) ++excused_;
    return true;
  };
  auto unexcused = [&](NTSTATUS status) { return refused(status) && !Excused(status, s); };
  switch (std::uniform_int_distribution<int>(0, 5)(rng_)) {
    case 0:
    case 1: {
      KSPROPERTY_VIDEOPROCAMP_S set{}, got{};
      set.Value = std::uniform_int_distribution<LONG>(c.min, c.max)(rng_);
      set.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
      NTSTATUS status = client_->SetS(object, PROPSETID_VIDCAP_VIDEOPROCAMP, c.id, set);
      if (refused(status)) {
        if (!Excused(status, s)) Breach(s.Name() + ": a control value in range is refused");
        break;
      }
      status = client_->GetS(object, PROPSETID_VIDCAP_VIDEOPROCAMP, c.id, &got);
      if (refused(status)) {
        if (!Excused(status, s)) Breach(s.Name() + ": a control cannot be read back");
        break;
      }
      ++propertyChecks_;
      if (got.Value != set.Value)
        Breach(s.Name() + ": control " + std::to_string(c.id) + " set to " +
               std::to_string(set.Value) + " reads " + std::to_string(got.Value));
      break;
    }
    case 2: {
      KSPROPERTY_VIDEOPROCAMP_S set{};
      set.Value = std::bernoulli_distribution(0.5)(rng_) ? c.max + 1 : c.min - 1;
      if (NT_SUCCESS(client_->SetS(object, PROPSETID_VIDCAP_VIDEOPROCAMP, c.id, set)))
        Breach(s.Name() + ": a control value out of range is accepted");
      break;
    }
    case 3: {
      KSPROPERTY_VIDEODECODER_STATUS_S status{};
      if (unexcused(client_->GetS(object, PROPSETID_VIDCAP_VIDEODECODER,
                                  KSPROPERTY_VIDEODECODER_STATUS, &status)))
        Breach(s.Name() + ": the decoder status cannot be read");
      break;
    }
    case 4: {
      std::vector<uint8_t> description;
      if (unexcused(
              client_->BasicSupport(object, PROPSETID_VIDCAP_VIDEOPROCAMP, c.id, &description)))
        Breach(s.Name() + ": no basic support for a control");
      break;
    }
    case 5: {
      KSPROPERTY_VIDEODECODER_S standard{};
      if (unexcused(client_->GetS(object, PROPSETID_VIDCAP_VIDEODECODER,
                                  KSPROPERTY_VIDEODECODER_STANDARD, &standard)))
        Breach(s.Name() + ": the standard cannot be read");
      break;
    }
  }
}

void Soak::Starve() {
  Stream &s = AnyStream();
  s.starvedUntil =
      machine_->now() + std::uniform_int_distribution<Nanos>(50, 400)(rng_) * sim::kMillisecond;
}

void Soak::ChannelError() {
  int card = std::uniform_int_distribution<int>(0, options_.cards - 1)(rng_);
  unsigned channel = std::uniform_int_distribution<unsigned>(0, 7)(rng_);
  cards_[card].card->ScheduleChannelError(
      machine_->now() + std::uniform_int_distribution<Nanos>(0, 20)(rng_) * sim::kMillisecond,
      channel);
}

void Soak::SignalLoss() {
  int card = std::uniform_int_distribution<int>(0, options_.cards - 1)(rng_);
  unsigned channel = std::uniform_int_distribution<unsigned>(0, 7)(rng_);
  Nanos at =
      machine_->now() + std::uniform_int_distribution<Nanos>(0, 20)(rng_) * sim::kMillisecond;
  cards_[card].card->ScheduleSignalLoss(at, channel);
  cards_[card].card->ScheduleSignalReturn(
      at + std::uniform_int_distribution<Nanos>(20, 600)(rng_) * sim::kMillisecond, channel);
}

void Soak::StandardChange() {
  int card = std::uniform_int_distribution<int>(0, options_.cards - 1)(rng_);
  unsigned channel = std::uniform_int_distribution<unsigned>(0, 7)(rng_);
  sim::Card &c = *cards_[card].card;
  c.ScheduleStandardChange(machine_->now() + sim::kMillisecond, channel,
                           !c.inputSignal(channel).lines625);
}

// ------------------------------------------------------------------ the platform's actions

void Soak::Platform(int k, const char *what, std::function<void()> body,
                    std::function<void()> then) {
  CardSlot &slot = cards_[k];
  Log("card" + std::to_string(k) + ": " + what);
  slot.busy = what;
  slot.then = std::move(then);
  if (machine_->threaded()) {
    slot.thread = machine_->CreateThread(what, std::move(body), sim::ThreadKind::System);
  } else {
    body();
    PlatformDone(k);
  }
}

void Soak::PlatformDone(int k) {
  CardSlot &slot = cards_[k];
  Log(std::string("card") + std::to_string(k) + ": " + slot.busy + " over");
  if (slot.thread != 0) machine_->JoinThread(slot.thread);
  slot.thread = 0;
  std::function<void()> then = std::move(slot.then);
  slot.then = nullptr;
  slot.busy = nullptr;
  if (then) then();
}

int Soak::IdleCard() {
  int k = std::uniform_int_distribution<int>(0, options_.cards - 1)(rng_);
  return cards_[k].busy == nullptr ? k : -1;
}

void Soak::CardAway(int k, Nanos from, Nanos to) {
  for (Stream &s : streams_) {
    if (s.card != k || !s.session.open || s.state != KSSTATE_RUN) continue;
    ++s.session.aways;
    if (s.video && s.frameTime > 0)
      s.session.awayPictures += static_cast<uint64_t>((to - from) / 100 / s.frameTime) + 2;
  }
}

// The PnP manager stops the card, moves its register window and starts it again, the pins
// staying in their states; a start that fails (for want of memory) ends in a surprise
// removal.
void Soak::Rebalance() {
  int k = IdleCard();
  if (k < 0) return;
  struct Result {
    NTSTATUS status = STATUS_SUCCESS;
    Nanos from = 0, to = 0;
  };
  auto r = std::make_shared<Result>();
  Platform(
      k, "rebalance",
      [this, k, r] {
        r->from = machine_->now();
        r->status = machine_->pnp().RebalanceCard(*cards_[k].pnp);
        r->to = machine_->now();
      },
      [this, k, r] {
        if (NT_SUCCESS(r->status)) {
          CardAway(k, r->from, r->to);
          return;
        }
        if (!cards_[k].pnp->surpriseRemoved) {
          Breach("card" + std::to_string(k) + ": a rebalance failed (" + Hex(r->status) +
                 ") and the card was not removed");
          return;
        }
        ++events_["rebalance that did not come back"];
        ReplaceCard(k);
      });
}

// A system sleep: the applications pause their running pins first (or not), the card goes
// to D3 and comes back to D0, and the pins run again before or after it.
void Soak::SleepWake() {
  int k = IdleCard();
  if (k < 0) return;
  struct Result {
    NTSTATUS down = STATUS_SUCCESS, up = STATUS_SUCCESS;
    Nanos from = 0, to = 0;
  };
  auto r = std::make_shared<Result>();
  sim::ks::SleepOptions options;
  options.pausePins = std::uniform_int_distribution<int>(0, 3)(rng_) != 0;
  options.runPinsBeforeD0 = std::bernoulli_distribution(0.5)(rng_);
  Nanos asleep = std::uniform_int_distribution<Nanos>(100, 2000)(rng_) * sim::kMillisecond;
  ++events_[options.pausePins ? "sleep with pins paused" : "sleep with pins running"];
  Platform(
      k, "sleep",
      [this, k, r, options, asleep] {
        // The pins the sleep pauses are what this soak's clients see paused meanwhile.
        std::vector<Stream *> paused;
        for (Stream &s : streams_)
          if (s.card == k && s.pin != 0 && s.state == KSSTATE_RUN) {
            if (options.pausePins) {
              s.running = false;
              paused.push_back(&s);
            }
          }
        r->from = machine_->now();
        sim::ks::SleepRecord record;
        r->down = sim::ks::EnterSleep(*cards_[k].pnp, options, &record);
        Wait(asleep);
        for (Stream *s : paused) s->enteringRun = true;
        r->up = sim::ks::LeaveSleep(*cards_[k].pnp, options, &record);
        r->to = machine_->now();
        for (Stream *s : paused) {
          s->enteringRun = false;
          s->running = true;
          ++s->session.resumes;
          s->session.firstAfterResume = true;
        }
      },
      [this, k, r] {
        if (r->down != STATUS_SUCCESS || r->up != STATUS_SUCCESS)
          Breach("card" + std::to_string(k) + ": sleep " + Hex(r->down) + ", wake " + Hex(r->up));
        CardAway(k, r->from, r->to);
      });
}

void Soak::SurpriseRemoval() {
  int k = IdleCard();
  if (k < 0) return;
  Platform(
      k, "surprise removal",
      [this, k] {
        NTSTATUS status = machine_->pnp().SurpriseRemoveCard(*cards_[k].pnp);
        if (status != STATUS_SUCCESS)
          Breach("card" + std::to_string(k) + ": surprise removal " + Hex(status));
      },
      [this, k] { ReplaceCard(k); });
}

void Soak::ReplaceCard(int k) {
  // Told the device is gone, the applications stop and close what they hold.
  for (Stream &s : streams_)
    if (s.card == k) CloseStream(s);
  sim::PnpManager::Card *old = cards_[k].pnp;
  if (!machine_->RunUntil([old] { return old->removed; }, machine_->now() + kPlatformPatience)) {
    Breach("card" + std::to_string(k) + ": the removal does not complete with every handle closed");
    throw Abort{};
  }
  // A new card of the same kind is plugged in, with memory to start it.
  machine_->faults().StopRandom();
  windowUntil_ = -1;
  sim::Card *card = NewCard(k);
  auto status = std::make_shared<NTSTATUS>(STATUS_SUCCESS);
  Platform(
      k, "a new card",
      [this, k, card, status] {
        sim::PnpManager::Card *pc = nullptr;
        *status = machine_->pnp().AddCard(card, &pc);
        if (NT_SUCCESS(*status)) *status = machine_->pnp().StartCard(*pc);
        cards_[k].pnp = pc;
      },
      [this, k, status] {
        if (*status != STATUS_SUCCESS || cards_[k].pnp == nullptr) {
          Breach("card" + std::to_string(k) + ": a new card does not start: " + Hex(*status));
          throw Abort{};
        }
        for (Stream &s : streams_)
          if (s.card == k) Reopen(s);
      });
}

// An orderly removal while the card's filters are open: refused, and capture goes on.
void Soak::RefusedRemoval() {
  int k = IdleCard();
  if (k < 0) return;
  bool held = false;
  for (const Stream &s : streams_) held |= s.card == k && s.filter != 0;
  if (!held) return;  // nothing would refuse it
  auto status = std::make_shared<NTSTATUS>(STATUS_SUCCESS);
  Platform(
      k, "orderly removal",
      [this, k, status] { *status = machine_->pnp().RemoveCard(*cards_[k].pnp); },
      [this, k, status] {
        if (*status != STATUS_PLUGPLAY_QUERY_VETOED)
          Breach("card" + std::to_string(k) + ": an orderly removal with handles open gave " +
                 Hex(*status));
      });
}

void Soak::ClockChange() {
  // Up to an hour either way.
  auto seconds = std::uniform_int_distribution<int64_t>(-3600, 3600)(rng_);
  machine_->AdjustSystemTime(seconds * 10'000'000);
}

// For a while, calls of the driver's for memory, mappings, adapters, IRPs, interrupts,
// factories and registry data fail at random.
void Soak::LowResources() {
  if (machine_->faults().randomOn()) return;
  uint64_t seed = rng_();
  double rate = std::uniform_real_distribution<double>(0.01, 0.2)(rng_);
  machine_->faults().SetRandom(seed, rate);
  windowUntil_ =
      machine_->now() + std::uniform_int_distribution<Nanos>(200, 2000)(rng_) * sim::kMillisecond;
  // A running capture allocates little: what does is made inside the window, pins and
  // filters opened again and now and then a card restarted.
  for (int n = std::uniform_int_distribution<int>(1, 3)(rng_); n > 0; --n) {
    if (std::bernoulli_distribution(0.7)(rng_))
      ReopenPin();
    else
      ReopenFilter();
  }
  if (std::bernoulli_distribution(0.3)(rng_)) Rebalance();
}

// ------------------------------------------------------------------ the run

// Memory is compared with every pin of every stream open, whatever their states, and with
// no platform action under way; false when that cannot be had now.
bool Soak::Checkpoint() {
  if (machine_->faults().randomOn()) return false;
  for (const CardSlot &slot : cards_)
    if (slot.busy != nullptr) return false;
  for (Stream &s : streams_) Reopen(s);
  for (const Stream &s : streams_)
    if (s.pin == 0) return false;
  Sample x{static_cast<double>(machine_->now()) / sim::kSecond, PoolBytes(), ResidentKb(), {}};
  for (const char *tag : kTags) {
    char text[48];
    std::snprintf(text, sizeof text, " %s %zu", tag,
                  machine_->pool().liveBytes(sim::Pool::TagFromName(tag)));
    x.byTag += text;
  }
  samples_.push_back(x);
  if (options_.progress) {
    const Sample &x = samples_.back();
    std::fprintf(stderr,
                 "soak: %.0f s simulated, pool %" PRIu64 " bytes, RSS %" PRIu64 " MB, %" PRIu64
                 " breach(es)\n",
                 x.at, x.pool, x.rssKb / 1024, breachCount_);
  }
  return true;
}

void Soak::Finish() {
  // What the platform is still doing finishes first, with memory to do it.
  machine_->faults().StopRandom();
  for (int k = 0; k < options_.cards; ++k) {
    for (int round = 0; round < 4 && cards_[k].busy != nullptr; ++round) {
      if (cards_[k].thread != 0 &&
          !machine_->JoinThread(cards_[k].thread, machine_->now() + kPlatformPatience)) {
        Breach(std::string("card") + std::to_string(k) + ": the " + cards_[k].busy +
               " does not end");
        throw Abort{};
      }
      PlatformDone(k);  // may start another (a new card after a removal)
    }
  }
  for (Stream &s : streams_) CloseStream(s);
  if (machine_->pool().liveCount() != poolAfterStart_)
    Breach("with every handle closed " + std::to_string(machine_->pool().liveCount()) +
           " pool blocks are allocated, " + std::to_string(poolAfterStart_) + " after start");
  client_.reset();
  for (CardSlot &slot : cards_) machine_->pnp().RemoveCard(*slot.pnp);
  machine_->pnp().UnloadDriver();  // the verifier's leak check
  if (machine_->pool().liveCount() != 0) Breach("pool left after the driver unloaded");
  if (machine_->connectedInterrupts() != 0) Breach("an interrupt left connected");
  if (machine_->dma().liveAdapters() != 0 || machine_->dma().liveCommonBuffers() != 0)
    Breach("DMA adapters or common buffers left");
  for (const CardSlot &slot : cards_)
    if (machine_->liveMappings(slot.card.get()) != 0) Breach("registers left mapped");
  for (const auto &card : removedCards_)
    if (machine_->liveMappings(card.get()) != 0) Breach("a removed card's registers left mapped");
}

int Soak::Run() {
  auto wallStart = std::chrono::steady_clock::now();
  try {
    Start();
    end_ = machine_->now() + static_cast<Nanos>(options_.seconds * sim::kSecond);
    Nanos nextCheckpoint = machine_->now();
    std::uniform_real_distribution<double> u(0, 1);
    while (machine_->now() < end_) {
      if (machine_->now() >= nextCheckpoint && Checkpoint())
        nextCheckpoint += static_cast<Nanos>(kCheckpointSeconds * sim::kSecond);
      machine_->RunFor(std::min(kSlice, end_ - machine_->now()));
      for (int k = 0; k < options_.cards; ++k)
        if (cards_[k].busy != nullptr && cards_[k].thread != 0 &&
            machine_->ThreadFinished(cards_[k].thread))
          PlatformDone(k);
      if (windowUntil_ >= 0 && machine_->now() >= windowUntil_) {
        machine_->faults().StopRandom();
        windowUntil_ = -1;
      }
      for (Stream &s : streams_) {
        Drain(s);
        if (!Busy(s)) {
          if (s.backToRunAt >= 0 && machine_->now() >= s.backToRunAt) {
            s.backToRunAt = -1;
            SetState(s, KSSTATE_RUN);
          }
          // What a refusal closed opens again once memory is back.
          if ((s.filter == 0 || s.pin == 0) && !machine_->faults().randomOn()) Reopen(s);
        }
        // Buffers go on being queued while the platform works on the card, as
        // applications that know nothing of it do.
        if (!Gone(s)) Feed(s);
      }
      double slice = static_cast<double>(kSlice) / sim::kSecond;
      for (ActionKind &a : actions_) {
        if (u(rng_) >= a.perSecond * slice) continue;
        ++a.count;
        Log(a.name);
        (this->*a.run)();
      }
    }
    while (!Checkpoint()) {
      for (int k = 0; k < options_.cards; ++k)
        if (cards_[k].busy != nullptr && cards_[k].thread != 0) PlatformDone(k);
      machine_->faults().StopRandom();
      machine_->RunFor(kSlice);
    }
    Finish();
  } catch (const sim::VerifierStop &stop) {
    verifierStop_ = stop.what();
    Breach(std::string("verifier stop: ") + stop.what());
  } catch (const Abort &) {
    // Recorded as a breach where it happened.
  }
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
  Report(wall);
  return breachCount_ == 0 ? 0 : 1;
}

void Soak::Report(double wall) {
  double simulated = static_cast<double>(end_ != 0 ? machine_->now() : 0) / sim::kSecond;
  std::printf("soak: seed %" PRIu64 ", %.0f simulated seconds in %.0f s of wall time (%.1fx), ",
              options_.seed, simulated, wall, wall > 0 ? simulated / wall : 0.0);
  std::printf("%d cards (", options_.cards);
  for (int k = 0; k < options_.cards; ++k)
    std::printf("%s%s", k ? ", " : "", k % 2 == 0 ? "6864" : "standard");
  std::printf("), %u processor%s\n\n", options_.processors, options_.processors == 1 ? "" : "s");
  std::printf("%-12s %10s %10s %9s %10s %9s %9s %8s\n", "streams", "completed", "delivered",
              "dropped", "unreported", "starved", "cancelled", "sessions");
  uint64_t straddled = 0, edges = 0, aways = 0;
  for (int k = 0; k < options_.cards; ++k)
    for (bool video : {true, false}) {
      Totals sum;
      for (const Stream &s : streams_) {
        if (s.card != k || s.video != video) continue;
        const Totals &t = s.totals;
        sum.completed += t.completed;
        sum.delivered += t.delivered;
        sum.reportedDrops += t.reportedDrops;
        sum.unreported += t.unreported;
        sum.starved += t.starved;
        sum.cancelled += t.cancelled;
        sum.sessions += t.sessions;
        straddled += t.straddled;
        edges += t.edges;
        aways += t.aways;
      }
      std::printf("card%d %-6s %10" PRIu64 " %10" PRIu64 " %9" PRIu64 " %10" PRIu64 " %9" PRIu64
                  " %9" PRIu64 " %8" PRIu64 "\n",
                  k, video ? "video" : "audio", sum.completed, sum.delivered, sum.reportedDrops,
                  sum.unreported, sum.starved, sum.cancelled, sum.sessions);
    }
  std::printf("begun while paused, completed in RUN: %" PRIu64
              "; begun during a change to RUN: %" PRIu64
              "; sessions through the card's absence: %" PRIu64 "\n",
              straddled, edges, aways);
  std::printf("\nactions:");
  for (const ActionKind &a : actions_) std::printf(" %s %" PRIu64 ";", a.name, a.count);
  std::printf("\nplatform:");
  for (const auto &[what, n] : events_) std::printf(" %s %" PRIu64 ";", what.c_str(), n);
  const sim::FaultInjector &faults = machine_->faults();
  std::printf(" driver calls failed for want of resources %" PRIu64 " of %" PRIu64
              "; client requests refused for it %" PRIu64 "\n",
              faults.totalFailures(), faults.totalCalls(), excused_);
  std::printf("property requests %" PRIu64 " (%" PRIu64 " set and read back)\n", properties_,
              propertyChecks_);
  if (!samples_.empty()) {
    const Sample &first = samples_.front(), &last = samples_.back();
    uint64_t lo = first.pool, hi = first.pool;
    for (const Sample &x : samples_) {
      lo = std::min(lo, x.pool);
      hi = std::max(hi, x.pool);
    }
    std::printf("memory: driver pool %" PRIu64 "-%" PRIu64
                " bytes over %zu checkpoints; "
                "process %" PRIu64 " -> %" PRIu64 " MB resident\n",
                lo, hi, samples_.size(), first.rssKb / 1024, last.rssKb / 1024);
    if (hi != lo)
      Breach("driver pool not flat with the same pins open: bytes by tag" + first.byTag +
             " at the first checkpoint," + last.byTag + " at the last");
  }
  // After the first minute (allocator pools and caches warmed up) the process stays flat.
  if (samples_.size() >= 3 && samples_.back().rssKb > samples_[1].rssKb + kRssGrowthKb)
    Breach("the process grew from " + std::to_string(samples_[1].rssKb / 1024) + " MB to " +
           std::to_string(samples_.back().rssKb / 1024) + " MB resident after the first minute");
  std::printf("verifier: %s\n", verifierStop_.empty() ? "no stop" : verifierStop_.c_str());
  if (breachCount_ == 0) {
    std::printf("result: PASS\n");
    return;
  }
  std::printf("result: FAIL, %" PRIu64 " breach(es):\n", breachCount_);
  for (const std::string &b : breaches_) std::printf("  %s\n", b.c_str());
  if (breachCount_ > breaches_.size())
    std::printf("  ... and %" PRIu64 " more\n", breachCount_ - breaches_.size());
  std::printf("replay: morvane-soak --seconds %.0f --seed %" PRIu64 " --cards %d --cpus %u\n",
              options_.seconds, options_.seed, options_.cards, options_.processors);
}

}  // namespace soak
