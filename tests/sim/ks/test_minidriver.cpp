#include "tests/sim/ks/test_minidriver.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>

#include "sim/kernel/pool.h"

namespace testmini {

namespace {

constexpr ULONG kTagDevice = 'DtsK';
constexpr ULONG kTagFilter = 'FtsK';
constexpr ULONG kTagPin = 'PtsK';
constexpr ULONG kTagEdit = 'EtsK';

Config g_config;
std::vector<std::string> g_log;
Seen g_seen;
PKSFILTERFACTORY g_factory = nullptr;
std::map<sim::ks::Handle, PKSPIN> g_handles;
PKSPIN g_lastPin = nullptr;
LONG g_level = kLevelDefault;

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
  char buf[128];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  g_log.push_back(buf);
}

const TestRange kRanges[2] = {
    {{{sizeof(TestRange), 0, 0, 0, KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_YUY2, kSpecifier}},
     640,
     480},
    {{{sizeof(TestRange), 0, 0, 0, KSDATAFORMAT_TYPE_VIDEO, KSDATAFORMAT_SUBTYPE_WILDCARD,
       kSpecifier}},
     320,
     240},
};
const PKSDATARANGE kRangeList[2] = {const_cast<PKSDATARANGE>(&kRanges[0].DataRange),
                                    const_cast<PKSDATARANGE>(&kRanges[1].DataRange)};

int RangeIndex(const KSDATARANGE *r) { return r == &kRanges[0].DataRange ? 0 : 1; }

// ---------------------------------------------------------------- properties
void Record(PIRP irp) {
  g_seen.filter = KsGetFilterFromIrp(irp);
  g_seen.pin = KsGetPinFromIrp(irp);
  g_seen.device = g_seen.filter ? KsGetDevice(g_seen.filter) : nullptr;
  g_seen.irql = KeGetCurrentIrql();
  g_seen.calls++;
}

NTSTATUS NTAPI LevelGet(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Record(irp);
  *static_cast<LONG *>(data) = g_level;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI LevelSet(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Record(irp);
  LONG v = *static_cast<LONG *>(data);
  if (v < kLevelMin || v > kLevelMax) return STATUS_INVALID_PARAMETER;
  g_level = v;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI StatusGet(PIRP irp, PKSIDENTIFIER, PVOID) {
  Record(irp);
  return g_config.statusProperty;
}

NTSTATUS NTAPI SupportedSupport(PIRP irp, PKSIDENTIFIER, PVOID data) {
  Record(irp);
  *static_cast<ULONG *>(data) = 0x5A5A;
  irp->IoStatus.Information = sizeof(ULONG);
  return STATUS_SUCCESS;
}

const KSPROPERTY_STEPPING_LONG kLevelStepping = {1, 0, {{kLevelMin, kLevelMax}}};
const LONG kLevelDefaultValue = kLevelDefault;
const KSPROPERTY_MEMBERSLIST kLevelMembers[] = {
    {{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0}, &kLevelStepping},
    {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT},
     &kLevelDefaultValue},
};
const KSPROPERTY_VALUES kLevelValues = {
    {{{KSPROPTYPESETID_General, 3 /* VT_I4 */, 0}}}, SIZEOF_ARRAY(kLevelMembers), kLevelMembers};

DEFINE_KSPROPERTY_TABLE(kItems){
    DEFINE_KSPROPERTY_ITEM(kPropLevel, LevelGet, sizeof(KSPROPERTY), sizeof(LONG), LevelSet,
                           &kLevelValues, 0, nullptr, nullptr, sizeof(LONG)),
    DEFINE_KSPROPERTY_ITEM(kPropStatus, StatusGet, sizeof(KSPROPERTY) + 8, 16, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(kPropSupported, LevelGet, sizeof(KSPROPERTY), sizeof(LONG), nullptr,
                           nullptr, 0, nullptr, SupportedSupport, 0),
};
DEFINE_KSPROPERTY_SET_TABLE(kSets){
    DEFINE_KSPROPERTY_SET(&kPropertySet, SIZEOF_ARRAY(kItems), kItems, 0, nullptr)};
DEFINE_KSAUTOMATION_TABLE(kAutomation){DEFINE_KSAUTOMATION_PROPERTIES(kSets),
                                       DEFINE_KSAUTOMATION_METHODS_NULL,
                                       DEFINE_KSAUTOMATION_EVENTS_NULL};

// ---------------------------------------------------------------- pin
void NTAPI FreePinState(PVOID p) {
  auto *s = static_cast<PinState *>(p);
  if (g_lastPin == s->pin) g_lastPin = nullptr;
  ExFreePoolWithTag(p, kTagPin);
}

void NTAPI TimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
  Tick(static_cast<PinState *>(context)->pin);
}

void StopTimer(PinState *s) {
  KeCancelTimer(&s->timer);
  KeRemoveQueueDpc(&s->dpc);
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                                const KSDATARANGE *range, const KSATTRIBUTE_LIST *) {
  int index = RangeIndex(range);
  Log("format range=%d old=%s width=%u", index, oldFormat ? "set" : "none",
      reinterpret_cast<TestFormat *>(pin->ConnectionFormat)->Width);
  return g_config.setFormatStatus[index];
}

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP irp) {
  Log("create pin=%u", pin->Id);
  if (KsGetPinFromIrp(irp) != pin || KsGetFilterFromIrp(irp) != KsPinGetParentFilter(pin))
    Log("create: the IRP does not lead to the pin");
  auto *s =
      static_cast<PinState *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PinState), kTagPin));
  if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(s, 0, sizeof *s);
  s->pin = pin;
  KeInitializeTimer(&s->timer);
  KeInitializeDpc(&s->dpc, TimerDpc, s);
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, s, FreePinState);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(s, kTagPin);
    return status;
  }
  if (pin->Context != KsPinGetParentFilter(pin)->Context)
    Log("create: pin context not the filter's");
  pin->Context = s;
  if (g_config.extendedHeader)
    pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(TestFrameInfo);
  if (g_config.editDescriptor) {
    for (int i = 0; i < 2 && NT_SUCCESS(status); ++i) {
      status = _KsEdit(
          pin->Bag, reinterpret_cast<PVOID *>(const_cast<PKSPIN_DESCRIPTOR_EX *>(&pin->Descriptor)),
          sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTagEdit);
      auto *d = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
      if (NT_SUCCESS(status))
        status = _KsEdit(
            pin->Bag,
            reinterpret_cast<PVOID *>(const_cast<PKSALLOCATOR_FRAMING_EX *>(&d->AllocatorFraming)),
            sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagEdit);
      if (NT_SUCCESS(status))
        const_cast<PKSALLOCATOR_FRAMING_EX>(d->AllocatorFraming)->FramingItem[0].Frames = 7;
    }
  }
  g_lastPin = pin;
  return status;
}

NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP) {
  Log("close pin=%u", pin->Id);
  StopTimer(StateOf(pin));
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  Log("state %d>%d", from, to);
  if (static_cast<int>(to) == g_config.failTo) return g_config.failStatus;
  PinState *s = StateOf(pin);
  if (to == KSSTATE_ACQUIRE && from == KSSTATE_STOP && g_config.useClock) {
    s->clockAsked = true;
    if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &s->clock))) s->clock = nullptr;
  }
  if (to == KSSTATE_STOP && s->clock != nullptr) {
    if (!g_config.leakClock) s->clock->Release();
    s->clock = nullptr;
  }
  if (to == KSSTATE_RUN && g_config.framePeriodMs != 0) {
    LARGE_INTEGER due;
    due.QuadPart = -g_config.framePeriodMs * 10'000;
    KeSetTimerEx(&s->timer, due, static_cast<LONG>(g_config.framePeriodMs), &s->dpc);
  }
  if (from == KSSTATE_RUN) StopTimer(s);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinProcess(PKSPIN pin) {
  PinState *s = StateOf(pin);
  s->processCalls++;
  s->maxDepth = std::max(s->maxDepth, ++s->depth);
  struct Leave {
    PinState *s;
    ~Leave() { s->depth--; }
  } leave{s};
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) Log("process above passive");
  if (g_config.attemptFromProcess) KsPinAttemptProcessing(pin, FALSE);
  if (g_config.completion == Completion::Spin) return STATUS_SUCCESS;
  if (s->pending == 0) return STATUS_PENDING;
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (sp == nullptr) return STATUS_PENDING;
  s->pending--;
  PKSSTREAM_HEADER h = sp->StreamHeader;
  ULONG chunk = sp->OffsetOut.Remaining;
  if (g_config.completion == Completion::AdvanceHalf) chunk = std::min(chunk, h->FrameExtent / 2);
  std::memset(sp->OffsetOut.Data, 0x10 + (s->fills++ & 0x3F), chunk);
  h->DataUsed += chunk;
  bool last = chunk == sp->OffsetOut.Remaining;
  if (last && s->clock != nullptr) {
    h->PresentationTime.Time = s->clock->GetTime();
    h->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  }
  if (last && h->Size >= sizeof(KSSTREAM_HEADER) + sizeof(TestFrameInfo)) {
    auto *info = reinterpret_cast<TestFrameInfo *>(h + 1);
    if (info->ExtendedHeaderSize == sizeof(TestFrameInfo)) info->FrameNumber = s->frames + 1;
  }
  switch (g_config.completion) {
    case Completion::Eject:
      KsStreamPointerUnlock(sp, TRUE);
      break;
    case Completion::Advance:
    case Completion::AdvanceHalf:
      KsStreamPointerAdvanceOffsetsAndUnlock(sp, 0, chunk, FALSE);
      break;
    case Completion::Hold:
    case Completion::Spin:
      break;
  }
  if (last && g_config.completion != Completion::Hold) s->frames++;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Intersect(PVOID context, PIRP irp, PKSP_PIN, PKSDATARANGE client, PKSDATARANGE ours,
                         ULONG bufferSize, PVOID data, PULONG dataSize) {
  int index = RangeIndex(ours);
  Log("intersect range=%d size=%u", index, bufferSize);
  if (context != KsGetFilterFromIrp(irp)) Log("intersect: context is not the filter");
  if (g_config.intersectRefuses[index]) return STATUS_NO_MATCH;
  *dataSize = sizeof(TestFormat);
  if (bufferSize == 0) return STATUS_BUFFER_OVERFLOW;
  if (bufferSize < sizeof(TestFormat)) return STATUS_BUFFER_TOO_SMALL;
  auto *format = static_cast<TestFormat *>(data);
  std::memcpy(&format->DataFormat, ours, sizeof(KSDATAFORMAT));
  format->DataFormat.FormatSize = sizeof(TestFormat);
  const auto *mine = reinterpret_cast<const TestRange *>(ours);
  const auto *theirs = reinterpret_cast<const TestRange *>(client);
  bool sized = client->FormatSize >= sizeof(TestRange) && theirs->Width != 0;
  format->Width = sized ? theirs->Width : mine->Width;
  format->Height = sized ? theirs->Height : mine->Height;
  format->DataFormat.SampleSize = format->Width * format->Height * 2;
  return STATUS_SUCCESS;
}

