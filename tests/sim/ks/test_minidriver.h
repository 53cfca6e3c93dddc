// A small minidriver for proving the kernel-streaming host: one filter factory with
// one output pin of two data ranges, an intersect handler, a property set with a
// values table, and a process dispatch that fills frames. Its behaviour is steered
// by a configuration and it logs what the host asks of it.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include <memory>
#include <string>
#include <vector>

#include "sim/card/card.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pnp.h"
#include "sim/ks/client.h"

namespace testmini {

inline constexpr GUID kFilterGuid = {
    0x3c1f0a52, 0x6e2d, 0x4b8e, {0x9a, 0x11, 0x52, 0x0d, 0x7c, 0x44, 0x81, 0x06}};
inline constexpr GUID kPropertySet = {
    0x8d0e2a61, 0x12f4, 0x4c3b, {0xa7, 0x5e, 0x31, 0x9b, 0x02, 0xcd, 0x6e, 0x70}};
inline constexpr GUID kSpecifier = {
    0x5b7a9c23, 0x0f18, 0x4d6a, {0x8e, 0x42, 0x6a, 0x13, 0xb5, 0x90, 0x2f, 0x3c}};

enum : ULONG { kPropLevel = 0, kPropStatus = 1, kPropSupported = 2 };
constexpr LONG kLevelMin = -10, kLevelMax = 10, kLevelDefault = 3;

struct TestRange {
  KSDATARANGE DataRange;
  ULONG Width;
  ULONG Height;
};
struct TestFormat {
  KSDATAFORMAT DataFormat;
  ULONG Width;
  ULONG Height;
};
// The extended header the pin asks for, after KSSTREAM_HEADER.
struct TestFrameInfo {
  ULONG ExtendedHeaderSize;
  ULONG FrameNumber;
};

enum class Completion {
  Eject,        // unlock with eject
  Advance,      // advance the output offset over the whole remaining frame
  AdvanceHalf,  // advance by half the frame per call: two calls complete it
  Hold,         // keep the frame locked across calls
  Spin,         // return STATUS_SUCCESS without touching the queue
};

struct Config {
  ULONG pinFlags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
  ULONG instancesPossible = 2;
  bool updateCache = true;
  bool extendedHeader = true;   // StreamHeaderSize = KSSTREAM_HEADER + TestFrameInfo
  bool editDescriptor = false;  // private descriptor and framing, edited twice
  Completion completion = Completion::Eject;
  NTSTATUS setFormatStatus[2] = {STATUS_SUCCESS, STATUS_SUCCESS};  // per range
  bool intersectRefuses[2] = {false, false};                       // per range
  int failTo = -1;  // the state whose SetDeviceState step fails
  NTSTATUS failStatus = STATUS_INSUFFICIENT_RESOURCES;
  bool useClock = true;
  bool leakClock = false;
  bool attemptFromProcess = false;  // process asks for processing itself, synchronously
  LONGLONG framePeriodMs = 0;       // nonzero: a periodic timer ticks the running pin
  NTSTATUS statusProperty = static_cast<NTSTATUS>(0xE0000002);
  // The device's answers to the PnP queries, and a factory the host frees at stop.
  NTSTATUS queryStop = STATUS_SUCCESS;
  NTSTATUS queryRemove = STATUS_SUCCESS;
  bool freeOnStop = false;
  bool keepFactoryAtStop = false;
};

// Per pin, in the pin's bag.
struct PinState {
  PKSPIN pin;
  ULONG pending;  // hardware events not yet processed
  ULONG frames;   // frames completed
  ULONG fills;
  ULONG processCalls;
  int depth;
  int maxDepth;
  PIKSREFERENCECLOCK clock;
  bool clockAsked;
  KTIMER timer;
  KDPC dpc;
};

// What a property handler saw of its request.
struct Seen {
  PKSDEVICE device = nullptr;
  PKSFILTER filter = nullptr;
  PKSPIN pin = nullptr;
  KIRQL irql = 0xFF;
  int calls = 0;
};

Config &config();
std::vector<std::string> &log();
Seen &seen();
PKSFILTERFACTORY factory();
const KSPIN_DESCRIPTOR_EX &pinDescriptor();
const TestRange &range(int index);
void Reset();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

PinState *StateOf(PKSPIN pin);
// One hardware event for the pin: counts it and asks the host to process.
void Tick(PKSPIN pin);

// A format the pin's ranges accept: YUY2 by default (range 0), any subtype for range 1.
std::vector<uint8_t> Format(const GUID &subFormat, ULONG width = 16, ULONG height = 4);
std::vector<uint8_t> ClientRange(const GUID &major, const GUID &sub, const GUID &specifier,
                                 ULONG width = 0, ULONG height = 0);
std::vector<uint8_t> FrameInfo();  // an initial extended header for QueueFrame

// A machine with one card driven by the test minidriver, started, and a client.
struct Rig {
  sim::Machine m;
  sim::Card card{sim::Card::Variant::Standard};
  sim::PnpManager::Card *c = nullptr;
  std::unique_ptr<sim::ks::Client> client;

  explicit Rig(bool start = true);
  ~Rig();
  std::string Link();
  sim::ks::Handle Open();
  sim::ks::Handle Pin(sim::ks::Handle filter, const GUID &sub = KSDATAFORMAT_SUBTYPE_YUY2);
  PKSPIN KsPin(sim::ks::Handle pin);  // the minidriver's view of a client's pin
  bool Remove();                      // removes the card and unloads, leak-checked
  bool removed = false;
};

}  // namespace testmini
