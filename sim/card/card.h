// The emulated capture card as the driver sees it: PCI configuration space, the
// 4 KiB register block with its side effects, the level-sensitive interrupt line,
// the video decoders (memory-mapped, or bank 1 behind the two-wire bus on the 0x6864
// board), the input signals and what they carry, the capture engines that write
// fields and audio blocks by DMA, fault injection on the virtual timeline, and a
// trace of every access for tests.
//
// Capture engines. A channel runs while its bit is set in both 0x08 and 0x28 and
// bit 31 of 0x08 is set; its engine starts and stops with that, on the machine's clock.
//
// Video channel c follows its input's field grid (sim/card/timeline.h): it starts with
// the first field A that begins at or after the start, and completes each field at
// the field's end. Frames are kept by the pattern in 0xE4 + 4c when its bit 31 is
// set: frame k (0-14, counted from the start, repeating) is kept when bit 2k + s or
// 2k + s + 1 is set, s = 1 while the input carries 625 lines, else 0; a skipped frame
// writes nothing and raises nothing for either field. For each kept field the card
// reads
//   0x128 + 4c   capture geometry: bit 31 set, lines per field L in 30-16, width W in 15-0
//   DMA block 0x200 + 0x20c: +0x04 (field A) / +0x14 (field B) geometry
//                lines << 22 | bytesPerLine << 11 | bytesPerLine, lines equal to L
//   0x40 + 4c    bits 20-22: pixel format (sim/card/pixels.h)
// scales the input field (720 x 240, or 720 x 288 for 625 lines) to W x L by nearest
// neighbour (output pixel x, line l shows source pixel x * 720 / W of source line
// l * sourceLines / L), packs each line into bytesPerLine bytes (zero padded), and
// writes the field by DMA to the buffer of its field and bank: +0x00 A0, +0x08 A1,
// +0x10 B0, +0x18 B1. Each field type alternates its own bank from bank 0. Then
// BUFFER_STATUS bit c = bank and bit 24 + c = field B, INT_STATUS bit c, interrupt.
// A geometry the card cannot honour is the driver's fault and stops the verifier
// (Rule::InvalidParameter; Rule::DmaOutsideBuffer for a field above 414,720 bytes or
// outside a live common buffer); nothing is written then.
//
// Audio channel c (bit 8 + c) samples 16-bit little-endian mono at 8,192,000,000,000 /
// value(0xB4) Hz: sample k at start + floor(k * value / 8192) ns, counted from the
// channel's start or from the last change of the clock. Blocks of
// (0xB0 >> 19) & 0x1FFF bytes go alternately to block A (address in 0x60 + 8c) and B
// (0x64 + 8c), starting with A; a block completes when its last sample has been taken
// one sample period earlier (block n at start + (n + 1) * samples * value / 8192 ns).
// Then BUFFER_STATUS bit 8 + c = 0 after A, 1 after B, INT_STATUS bit 8 + c,
// interrupt. Addresses and the block length are read at the start, the clock after
// every block (a change applies from the next one).
//
// A buffer address of 0 means the driver never armed that buffer: the card writes
// nothing there and raises nothing for it. With no signal the card captures black
// (Y 16, U and V 128) and silence, with the same timing: a field is black when the
// signal is away at its end; samples taken from a loss until the return are 0.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "card_registers.h"
#include "morvane/card_ids.h"
#include "sim/card/decoder.h"
#include "sim/card/render.h"
#include "sim/card/serial_bus.h"
#include "sim/card/signal.h"
#include "sim/card/source.h"
#include "sim/card/timeline.h"
#include "sim/kernel/pci.h"

namespace sim {

struct CardTraceEntry {
  enum class Kind : uint8_t {
    Read,         // register load; value = what the driver got
    Write,        // register store; value = what the driver stored
    Barrier,      // full memory barrier issued by the processor
    ConfigRead,   // configuration dword read
    ConfigWrite,  // configuration dword write (value as written, before masking)
    Reset,        // the card returned to its power-up state
    Event,        // a hook raised status bits; offset = register, value = bits
    Line,         // the interrupt line changed; value = 1 asserted, 0 released
    Fault,        // an access the card cannot serve (unaligned, outside the window)
  };
  CardTime time = 0;
  Kind kind = Kind::Read;
  uint32_t offset = 0;
  uint32_t value = 0;