const KSALLOCATOR_FRAMING_EX kFraming = {1,
                                         0,
                                         {1, 1, 0},
                                         0,
                                         {{KSMEMORY_TYPE_KERNEL_NONPAGED,
                                           GUID_NULL,
                                           0,
                                           0,
                                           KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY,
                                           2,
                                           0,
                                           0,
                                           {0, 0xFFFFFFFF, 1},
                                           {{8192, 8192, 1}, 0, 0}}}};

const KSPIN_DISPATCH kPinDispatch = {
    PinCreate,         PinClose, PinProcess, nullptr, PinSetDataFormat,
    PinSetDeviceState, nullptr,  nullptr,    nullptr, nullptr};

KSPIN_DESCRIPTOR_EX g_pin;  // built at start from the configuration

// ---------------------------------------------------------------- filter and device
NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
  Log("filter create");
  if (KsGetFilterFromIrp(irp) != filter) Log("filter create: the IRP does not lead to the filter");
  if (filter->Context != KsGetDevice(filter)->Context)
    Log("filter create: context not the device's");
  void *ctx = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagFilter);
  if (ctx == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = KsAddItemToObjectBag(filter->Bag, ctx, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(ctx, kTagFilter);
    return status;
  }
  filter->Context = ctx;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER, PIRP) {
  Log("filter close");
  return STATUS_SUCCESS;
}

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};
const GUID kCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

