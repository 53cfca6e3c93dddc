#include "sim/card/card.h"

#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "sim/kernel/machine.h"

namespace sim {

namespace {

// Configuration space layout (type 0 header, one capability).
constexpr uint32_t kCfgId = 0x00;
constexpr uint32_t kCfgClassRevision = 0x08;
constexpr uint32_t kCfgCacheLatency = 0x0C;
constexpr uint32_t kCfgBar0 = 0x10;
constexpr uint32_t kCfgSubsystem = 0x2C;
constexpr uint32_t kCfgCapPointer = 0x34;
constexpr uint32_t kCfgInterrupt = 0x3C;
constexpr uint32_t kCfgPmCap = 0x40;
constexpr uint32_t kCfgPmControl = 0x44;

// Command: memory space, bus master and Interrupt Disable on; status: capabilities list.
// The firmware leaves the function usable, but with its legacy interrupt masked.
constexpr uint32_t kPowerUpCommandStatus = 0x00100406;
// Multimedia controller (0x04), video (0x00), revision 1.
constexpr uint32_t kPowerUpClassRevision = 0x04000001;
// Board strapping around the bits the driver clears: the other bits are not the
// driver's to change and must come back unchanged from its read-modify-write.
constexpr uint32_t kPowerUpVendorControl = 0x0C010023;
constexpr uint32_t kPowerUpVendorGate = 0x80001F05;
// Power management capability, version 3, end of the list.
constexpr uint32_t kPowerUpPmCap = 0x00030001;

constexpr uint32_t kStatusInterruptPending = 1u << 19;  // Interrupt Status in the status half

// Bits a configuration write may change; ids, class, status and capabilities are
// read-only as on the hardware.
uint32_t ConfigWriteMask(uint32_t offset) {
  switch (offset) {
    case Card::kConfigCommandStatus:
      return 0x00000546;  // memory space, bus master, parity, SERR#, Interrupt Disable
    case kCfgCacheLatency:
      return 0x0000FFFF;  // cache line size, latency timer
    case kCfgBar0:
      return ~(Card::kWindowLength - 1);  // 4 KiB aligned base; low bits describe the BAR
    case kCfgInterrupt:
      return 0x000000FF;  // interrupt line is firmware scratch; the pin is fixed
    case kCfgPmControl:
      return 0x00000103;  // power state, PME enable
    case Card::kConfigVendorControl:
    case Card::kConfigVendorGate:
      return 0xFFFFFFFF;
    default:
      return 0;
  }
}

const char *KindName(CardTraceEntry::Kind kind) {
  switch (kind) {
    case CardTraceEntry::Kind::Read:
      return "read";
    case CardTraceEntry::Kind::Write:
      return "write";
    case CardTraceEntry::Kind::Barrier:
      return "barrier";
    case CardTraceEntry::Kind::ConfigRead:
      return "config-read";
    case CardTraceEntry::Kind::ConfigWrite:
      return "config-write";
    case CardTraceEntry::Kind::Reset:
      return "reset";
    case CardTraceEntry::Kind::Event:
      return "event";
    case CardTraceEntry::Kind::Line:
      return "line";
    case CardTraceEntry::Kind::Fault:
      return "fault";
  }
  return "?";
}

}  // namespace

std::string CardTraceEntry::ToString() const {
  char text[96];
  std::snprintf(text, sizeof text, "%12" PRId64 " %-12s 0x%03x 0x%08x", time, KindName(kind),
                offset, value);
  return text;
}

Card::Card(Variant variant) : Card(variant, CardOptions{}) {}

Card::Card(Variant variant, const CardOptions &options) : variant_(variant), options_(options) {
  PowerUp();
  AttachEngines();
}

Card::~Card() {
  DetachEngines();
  SetRenderAhead(nullptr);
}

uint16_t Card::deviceId() const {
  return variant_ == Variant::Device6864 ? kDevice6864Id : kStandardDeviceId;
}

void Card::PowerUp() {
  regs_.fill(0);
  external_.PowerUp();
  for (unsigned channel = 0; channel < kVideoChannels; ++channel) ApplyInputSignal(channel);
  // The pins take their power-up levels without making conditions on the wires.
  const uint32_t serial = regs_[SERIAL_IF / 4];
  bus_.Reset((serial & kSerialClock) != 0, (serial & kSerialRelease) != 0,
             (serial & kSerialData) != 0);
  bus_.SetDevice(externalDecoderPresent() ? &external_ : nullptr, Now());
  config_.fill(0);
  config_[kCfgId / 4] = kVendorId | static_cast<uint32_t>(deviceId()) << 16;
  config_[kConfigCommandStatus / 4] = kPowerUpCommandStatus;
  config_[kCfgClassRevision / 4] = kPowerUpClassRevision;
  config_[kCfgBar0 / 4] = static_cast<uint32_t>(windowBase()) & ~(kWindowLength - 1);
  config_[kCfgSubsystem / 4] = kVendorId | static_cast<uint32_t>(kSubsystemId) << 16;
  config_[kCfgCapPointer / 4] = kCfgPmCap;
  config_[kCfgInterrupt / 4] = 0x00000100 | (vector() & 0xFF);  // INTA#
  config_[kCfgPmCap / 4] = kPowerUpPmCap;
  config_[kConfigVendorControl / 4] = kPowerUpVendorControl;
  config_[kConfigVendorGate / 4] = kPowerUpVendorGate;
}

void Card::OnPlugged() {
  AttachEngines();
  // The bus assigned the window and the vector after power-up.
  config_[kCfgBar0 / 4] = static_cast<uint32_t>(windowBase()) & ~(kWindowLength - 1);
  config_[kCfgInterrupt / 4] = (config_[kCfgInterrupt / 4] & ~0xFFu) | (vector() & 0xFF);
  if (lineAsserted_) machine()->SetInterruptLine(vector(), true, this);
}

void Card::Reset() {
  Record(CardTraceEntry::Kind::Reset, 0, 0);
  Machine *m = EngineMachine();
  for (uint64_t id : lateInterrupts_) {
    if (m != nullptr) m->CancelEvent(id);
    scheduled_.erase(id);
  }
  lateInterrupts_.clear();
  PowerUp();
  UpdateLine();
  StoreRegister(CHANNEL_CONTROL, 0);  // reports channels that stopped
}

bool Card::Decodes() const {
  return Powered() && (config_[kConfigCommandStatus / 4] & kCommandMemorySpace) != 0;
}

bool Card::Masters() const {
  return Powered() && (config_[kConfigCommandStatus / 4] & kCommandBusMaster) != 0;
}

void Card::GoQuiet() {
  Machine *m = EngineMachine();
  for (uint64_t id : lateInterrupts_) {
    if (m != nullptr) m->CancelEvent(id);
    scheduled_.erase(id);
  }
  lateInterrupts_.clear();
  for (unsigned bit = 0; bit < 16; ++bit)
    if ((running_ >> bit & 1u) != 0) StopEngine(bit);
  running_ = 0;
  UpdateLine();
}

void Card::Unplug() {
  if (!present_) return;
  present_ = false;
  Record(CardTraceEntry::Kind::Reset, 0, 0xFFFFFFFF);
  GoQuiet();
}

CardTime Card::Now() const { return machine() ? machine()->now() : 0; }

void Card::Record(CardTraceEntry::Kind kind, uint32_t offset, uint32_t value) {
  trace_.push_back(CardTraceEntry{Now(), kind, offset, value});
  if (options_.traceCapacity != 0 && trace_.size() > options_.traceCapacity) {
    trace_.pop_front();
    ++dropped_;
  }
}

void Card::Fault(uint32_t offset, uint32_t value) {
  Record(CardTraceEntry::Kind::Fault, offset, value);
  faults_.push_back(trace_.back());
}

// ---- configuration space

uint32_t Card::ConfigRead32(uint32_t offset) {
  if (!ValidOffset(offset, kConfigLength)) {
    Fault(offset, 0);
    return 0xFFFFFFFF;
  }
  if (!present_) {
    Record(CardTraceEntry::Kind::ConfigRead, offset, 0xFFFFFFFF);
    return 0xFFFFFFFF;  // nobody answers the configuration cycle
  }
  const uint32_t value = config_[offset / 4];
  ++configReads_;
  Record(CardTraceEntry::Kind::ConfigRead, offset, value);
  return value;
}

void Card::ConfigWrite32(uint32_t offset, uint32_t value) {
  if (!ValidOffset(offset, kConfigLength)) {
    Fault(offset, value);
    return;
  }
  ++configWrites_;
  Record(CardTraceEntry::Kind::ConfigWrite, offset, value);
  if (!present_) return;
  if (offset == kCfgPmControl) {
    SetPowerState(value & 3u);
    value = (value & ~3u) | powerState_;
  }
  const uint32_t mask = ConfigWriteMask(offset);
  uint32_t &dword = config_[offset / 4];
  dword = (dword & ~mask) | (value & mask);
  if (offset == kConfigCommandStatus) {
    // Without memory decoding or bus mastering the engines can do nothing.
    if (!Decodes() || !Masters()) GoQuiet();
    UpdateLine();
  }
}

void Card::SetPowerState(unsigned state) {
  if (state == 1 || state == 2 || state == powerState_) return;  // D1, D2: not supported
  if (state == 3) {
    powerState_ = 3;
    GoQuiet();
    return;
  }
  // D3hot to D0: an internal reset, as without No_Soft_Reset; the bus driver restores the
  // header it saved.
  powerState_ = 0;
  Record(CardTraceEntry::Kind::Reset, 0, 0);
  PowerUp();
  UpdateLine();
}

uint32_t Card::PeekConfig(uint32_t offset) const {
  return ValidOffset(offset, kConfigLength) ? config_[offset / 4] : 0xFFFFFFFF;
}

// ---- register window

uint32_t Card::MmioRead32(uint32_t offset) {
  if (!ValidOffset(offset, kWindowLength)) {
    Fault(offset, 0);
    return 0xFFFFFFFF;
  }
  if (!Decodes()) {
    // A master abort: the read completes with all ones.
    ++counts_[offset].reads;
    Record(CardTraceEntry::Kind::Read, offset, 0xFFFFFFFF);
    return 0xFFFFFFFF;
  }
  const uint32_t value = LoadView(offset);
  if (offset == INT_STATUS || offset == ERROR_STATUS_A || offset == ERROR_STATUS_B)
    regs_[offset / 4] = 0;
  ++counts_[offset].reads;
  Record(CardTraceEntry::Kind::Read, offset, value);
  if (offset == INT_STATUS) UpdateLine();
  return value;
}

void Card::MmioWrite32(uint32_t offset, uint32_t value) {
  if (!ValidOffset(offset, kWindowLength)) {
    Fault(offset, value);
    return;
  }
  ++counts_[offset].writes;
  Record(CardTraceEntry::Kind::Write, offset, value);
  if (!Decodes()) return;  // nobody takes the write
  switch (offset) {
    case INT_STATUS:
    case BUFFER_STATUS:
    case ERROR_STATUS_A:
    case ERROR_STATUS_B:
      return;  // status is the engines' to set; a store does not reach it
    default:
      StoreRegister(offset, value);
  }
}

void Card::OnBarrier() {
  ++barriers_;
  Record(CardTraceEntry::Kind::Barrier, 0, 0);
}

void Card::StoreRegister(uint32_t offset, uint32_t value) {
  const int statusChannel = StatusChannelAt(offset);
  if (statusChannel >= 0) value = WithStatusBit(value, Carries625Lines(inputs_[statusChannel]));
  regs_[offset / 4] = value;
  if (offset == SERIAL_IF) DriveBus(value);
  if (offset != CHANNEL_CONTROL && offset != CHANNEL_ENABLE) return;
  const uint32_t before = running_;
  running_ = RunningChannels();
  if (running_ == before) return;
  OnRunningChanged(before, running_);
  if (runningHook_) runningHook_(before, running_);
}

void Card::Poke(uint32_t offset, uint32_t value) {
  if (!ValidOffset(offset, kWindowLength)) throw std::out_of_range("Card::Poke offset");
  StoreRegister(offset, value);
  if (offset == INT_STATUS) UpdateLine();
}

uint32_t Card::Peek(uint32_t offset) const {
  if (!ValidOffset(offset, kWindowLength)) throw std::out_of_range("Card::Peek offset");
  return LoadView(offset);
}

uint32_t Card::LoadView(uint32_t offset) const {
  const uint32_t value = regs_[offset / 4];
  if (offset != SERIAL_IF) return value;
  return (value & ~kSerialData) | (bus_.data() ? kSerialData : 0);
}

// ---- decoders, inputs and the serial bus

int Card::StatusChannelAt(uint32_t offset) const {
  uint32_t base = DecoderBankBase(0);
  unsigned firstChannel = 0;
  if (offset >= DecoderBankBase(1) && variant_ == Variant::Standard) {
    base = DecoderBankBase(1);
    firstChannel = kChannelsPerBank;
  }
  if (offset < base || offset >= base + kDecoderBankLength) return -1;
  const int k = StatusRegisterChannel((offset - base) / 4);
  return k < 0 ? -1 : static_cast<int>(firstChannel) + k;
}

uint32_t Card::DecoderRegister(int bank, uint8_t r) const {
  if (bank == 0) return regs_[DecoderRegisterOffset(0, r) / 4];
  if (bank != 1) throw std::out_of_range("Card::DecoderRegister bank");
  if (variant_ == Variant::Device6864) return external_.Register(r);
  return regs_[DecoderRegisterOffset(1, r) / 4];
}

void Card::SetDecoderRegister(int bank, uint8_t r, uint32_t value) {
  if (bank == 0) return StoreRegister(DecoderRegisterOffset(0, r), value);
  if (bank != 1) throw std::out_of_range("Card::SetDecoderRegister bank");
  if (variant_ == Variant::Device6864) return external_.SetRegister(r, value & 0xFF);
  StoreRegister(DecoderRegisterOffset(1, r), value);
}

void Card::SetInputSignal(unsigned channel, const InputSignal &signal) {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::SetInputSignal channel");
  if (inputs_[channel].present != signal.present) {
    auto &changes = presenceChanges_[channel];
    changes.push_back({Now(), inputs_[channel].present});
    if (changes.size() > 8) changes.pop_front();  // longer ago than any block lasts
  }
  inputs_[channel] = signal;
  ApplyInputSignal(channel);
  if (timelines_[channel].lines625() != signal.lines625)
    timelines_[channel].ChangeStandard(Now(), signal.lines625);
}

InputSignal Card::inputSignal(unsigned channel) const {
  if (channel >= kVideoChannels) throw std::out_of_range("Card::inputSignal channel");
  return inputs_[channel];
}

void Card::ApplyInputSignal(unsigned channel) {
  const bool on = Carries625Lines(inputs_[channel]);
  const unsigned k = channel % kChannelsPerBank;
  if (channel >= kChannelsPerBank) {
    external_.SetLines625(k, on);
    if (variant_ == Variant::Device6864) return;
  }
  const uint32_t bank = channel < kChannelsPerBank ? 0 : 1;
  uint32_t &status = regs_[DecoderRegisterOffset(bank, ChannelRegister(k, DECODER_STATUS)) / 4];
  status = WithStatusBit(status, on);
}

void Card::SetExternalDecoderPresent(bool present) {
  externalPresent_ = present;
  DriveBus(regs_[SERIAL_IF / 4]);
}

bool Card::externalDecoderPresent() const {
  return variant_ == Variant::Device6864 && externalPresent_;
}

void Card::DriveBus(uint32_t serial) {
  bus_.SetDevice(externalDecoderPresent() ? &external_ : nullptr, Now());
  bus_.Drive((serial & kSerialClock) != 0, (serial & kSerialRelease) != 0,
             (serial & kSerialData) != 0, Now());
}

// ---- channels and interrupt

uint32_t Card::RunningChannels() const {
  const uint32_t control = regs_[CHANNEL_CONTROL / 4];
  if ((control & kMasterEnable) == 0) return 0;
  return control & regs_[CHANNEL_ENABLE / 4] & kChannelBits;
}

bool Card::IsChannelRunning(unsigned bit) const {
  return bit < 16 && (RunningChannels() >> bit & 1u) != 0;
}

bool Card::interruptPending() const { return regs_[INT_STATUS / 4] != 0; }

void Card::UpdateLine() {
  uint32_t &commandStatus = config_[kConfigCommandStatus / 4];
  const bool pending = interruptPending();
  commandStatus =
      pending ? commandStatus | kStatusInterruptPending : commandStatus & ~kStatusInterruptPending;
  const bool masked =
      options_.honourInterruptDisable && (commandStatus & kCommandInterruptDisable) != 0;
  const bool level = pending && !masked && Powered();
  if (level == lineAsserted_) return;
  // State first: asserting may run the service routine at once, which reads us back.
  lineAsserted_ = level;
  Record(CardTraceEntry::Kind::Line, 0, level ? 1 : 0);
  if (machine()) machine()->SetInterruptLine(vector(), level, this);
}

void Card::RaiseChannelEvents(uint32_t intStatusBits, uint32_t bufferStatus) {
  if (!Powered()) return;
  regs_[BUFFER_STATUS / 4] = bufferStatus;
  regs_[INT_STATUS / 4] |= intStatusBits;
  Record(CardTraceEntry::Kind::Event, INT_STATUS, intStatusBits);
  UpdateLine();
}

void Card::RaiseChannelError(unsigned videoChannel) {
  if (videoChannel >= 8) throw std::out_of_range("Card::RaiseChannelError channel");
  const uint32_t errorA =
      variant_ == Variant::Device6864 ? 1u << videoChannel : 1u << (16 + videoChannel);
  InjectErrorBits(errorA, 0, 1u << (24 + videoChannel));
}

void Card::InjectErrorBits(uint32_t errorA, uint32_t errorB, uint32_t intStatusBits) {
  if (!Powered()) return;  // a card asleep or gone reports nothing
  regs_[ERROR_STATUS_A / 4] |= errorA;
  regs_[ERROR_STATUS_B / 4] |= errorB;
  regs_[INT_STATUS / 4] |= intStatusBits;
  if (errorA != 0) Record(CardTraceEntry::Kind::Event, ERROR_STATUS_A, errorA);
  if (errorB != 0) Record(CardTraceEntry::Kind::Event, ERROR_STATUS_B, errorB);
  if (intStatusBits != 0) Record(CardTraceEntry::Kind::Event, INT_STATUS, intStatusBits);
  UpdateLine();
}

// ---- trace queries

std::vector<uint32_t> Card::Writes(uint32_t offset) const {
  std::vector<uint32_t> values;
  for (const auto &e : trace_)
    if (e.kind == CardTraceEntry::Kind::Write && e.offset == offset) values.push_back(e.value);
  return values;
}

std::vector<uint32_t> Card::Reads(uint32_t offset) const {
  std::vector<uint32_t> values;
  for (const auto &e : trace_)
    if (e.kind == CardTraceEntry::Kind::Read && e.offset == offset) values.push_back(e.value);
  return values;
}

size_t Card::CountReads(uint32_t offset) const { return Reads(offset).size(); }

size_t Card::CountWrites(uint32_t offset) const { return Writes(offset).size(); }

size_t Card::CountBarriers() const {
  size_t n = 0;
  for (const auto &e : trace_) n += e.kind == CardTraceEntry::Kind::Barrier;
  return n;
}

std::vector<uint32_t> Card::ConfigWrites(uint32_t offset) const {
  std::vector<uint32_t> values;
  for (const auto &e : trace_)
    if (e.kind == CardTraceEntry::Kind::ConfigWrite && e.offset == offset)
      values.push_back(e.value);
  return values;
}

std::vector<CardTraceEntry> Card::Between(CardTime from, CardTime to) const {
  std::vector<CardTraceEntry> entries;
  for (const auto &e : trace_)
    if (e.time >= from && e.time < to) entries.push_back(e);
  return entries;
}

void Card::Clear() {
  trace_.clear();
  dropped_ = 0;
  faults_.clear();
  counts_.clear();
  barriers_ = 0;
  configReads_ = 0;
  configWrites_ = 0;
}

const char *Card::RegisterName(uint32_t offset) {
  switch (offset) {
    case INT_STATUS:
      return "INT_STATUS";
    case BUFFER_STATUS:
      return "BUFFER_STATUS";
    case CHANNEL_CONTROL:
      return "CHANNEL_CONTROL";
    case ERROR_STATUS_A:
      return "ERROR_STATUS_A";
    case ERROR_STATUS_B:
      return "ERROR_STATUS_B";
    case RESET_CONTROL:
      return "RESET_CONTROL";
    case CHANNEL_ENABLE:
      return "CHANNEL_ENABLE";
    case SERIAL_IF:
      return "SERIAL_IF";
    default:
      return "";
  }
}

std::string Card::Summary() const {
  uint64_t reads = 0;
  uint64_t writes = 0;
  for (const auto &[offset, c] : counts_) {
    reads += c.reads;
    writes += c.writes;
  }
  char line[160];
  std::snprintf(line, sizeof line,
                "card %04x:%04x: %" PRIu64 " reads, %" PRIu64 " writes, %" PRIu64
                " barriers, %" PRIu64 " config reads, %" PRIu64
                " config writes, %zu faults, line %s\n",
                kVendorId, deviceId(), reads, writes, barriers_, configReads_, configWrites_,
                faults_.size(), lineAsserted_ ? "asserted" : "released");
  std::string text = line;
  if (!bus_.log().empty() || !bus_.violations().empty()) {
    std::snprintf(line, sizeof line, "  serial bus: %zu transactions, %zu timing violations\n",
                  bus_.log().size(), bus_.violations().size());
    text += line;
  }
  for (const auto &[offset, c] : counts_) {
    std::snprintf(line, sizeof line, "  0x%03x %-16s reads %8" PRIu64 "  writes %8" PRIu64 "\n",
                  offset, RegisterName(offset), c.reads, c.writes);
    text += line;
  }
  return text;
}

}  // namespace sim