  bool operator==(const CardTraceEntry &) const = default;
  std::string ToString() const;
};

struct CardOptions {
  // Oldest entries are dropped beyond this many; 0 keeps everything.
  size_t traceCapacity = 0;
  // As on a PCI function, Interrupt Disable (command bit 10, set at power-up) keeps
  // the line quiet until the driver clears it. Off: the line follows INT_STATUS alone.
  bool honourInterruptDisable = true;
};

class Card : public PciDevice {
 public:
  enum class Variant {
    Device6864,  // bank 1 decoder sits on the two-wire bus
    Standard,    // both decoder banks memory-mapped
  };

  // The IDs the driver package's models name (cmake/card-ids.cmake).
  static constexpr uint16_t kVendorId = morvane::kPciVendorId;
  static constexpr uint16_t kDevice6864Id = morvane::kPciDeviceId6864;
  static constexpr uint16_t kStandardDeviceId = morvane::kPciDeviceIdStandard;
  static constexpr uint16_t kSubsystemId = morvane::kPciSubsystemId;
  static constexpr uint32_t kWindowLength = 0x1000;
  static constexpr uint32_t kConfigLength = 0x100;

  // The registers are named in card_registers.h, shared with the driver. Decoder bank 1 is
  // in the block only on the Standard board; on the 0x6864 board its window is plain
  // storage.

  // SERIAL_IF bits on the wires; the others are storage for other functions.
  static constexpr uint32_t kSerialClock = 1u << 0;
  static constexpr uint32_t kSerialData = 1u << 1;      // driven level; reads the line
  static constexpr uint32_t kSerialRelease = 1u << 17;  // let the device drive data

  static constexpr unsigned kVideoChannels = 8;

  static constexpr uint32_t kChannelBits = 0x0000FFFFu;

  // Configuration dwords with bits the driver clears at start.
  static constexpr uint32_t kConfigCommandStatus = 0x04;
  static constexpr uint32_t kConfigVendorControl = 0x50;
  static constexpr uint32_t kConfigVendorGate = 0xAC;
  static constexpr uint32_t kCommandMemorySpace = 1u << 1;
  static constexpr uint32_t kCommandBusMaster = 1u << 2;
  static constexpr uint32_t kCommandInterruptDisable = 1u << 10;
  static constexpr uint32_t kVendorControlGate = 1u << 16;
  static constexpr uint32_t kVendorGateBit = 1u << 31;

  explicit Card(Variant variant);
  Card(Variant variant, const CardOptions &options);
  ~Card() override;
  Card(const Card &) = delete;
  Card &operator=(const Card &) = delete;

  Variant variant() const { return variant_; }
  uint16_t deviceId() const;

  // ---- PciDevice
  uint32_t ConfigRead32(uint32_t offset) override;
  void ConfigWrite32(uint32_t offset, uint32_t value) override;
  uint32_t WindowLength() const override { return kWindowLength; }
  uint32_t MmioRead32(uint32_t offset) override;
  void MmioWrite32(uint32_t offset, uint32_t value) override;
  void OnBarrier() override;

  // Back to the power-up state (registers, configuration space, line released).
  void Reset();

  // ---- power and presence
  // The PCI power state, as the bus driver sets it in the power management control register
  // (0x44, bits 0-1): in D3 the card captures nothing, raises no interrupt and its register
  // window reads all ones (writes are lost); leaving D3 it comes back in its power-up state.
  // D1 and D2 are not supported (the capability says so): a write of them changes nothing.
  unsigned pciPowerState() const { return powerState_; }
  // The card leaves the bus without warning (surprise removal): from now on its window and
  // its configuration space read all ones, and it does nothing.
  void Unplug() override;
  bool present() const { return present_; }
  // Whether the card answers memory cycles: present, in D0, with memory decoding on.
  bool Decodes() const;