const KSFILTER_DESCRIPTOR kFilter = {&kFilterDispatch,
                                     &kAutomation,
                                     KSFILTER_DESCRIPTOR_VERSION,
                                     0,
                                     &kFilterGuid,
                                     1,
                                     sizeof(KSPIN_DESCRIPTOR_EX),
                                     &g_pin,
                                     DEFINE_KSFILTER_CATEGORIES(kCategories),
                                     DEFINE_KSFILTER_NODE_DESCRIPTORS_NULL,
                                     DEFINE_KSFILTER_DEFAULT_CONNECTIONS,
                                     nullptr};

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
  void *ctx = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagDevice);
  if (ctx == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // Add runs without the device mutex; the device's bag needs it.
  KsAcquireDevice(device);
  NTSTATUS status = KsAddItemToObjectBag(device->Bag, ctx, nullptr);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(ctx, kTagDevice);
    return status;
  }
  device->Context = ctx;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  g_pin = KSPIN_DESCRIPTOR_EX{};
  g_pin.Dispatch = &kPinDispatch;
  g_pin.PinDescriptor.DataRangesCount = 2;
  g_pin.PinDescriptor.DataRanges = kRangeList;
  g_pin.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  g_pin.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  g_pin.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
  g_pin.PinDescriptor.Name = &PINNAME_VIDEO_CAPTURE;
  g_pin.Flags = g_config.pinFlags;
  g_pin.InstancesPossible = g_config.instancesPossible;
  g_pin.AllocatorFraming = &kFraming;
  g_pin.IntersectHandler = Intersect;
  NTSTATUS status = KsCreateFilterFactory(
      device->FunctionalDeviceObject, &kFilter, nullptr, nullptr,
      g_config.freeOnStop ? KSCREATE_ITEM_FREEONSTOP : 0, nullptr, nullptr, &g_factory);
  if (NT_SUCCESS(status) && g_config.updateCache)
    status = KsFilterFactoryUpdateCacheData(g_factory, nullptr);
  return status;
}

void NTAPI DeviceStop(PKSDEVICE device, PIRP) {
  g_log.push_back("stop");
  // A restarted device publishes its factory afresh (or the host frees it: FREEONSTOP).
  // Stop runs without the device mutex.
  if (!g_config.freeOnStop && !g_config.keepFactoryAtStop) {
    KsAcquireDevice(device);
    if (g_factory != nullptr) KsDeleteFilterFactory(g_factory);
    KsReleaseDevice(device);
  }
  g_factory = nullptr;
}

NTSTATUS NTAPI DeviceQueryStop(PKSDEVICE, PIRP) {
  g_log.push_back("query-stop");
  return g_config.queryStop;
}
void NTAPI DeviceCancelStop(PKSDEVICE, PIRP) { g_log.push_back("cancel-stop"); }
NTSTATUS NTAPI DeviceQueryRemove(PKSDEVICE, PIRP) {
  g_log.push_back("query-remove");
  return g_config.queryRemove;
}
void NTAPI DeviceCancelRemove(PKSDEVICE, PIRP) { g_log.push_back("cancel-remove"); }
void NTAPI DeviceRemove(PKSDEVICE, PIRP) { g_log.push_back("remove"); }
void NTAPI DeviceSurpriseRemoval(PKSDEVICE, PIRP) { g_log.push_back("surprise-removal"); }

const KSDEVICE_DISPATCH kDeviceDispatch = {DeviceAdd,
                                           DeviceStart,
                                           nullptr,
                                           DeviceQueryStop,
                                           DeviceCancelStop,
                                           DeviceStop,
                                           DeviceQueryRemove,
                                           DeviceCancelRemove,
                                           DeviceRemove,
                                           nullptr,
                                           DeviceSurpriseRemoval,
                                           nullptr,
                                           nullptr,
                                           nullptr};
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION, 0};

}  // namespace

Config &config() { return g_config; }
std::vector<std::string> &log() { return g_log; }
Seen &seen() { return g_seen; }
PKSFILTERFACTORY factory() { return g_factory; }
const KSPIN_DESCRIPTOR_EX &pinDescriptor() { return g_pin; }
const TestRange &range(int index) { return kRanges[index]; }

void Reset() {
  g_config = Config{};
  g_log.clear();
  g_seen = Seen{};
  g_factory = nullptr;
  g_handles.clear();
  g_lastPin = nullptr;
  g_level = kLevelDefault;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driver, registryPath, &kDevice);
}

PinState *StateOf(PKSPIN pin) { return static_cast<PinState *>(pin->Context); }

