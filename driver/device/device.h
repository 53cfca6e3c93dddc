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
constexpr LONGLONG kWatchdogInitialPeriod = 32000000;  // 3.2 s in 100 ns, until a start arms it
constexpr LONGLONG kWatchdogPeriod = 130000;           // 13 ms in 100 ns

// Channel ids: video channel n is 0x100 | n, audio channel n is 8 + n; both map to
// bit (id mod 32) of every channel mask and of registers 0x08 and 0x28.
inline ULONG ChannelMaskBit(ULONG id) { return 1u << (id % 32); }
inline bool IsVideoChannelId(ULONG id) { return (id & kVideoIdBase) != 0; }

// The stream object of an open pin, as the device core drives it. Slot order matters: the
// five first, then what transitions need.
class CChannelStream {
 public:
  virtual void OnInterrupt(ULONG status, ULONG reserved, ULONG status04) = 0;
  virtual NTSTATUS StartHardware() = 0;
  virtual NTSTATUS StopHardware(ULONG mask) = 0;
  // Nobody calls it; it holds its slot so the five keep their published order.
  virtual BOOLEAN AlwaysTrue() = 0;
  virtual NTSTATUS SetState(KSSTATE to, KSSTATE from) = 0;
  // The card lost its channel programming (back in D0, new resources): program it again.
  virtual void ProgramChannel() {}
  // The card went away at `since` (performance counter) with the channel running.
  virtual void CardAway(LONGLONG since) { (void)since; }
  // The channel starts again where it was before the card went away.
  virtual NTSTATUS ResumeHardware() { return StartHardware(); }
  // A start that waited for the card starts now, from a power or PnP transition (which
  // holds no pin's filter control mutex: nothing goes into the pin's bag).
  virtual NTSTATUS StartDeferred() { return StartHardware(); }

 protected:
  ~CChannelStream() = default;  // freed through their pin's bag, never deleted through the base
};

// Decoder state kept per video channel.
struct ChannelVideo {
  ULONG videoStandard;  // KS_AnalogVideo_* value
  // The picture controls a client set (bit n: control n), with their values: the decoder
  // forgets them when the card is initialised again after a sleep or a restart. Changed
  // and read whole (property requests may come from several threads).
  ULONG controlsSet;
  ULONG controls[5];
};

// The per-card device context. Each group of fields says what owns it: the lock to hold,
// or the one context that writes it while nothing else runs.
struct CCaptureDevice {
  PKSDEVICE ksDevice;  // set by DispatchAdd, read anywhere

  // The watchdog: channelStopLock (StartChannel arms it, StopChannel asks it to stop, its
  // DPC decides under the lock whether it goes on).
  LONGLONG watchdogArmedAt;  // system time, 100 ns
  LONGLONG watchdogPeriod;   // 100 ns
  KDPC watchdogDpc;
  KTIMER watchdogTimer;
  BOOLEAN watchdogStopRequested;
  KEVENT watchdogStoppedEvent;

  // Hardware resources: DispatchStart and ReleaseHardware write them (PASSIVE_LEVEL, in the
  // plug-and-play requests) while no channel, DPC or interrupt uses them; read anywhere.
  volatile ULONG *registers;
  ULONG registersLength;
  ULONG isDevice6864;
  ULONG interruptVector;
  KIRQL interruptIrql;
  KIRQL interruptSyncIrql;
  KINTERRUPT_MODE interruptMode;
  KAFFINITY interruptAffinity;
  BOOLEAN interruptShared;
  // Interlocked: published by the one pin creation that connects it (interruptConnection),
  // taken back by ReleaseHardware.
  PKINTERRUPT interruptObject;
  PKSDEVICE interruptContext;
  KDPC interruptDpc;

  KSPIN_LOCK busLock;          // the two-wire bus, the stream tables, the streams' run states
  KSPIN_LOCK isrLock;          // the interrupt service routine and every other mask writer
  KSPIN_LOCK channelStopLock;  // StopChannel, and the watchdog's arming and stopping
  PDMA_ADAPTER dmaAdapter;     // a hardware resource, as above

