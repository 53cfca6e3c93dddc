// Property requests: the minidriver's automation tables merged with the host's own
// pin and connection sets, size checks before any handler, basic support from an
// item's values, and the data intersection that asks the pin's intersect handler.
#include <algorithm>
#include <cstring>
#include <memory>

#include <ksmedia.h>

#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/registry.h"
#include "sim/ks/host.h"

using sim::Machine;
using sim::Rule;

namespace sim::ks::host {

namespace {

Machine &M() { return Machine::Current(); }

constexpr char kMediaCategories[] = "HKLM\\SYSTEM\\CurrentControlSet\\Control\\MediaCategories\\";
constexpr USHORT kVtIllegal = 0xFFFF;  // the property type of an item without values

ULONG Align8(ULONG n) { return (n + 7) & ~7u; }

ULONG OutLength(PIRP irp) {
  return static_cast<ULONG>(
      reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1));
}
ULONG InLength(PIRP irp) {
  return static_cast<ULONG>(
      reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument2));
}

// A variable-size answer: a zero-length buffer asks for the size.
NTSTATUS ReturnSized(PIRP irp, PVOID data, const void *src, ULONG size) {
  ULONG length = OutLength(irp);
  irp->IoStatus.Information = size;
  if (length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length < size) {
    irp->IoStatus.Information = 0;
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::memcpy(data, src, size);
  return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM list: a buffer of just the header gets the header.
NTSTATUS ReturnList(PIRP irp, PVOID data, const std::vector<uint8_t> &list) {
  if (OutLength(irp) == sizeof(KSMULTIPLE_ITEM) && list.size() > sizeof(KSMULTIPLE_ITEM)) {
    std::memcpy(data, list.data(), sizeof(KSMULTIPLE_ITEM));
    irp->IoStatus.Information = sizeof(KSMULTIPLE_ITEM);
    return STATUS_SUCCESS;
  }
  return ReturnSized(irp, data, list.data(), static_cast<ULONG>(list.size()));
}

Filter *FilterOf(PIRP irp) { return AsFilter(KsGetFilterFromIrp(irp), "a pin property"); }

NTSTATUS PinFactory(PIRP irp, PKSIDENTIFIER request, const KSPIN_DESCRIPTOR_EX **pd,
                    Filter **filter = nullptr) {
  Filter *f = FilterOf(irp);
  ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
  if (id >= f->pub.Descriptor->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  *pd = PinDescriptor(f->pub.Descriptor, id);
  if (filter != nullptr) *filter = f;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinCTypes(PIRP irp, PKSIDENTIFIER, PVOID data) {
  *static_cast<ULONG *>(data) = FilterOf(irp)->pub.Descriptor->PinDescriptorsCount;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinCInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  Filter *f;
  NTSTATUS status = PinFactory(irp, request, &pd, &f);
  if (!NT_SUCCESS(status)) return status;
  ULONG id = reinterpret_cast<PKSP_PIN>(request)->PinId;
  *static_cast<KSPIN_CINSTANCES *>(data) = {pd->InstancesPossible,
                                            static_cast<ULONG>(f->pins[id].size())};
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinNecessaryInstances(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (NT_SUCCESS(status)) *static_cast<ULONG *>(data) = pd->InstancesNecessary;
  return status;
}

NTSTATUS NTAPI PinDataFlow(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (NT_SUCCESS(status)) *static_cast<KSPIN_DATAFLOW *>(data) = pd->PinDescriptor.DataFlow;
  return status;
}

NTSTATUS NTAPI PinCommunication(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (NT_SUCCESS(status))
    *static_cast<KSPIN_COMMUNICATION *>(data) = pd->PinDescriptor.Communication;
  return status;
}

NTSTATUS NTAPI PinCategory(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (!NT_SUCCESS(status)) return status;
  if (pd->PinDescriptor.Category == nullptr) return STATUS_NOT_FOUND;
  *static_cast<GUID *>(data) = *pd->PinDescriptor.Category;
  return STATUS_SUCCESS;
}

// The readable name registered for the pin's name GUID (its category when unnamed).
NTSTATUS NTAPI PinName(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (!NT_SUCCESS(status)) return status;
  const GUID *name =
      pd->PinDescriptor.Name != nullptr ? pd->PinDescriptor.Name : pd->PinDescriptor.Category;
  if (name == nullptr) return STATUS_NOT_FOUND;
  auto text = M().registry().GetString(kMediaCategories + GuidString(*name), "Name");
  if (!text) return STATUS_NOT_FOUND;
  std::u16string wide = sim::Utf8ToUtf16(*text);
  wide.push_back(0);
  return ReturnSized(irp, data, wide.data(), static_cast<ULONG>(wide.size() * sizeof(WCHAR)));
}

NTSTATUS NTAPI PinDataRanges(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (!NT_SUCCESS(status)) return status;
  std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM));
  for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i) {
    const KSDATARANGE *r = pd->PinDescriptor.DataRanges[i];
    size_t at = list.size();
    list.resize(at + Align8(r->FormatSize));
    std::memcpy(list.data() + at, r, r->FormatSize);
  }
  KSMULTIPLE_ITEM header{static_cast<ULONG>(list.size()), pd->PinDescriptor.DataRangesCount};
  std::memcpy(list.data(), &header, sizeof header);
  return ReturnList(irp, data, list);
}

std::vector<uint8_t> IdentifierList(const KSIDENTIFIER *items, ULONG count,
                                    const KSIDENTIFIER &standard) {
  if (count == 0) {
    items = &standard;
    count = 1;
  }
  std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM) + count * sizeof(KSIDENTIFIER));
  KSMULTIPLE_ITEM header{static_cast<ULONG>(list.size()), count};
  std::memcpy(list.data(), &header, sizeof header);
  std::memcpy(list.data() + sizeof header, items, count * sizeof(KSIDENTIFIER));
  return list;
}

