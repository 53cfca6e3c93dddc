// The card's capture engines: video fields and audio blocks written by DMA on the
// machine's clock, status and interrupt, and the faults injected on the same clock.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include "sim/card/card.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/machine.h"

namespace sim {

namespace {

constexpr uint32_t kFieldBufferBytes = 414'720;  // 288 lines of 1440 bytes
constexpr unsigned kKeepWindow = 15;
// Above 1 MHz the clock is nonsense, and a block would take no time at all.
constexpr uint32_t kSlowestDivisor = 8'192'000;

// What an input without signal carries.
class NoSignal : public InputSource {
 public:
  void RenderLine(const FieldRequest &, unsigned, uint8_t *y, uint8_t *u, uint8_t *v) override {
    std::memset(y, kBlack.y, kSourceWidth);
    std::memset(u, kBlack.u, kSourceWidth);
    std::memset(v, kBlack.v, kSourceWidth);
  }
  void RenderAudio(const AudioRequest &request, int16_t *out) override {
    std::fill(out, out + request.count, int16_t{0});
  }
};

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

}  // namespace

// Whether the machine the engines schedule on still exists.
struct Card::MachineLink {
  Machine *machine = nullptr;
};

void Card::AttachEngines() {
  if (!link_) link_ = std::make_shared<MachineLink>();
  if (machine() == nullptr || link_->machine == machine()) return;
  link_->machine = machine();
  std::weak_ptr<MachineLink> weak = link_;
  machine()->OnTeardown([weak] {
    if (auto link = weak.lock()) link->machine = nullptr;
  });
}

void Card::DetachEngines() {
  Machine *m = EngineMachine();
  if (m == nullptr) return;
  for (const auto &e : video_)
    if (e.event != 0) m->CancelEvent(e.event);
  for (const auto &e : audio_)
    if (e.event != 0) m->CancelEvent(e.event);
  for (uint64_t id : scheduled_) m->CancelEvent(id);
  scheduled_.clear();
  if (renderAhead_)
    for (unsigned c = 0; c < kVideoChannels; ++c) DropAhead(c);
  link_->machine = nullptr;
}

Machine *Card::EngineMachine() const { return link_ ? link_->machine : nullptr; }

bool Card::OnBus() const {
  Machine *m = EngineMachine();
  if (m == nullptr) return false;
  const auto &devices = m->pciDevices();
  return std::find(devices.begin(), devices.end(), this) != devices.end();
}

InputSource &Card::CarriedSource(unsigned channel) {
  if (!sources_[channel]) sources_[channel] = std::make_shared<PatternSource>();
  return *sources_[channel];
}

std::shared_ptr<InputSource> Card::SharedSourceFor(unsigned channel) {
  static const std::shared_ptr<InputSource> noSignal = std::make_shared<NoSignal>();
  if (!inputs_[channel].present) return noSignal;
  CarriedSource(channel);
  return sources_[channel];
}

InputSource &Card::SourceFor(unsigned channel) { return *SharedSourceFor(channel); }

void Card::SetRenderAhead(std::shared_ptr<RenderAhead> worker) {
  if (renderAhead_)
    for (unsigned c = 0; c < kVideoChannels; ++c) DropAhead(c);
  renderAhead_ = std::move(worker);
}

// A field of each type per channel may be on its way: the next field is asked for
// before the one that is due is taken.
const void *Card::AheadSlot(unsigned c, bool fieldB) const {
  return &video_[c].bank[fieldB ? 1 : 0];
}

void Card::DropAhead(unsigned c) {
  renderAhead_->Drop(AheadSlot(c, false));
  renderAhead_->Drop(AheadSlot(c, true));
}

void Card::RenderNextAhead(unsigned c) {
  std::shared_ptr<InputSource> source = SharedSourceFor(c);
  if (!source->Pure()) return;
  const VideoEngine &e = video_[c];
  const unsigned type = e.field.fieldB ? 1 : 0;
  const uint32_t capture = regs_[CaptureGeometryRegister(c) / 4];
  const uint32_t geometry = regs_[DmaGeometryRegister(c, type) / 4];
  const std::optional<PixelFormat> format =
      PixelFormatFromCode(regs_[ChannelControlRegister(c) / 4] >> 20 & 7);
  const FieldGeometry shape{format.value_or(PixelFormat::Yuy2), capture & 0xFFFF,
                            capture >> 16 & 0x7FFF, geometry >> 11 & 0x7FF};
  // Only what the card would capture as programmed now; anything else is its own affair.
  if (!format || shape.width == 0 || shape.lines == 0 || shape.width % PixelGroup(*format) != 0 ||
      PackedLineBytes(*format, shape.width) > shape.pitch || shape.bytes() > kFieldBufferBytes)
    return;
  renderAhead_->Request(AheadSlot(c, e.field.fieldB), std::move(source),
                        FieldRequest{c, e.field.frame, e.field.fieldB, e.field.lines625}, shape);
}

bool Card::PresentAt(unsigned channel, CardTime t) const {
  bool present = inputs_[channel].present;
  const auto &changes = presenceChanges_[channel];
  for (auto it = changes.rbegin(); it != changes.rend() && t < it->time; ++it) present = it->before;
  return present;
}

const InputTimeline &Card::inputTimeline(unsigned channel) const {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::inputTimeline channel");
  return timelines_[channel];
}

void Card::SetInputSource(unsigned channel, std::shared_ptr<InputSource> source) {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::SetInputSource channel");
  sources_[channel] = std::move(source);
}

std::shared_ptr<InputSource> Card::inputSource(unsigned channel) const {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::inputSource channel");
  return sources_[channel];
}

Card::EngineCounters Card::engineCounters(unsigned channelBit) const {
  if (channelBit >= counters_.size()) throw std::out_of_range("Card::engineCounters bit");
  return counters_[channelBit];
}

// ---- start and stop

void Card::OnRunningChanged(uint32_t before, uint32_t after) {
  const uint32_t changed = before ^ after;
  for (unsigned bit = 0; bit < 16; ++bit) {
    if ((changed & 1u << bit) == 0) continue;
    if ((after & 1u << bit) == 0) {
      StopEngine(bit);
    } else if (OnBus()) {
      ++counters_[bit].starts;
      if (bit < kVideoChannels)
        StartVideo(bit);
      else
        StartAudio(bit - kVideoChannels);
    }
  }
}

void Card::StopEngine(unsigned bit) {
  Machine *m = EngineMachine();
  uint64_t &event = bit < kVideoChannels ? video_[bit].event : audio_[bit - 8].event;
  if (event != 0 && m != nullptr) m->CancelEvent(event);
  event = 0;
  if (bit < kVideoChannels && renderAhead_) DropAhead(bit);
  if (bit < kVideoChannels)
    video_[bit].running = false;
  else
    audio_[bit - 8].running = false;
}

void Card::StartVideo(unsigned c) {
  VideoEngine &e = video_[c];
  e = VideoEngine{};
  e.running = true;
  // The decoder locks to the input and captures from the next top field on.
  e.field = timelines_[c].FieldStartingAtOrAfter(Now());
  if (e.field.fieldB) e.field = timelines_[c].FieldStartingAtOrAfter(e.field.end);
  e.event = EngineMachine()->At(e.field.end, [this, c] { VideoFieldDone(c); });
}

void Card::StartAudio(unsigned c) {
  AudioEngine &e = audio_[c];
  e = AudioEngine{};
  e.running = true;
  e.anchor = Now();
  e.address[0] = regs_[AudioBlockRegister(c, 0) / 4];
  e.address[1] = regs_[AudioBlockRegister(c, 1) / 4];
  e.blockBytes = regs_[AUDIO_BLOCK_LENGTH / 4] >> 19 & 0x1FFF;
  e.divisor = regs_[AUDIO_SAMPLE_CLOCK / 4];
  // Without a sample clock or a block length the channel has nothing to do.
  if (e.divisor == 0 || e.blockBytes == 0) return;
  AudioRequest timing{c, e.anchor, 0, e.divisor, 0, nullptr};
  e.event =
      EngineMachine()->At(timing.SampleTime(e.blockBytes / 2), [this, c] { AudioBlockDone(c); });
}

// ---- video

bool Card::KeepFrame(unsigned c, unsigned slot, bool lines625) const {
  const uint32_t pattern = regs_[FrameKeepRegister(c) / 4];
  if ((pattern & 0x80000000u) == 0) return true;
  const unsigned bit = 2 * slot + (lines625 ? 1 : 0);
  return (pattern >> bit & 3u) != 0;
}

void Card::VideoFieldDone(unsigned c) {
  VideoEngine &e = video_[c];
  e.event = 0;
  if (!OnBus()) {
    e.running = false;
    return;
  }
  const InputTimeline::Field field = e.field;
  if (!field.fieldB) {
    e.keep = KeepFrame(c, e.nextSlot, field.lines625);
    e.nextSlot = (e.nextSlot + 1) % kKeepWindow;
    e.frameOpen = true;
  }
  // Without bus mastering nothing reaches memory.
  const bool capture = e.keep && e.frameOpen && Masters();
  // The next field is scheduled first: the interrupt below may stop (or restart) us.
  e.field = timelines_[c].FieldStartingAtOrAfter(field.end);
  e.event = EngineMachine()->At(e.field.end, [this, c] { VideoFieldDone(c); });
  if (renderAhead_) RenderNextAhead(c);
  if (!capture) {
    ++counters_[c].skipped;
    return;
  }
  const unsigned type = field.fieldB ? 1 : 0;
  const unsigned bank = e.bank[type];
  Completion done;
  if (!CaptureField(c, field, bank, &done)) return;
  e.bank[type] ^= 1;
  SetBufferStatus(1u << c | 1u << (24 + c), bank << c | type << (24 + c));
  ++counters_[c].completed;
  if (observer_) observer_(done);
  SignalCompletion(c);
}

bool Card::CaptureField(unsigned c, const InputTimeline::Field &field, unsigned bank,
                        Completion *done) {
  const unsigned type = field.fieldB ? 1 : 0;
  const uint32_t address = regs_[DmaAddressRegister(c, type, bank) / 4];
  if (address == 0) return false;

  Machine &m = *EngineMachine();
  auto where = [&] { return "card channel " + std::to_string(c) + " field " + "AB"[type]; };
  const uint32_t capture = regs_[CaptureGeometryRegister(c) / 4];
  const uint32_t geometry = regs_[DmaGeometryRegister(c, type) / 4];
  const uint32_t code = regs_[ChannelControlRegister(c) / 4] >> 20 & 7;
  const unsigned width = capture & 0xFFFF;
  const unsigned lines = capture >> 16 & 0x7FFF;
  const unsigned dmaLines = geometry >> 22;
  const unsigned pitch = geometry >> 11 & 0x7FF;
  const std::optional<PixelFormat> format = PixelFormatFromCode(code);
  if ((capture & 0x80000000u) == 0 || width == 0 || lines == 0)
    m.verifier().Stop(Rule::InvalidParameter,
                      where() + ": capture geometry " + Hex(capture) + " not programmed");
  if (!format)
    m.verifier().Stop(Rule::InvalidParameter,
                      where() + ": pixel format code " + std::to_string(code) + " not supported");
  if (pitch != (geometry & 0x7FF) || dmaLines != lines)
    m.verifier().Stop(Rule::InvalidParameter, where() + ": DMA geometry " + Hex(geometry) +
                                                  " does not match capture geometry " +
                                                  Hex(capture));
  if (width % PixelGroup(*format) != 0 || PackedLineBytes(*format, width) > pitch)
    m.verifier().Stop(Rule::InvalidParameter,
                      where() + ": " + std::to_string(width) + " " + PixelFormatName(*format) +
                          " pixels do not fit lines of " + std::to_string(pitch) + " bytes");
  const FieldGeometry shape{*format, width, lines, pitch};
  const size_t bytes = shape.bytes();
  if (bytes > kFieldBufferBytes)
    m.verifier().Stop(Rule::DmaOutsideBuffer,
                      where() + ": " + std::to_string(bytes) + " bytes exceed a field buffer");

  // The field is built where the DMA puts it: nothing else runs meanwhile.
  uint8_t *out = m.dma().WriteTarget(address, bytes);
  InputSource &source = SourceFor(c);
  const FieldRequest request{c, field.frame, field.fieldB, field.lines625};
  if (!renderAhead_ || !renderAhead_->Take(AheadSlot(c, field.fieldB),
                                           RenderAhead::Key{&source, request, shape}, out))
    renderer_.Render(source, request, shape, out);

  done->channelBit = c;
  done->time = m.now();
  done->fieldB = field.fieldB;
  done->bank = bank;
  done->frame = field.frame;
  done->busAddress = address;
  done->bytes = static_cast<uint32_t>(bytes);
  return true;
}

// ---- audio

void Card::AudioBlockDone(unsigned c) {
  AudioEngine &e = audio_[c];
  e.event = 0;
  if (!OnBus()) {
    e.running = false;
    return;
  }
  Machine &m = *EngineMachine();
  const unsigned bit = kVideoChannels + c;
  const std::string where = "card audio channel " + std::to_string(c);
  if (e.blockBytes % 2 != 0)
    m.verifier().Stop(Rule::InvalidParameter, where + ": block length " +
                                                  std::to_string(e.blockBytes) +
                                                  " is not a whole number of samples");
  if (e.divisor < kSlowestDivisor)
    m.verifier().Stop(Rule::InvalidParameter,
                      where + ": sample clock " + Hex(e.divisor) + " above 1 MHz");

  const size_t count = e.blockBytes / 2;
  const AudioRequest request{c, e.anchor, e.index, e.divisor, count, &timelines_[c]};
  samples_.resize(count);
  const auto &changes = presenceChanges_[c];
  if (!changes.empty() && changes.back().time > request.SampleTime(e.index)) {
    // The signal came or went during the block: silence where it was away.
    CarriedSource(c).RenderAudio(request, samples_.data());
    for (size_t i = 0; i < count; ++i)
      if (!PresentAt(c, request.SampleTime(e.index + i))) samples_[i] = 0;
  } else {
    SourceFor(c).RenderAudio(request, samples_.data());
  }
  blockBytes_.resize(e.blockBytes);
  for (size_t i = 0; i < count; ++i) {
    const auto sample = static_cast<uint16_t>(samples_[i]);
    blockBytes_[2 * i] = static_cast<uint8_t>(sample);
    blockBytes_[2 * i + 1] = static_cast<uint8_t>(sample >> 8);
  }
  const unsigned which = e.next;
  const uint32_t address = Masters() ? e.address[which] : 0;
  if (address != 0) m.dma().Write(address, blockBytes_.data(), blockBytes_.size());
  e.next ^= 1;

  // A new clock takes over from the next sample on.
  e.index += count;
  const uint32_t divisor = regs_[AUDIO_SAMPLE_CLOCK / 4];
  if (divisor != 0 && divisor != e.divisor) {
    e.anchor = request.SampleTime(e.index);
    e.index = 0;
    e.divisor = divisor;
  }
  const AudioRequest following{c, e.anchor, 0, e.divisor, 0, nullptr};
  e.event = m.At(following.SampleTime(e.index + count), [this, c] { AudioBlockDone(c); });

  if (address == 0) return;
  SetBufferStatus(1u << bit, which << bit);
  ++counters_[bit].completed;
  if (observer_) {
    Completion done;
    done.channelBit = bit;
    done.time = m.now();
    done.bank = which;
    done.busAddress = address;
    done.bytes = e.blockBytes;
    observer_(done);
  }
  SignalCompletion(bit);
}

// ---- status and interrupt

void Card::SetBufferStatus(uint32_t mask, uint32_t bits) {
  uint32_t &status = regs_[BUFFER_STATUS / 4];
  status = (status & ~mask) | (bits & mask);
}

void Card::RaiseEventBit(unsigned bit) {
  regs_[INT_STATUS / 4] |= 1u << bit;
  Record(CardTraceEntry::Kind::Event, INT_STATUS, 1u << bit);
  UpdateLine();
}

void Card::SignalCompletion(unsigned bit) {
  const CardTime now = Now();
  for (const InterruptDelay &d : delays_) {
    if (d.bit != bit || now < d.from || now >= d.to || d.delay <= 0) continue;
    auto id = std::make_shared<uint64_t>(0);
    *id = ScheduleOnce(now + d.delay, [this, bit, id] {
      lateInterrupts_.erase(*id);
      RaiseEventBit(bit);
    });
    lateInterrupts_.insert(*id);
    return;
  }
  RaiseEventBit(bit);
}

void Card::DelayInterrupts(unsigned channelBit, CardTime from, CardTime to, CardTime delay) {
  if (channelBit >= 16) throw std::out_of_range("Card::DelayInterrupts channel bit");
  delays_.push_back(InterruptDelay{channelBit, from, to, delay});
}

// ---- fault injection

uint64_t Card::ScheduleOnce(CardTime when, std::function<void()> fn) {
  Machine *m = EngineMachine();
  if (m == nullptr) throw std::logic_error("Card: fault injection needs the card on a machine");
  auto id = std::make_shared<uint64_t>(0);
  *id = m->At(when, [this, id, fn = std::move(fn)] {
    scheduled_.erase(*id);
    fn();
  });
  scheduled_.insert(*id);
  return *id;
}

void Card::ScheduleChannelError(CardTime when, unsigned videoChannel) {
  if (videoChannel >= kVideoChannels) throw std::out_of_range("Card::ScheduleChannelError channel");
  ScheduleOnce(when, [this, videoChannel] { RaiseChannelError(videoChannel); });
}

void Card::ScheduleSignalLoss(CardTime when, unsigned channel) {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::ScheduleSignalLoss channel");
  ScheduleOnce(when, [this, channel] {
    InputSignal signal = inputs_[channel];
    signal.present = false;
    SetInputSignal(channel, signal);
  });
}

void Card::ScheduleSignalReturn(CardTime when, unsigned channel) {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::ScheduleSignalReturn channel");
  ScheduleOnce(when, [this, channel] {
    InputSignal signal = inputs_[channel];
    signal.present = true;
    SetInputSignal(channel, signal);
  });
}

void Card::ScheduleStandardChange(CardTime when, unsigned channel, bool lines625) {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::ScheduleStandardChange channel");
  ScheduleOnce(when, [this, channel, lines625] {
    InputSignal signal = inputs_[channel];
    signal.lines625 = lines625;
    SetInputSignal(channel, signal);
  });
}

}  // namespace sim
