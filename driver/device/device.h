// The per-card device context, the channel stream interface and the device core's
// operations: lifecycle, channel control, interrupt, DPC and watchdog.
#pragma once

#include "card_registers.h"
#include "host/platform.h"

// Pool tags as they read in a pool dump.
constexpr ULONG kTagDevice = 'wNCK';          // "KCNw": device context, filter contexts, streams
constexpr ULONG kTagSnapshot = 'nPFQ';        // "QFPn": video format snapshots
constexpr ULONG kTagPrivateCopy = 'aChS';     // "ShCa": a pin's private descriptor copies
constexpr ULONG kTagDescriptorCopy = 'lroV';  // "Vorl": filter descriptor and framing copies

constexpr ULONG kVideoChannels = 8;
constexpr ULONG kVideoBuffersPerChannel = 4;
constexpr ULONG kVideoBufferSize = 414720;  // 0x65400: one field of 720 x 288 x 2
constexpr ULONG kAudioBuffers = 16;
constexpr ULONG kAudioBufferSize = 4096;
constexpr ULONG kVideoIdBase = 0x100;
constexpr LONGLONG kWatchdogInitialPeriod = 32000000;  // 3.2 s in 100 ns
constexpr LONGLONG kWatchdogPeriod = 130000;           // 13 ms in 100 ns

// Channel ids: video channel n is 0x100 | n, audio channel n is 8 + n; both map to
// bit (id mod 32) of every channel mask and of registers 0x08 and 0x28.
inline ULONG ChannelMaskBit(ULONG id) { return 1u << (id % 32); }
inline bool IsVideoChannelId(ULONG id) { return (id & kVideoIdBase) != 0; }

// The stream object of an open pin, as the device core drives it. Slot order matters.
class CChannelStream {
 public:
  virtual void OnInterrupt(ULONG status, ULONG reserved, ULONG status04) = 0;
  virtual NTSTATUS StartHardware() = 0;
  virtual NTSTATUS StopHardware(ULONG mask) = 0;
  virtual BOOLEAN AlwaysTrue() = 0;
  virtual NTSTATUS SetState(KSSTATE to, KSSTATE from) = 0;

 protected:
  ~CChannelStream() = default;  // freed through their pin's bag, never deleted through the base
};

// Decoder state kept per video channel.
struct ChannelVideo {
  ULONG videoStandard;  // KS_AnalogVideo_* value
};

struct CCaptureDevice {
  PKSDEVICE ksDevice;
  LONGLONG watchdogArmedAt;  // system time, 100 ns
  LONGLONG watchdogPeriod;   // 100 ns
  KDPC watchdogDpc;
  KTIMER watchdogTimer;
  BOOLEAN watchdogStopRequested;
  KEVENT watchdogStoppedEvent;
  volatile ULONG *registers;
  ULONG registersLength;
  ULONG isDevice6864;
  ULONG interruptVector;
  KIRQL interruptIrql;
  KIRQL interruptSyncIrql;
  KINTERRUPT_MODE interruptMode;
  KAFFINITY interruptAffinity;
  BOOLEAN interruptShared;
  PKINTERRUPT interruptObject;
  PKSDEVICE interruptContext;
  KDPC interruptDpc;
  KSPIN_LOCK busLock;
  KSPIN_LOCK isrLock;
  KSPIN_LOCK channelStopLock;
  PDMA_ADAPTER dmaAdapter;
  ULONG openPinMask;
  ULONG lastStatus04;
  ULONG lastStatus;
  ULONG videoIdBase;
  CChannelStream *audioStreams[16];
  CChannelStream *videoStreams[kVideoChannels];
  ULONG enabledMask;
  ULONG runningMask;
  ULONG restartMask;
  PVOID videoBuffers[kVideoChannels][kVideoBuffersPerChannel];
  PHYSICAL_ADDRESS videoBufferAddresses[kVideoChannels][kVideoBuffersPerChannel];
  ULONG videoBufferSizes[kVideoChannels][kVideoBuffersPerChannel];
  LONGLONG lastErrorTime;  // performance-counter ticks
  PVOID audioBuffers[kAudioBuffers];
  PHYSICAL_ADDRESS audioBufferAddresses[kAudioBuffers];
  ChannelVideo channelVideo[kVideoChannels];
  DEVICE_POWER_STATE powerState;
  ULONG deferredStartMask;
  ULONG hdelay[kVideoChannels];
  ULONG intmode[kVideoChannels];
  // The filter factories published at the last start, replaced at the next one.
  PKSFILTERFACTORY filterFactories[16];
  ULONG filterFactoryCount;
  // Per video channel, the four data ranges its pin offers: this card's own lists, so
  // another card's standard detection or start never changes what this one publishes.
  PKSDATARANGE channelFormats[kVideoChannels][4];
};

// Register access: single aligned 32-bit volatile accesses; stores that change channel
// state are followed by a full barrier (the callers say where).
inline ULONG ReadRegister(const CCaptureDevice *d, ULONG offset) {
  return READ_REGISTER_ULONG(d->registers + offset / 4);
}
inline void WriteRegister(CCaptureDevice *d, ULONG offset, ULONG value) {
  WRITE_REGISTER_ULONG(d->registers + offset / 4, value);
}
// Store, barrier, then `readBacks` loads of the same register to push the posted write.
ULONG WriteRegisterAndFlush(CCaptureDevice *d, ULONG offset, ULONG value, ULONG readBacks);

inline CCaptureDevice *DeviceContext(PKSDEVICE device) {
  return static_cast<CCaptureDevice *>(device->Context);
}

// Lifecycle (entry.cpp).
NTSTATUS DispatchAdd(PKSDEVICE device);
NTSTATUS DispatchStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                       PCM_RESOURCE_LIST untranslated);
void DispatchStop(PKSDEVICE device, PIRP irp);
void DispatchSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
NTSTATUS AccessPciConfig(PDEVICE_OBJECT device, BOOLEAN write, PVOID buffer, ULONG offset);
void ConnectInterrupt(CCaptureDevice *d);
void ReleaseHardware(CCaptureDevice *d);

// Runs `routine` atomically with respect to InterruptService: through the interrupt
// object while it is connected, else at DISPATCH_LEVEL (no service routine can run then).
BOOLEAN SynchronizeWithInterrupt(CCaptureDevice *d, PKSYNCHRONIZE_ROUTINE routine, PVOID context);

// Channel control (channel.cpp).
NTSTATUS StartChannel(CCaptureDevice *d, ULONG id);
NTSTATUS StopChannel(CCaptureDevice *d, ULONG id);
CChannelStream *StreamForChannel(CCaptureDevice *d, ULONG id);

// Interrupt, DPC and watchdog (interrupt.cpp).
BOOLEAN InterruptService(PKINTERRUPT interrupt, PVOID serviceContext);
void InterruptDpc(PKDPC dpc, PVOID deferredContext, PVOID arg1, PVOID arg2);
void WatchdogDpc(PKDPC dpc, PVOID deferredContext, PVOID arg1, PVOID arg2);
// The video channels whose errors an interrupt reports, from INT_STATUS (d),
// ERROR_STATUS_A (e) and ERROR_STATUS_B (l) in the card variant's layout.
ULONG ErrorChannels(ULONG isDevice6864, ULONG d, ULONG e, ULONG l);