void Tick(PKSPIN pin) {
  StateOf(pin)->pending++;
  KsPinAttemptProcessing(pin, TRUE);
}

std::vector<uint8_t> Format(const GUID &subFormat, ULONG width, ULONG height) {
  TestFormat f{};
  f.DataFormat.FormatSize = sizeof f;
  f.DataFormat.SampleSize = width * height * 2;
  f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  f.DataFormat.SubFormat = subFormat;
  f.DataFormat.Specifier = kSpecifier;
  f.Width = width;
  f.Height = height;
  std::vector<uint8_t> bytes(sizeof f);
  std::memcpy(bytes.data(), &f, sizeof f);
  return bytes;
}

std::vector<uint8_t> ClientRange(const GUID &major, const GUID &sub, const GUID &specifier,
                                 ULONG width, ULONG height) {
  TestRange r{};
  r.DataRange.FormatSize = sizeof r;
  r.DataRange.MajorFormat = major;
  r.DataRange.SubFormat = sub;
  r.DataRange.Specifier = specifier;
  r.Width = width;
  r.Height = height;
  std::vector<uint8_t> bytes(sizeof r);
  std::memcpy(bytes.data(), &r, sizeof r);
  return bytes;
}

std::vector<uint8_t> FrameInfo() {
  TestFrameInfo info{sizeof(TestFrameInfo), 0};
  std::vector<uint8_t> bytes(sizeof info);
  std::memcpy(bytes.data(), &info, sizeof info);
  return bytes;
}

// The test minidriver's own package: it drives the standard board in place of morvane.sys.
constexpr char kTestcapInf[] = R"(
[Version]
Signature = "$Windows NT$"
Class = MEDIA
ClassGuid = {4d36e96c-e325-11ce-bfc1-08002be10318}
Provider = Tests
DriverVer = 01/01/2024,1.0.0.0
CatalogFile = testcap.cat
[SourceDisksNames]
1 = Tests
[SourceDisksFiles]
testcap.sys = 1
[DestinationDirs]
DefaultDestDir = 12
[Manufacturer]
Tests = Tests, NTamd64
[Tests.NTamd64]
Test capture = Testcap, PCI\VEN_4D56&DEV_7001
[Testcap.NTamd64]
CopyFiles = @testcap.sys
[Testcap.NTamd64.Services]
AddService = testcap, 2, Testcap.Service
[Testcap.Service]
ServiceType = 1
StartType = 3
ErrorControl = 1
ServiceBinary = %12%\testcap.sys
)";

Rig::Rig(bool start) {
  Reset();
  EXPECT_TRUE(m.pnp().SetDriverPackages({{"testcap.inf", kTestcapInf}}));
  EXPECT_EQ(m.pnp().LoadDriver(DriverEntry, "testcap"), STATUS_SUCCESS) << m.pnp().lastError();
  EXPECT_EQ(m.pnp().AddCard(&card, &c), STATUS_SUCCESS);
  if (start) {
    EXPECT_EQ(m.pnp().StartCard(*c), STATUS_SUCCESS);
  }
  client = std::make_unique<sim::ks::Client>(m);
}

Rig::~Rig() {
  if (m.verifier().stopped() || removed) return;
  try {
    Remove();
  } catch (const sim::VerifierStop &stop) {
    ADD_FAILURE() << stop.what();
  }
}

bool Rig::Remove() {
  removed = true;
  client.reset();
  m.pnp().RemoveCard(*c);
  m.pnp().UnloadDriver();  // a verifier stop if pool is left
  return m.pool().liveCount() == 0;
}

std::string Rig::Link() {
  auto list = client->Interfaces(KSCATEGORY_VIDEO);
  return list.empty() ? std::string() : list.front().symbolicLink;
}

sim::ks::Handle Rig::Open() {
  sim::ks::Handle h = 0;
  EXPECT_EQ(client->OpenFilter(Link(), &h), STATUS_SUCCESS);
  return h;
}

sim::ks::Handle Rig::Pin(sim::ks::Handle filter, const GUID &sub) {
  sim::ks::Handle h = 0;
  EXPECT_EQ(client->CreatePin(filter, 0, Format(sub), &h), STATUS_SUCCESS);
  g_handles[h] = g_lastPin;
  return h;
}

PKSPIN Rig::KsPin(sim::ks::Handle pin) { return g_handles.at(pin); }

}  // namespace testmini
