// The sixteen filter factories: per-device copies of the static descriptors (so a
// channel's video pin can be named preview), created at every start.
#include "filters/filters.h"

#include "audio/audio.h"
#include "decoder/decoder.h"
#include "video/stream.h"

// `ranges`, when given, replaces the pin's data-range list in the copy.
bool SameFilterDescriptor(const KSFILTER_DESCRIPTOR *copy, const KSFILTER_DESCRIPTOR *tmpl,
                          bool preview, const PKSDATARANGE *ranges);
NTSTATUS BuildFilterDescriptor(CCaptureDevice *d, const KSFILTER_DESCRIPTOR *tmpl, KSOBJECT_BAG bag,
                               PKSFILTER_DESCRIPTOR copy, bool preview, const PKSDATARANGE *ranges);

namespace {

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, nullptr, nullptr, nullptr};

const GUID kVideoCategories[3] = {{STATICGUIDOF(KSCATEGORY_VIDEO)},
                                  {STATICGUIDOF(KSCATEGORY_CAPTURE)},
                                  {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}};
const GUID kAudioCategories[3] = {{STATICGUIDOF(KSCATEGORY_AUDIO)},
                                  {STATICGUIDOF(KSCATEGORY_CAPTURE)},
                                  {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}};

// Reads "Preview%d" for every video channel; a value that cannot be read is created as
// 0 (capture).
void ReadPreviewSettings(PKSDEVICE device, bool preview[kVideoChannels]) {
  for (ULONG n = 0; n < kVideoChannels; ++n) preview[n] = false;
  HANDLE key;
  if (!NT_SUCCESS(IoOpenDeviceRegistryKey(device->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                          KEY_READ | KEY_WRITE, &key)))
    return;
  for (ULONG n = 0; n < kVideoChannels; ++n) {
    WCHAR name[39];
    if (!NT_SUCCESS(RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), KTEXT("Preview%d"), n)))
      continue;
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    ULONG buffer[4];
    RtlZeroMemory(buffer, sizeof(buffer));
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                      sizeof(buffer), &resultLength);
    if (NT_SUCCESS(status)) {
      ULONG value;
      RtlCopyMemory(&value, reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data,
                    sizeof(value));
      preview[n] = value == 1;
    } else if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_BUFFER_OVERFLOW ||
               status == STATUS_BUFFER_TOO_SMALL) {
      // Missing, or more than a setting holds: replaced by the default. A read that failed
      // for want of memory leaves the administrator's value as it is.
      ULONG zero = 0;
      (void)ZwSetValueKey(key, &valueName, 0, REG_DWORD, &zero, sizeof(zero));
    }
  }
  ZwClose(key);
}

}  // namespace

const GUID kVideoFilterReferenceGuids[8] = {
#define MORVANE_VIDEO_REFERENCE(n)                                                     \
  {                                                                                    \
    0x5A71FE40, 0x1D67, 0x1180 + n, { 0xBD, 0x0B, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66 } \
  }
    MORVANE_VIDEO_REFERENCE(0), MORVANE_VIDEO_REFERENCE(1), MORVANE_VIDEO_REFERENCE(2),
    MORVANE_VIDEO_REFERENCE(3), MORVANE_VIDEO_REFERENCE(4), MORVANE_VIDEO_REFERENCE(5),
    MORVANE_VIDEO_REFERENCE(6), MORVANE_VIDEO_REFERENCE(7),
#undef MORVANE_VIDEO_REFERENCE
};

const GUID kAudioFilterReferenceGuids[8] = {
    {0x0D396090, 0x3305, 0x4A69, {0xAE, 0xEC, 0xF2, 0x09, 0xE3, 0x09, 0x5E, 0xAE}},
    {0xEBF70AAC, 0xF1D1, 0x4BAE, {0xB3, 0x41, 0x72, 0x75, 0x1E, 0xAD, 0xA0, 0x7C}},
    {0xCC098EBF, 0x1134, 0x4786, {0xAD, 0x1E, 0xB6, 0xD9, 0x72, 0x8D, 0xD0, 0xBF}},
    {0x407FAEB4, 0x5180, 0x446B, {0xB7, 0x6B, 0x62, 0xA5, 0xC3, 0x09, 0xB1, 0xC6}},
    {0xC9238BA8, 0xCAD9, 0x4AFC, {0xBE, 0x59, 0x00, 0xFC, 0x48, 0xCA, 0x52, 0x98}},
    {0xC1417E2C, 0x9FA1, 0x40CA, {0xB3, 0x1F, 0xA3, 0x3C, 0x6C, 0x1C, 0x1D, 0x66}},
    {0x6DBDF291, 0xBB7F, 0x4D5B, {0x8E, 0xA4, 0x06, 0x5F, 0x12, 0x73, 0xD4, 0x24}},
    {0xAEEF9849, 0x6B18, 0x4741, {0xAA, 0x4D, 0x4E, 0xA6, 0x15, 0x75, 0x32, 0x6F}},
};

