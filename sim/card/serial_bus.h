// The two-wire serial bus behind SERIAL_IF, seen from the wires: the card drives the
// clock and drives or releases the data line, a device may pull data low, and the
// line is the wired-AND of both. The bus decodes the wires bit by bit for the one
// device on it, records every transaction and flags line changes faster than
// standard mode allows, all on the virtual clock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct BusEvent {
  enum Kind : uint8_t { Start, Byte, Stop };
  Kind kind = Start;
  uint8_t value = 0;   // Byte: the eight bits on the wires
  bool acked = false;  // Byte: data was low on a complete ninth clock pulse
  int64_t time = 0;    // the condition, or the sample of the byte's eighth bit

  bool operator==(const BusEvent &) const = default;
};

// From a start to its stop; a repeated start stays inside the transaction.
struct BusTransaction {
  std::vector<BusEvent> events;
  unsigned clocks = 0;  // complete clock pulses that carried a bit or an acknowledge

  int64_t startTime() const { return events.empty() ? 0 : events.front().time; }
  int64_t endTime() const { return events.empty() ? 0 : events.back().time; }
  // False for one cut short by a card reset.
  bool complete() const { return !events.empty() && events.back().kind == BusEvent::Stop; }
  // "S 50+ 18+ A7+ P": + acknowledged, - not.
  std::string ToString() const;
};

// A device answering at a 7-bit address; the bus does the bit work for it.
class BusDevice {
 public:
  virtual ~BusDevice() = default;
  virtual uint8_t busAddress() const = 0;
  virtual void OnStart() {}  // start or repeated start: a new message follows
  virtual void OnStop() {}
  // A byte the master wrote after addressing the device; true acknowledges it.
  virtual bool OnWrite(uint8_t byte) = 0;
  // The next byte to send after a read address or an acknowledged byte.
  virtual uint8_t OnRead() = 0;
};

// Standard-mode minimum times, in nanoseconds.
struct BusTiming {
  static constexpr int64_t kClockLow = 4700;
  static constexpr int64_t kClockHigh = 4000;
  static constexpr int64_t kStartHold = 4000;
  static constexpr int64_t kStartSetup = 4700;
  static constexpr int64_t kStopSetup = 4000;
  static constexpr int64_t kBusFree = 4700;
  static constexpr int64_t kDataSetup = 250;
};

class SerialBus {
 public:
  SerialBus() = default;
  SerialBus(const SerialBus &) = delete;
  SerialBus &operator=(const SerialBus &) = delete;

  // The device on the bus, or none. A device leaving lets go of the data line.
  void SetDevice(BusDevice *device, int64_t now);

  // The card's pins after a store: clock level, and data released or driven to dataLevel.
  void Drive(bool clock, bool dataReleased, bool dataLevel, int64_t now);
  // Pins forced by a card reset: no conditions are decoded, an open transaction is
  // logged as it stands and the device lets go.
  void Reset(bool clock, bool dataReleased, bool dataLevel);

  bool clock() const { return clock_; }
  bool data() const { return data_; }  // the line, as the card reads it back

  const std::vector<BusTransaction> &log() const { return log_; }
  const std::vector<std::string> &violations() const { return violations_; }
  // Forgets the log and the violations; an open transaction is still recorded.
  void ClearLog();

 private:
  enum class Phase : uint8_t { Idle, Address, Write, Read };
  static constexpr int64_t kLongAgo = -(int64_t{1} << 62);

  bool Line() const { return (released_ || level_) && !deviceLow_; }
  void UpdateData(int64_t now);
  void OnRise(int64_t now);
  void OnFall(int64_t now);
  void OnStartCondition(int64_t now);
  void OnStopCondition(int64_t now);
  // Forgets the decoding state of the message in progress.
  void ClearMessage(Phase phase);
  void LogPendingByte();
  void Check(int64_t now, const char *what, int64_t since, int64_t minimum);

  // Wires.
  bool clock_ = false;
  bool released_ = false;
  bool level_ = false;
  bool deviceLow_ = false;
  bool data_ = false;
  BusDevice *device_ = nullptr;

  // Decoding.
  Phase phase_ = Phase::Idle;
  uint8_t shift_ = 0;
  int bits_ = 0;             // bits of the current byte sampled; 8 = in the ninth slot
  bool ninthRisen_ = false;  // the ninth clock is high
  bool ackLow_ = false;      // data seen on the ninth rising edge
  int64_t byteTime_ = 0;
  bool risen_ = false;  // a rise inside the transaction awaits its fall
  bool retry_ = false;  // after a not-acknowledge, see Drive
  bool addressed_ = false;
  bool reading_ = false;
  bool sending_ = false;
  uint8_t tx_ = 0;

  // Timing, the last time each thing happened on the wires.
  int64_t lastRise_ = kLongAgo;
  int64_t lastFall_ = kLongAgo;
  int64_t lastDataChange_ = kLongAgo;
  int64_t lastStart_ = kLongAgo;
  int64_t lastStop_ = kLongAgo;

  bool open_ = false;
  BusTransaction current_;
  std::vector<BusTransaction> log_;
  std::vector<std::string> violations_;
};

}  // namespace sim