NTSTATUS NTAPI PinInterfaces(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (!NT_SUCCESS(status)) return status;
  KSIDENTIFIER standard{};
  standard.Set = KSINTERFACESETID_Standard;
  standard.Id = KSINTERFACE_STANDARD_STREAMING;
  return ReturnList(
      irp, data,
      IdentifierList(pd->PinDescriptor.Interfaces, pd->PinDescriptor.InterfacesCount, standard));
}

NTSTATUS NTAPI PinMediums(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  NTSTATUS status = PinFactory(irp, request, &pd);
  if (!NT_SUCCESS(status)) return status;
  KSIDENTIFIER standard{};
  standard.Set = KSMEDIUMSETID_Standard;
  standard.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  return ReturnList(
      irp, data,
      IdentifierList(pd->PinDescriptor.Mediums, pd->PinDescriptor.MediumsCount, standard));
}

bool Overlap(const GUID &a, const GUID &b) {
  return a == b || a == KSDATAFORMAT_TYPE_WILDCARD || b == KSDATAFORMAT_TYPE_WILDCARD;
}

// The client's ranges in order; for each, the pin's ranges in list order that agree
// on major format, subformat and specifier go to the intersect handler. The first
// answer other than "no match" is the result.
NTSTATUS NTAPI PinDataIntersection(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  const KSPIN_DESCRIPTOR_EX *pd;
  Filter *f;
  NTSTATUS status = PinFactory(irp, request, &pd, &f);
  if (!NT_SUCCESS(status)) return status;
  auto *base = reinterpret_cast<uint8_t *>(request);
  auto *items = reinterpret_cast<PKSMULTIPLE_ITEM>(base + sizeof(KSP_PIN));
  if (items->Size < sizeof(KSMULTIPLE_ITEM) || items->Size > InLength(irp) - sizeof(KSP_PIN))
    return STATUS_INVALID_BUFFER_SIZE;
  ULONG length = OutLength(irp);
  uint8_t *at = reinterpret_cast<uint8_t *>(items + 1);
  ULONG left = items->Size - sizeof(KSMULTIPLE_ITEM);
  for (ULONG c = 0; c < items->Count; ++c) {
    auto *client = reinterpret_cast<PKSDATARANGE>(at);
    if (left < sizeof(KSDATARANGE) || client->FormatSize < sizeof(KSDATARANGE) ||
        client->FormatSize > left)
      return STATUS_INVALID_BUFFER_SIZE;
    for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i) {
      PKSDATARANGE ours = pd->PinDescriptor.DataRanges[i];
      if (!Overlap(client->MajorFormat, ours->MajorFormat) ||
          !Overlap(client->SubFormat, ours->SubFormat) ||
          !Overlap(client->Specifier, ours->Specifier))
        continue;
      ULONG size = 0;
      if (pd->IntersectHandler != nullptr) {
        status =
            sim::CallDriver(pd->IntersectHandler, &f->pub, irp, reinterpret_cast<PKSP_PIN>(request),
                            client, ours, length, length != 0 ? data : nullptr, &size);
        CheckBackAtPassive("an intersect handler");
      } else {
        // Without a handler the pin's own range is the format.
        size = ours->FormatSize;
        status = length == 0     ? STATUS_BUFFER_OVERFLOW
                 : length < size ? STATUS_BUFFER_TOO_SMALL
                                 : STATUS_SUCCESS;
        if (status == STATUS_SUCCESS) std::memcpy(data, ours, size);
      }
      if (status == STATUS_NO_MATCH) continue;
      if (NT_SUCCESS(status) && size > length)
        M().verifier().Stop(Rule::InvalidParameter,
                            "an intersect handler produced " + std::to_string(size) +
                                " bytes for a buffer of " + std::to_string(length));
      irp->IoStatus.Information = size;
      return status;
    }
    ULONG step = std::min(Align8(client->FormatSize), left);
    at += step;
    left -= step;
  }
  return STATUS_NO_MATCH;
}