  // ---- channel state
  // Channels the engines should run: bits set in both 0x08 and 0x28, and only while
  // the master enable (bit 31 of 0x08) is set.
  uint32_t RunningChannels() const;
  bool IsChannelRunning(unsigned bit) const;
  // Called after a register change alters RunningChannels(); runs inside the
  // driver's register access, so it should only schedule work.
  using RunningChangeHook = std::function<void(uint32_t before, uint32_t after)>;
  void SetRunningChangeHook(RunningChangeHook hook) { runningHook_ = std::move(hook); }

  // ---- status and error injection (used by engines and tests)
  // ORs events into INT_STATUS, replaces BUFFER_STATUS and asserts the line.
  void RaiseChannelEvents(uint32_t intStatusBits, uint32_t bufferStatus);
  // Reports an error on video channel 0-7 in this variant's layout.
  void RaiseChannelError(unsigned videoChannel);
  // ORs raw bits into ERROR_STATUS_A, ERROR_STATUS_B and INT_STATUS.
  void InjectErrorBits(uint32_t errorA, uint32_t errorB, uint32_t intStatusBits);
  // The line as the machine sees it, and whether INT_STATUS wants service.
  bool interruptLineAsserted() const { return lineAsserted_; }
  bool interruptPending() const;

  // ---- direct register access for tests and the engines: no trace, no read side
  // effects. Poke still updates the line, the running channels and the serial wires.
  void Poke(uint32_t offset, uint32_t value);
  uint32_t Peek(uint32_t offset) const;
  uint32_t PeekConfig(uint32_t offset) const;

  // ---- decoders
  // Bank 0, or bank 1: the external decoder on the 0x6864 board (a byte,
  // zero-extended), memory-mapped on the Standard board. Status bit 0 follows the input.
  uint32_t DecoderRegister(int bank, uint8_t r) const;
  // Stores without a trace; the external decoder keeps the low byte.
  void SetDecoderRegister(int bank, uint8_t r, uint32_t value);

  // ---- input signals: channel 0-7; present 525-line by default
  // A change of standard moves the input's field grid from its next field boundary on;
  // the decoder's status bit follows at once.
  void SetInputSignal(unsigned channel, const InputSignal &signal);
  InputSignal inputSignal(unsigned channel) const;
  const InputTimeline &inputTimeline(unsigned channel) const;
  // What the input carries while its signal is present; nullptr restores the built-in
  // PatternSource. Audio channel c hears input c.
  void SetInputSource(unsigned channel, std::shared_ptr<InputSource> source);
  std::shared_ptr<InputSource> inputSource(unsigned channel) const;
  // Renders the fields of pure sources ahead of their time on the given host worker
  // (shared by the cards of a machine); null renders every field when it is due. The
  // fields are the same either way.
  void SetRenderAhead(std::shared_ptr<RenderAhead> worker);

  // ---- fault injection on the virtual timeline (the card must be on a machine)
  // An error report on video channel 0-7 (RaiseChannelError) at `when`.
  void ScheduleChannelError(CardTime when, unsigned videoChannel);
  // The input's signal goes away or comes back at `when`; its standard is kept.
  void ScheduleSignalLoss(CardTime when, unsigned channel);
  void ScheduleSignalReturn(CardTime when, unsigned channel);
  // The input changes standard at `when` (see SetInputSignal).
  void ScheduleStandardChange(CardTime when, unsigned channel, bool lines625);
  // Completions of channel bit 0-15 at times from <= t < to raise their INT_STATUS bit
  // and the line `delay` ns late. The DMA and BUFFER_STATUS happen on time, so later
  // completions overwrite BUFFER_STATUS meanwhile. A late interrupt still arrives if
  // the channel has stopped by then; Reset() discards those in flight.
  void DelayInterrupts(unsigned channelBit, CardTime from, CardTime to, CardTime delay);
  void ClearInterruptDelays() { delays_.clear(); }

