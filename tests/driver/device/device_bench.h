// A simulated machine with one card under the real driver, and stand-in stream objects
// that enable and disable their channel the way the driver's streams do.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "device/device.h"
#include "sim/card/card.h"
#include "sim/kernel/dma.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/pool.h"
#include "sim/ks/device.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace bench {

struct Call {
  ULONG status;
  ULONG status04;
};

class TestStream : public CChannelStream {
 public:
  TestStream(CCaptureDevice *d, ULONG id) : d_(d), id_(id) {}

  void OnInterrupt(ULONG status, ULONG reserved, ULONG status04) override {
    EXPECT_EQ(reserved, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    calls.push_back({status, status04});
  }
  NTSTATUS StartHardware() override {
    ++starts;
    SynchronizeWithInterrupt(d_, IsVideoChannelId(id_) ? EnableVideo : EnableAudio, this);
    return STATUS_SUCCESS;
  }
  NTSTATUS StopHardware(ULONG mask) override {
    ++stops;
    lastStopMask = mask;
    SynchronizeWithInterrupt(d_, Disable, this);
    return STATUS_SUCCESS;
  }
  BOOLEAN AlwaysTrue() override { return TRUE; }
  NTSTATUS SetState(KSSTATE, KSSTATE) override { return STATUS_SUCCESS; }

  std::vector<Call> calls;
  int starts = 0;
  int stops = 0;
  ULONG lastStopMask = 0;

 private:
  ULONG bit() const { return ChannelMaskBit(id_); }
  // Video: the watchdog brings enabledMask in line later.
  static BOOLEAN NTAPI EnableVideo(PVOID p) {
    auto *s = static_cast<TestStream *>(p);
    s->d_->runningMask |= s->bit();
    WriteRegisterAndFlush(s->d_, CHANNEL_ENABLE, s->d_->runningMask, 0);
    ULONG c = ReadRegister(s->d_, CHANNEL_CONTROL);
    WriteRegisterAndFlush(s->d_, CHANNEL_CONTROL, c | s->d_->runningMask | kMasterEnable, 0);
    return TRUE;
  }
  static BOOLEAN NTAPI EnableAudio(PVOID p) {
    auto *s = static_cast<TestStream *>(p);
    s->d_->runningMask |= s->bit();
    s->d_->enabledMask |= s->bit();
    WriteRegisterAndFlush(s->d_, CHANNEL_ENABLE, ReadRegister(s->d_, CHANNEL_ENABLE) | s->bit(), 1);
    WriteRegisterAndFlush(s->d_, CHANNEL_CONTROL,
                          ReadRegister(s->d_, CHANNEL_CONTROL) | s->bit() | kMasterEnable, 1);
    return TRUE;
  }
  static BOOLEAN NTAPI Disable(PVOID p) {
    auto *s = static_cast<TestStream *>(p);
    s->d_->runningMask &= ~s->bit();
    s->d_->enabledMask &= ~s->bit();
    WriteRegisterAndFlush(s->d_, CHANNEL_ENABLE, ReadRegister(s->d_, CHANNEL_ENABLE) & ~s->bit(),
                          1);
    WriteRegisterAndFlush(s->d_, CHANNEL_CONTROL, ReadRegister(s->d_, CHANNEL_CONTROL) & ~s->bit(),
                          1);
    return TRUE;
  }

  CCaptureDevice *d_;
  ULONG id_;
};

class Bench {
 public:
  explicit Bench(sim::Card::Variant v = sim::Card::Variant::Device6864) : card(v) {
    EXPECT_EQ(m.pnp().LoadDriver(DriverEntry), STATUS_SUCCESS);
    EXPECT_EQ(m.pnp().AddCard(&card, &c), STATUS_SUCCESS);
  }
  ~Bench() {
    // Streams are test objects: take them out before the device goes.
    if (ok() && c != nullptr && c->fdo != nullptr) {
      CCaptureDevice *d = dev();
      for (auto &s : d->videoStreams) s = nullptr;
      for (auto &s : d->audioStreams) s = nullptr;
      m.pnp().RemoveCard(*c);
      m.pnp().UnloadDriver();
    }
  }
  bool ok() { return !m.verifier().stopped(); }
  PKSDEVICE ks() const { return sim::ks::DeviceFromFdo(c->fdo); }
  CCaptureDevice *dev() const { return DeviceContext(ks()); }
  NTSTATUS Start(const sim::ResourceSpec &r = {}) { return m.pnp().StartCard(*c, r); }

  // Starts the card, connects the interrupt and plugs test streams in.
  void StartWithStreams() {
    ASSERT_EQ(Start(), STATUS_SUCCESS);
    ConnectInterrupt(dev());
    for (ULONG n = 0; n < 8; ++n) {
      video[n] = std::make_unique<TestStream>(dev(), kVideoIdBase | n);
      audio[n] = std::make_unique<TestStream>(dev(), 8 + n);
      dev()->videoStreams[n] = video[n].get();
      dev()->audioStreams[8 + n] = audio[n].get();
    }
  }
  // Runs a driver operation at passive level the way the host would.
  template <typename F>
  auto AtDispatch(F f) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto r = f();
    KeLowerIrql(old);
    return r;
  }

  sim::Machine m;
  sim::Card card;
  sim::PnpManager::Card *c = nullptr;
  std::unique_ptr<TestStream> video[8];
  std::unique_ptr<TestStream> audio[8];
};

}  // namespace bench