Pin *PinOf(PIRP irp) { return AsPin(KsGetPinFromIrp(irp), "a connection property"); }

NTSTATUS NTAPI ConnectionGetState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  *static_cast<KSSTATE *>(data) = PinOf(irp)->pub.DeviceState;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI ConnectionSetState(PIRP irp, PKSIDENTIFIER, PVOID data) {
  ULONG state;  // as the client sent it: not necessarily a KSSTATE
  std::memcpy(&state, data, sizeof state);
  if (state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
  return SetPinState(PinOf(irp), static_cast<KSSTATE>(state));
}

NTSTATUS NTAPI ConnectionDataFormat(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PKSDATAFORMAT format = PinOf(irp)->pub.ConnectionFormat;
  return ReturnSized(irp, data, format, format->FormatSize);
}

NTSTATUS NTAPI ConnectionFraming(PIRP irp, PKSIDENTIFIER, PVOID data) {
  const KSALLOCATOR_FRAMING_EX *framing = PinOf(irp)->pub.Descriptor->AllocatorFraming;
  if (framing == nullptr) return STATUS_NOT_FOUND;
  ULONG size = static_cast<ULONG>(offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) +
                                  framing->CountItems * sizeof(KS_FRAMING_ITEM));
  return ReturnSized(irp, data, framing, size);
}

const KSPROPERTY_ITEM kPinItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CINSTANCES, PinCInstances, sizeof(KSP_PIN),
                           sizeof(KSPIN_CINSTANCES), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CTYPES, PinCTypes, sizeof(KSPROPERTY), sizeof(ULONG),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAFLOW, PinDataFlow, sizeof(KSP_PIN),
                           sizeof(KSPIN_DATAFLOW), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATARANGES, PinDataRanges, sizeof(KSP_PIN), 0, nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_DATAINTERSECTION, PinDataIntersection,
                           sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), 0, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_INTERFACES, PinInterfaces, sizeof(KSP_PIN), 0, nullptr,
                           nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_MEDIUMS, PinMediums, sizeof(KSP_PIN), 0, nullptr, nullptr,
                           0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_COMMUNICATION, PinCommunication, sizeof(KSP_PIN),
                           sizeof(KSPIN_COMMUNICATION), nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, PinNecessaryInstances,
                           sizeof(KSP_PIN), sizeof(ULONG), nullptr, nullptr, 0, nullptr, nullptr,
                           0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_CATEGORY, PinCategory, sizeof(KSP_PIN), sizeof(GUID),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NAME, PinName, sizeof(KSP_PIN), 0, nullptr, nullptr, 0,
                           nullptr, nullptr, 0),
};

const KSPROPERTY_ITEM kConnectionItems[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_STATE, ConnectionGetState, sizeof(KSPROPERTY),
                           sizeof(KSSTATE), ConnectionSetState, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_DATAFORMAT, ConnectionDataFormat,
                           sizeof(KSPROPERTY), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX, ConnectionFraming,
                           sizeof(KSPROPERTY), 0, nullptr, nullptr, 0, nullptr, nullptr, 0),
};

const KSPROPERTY_SET kFilterSets[] = {
    DEFINE_KSPROPERTY_SET(&KSPROPSETID_Pin, SIZEOF_ARRAY(kPinItems), kPinItems, 0, nullptr)};
const KSPROPERTY_SET kPinSets[] = {DEFINE_KSPROPERTY_SET(
    &KSPROPSETID_Connection, SIZEOF_ARRAY(kConnectionItems), kConnectionItems, 0, nullptr)};