  // ---- what the engines did, for tests
  struct Completion {
    unsigned channelBit = 0;  // 0-7 video, 8-15 audio
    CardTime time = 0;
    bool fieldB = false;  // video
    unsigned bank = 0;    // video bank, or the audio block: 0 = A, 1 = B
    uint64_t frame = 0;   // video: the input frame number
    uint32_t busAddress = 0;
    uint32_t bytes = 0;
  };
  // Called after each buffer is written and BUFFER_STATUS set, before the interrupt.
  using CompletionObserver = std::function<void(const Completion &)>;
  void SetCompletionObserver(CompletionObserver observer) { observer_ = std::move(observer); }
  struct EngineCounters {
    uint64_t starts = 0;     // times the channel started
    uint64_t completed = 0;  // fields or blocks written and signalled
    uint64_t skipped = 0;    // video fields of frames the keep pattern dropped
  };
  EngineCounters engineCounters(unsigned channelBit) const;

  // ---- two-wire bus behind SERIAL_IF
  // Transactions decoded on the wires, complete ones and any cut short by Reset().
  const std::vector<BusTransaction> &BusLog() const { return bus_.log(); }
  // Line changes faster than standard mode allows, one text each.
  const std::vector<std::string> &BusTimingViolations() const { return bus_.violations(); }
  // Forgets the bus log and the timing violations (Clear() leaves them).
  void ClearBusLog() { bus_.ClearLog(); }
  // A missing external decoder does not acknowledge; the released line reads 1. Only
  // the 0x6864 board has one; its registers keep their values while it is away.
  void SetExternalDecoderPresent(bool present);
  bool externalDecoderPresent() const;

  // ---- trace
  const std::deque<CardTraceEntry> &trace() const { return trace_; }
  size_t droppedTraceEntries() const { return dropped_; }
  std::vector<uint32_t> Writes(uint32_t offset) const;
  std::vector<uint32_t> Reads(uint32_t offset) const;
  size_t CountReads(uint32_t offset) const;
  size_t CountWrites(uint32_t offset) const;
  size_t CountBarriers() const;
  std::vector<uint32_t> ConfigWrites(uint32_t offset) const;
  // Entries with from <= time < to.
  std::vector<CardTraceEntry> Between(CardTime from, CardTime to) const;
  const std::vector<CardTraceEntry> &faults() const { return faults_; }
  // Forgets the trace, the counters and the faults; the card's state is untouched.
  void Clear();
  // Access counts per register, for the demo program and failure reports.
  std::string Summary() const;

  static const char *RegisterName(uint32_t offset);

 protected:
  void OnPlugged() override;

 private:
  struct Counts {
    uint64_t reads = 0;
    uint64_t writes = 0;
  };

  void PowerUp();
  bool Powered() const { return present_ && powerState_ == 0; }
  // Bus mastering: DMA reaches memory only with command bit 2 set.
  bool Masters() const;
  // Stops the engines and drops the line when the card stops answering.
  void GoQuiet();
  void SetPowerState(unsigned state);
  void Record(CardTraceEntry::Kind kind, uint32_t offset, uint32_t value);
  void Fault(uint32_t offset, uint32_t value);
  CardTime Now() const;
  void UpdateLine();
  void StoreRegister(uint32_t offset, uint32_t value);
  // What a load returns: SERIAL_IF shows the data line in bit 1.
  uint32_t LoadView(uint32_t offset) const;
  // The video channel whose decoder status lives at this offset, or -1.
  int StatusChannelAt(uint32_t offset) const;
  void ApplyInputSignal(unsigned channel);
  void DriveBus(uint32_t serial);