  // Interlocked: pin creations on different filters run at once.
  ULONG openPinMask;
  // isrLock: the interrupt latches them, the DPC takes them.
  ULONG lastStatus04;
  ULONG lastStatus;
  ULONG videoIdBase;  // interlocked: every video pin creation sets it
  // busLock: set at pin creation, cleared at close, read by the interrupt DPC.
  CChannelStream *audioStreams[16];
  CChannelStream *videoStreams[kVideoChannels];
  // isrLock (at the interrupt's synchronize IRQL; see SynchronizeWithInterrupt).
  ULONG enabledMask;
  ULONG runningMask;
  ULONG restartMask;
  // Hardware resources, as above.
  PVOID videoBuffers[kVideoChannels][kVideoBuffersPerChannel];
  PHYSICAL_ADDRESS videoBufferAddresses[kVideoChannels][kVideoBuffersPerChannel];
  ULONG videoBufferSizes[kVideoChannels][kVideoBuffersPerChannel];
  LONGLONG lastErrorTime;  // isrLock; performance-counter ticks
  PVOID audioBuffers[kAudioBuffers];
  PHYSICAL_ADDRESS audioBufferAddresses[kAudioBuffers];
  // The channel's standard: refreshed when one of its filters opens (the class driver holds
  // the device mutex), read at pin creation (the filter's control mutex).
  ChannelVideo channelVideo[kVideoChannels];
  // Interlocked: DispatchSetPower writes them, StartChannel reads and records.
  DEVICE_POWER_STATE powerState;
  ULONG deferredStartMask;
  // Per channel: written at the channel's pin creation (its filter's control mutex), read
  // by that pin's process calls.
  ULONG hdelay[kVideoChannels];
  ULONG intmode[kVideoChannels];
  // DispatchStart (the class driver holds the device mutex): the filter factories published
  // at the last start, replaced at the next one.
  PKSFILTERFACTORY filterFactories[16];
  ULONG filterFactoryCount;
  // The descriptors those factories were made with, in the device's bag until removal
  // (filters opened before a stop keep pointing into them).
  PKSFILTER_DESCRIPTOR filterDescriptors[16];
  // Per video channel, the four data ranges its pin offers: this card's own lists, so
  // another card's standard detection or start never changes what this one publishes.
  PKSDATARANGE channelFormats[kVideoChannels][4];
  // Interlocked: kInterruptNotConnected, kInterruptConnecting or kInterruptConnected.
  volatile LONG interruptConnection;
  // channelStopLock: StartChannel calls between arming the watchdog and enabling the
  // channel; the last StopChannel does not stop the watchdog while one is under way.
  ULONG startsInProgress;

  // The transition guard (transition.cpp): a plug-and-play or power transition changes what
  // the hardware is while nobody else uses the device. Users enter shared; a transition
  // waits for them to leave and keeps new ones out until it ends.
  KSPIN_LOCK guardLock;
  LONG guardUsers;
  BOOLEAN guardTransition;
  KEVENT guardDrained;  // notification: the last user left while a transition waits
  KEVENT guardIdle;     // notification, signalled while no transition is under way
  // Changed only in a transition, read by the guard's users: what the hardware is.
  ULONG hardwareState;
  // Changed in transitions and by StopChannel while the hardware is away: the channels that
  // ran when it went (to D3, at a stop), restarted when it comes back, and since when
  // (performance counter) they have not run.
  ULONG suspendedMask;
  LONGLONG suspendedAt;
};

// What the driver holds of the card. Started: its resources are held (D0 or not); Absent:
// never started, or stopped (a rebalance); Removed: gone for good (surprise removal).
constexpr ULONG kHardwareAbsent = 0;
constexpr ULONG kHardwareStarted = 1;
constexpr ULONG kHardwareRemoved = 2;

constexpr LONG kInterruptNotConnected = 0;
constexpr LONG kInterruptConnecting = 1;
constexpr LONG kInterruptConnected = 2;

// Register access: single aligned 32-bit volatile accesses; stores that change channel
// state are followed by a full barrier (the callers say where).
inline ULONG ReadRegister(const CCaptureDevice *d, ULONG offset) {
  return READ_REGISTER_ULONG(d->registers + offset / 4);
}
inline void WriteRegister(CCaptureDevice *d, ULONG offset, ULONG value) {
  WRITE_REGISTER_ULONG(d->registers + offset / 4, value);
}
// Store, barrier, then `readBacks` loads of the same register to push the posted write. Each
// sequence's count (0, 1, 2, 3 or 16) is the card's timing, not a tuning knob: keep it.
ULONG WriteRegisterAndFlush(CCaptureDevice *d, ULONG offset, ULONG value, ULONG readBacks);

inline CCaptureDevice *DeviceContext(PKSDEVICE device) {
  return static_cast<CCaptureDevice *>(device->Context);
}
inline CCaptureDevice *PinDevice(PKSPIN pin) { return DeviceContext(KsGetDevice(pin)); }

// Fields shared between processors without a common lock are read and changed whole.
inline ULONG AtomicRead(volatile ULONG *value) {
  return static_cast<ULONG>(
      InterlockedCompareExchange(reinterpret_cast<volatile LONG *>(value), 0, 0));
}
inline void AtomicSetBits(volatile ULONG *value, ULONG bits) {
  InterlockedOr(reinterpret_cast<volatile LONG *>(value), static_cast<LONG>(bits));
}
inline void AtomicClearBits(volatile ULONG *value, ULONG bits) {
  InterlockedAnd(reinterpret_cast<volatile LONG *>(value), static_cast<LONG>(~bits));
}
inline void AtomicWrite(volatile ULONG *value, ULONG v) {
  InterlockedExchange(reinterpret_cast<volatile LONG *>(value), static_cast<LONG>(v));
}