const KSAUTOMATION_TABLE kFilterTable = {DEFINE_KSAUTOMATION_PROPERTIES(kFilterSets),
                                         DEFINE_KSAUTOMATION_METHODS_NULL,
                                         DEFINE_KSAUTOMATION_EVENTS_NULL};
const KSAUTOMATION_TABLE kPinTable = {DEFINE_KSAUTOMATION_PROPERTIES(kPinSets),
                                      DEFINE_KSAUTOMATION_METHODS_NULL,
                                      DEFINE_KSAUTOMATION_EVENTS_NULL};

const KSPROPERTY_SET *FindSet(const KSAUTOMATION_TABLE *table, const GUID &set) {
  if (table == nullptr) return nullptr;
  for (ULONG i = 0; i < table->PropertySetsCount; ++i)
    if (table->PropertySets[i].Set != nullptr && *table->PropertySets[i].Set == set)
      return &table->PropertySets[i];
  return nullptr;
}

const KSPROPERTY_ITEM *FindItem(const KSAUTOMATION_TABLE *table, const KSPROPERTY_SET *set,
                                ULONG id) {
  ULONG stride = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
  auto *bytes = reinterpret_cast<const uint8_t *>(set->PropertyItem);
  for (ULONG i = 0; i < set->PropertiesCount; ++i) {
    auto *item = reinterpret_cast<const KSPROPERTY_ITEM *>(bytes + i * stride);
    if (item->PropertyId == id) return item;
  }
  return nullptr;
}