  // ---- engines (engines.cpp)
  struct VideoEngine {
    bool running = false;
    uint64_t event = 0;  // the pending field completion, 0 for none
    InputTimeline::Field field;
    unsigned nextSlot = 0;  // frame of the 15-frame keep window
    bool keep = false;
    bool frameOpen = false;  // a field A of the current frame was seen
    unsigned bank[2] = {0, 0};
  };
  struct AudioEngine {
    bool running = false;
    uint64_t event = 0;
    CardTime anchor = 0;  // time of sample 0 of the current clock
    uint64_t index = 0;   // samples taken since the anchor
    uint32_t divisor = 0;
    uint32_t blockBytes = 0;
    uint32_t address[2] = {0, 0};
    unsigned next = 0;  // 0 = A, 1 = B
  };
  struct InterruptDelay {
    unsigned bit;
    CardTime from, to, delay;
  };
  struct MachineLink;

  void AttachEngines();
  void DetachEngines();
  Machine *EngineMachine() const;
  bool OnBus() const;
  void OnRunningChanged(uint32_t before, uint32_t after);
  void StartVideo(unsigned c);
  void StartAudio(unsigned c);
  void StopEngine(unsigned bit);
  void VideoFieldDone(unsigned c);
  void AudioBlockDone(unsigned c);
  bool KeepFrame(unsigned c, unsigned slot, bool lines625) const;
  // Renders and writes one field; false when its buffer is not armed.
  bool CaptureField(unsigned c, const InputTimeline::Field &field, unsigned bank, Completion *done);
  void SetBufferStatus(uint32_t mask, uint32_t bits);
  void SignalCompletion(unsigned bit);
  void RaiseEventBit(unsigned bit);
  uint64_t ScheduleOnce(CardTime when, std::function<void()> fn);
  // What the input carries while present; SourceFor is black and silence while absent.
  InputSource &CarriedSource(unsigned channel);
  InputSource &SourceFor(unsigned channel);
  std::shared_ptr<InputSource> SharedSourceFor(unsigned channel);
  // Asks the render-ahead worker for the channel's next field, if its source allows.
  void RenderNextAhead(unsigned c);
  const void *AheadSlot(unsigned c, bool fieldB) const;
  void DropAhead(unsigned c);
  static bool ValidOffset(uint32_t offset, uint32_t length) {
    return (offset & 3u) == 0 && offset < length;
  }

  Variant variant_;
  CardOptions options_;
  std::array<uint32_t, kWindowLength / 4> regs_{};
  std::array<uint32_t, kConfigLength / 4> config_{};
  bool lineAsserted_ = false;
  bool present_ = true;
  unsigned powerState_ = 0;  // PCI D-state
  uint32_t running_ = 0;
  RunningChangeHook runningHook_;

  std::array<InputSignal, kVideoChannels> inputs_{};
  std::array<InputTimeline, kVideoChannels> timelines_{};
  std::array<std::shared_ptr<InputSource>, kVideoChannels> sources_{};
  // When each input's signal last came or went, newest last, and whether it was there
  // before: an audio block spanning a change is part sound, part silence.
  struct PresenceChange {
    CardTime time = 0;
    bool before = true;
  };
  std::array<std::deque<PresenceChange>, kVideoChannels> presenceChanges_{};
  bool PresentAt(unsigned channel, CardTime t) const;
  std::array<VideoEngine, kVideoChannels> video_{};
  std::array<AudioEngine, kVideoChannels> audio_{};
  std::array<EngineCounters, 16> counters_{};
  std::vector<InterruptDelay> delays_;
  std::set<uint64_t> scheduled_;  // fault injections and late interrupts in flight
  std::set<uint64_t> lateInterrupts_;
  CompletionObserver observer_;
  std::shared_ptr<MachineLink> link_;
  // Scratch for rendering fields and the samples of a block.
  FieldRenderer renderer_;
  std::shared_ptr<RenderAhead> renderAhead_;
  std::vector<int16_t> samples_;
  std::vector<uint8_t> blockBytes_;
  ExternalDecoder external_;
  bool externalPresent_ = true;
  SerialBus bus_;

  std::deque<CardTraceEntry> trace_;
  size_t dropped_ = 0;
  std::vector<CardTraceEntry> faults_;
  std::map<uint32_t, Counts> counts_;
  uint64_t barriers_ = 0;
  uint64_t configReads_ = 0;
  uint64_t configWrites_ = 0;
};

}  // namespace sim