// What a stream's enable or disable routine works on, under the interrupt's exclusion.
struct HardwareWork {
  CCaptureDevice *device;
  ULONG bit;
};

// The transition guard (transition.cpp). EnterDevice returns whether the caller may use
// the device now: with `wait` it waits a transition out, without it refuses during one.
bool EnterDevice(CCaptureDevice *d, bool wait);
void LeaveDevice(CCaptureDevice *d);
void BeginTransition(CCaptureDevice *d);
void EndTransition(CCaptureDevice *d);
// The power state is read whole: the watchdog's DPC reads it beside the transitions.
inline DEVICE_POWER_STATE PowerState(const CCaptureDevice *d) {
  return static_cast<DEVICE_POWER_STATE>(AtomicRead(
      reinterpret_cast<volatile ULONG *>(const_cast<DEVICE_POWER_STATE *>(&d->powerState))));
}
// The card answers and may be driven (a guard user or a transition asks).
inline bool HardwareUsable(const CCaptureDevice *d) {
  return d->hardwareState == kHardwareStarted && PowerState(d) == PowerDeviceD0;
}
// Why a request that needs the card cannot have it now.
inline NTSTATUS HardwareUnavailableStatus(const CCaptureDevice *d) {
  return d->hardwareState == kHardwareRemoved ? STATUS_DEVICE_REMOVED : STATUS_DEVICE_NOT_READY;
}
// In transitions: every running channel stops (through the card when it still answers) and
// is recorded for the restart, the watchdog stops; and the way back: every open pin's
// channel programmed again, the recorded and the deferred channels started again.
void SuspendChannels(CCaptureDevice *d, bool touchHardware);
NTSTATUS RestoreChannels(CCaptureDevice *d);

// Lifecycle (entry.cpp).
NTSTATUS NTAPI DispatchAdd(PKSDEVICE device);
// Connects the interrupt unless it is connected; STATUS_SUCCESS once it is. The first pin
// creation connects it, not the start: until a pin exists nothing waits for an interrupt.
NTSTATUS ConnectInterrupt(CCaptureDevice *d);
void ReleaseHardware(CCaptureDevice *d);

// Runs `routine` atomically with respect to InterruptService and every other caller: under
// isrLock at the interrupt's synchronize IRQL, through the interrupt object while it is
// connected (the service routine takes isrLock too, connected or being connected).
BOOLEAN SynchronizeWithInterrupt(CCaptureDevice *d, PKSYNCHRONIZE_ROUTINE routine, PVOID context);

// Channel control (channel.cpp). While the card is away (D3, stopped) a start is deferred:
// recorded in deferredStartMask, STATUS_DEVICE_POWERED_OFF, and made when it comes back.
NTSTATUS StartChannel(CCaptureDevice *d, ULONG id);
// A channel that ran before the card went away starts again, the stream's counts kept; a
// deferred start is made.
NTSTATUS ResumeChannel(CCaptureDevice *d, ULONG id);
NTSTATUS StartDeferredChannel(CCaptureDevice *d, ULONG id);
inline ULONG ChannelIdForBit(ULONG bit) {
  return bit < kVideoChannels ? (kVideoIdBase | bit) : bit;
}
NTSTATUS StopChannel(CCaptureDevice *d, ULONG id);
CChannelStream *StreamForChannel(CCaptureDevice *d, ULONG id);

// The device's stream table entry of a channel id, changed under busLock (the interrupt DPC
// reads it there). Clearing leaves an entry that names another stream alone.
void SetStreamForChannel(CCaptureDevice *d, ULONG id, CChannelStream *stream);
void ClearStreamForChannel(CCaptureDevice *d, ULONG id, CChannelStream *stream);

// Interrupt, DPC and watchdog (interrupt.cpp).
BOOLEAN NTAPI InterruptService(PKINTERRUPT interrupt, PVOID serviceContext);
void NTAPI InterruptDpc(PKDPC dpc, PVOID deferredContext, PVOID arg1, PVOID arg2);
void NTAPI WatchdogDpc(PKDPC dpc, PVOID deferredContext, PVOID arg1, PVOID arg2);
// The video channels whose errors an interrupt reports, from INT_STATUS (d),
// ERROR_STATUS_A (e) and ERROR_STATUS_B (l) in the card variant's layout.
ULONG ErrorChannels(ULONG isDevice6864, ULONG d, ULONG e, ULONG l);