// Basic support from the item's values: a description, then each members list.
NTSTATUS DefaultBasicSupport(const KSPROPERTY_ITEM *item, PIRP irp, PVOID data, ULONG length) {
  ULONG access = KSPROPERTY_TYPE_BASICSUPPORT;
  if (item->GetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_GET;
  if (item->SetPropertyHandler != nullptr) access |= KSPROPERTY_TYPE_SET;
  const KSPROPERTY_VALUES *values = item->Values;
  ULONG lists = values != nullptr ? values->MembersListCount : 0;
  ULONG total = sizeof(KSPROPERTY_DESCRIPTION);
  for (ULONG i = 0; i < lists; ++i) {
    const KSPROPERTY_MEMBERSHEADER &h = values->MembersList[i].MembersHeader;
    total += sizeof(KSPROPERTY_MEMBERSHEADER) + h.MembersSize * h.MembersCount;
  }
  if (length == 0) {
    irp->IoStatus.Information = total;
    return STATUS_BUFFER_OVERFLOW;
  }
  if (length < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  if (length < sizeof(KSPROPERTY_DESCRIPTION)) {
    std::memcpy(data, &access, sizeof access);
    irp->IoStatus.Information = sizeof access;
    return STATUS_SUCCESS;
  }
  KSPROPERTY_DESCRIPTION d{};
  d.AccessFlags = access;
  d.DescriptionSize = total;
  if (values != nullptr) {
    d.PropTypeSet = values->PropTypeSet;
  } else {
    d.PropTypeSet.Set = KSPROPTYPESETID_General;
    d.PropTypeSet.Id = kVtIllegal;
  }
  d.MembersListCount = lists;
  auto *out = static_cast<uint8_t *>(data);
  std::memcpy(out, &d, sizeof d);
  irp->IoStatus.Information = sizeof d;
  if (length < total) return STATUS_SUCCESS;  // the description alone
  size_t at = sizeof d;
  for (ULONG i = 0; i < lists; ++i) {
    const KSPROPERTY_MEMBERSLIST &list = values->MembersList[i];
    std::memcpy(out + at, &list.MembersHeader, sizeof list.MembersHeader);
    at += sizeof list.MembersHeader;
    size_t bytes = list.MembersHeader.MembersSize * list.MembersHeader.MembersCount;
    std::memcpy(out + at, list.Members, bytes);
    at += bytes;
  }
  irp->IoStatus.Information = total;
  return STATUS_SUCCESS;
}

}  // namespace

void SeedMediaCategories() {
  // What the system's installation registers for the names pins commonly carry.
  static const std::pair<GUID, const char *> kNames[] = {
      {PINNAME_VIDEO_CAPTURE, "Capture"}, {PINNAME_VIDEO_PREVIEW, "Preview"},
      {KSCATEGORY_CAPTURE, "Capture"},    {KSCATEGORY_VIDEO, "Video"},
      {KSCATEGORY_AUDIO, "Audio"},
  };
  for (const auto &[guid, name] : kNames)
    M().registry().SetString(kMediaCategories + GuidString(guid), "Name", name);
}

NTSTATUS Property(Object *object, const void *pub, const void *property, ULONG propertyLength,
                  void *data, ULONG dataLength, ULONG *returned) {
  if (returned != nullptr) *returned = 0;
  if (property == nullptr || propertyLength < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
  if (data == nullptr && dataLength != 0) return STATUS_INVALID_PARAMETER;
  // The host works on its own copies, as the I/O manager buffers the request: exactly as
  // long as the caller said (aligned as operator new aligns), so a handler that reads or
  // writes past them is caught by the sanitizers.
  std::unique_ptr<uint8_t[]> in(new uint8_t[propertyLength]);
  std::memcpy(in.get(), property, propertyLength);
  auto *request = reinterpret_cast<PKSPROPERTY>(in.get());
  ULONG type = request->Flags & ~KSPROPERTY_TYPE_TOPOLOGY;

  const KSAUTOMATION_TABLE *tables[2];
  if (object->kind == Kind::Filter) {
    tables[0] = static_cast<Filter *>(object)->pub.Descriptor->AutomationTable;
    tables[1] = &kFilterTable;
  } else {
    tables[0] = static_cast<Pin *>(object)->pub.Descriptor->AutomationTable;
    tables[1] = &kPinTable;
  }
  bool setFound = false;
  const KSPROPERTY_ITEM *item = nullptr;
  for (const KSAUTOMATION_TABLE *table : tables) {
    const KSPROPERTY_SET *set = FindSet(table, request->Set);
    if (set == nullptr) continue;
    setFound = true;
    item = FindItem(table, set, request->Id);
    if (item != nullptr) break;
  }
  if (!setFound) return STATUS_NOT_FOUND;
  if (type == KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
  if (item == nullptr) return STATUS_NOT_FOUND;

  std::unique_ptr<uint8_t[]> out(dataLength != 0 ? new uint8_t[dataLength] : nullptr);
  if (dataLength != 0) std::memcpy(out.get(), data, dataLength);
  void *buffer = out.get();
  PIRP irp = NewIrp(object, pub, IRP_MJ_DEVICE_CONTROL);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(dataLength));
  stack->Parameters.Others.Argument2 =
      reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(propertyLength));
  stack->Parameters.Others.Argument4 = request;
  irp->AssociatedIrp.SystemBuffer = buffer;
  irp->UserBuffer = buffer;

  NTSTATUS status;
  if (type == KSPROPERTY_TYPE_GET || type == KSPROPERTY_TYPE_SET) {
    PFNKSHANDLER handler =
        type == KSPROPERTY_TYPE_GET ? item->GetPropertyHandler : item->SetPropertyHandler;
    if (handler == nullptr) {
      status = STATUS_NOT_FOUND;
    } else if (propertyLength < item->MinProperty) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else if (dataLength < item->MinData) {
      // A zero-length buffer is a size query.
      irp->IoStatus.Information = dataLength == 0 ? item->MinData : 0;
      status = dataLength == 0 ? STATUS_BUFFER_OVERFLOW : STATUS_BUFFER_TOO_SMALL;
    } else {
      irp->IoStatus.Information = type == KSPROPERTY_TYPE_GET ? item->MinData : 0;
      status = sim::CallDriver(handler, irp, request, buffer);
      CheckBackAtPassive("a property handler");
    }
  } else if (type == KSPROPERTY_TYPE_BASICSUPPORT) {
    if (item->SupportHandler != nullptr) {
      status = propertyLength < item->MinProperty
                   ? STATUS_BUFFER_TOO_SMALL
                   : sim::CallDriver(item->SupportHandler, irp, request, buffer);
      CheckBackAtPassive("a property support handler");
    } else {
      status = DefaultBasicSupport(item, irp, buffer, dataLength);
    }
  } else {
    status = STATUS_INVALID_PARAMETER;
  }
  ULONG information = static_cast<ULONG>(irp->IoStatus.Information);
  IoFreeIrp(irp);
  if (NT_SUCCESS(status) && information > dataLength)
    M().verifier().Stop(Rule::InvalidParameter,
                        "a property handler reported " + std::to_string(information) +
                            " bytes returned in a buffer of " + std::to_string(dataLength));
  if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
    if (type != KSPROPERTY_TYPE_SET && dataLength != 0)
      std::memcpy(data, out.get(), std::min(information, dataLength));
    if (returned != nullptr) *returned = information;
  }
  return status;
}

}  // namespace sim::ks::host