#define MORVANE_FILTER(pins, categories, reference)                                               \
  {                                                                                               \
    &kFilterDispatch, &kFilterAutomationTable, KSFILTER_DESCRIPTOR_VERSION, 0, &reference, 1,     \
        sizeof(KSPIN_DESCRIPTOR_EX), &pins, 3, categories, 0, sizeof(KSNODE_DESCRIPTOR), nullptr, \
        0, nullptr, nullptr                                                                       \
  }
// Video 0-7, then audio 0-7.
const KSFILTER_DESCRIPTOR kFilterDescriptors[16] = {
    MORVANE_FILTER(kVideoPinDescriptors[0], kVideoCategories, kVideoFilterReferenceGuids[0]),
    MORVANE_FILTER(kVideoPinDescriptors[1], kVideoCategories, kVideoFilterReferenceGuids[1]),
    MORVANE_FILTER(kVideoPinDescriptors[2], kVideoCategories, kVideoFilterReferenceGuids[2]),
    MORVANE_FILTER(kVideoPinDescriptors[3], kVideoCategories, kVideoFilterReferenceGuids[3]),
    MORVANE_FILTER(kVideoPinDescriptors[4], kVideoCategories, kVideoFilterReferenceGuids[4]),
    MORVANE_FILTER(kVideoPinDescriptors[5], kVideoCategories, kVideoFilterReferenceGuids[5]),
    MORVANE_FILTER(kVideoPinDescriptors[6], kVideoCategories, kVideoFilterReferenceGuids[6]),
    MORVANE_FILTER(kVideoPinDescriptors[7], kVideoCategories, kVideoFilterReferenceGuids[7]),
    MORVANE_FILTER(kAudioPinDescriptors[0], kAudioCategories, kAudioFilterReferenceGuids[0]),
    MORVANE_FILTER(kAudioPinDescriptors[1], kAudioCategories, kAudioFilterReferenceGuids[1]),
    MORVANE_FILTER(kAudioPinDescriptors[2], kAudioCategories, kAudioFilterReferenceGuids[2]),
    MORVANE_FILTER(kAudioPinDescriptors[3], kAudioCategories, kAudioFilterReferenceGuids[3]),
    MORVANE_FILTER(kAudioPinDescriptors[4], kAudioCategories, kAudioFilterReferenceGuids[4]),
    MORVANE_FILTER(kAudioPinDescriptors[5], kAudioCategories, kAudioFilterReferenceGuids[5]),
    MORVANE_FILTER(kAudioPinDescriptors[6], kAudioCategories, kAudioFilterReferenceGuids[6]),
    MORVANE_FILTER(kAudioPinDescriptors[7], kAudioCategories, kAudioFilterReferenceGuids[7]),
};
#undef MORVANE_FILTER

void DeleteFilterFactories(CCaptureDevice *d) {
  for (ULONG i = 0; i < d->filterFactoryCount; ++i) KsDeleteFilterFactory(d->filterFactories[i]);
  d->filterFactoryCount = 0;
}

NTSTATUS CreateFilterFactories(CCaptureDevice *d, PKSDEVICE device) {
  // A restarted device replaces what it published before instead of adding to it.
  DeleteFilterFactories(d);
  bool preview[kVideoChannels];
  ReadPreviewSettings(device, preview);
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < 16; ++i) {
    bool video = i < kVideoChannels;
    bool asPreview = video && preview[i];
    const PKSDATARANGE *ranges = video ? d->channelFormats[i] : nullptr;
    // The copies stay in the device's bag until removal: a restart (every rebalance) that
    // made new ones each time would grow the pool for as long as the card stays. One with
    // the same settings publishes what it published before, from the same copy.
    PKSFILTER_DESCRIPTOR copy = d->filterDescriptors[i];
    if (copy == nullptr || !SameFilterDescriptor(copy, &kFilterDescriptors[i], asPreview, ranges)) {
      copy = static_cast<PKSFILTER_DESCRIPTOR>(
          ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSFILTER_DESCRIPTOR), kTagDescriptorCopy));
      if (copy == nullptr) return STATUS_NO_MEMORY;
      status =
          BuildFilterDescriptor(d, &kFilterDescriptors[i], device->Bag, copy, asPreview, ranges);
      if (!NT_SUCCESS(status)) return status;
      d->filterDescriptors[i] = copy;
    }
    PKSFILTERFACTORY factory = nullptr;
    status = KsCreateFilterFactory(device->FunctionalDeviceObject, copy, nullptr, nullptr, 0,
                                   nullptr, nullptr, &factory);
    if (!NT_SUCCESS(status)) return status;
    d->filterFactories[d->filterFactoryCount++] = factory;
    status = KsFilterFactoryUpdateCacheData(factory, nullptr);
    if (!NT_SUCCESS(status)) return status;
  }
  return status;
}

