#include "sim/card/serial_bus.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace sim {

std::string BusTransaction::ToString() const {
  std::string text;
  for (const BusEvent &e : events) {
    if (!text.empty()) text += ' ';
    if (e.kind == BusEvent::Start) {
      text += 'S';
    } else if (e.kind == BusEvent::Stop) {
      text += 'P';
    } else {
      char byte[8];
      std::snprintf(byte, sizeof byte, "%02X%c", e.value, e.acked ? '+' : '-');
      text += byte;
    }
  }
  return text;
}

void SerialBus::SetDevice(BusDevice *device, int64_t now) {
  if (device == device_) return;
  // A device joining mid-message missed its address; one leaving lets go of data.
  deviceLow_ = false;
  addressed_ = false;
  sending_ = false;
  device_ = device;
  UpdateData(now);
}

void SerialBus::Drive(bool clock, bool dataReleased, bool dataLevel, int64_t now) {
  // After a not-acknowledge the master may clock again with data still released to
  // sample the acknowledge once more; those pulses are not bits of the next byte.
  // Driving data again ends them.
  if (!dataReleased) retry_ = false;
  if (clock && !clock_) {
    // One store changing data and raising the clock: data first, so its setup time
    // shows as zero.
    released_ = dataReleased;
    level_ = dataLevel;
    UpdateData(now);
    clock_ = true;
    OnRise(now);
  } else if (!clock && clock_) {
    // Clock first: data may change as the clock falls (zero hold time is allowed).
    clock_ = false;
    OnFall(now);
    released_ = dataReleased;
    level_ = dataLevel;
    UpdateData(now);
  } else {
    released_ = dataReleased;
    level_ = dataLevel;
    UpdateData(now);
  }
}

void SerialBus::Reset(bool clock, bool dataReleased, bool dataLevel) {
  if (open_) log_.push_back(std::move(current_));
  open_ = false;
  current_ = {};
  ClearMessage(Phase::Idle);
  ackLow_ = false;
  deviceLow_ = false;
  clock_ = clock;
  released_ = dataReleased;
  level_ = dataLevel;
  data_ = Line();
  lastRise_ = lastFall_ = lastDataChange_ = lastStart_ = lastStop_ = kLongAgo;
}

void SerialBus::ClearLog() {
  log_.clear();
  violations_.clear();
}

void SerialBus::UpdateData(int64_t now) {
  const bool line = Line();
  if (line == data_) return;
  data_ = line;
  lastDataChange_ = now;
  if (!clock_) return;
  if (line)
    OnStopCondition(now);
  else
    OnStartCondition(now);
}

void SerialBus::Check(int64_t now, const char *what, int64_t since, int64_t minimum) {
  const int64_t took = now - since;
  if (took >= minimum) return;
  char text[128];
  std::snprintf(text, sizeof text, "%" PRId64 " ns: %s %" PRId64 " ns, minimum %" PRId64 " ns", now,
                what, took, minimum);
  violations_.push_back(text);
}

void SerialBus::OnRise(int64_t now) {
  if (phase_ == Phase::Idle) {
    lastRise_ = now;
    return;
  }
  Check(now, "clock low", lastFall_, BusTiming::kClockLow);
  if (lastDataChange_ >= lastFall_)
    Check(now, "data setup", lastDataChange_, BusTiming::kDataSetup);
  lastRise_ = now;
  risen_ = true;
  if (retry_) return;
  if (bits_ < 8) {
    shift_ = static_cast<uint8_t>(shift_ << 1 | (data_ ? 1 : 0));
    if (++bits_ == 8) byteTime_ = now;
  } else if (!ninthRisen_) {
    ninthRisen_ = true;
    ackLow_ = !data_;
  }
}

void SerialBus::OnFall(int64_t now) {
  if (phase_ == Phase::Idle) {
    lastFall_ = now;
    return;
  }
  Check(now, "clock high", lastRise_, BusTiming::kClockHigh);
  if (lastStart_ > lastRise_) Check(now, "start hold", lastStart_, BusTiming::kStartHold);
  lastFall_ = now;
  if (risen_) ++current_.clocks;
  risen_ = false;

  if (bits_ == 8 && !ninthRisen_) {
    // The eighth clock ends: the receiver's turn to acknowledge.
    if (phase_ == Phase::Address) {
      reading_ = (shift_ & 1) != 0;
      addressed_ = device_ != nullptr && (shift_ >> 1) == device_->busAddress();
      deviceLow_ = addressed_;
    } else if (phase_ == Phase::Write) {
      deviceLow_ = addressed_ && device_->OnWrite(shift_);
    } else {
      deviceLow_ = false;  // the master acknowledges what it read
    }
  } else if (bits_ == 8) {
    // The ninth clock ends: the byte is done.
    const bool acked = ackLow_;
    current_.events.push_back(BusEvent{BusEvent::Byte, shift_, acked, byteTime_});
    deviceLow_ = false;
    bits_ = 0;
    ninthRisen_ = false;
    retry_ = !acked;
    if (phase_ == Phase::Address) {
      phase_ = reading_ ? Phase::Read : Phase::Write;
      sending_ = reading_ && addressed_;
    } else if (phase_ == Phase::Read) {
      sending_ = sending_ && acked;  // a not-acknowledge ends the device's sending
    }
    if (sending_) {
      tx_ = device_->OnRead();
      deviceLow_ = (tx_ & 0x80) == 0;
    }
  } else if (sending_ && bits_ > 0) {
    deviceLow_ = (tx_ >> (7 - bits_) & 1) == 0;
  }
}

void SerialBus::ClearMessage(Phase phase) {
  phase_ = phase;
  shift_ = 0;
  bits_ = 0;
  ninthRisen_ = false;
  risen_ = false;
  retry_ = false;
  addressed_ = false;
  reading_ = false;
  sending_ = false;
}

void SerialBus::LogPendingByte() {
  // A byte whose ninth clock was cut short by a condition was not acknowledged.
  if (bits_ == 8) current_.events.push_back(BusEvent{BusEvent::Byte, shift_, false, byteTime_});
}

void SerialBus::OnStartCondition(int64_t now) {
  if (phase_ == Phase::Idle) {
    Check(now, "bus free", lastStop_, BusTiming::kBusFree);
    Check(now, "start setup", lastRise_, BusTiming::kStartSetup);
    open_ = true;
    current_ = {};
  } else {
    Check(now, "repeated start setup", lastRise_, BusTiming::kStartSetup);
    LogPendingByte();
  }
  current_.events.push_back(BusEvent{BusEvent::Start, 0, false, now});
  lastStart_ = now;
  ClearMessage(Phase::Address);
  // The card drives data low for a start, so letting go does not move the line.
  deviceLow_ = false;
  if (device_) device_->OnStart();
}

void SerialBus::OnStopCondition(int64_t now) {
  if (phase_ == Phase::Idle) return;
  Check(now, "stop setup", lastRise_, BusTiming::kStopSetup);
  LogPendingByte();
  current_.events.push_back(BusEvent{BusEvent::Stop, 0, false, now});
  log_.push_back(std::move(current_));
  current_ = {};
  open_ = false;
  lastStop_ = now;
  ClearMessage(Phase::Idle);
  if (device_) device_->OnStop();
}

}  // namespace sim