bool SameFilterDescriptor(const KSFILTER_DESCRIPTOR *copy, const KSFILTER_DESCRIPTOR *tmpl,
                          bool preview, const PKSDATARANGE *ranges) {
  if (tmpl->PinDescriptorsCount == 0 || copy->PinDescriptors == tmpl->PinDescriptors)
    return RtlEqualMemory(copy, tmpl, sizeof(KSFILTER_DESCRIPTOR)) != 0;
  // Copied as the copy was, padding and all, so that the bytes compare.
  KSFILTER_DESCRIPTOR expected;
  RtlCopyMemory(&expected, tmpl, sizeof(expected));
  expected.PinDescriptors = copy->PinDescriptors;
  if (!RtlEqualMemory(copy, &expected, sizeof(KSFILTER_DESCRIPTOR))) return false;
  for (ULONG k = 0; k < tmpl->PinDescriptorsCount; ++k) {
    KSPIN_DESCRIPTOR_EX pin;
    RtlCopyMemory(&pin, &tmpl->PinDescriptors[k], sizeof(pin));
    if (k == 0 && preview) pin.PinDescriptor.Name = &PINNAME_VIDEO_PREVIEW;
    if (k == 0 && ranges != nullptr) pin.PinDescriptor.DataRanges = ranges;
    if (!RtlEqualMemory(&copy->PinDescriptors[k], &pin, sizeof(pin))) return false;
  }
  return true;
}

NTSTATUS BuildFilterDescriptor(CCaptureDevice *, const KSFILTER_DESCRIPTOR *tmpl, KSOBJECT_BAG bag,
                               PKSFILTER_DESCRIPTOR copy, bool preview,
                               const PKSDATARANGE *ranges) {
  NTSTATUS status = KsAddItemToObjectBag(bag, copy, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(copy, kTagDescriptorCopy);
    return status;
  }
  RtlCopyMemory(copy, tmpl, sizeof(KSFILTER_DESCRIPTOR));
  if (tmpl->PinDescriptorsCount == 0) return STATUS_SUCCESS;
  ULONG bytes = tmpl->PinDescriptorSize * tmpl->PinDescriptorsCount;
  auto *pins = static_cast<PKSPIN_DESCRIPTOR_EX>(
      ExAllocatePoolWithTag(NonPagedPoolNx, bytes, kTagDescriptorCopy));
  if (pins == nullptr) return STATUS_NO_MEMORY;
  status = KsAddItemToObjectBag(bag, pins, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(pins, kTagDescriptorCopy);
    return status;
  }
  RtlCopyMemory(pins, tmpl->PinDescriptors, bytes);
  if (preview) pins[0].PinDescriptor.Name = &PINNAME_VIDEO_PREVIEW;
  if (ranges != nullptr) pins[0].PinDescriptor.DataRanges = ranges;
  copy->PinDescriptors = pins;
  return STATUS_SUCCESS;
}

namespace {
void NTAPI FreeFilterContext(PVOID context) { ExFreePoolWithTag(context, kTagDevice); }
}  // namespace

namespace {

NTSTATUS CreateFilter(CCaptureDevice *d, PKSFILTER filter) {
  const GUID *guid = filter->Descriptor->ReferenceGuid;
  auto *context = static_cast<FilterContext *>(
      ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FilterContext), kTagDevice));
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  context->filter = filter;
  context->channel = 0;
  NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeFilterContext);
  if (!NT_SUCCESS(status)) {
    FreeFilterContext(context);
    return status;
  }
  filter->Context = context;
  for (ULONG n = 0; n < kVideoChannels; ++n)
    if (guid != nullptr && RtlEqualMemory(guid, &kVideoFilterReferenceGuids[n], sizeof(GUID)))
      context->channel = n;
  DetectChannelStandard(d, context->channel);
  return status;
}

}  // namespace

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP) {
  // Opening a filter reads its channel's standard from the card: a stopped, sleeping or
  // removed card has no filters to open (a stopped one keeps its interfaces).
  CCaptureDevice *d = DeviceContext(KsGetDevice(filter));
  EnterDevice(d, true);
  NTSTATUS status = HardwareUsable(d) ? CreateFilter(d, filter) : HardwareUnavailableStatus(d);
  LeaveDevice(d);
  return status;
}
