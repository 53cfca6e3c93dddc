// Filter and pin objects: creation against the descriptors (format matching,
// instance limits), state walks, closing, and the services that find them.
#include <algorithm>
#include <cstring>

#include "sim/kernel/io.h"
#include "sim/ks/host.h"

using sim::Machine;
using sim::Rule;

namespace sim::ks::host {

namespace {

Machine &M() { return Machine::Current(); }

bool Accepts(const GUID &range, const GUID &format) {
  return range == KSDATAFORMAT_TYPE_WILDCARD || range == format;
}

// A range accepts a format when each GUID is equal or the range's is the wildcard.
bool RangeAcceptsFormat(const KSDATARANGE &range, const KSDATAFORMAT &format) {
  return Accepts(range.MajorFormat, format.MajorFormat) &&
         Accepts(range.SubFormat, format.SubFormat) && Accepts(range.Specifier, format.Specifier);
}

void DestroyFilter(Filter *f) {
  Device *d = f->device;
  FreeBag(static_cast<Bag *>(f->pub.Bag));
  Unregister(&f->pub);
  d->filters.erase(std::remove(d->filters.begin(), d->filters.end(), f), d->filters.end());
  Factory *factory = f->factory;
  delete f;
  if (--factory->filters == 0 && factory->deleted) DestroyFactory(factory);
}

void CloseFilterObject(Filter *f) {
  const KSFILTER_DISPATCH *dispatch = f->pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    PIRP irp = NewIrp(f, &f->pub, IRP_MJ_CLOSE);
    dispatch->Close(&f->pub, irp);
    IoFreeIrp(irp);
    CheckBackAtPassive("a filter's Close dispatch");
  }
  DestroyFilter(f);
}

void DestroyPin(Pin *p) {
  FreeBag(static_cast<Bag *>(p->pub.Bag));
  // Frees and free routines had their chance to release the clock.
  CheckClockReleased(p);
  auto &siblings = p->filter->pins[p->pub.Id];
  siblings.erase(std::remove(siblings.begin(), siblings.end(), p), siblings.end());
  Unregister(&p->leading.pub);
  Unregister(&p->pub);
  delete p;
}

void ClosePin(Pin *p) {
  p->closing = true;
  SetPinState(p, KSSTATE_STOP, /*force=*/true);
  const KSPIN_DISPATCH *dispatch = p->pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    PIRP irp = NewIrp(p, &p->pub, IRP_MJ_CLOSE);
    dispatch->Close(&p->pub, irp);
    IoFreeIrp(irp);
    CheckBackAtPassive("a pin's Close dispatch");
  }
  Filter *filter = p->filter;
  DestroyPin(p);
  bool pinsLeft = std::any_of(filter->pins.begin(), filter->pins.end(),
                              [](const auto &list) { return !list.empty(); });
  if (filter->handleClosed && !pinsLeft) CloseFilterObject(filter);
}

}  // namespace

const KSPIN_DESCRIPTOR_EX *PinDescriptor(const KSFILTER_DESCRIPTOR *filter, ULONG id) {
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX *>(
      reinterpret_cast<const uint8_t *>(filter->PinDescriptors) +
      static_cast<size_t>(id) * filter->PinDescriptorSize);
}

PIRP NewIrp(Object *object, const void *pub, UCHAR major) {
  PIRP irp = IoAllocateIrp(1, FALSE);
  // The one location becomes the current one, as the I/O manager hands it over.
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->FileObject = const_cast<void *>(pub);
  stack->DeviceObject = object->device->pub->FunctionalDeviceObject;
  irp->RequestorMode = 1;  // UserMode: the request came from an application
  irp->Tail.Overlay.DriverContext[0] = object;
  return irp;
}

void CheckBackAtPassive(const char *what) {
  if (M().irql() != PASSIVE_LEVEL)
    M().verifier().Stop(Rule::IrqlTooHigh,
                        std::string(what) + " returned at IRQL " + std::to_string(M().irql()));
}

NTSTATUS OpenFilter(Factory *factory, std::shared_ptr<FileObject> *out) {
  Device *d = factory->device;
  auto *f = new Filter;
  f->kind = Kind::Filter;
  f->device = d;
  f->factory = factory;
  f->pub.Descriptor = factory->pub.FilterDescriptor;
  f->pub.Bag = NewBag(d);
  f->pub.Context = d->pub->Context;
  f->pins.resize(f->pub.Descriptor->PinDescriptorsCount);
  f->file = std::make_shared<FileObject>();
  f->file->kind = Kind::Filter;
  f->file->filter = f;
  Register(&f->pub, f);
  d->filters.push_back(f);
  factory->filters++;
  const KSFILTER_DISPATCH *dispatch = f->pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    PIRP irp = NewIrp(f, &f->pub, IRP_MJ_CREATE);
    NTSTATUS status = dispatch->Create(&f->pub, irp);
    IoFreeIrp(irp);
    CheckBackAtPassive("a filter's Create dispatch");
    if (!NT_SUCCESS(status)) {
      DestroyFilter(f);
      return status;
    }
  }
  *out = f->file;
  return STATUS_SUCCESS;
}

NTSTATUS CreatePin(Filter *filter, ULONG pinId, const void *format, ULONG formatLength,
                   std::shared_ptr<FileObject> *out) {
  const KSFILTER_DESCRIPTOR *descriptor = filter->pub.Descriptor;
  if (pinId >= descriptor->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  KSDATAFORMAT header;
  if (format == nullptr || formatLength < sizeof header) return STATUS_INVALID_BUFFER_SIZE;
  std::memcpy(&header, format, sizeof header);
  if (header.FormatSize < sizeof header || header.FormatSize > formatLength)
    return STATUS_INVALID_BUFFER_SIZE;
  const KSPIN_DESCRIPTOR_EX *pd = PinDescriptor(descriptor, pinId);
  if (pd->InstancesPossible != KSINSTANCE_INDETERMINATE &&
      filter->pins[pinId].size() >= pd->InstancesPossible)
    return STATUS_UNSUCCESSFUL;
  std::vector<const KSDATARANGE *> candidates;
  for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i)
    if (RangeAcceptsFormat(*pd->PinDescriptor.DataRanges[i], header))
      candidates.push_back(pd->PinDescriptor.DataRanges[i]);
  if (candidates.empty()) return STATUS_NO_MATCH;

  Device *d = filter->device;
  auto *p = new Pin;
  p->kind = Kind::Pin;
  p->device = d;
  p->filter = filter;
  p->format.reset(new uint8_t[header.FormatSize]);
  std::memcpy(p->format.get(), format, header.FormatSize);
  KSPIN &pin = p->pub;
  pin.Descriptor = pd;
  pin.Bag = NewBag(d);
  pin.Context = filter->pub.Context;
  pin.Id = pinId;
  pin.Communication = pd->PinDescriptor.Communication;
  pin.ConnectionIsExternal = TRUE;
  pin.ConnectionInterface.Set = KSINTERFACESETID_Standard;
  pin.ConnectionInterface.Id = KSINTERFACE_STANDARD_STREAMING;
  pin.ConnectionMedium.Set = KSMEDIUMSETID_Standard;
  pin.ConnectionMedium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
  pin.ConnectionPriority = {KSPRIORITY_NORMAL, 1};
  pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(p->format.get());
  pin.DataFlow = pd->PinDescriptor.DataFlow;
  pin.DeviceState = KSSTATE_STOP;
  pin.ResetState = KSRESET_END;
  pin.ClientState = KSSTATE_STOP;
  p->leading.kind = Kind::StreamPointer;
  p->leading.device = d;
  p->leading.pin = p;
  p->leading.pub.Pin = &p->pub;
  p->file = std::make_shared<FileObject>();
  p->file->kind = Kind::Pin;
  p->file->pin = p;
  Register(&p->pub, p);
  Register(&p->leading.pub, &p->leading);
  filter->pins[pinId].push_back(p);

  // Each range that matched by its GUIDs is offered in list order until the
  // minidriver takes one or refuses with something other than "no match".
  const KSPIN_DISPATCH *dispatch = pd->Dispatch;
  NTSTATUS status = STATUS_SUCCESS;
  if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
    for (const KSDATARANGE *range : candidates) {
      status = dispatch->SetDataFormat(&p->pub, nullptr, nullptr, range, nullptr);
      CheckBackAtPassive("a pin's SetDataFormat dispatch");
      if (status != STATUS_NO_MATCH) break;
    }
  }
  if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Create != nullptr) {
    PIRP irp = NewIrp(p, &p->pub, IRP_MJ_CREATE);
    status = dispatch->Create(&p->pub, irp);
    IoFreeIrp(irp);
    CheckBackAtPassive("a pin's Create dispatch");
  }
  if (!NT_SUCCESS(status)) {
    DestroyPin(p);
    return status;
  }
  *out = p->file;
  return STATUS_SUCCESS;
}

NTSTATUS SetPinState(Pin *p, KSSTATE target, bool force) {
  KSPIN &pin = p->pub;
  pin.ClientState = target;
  const KSPIN_DISPATCH *dispatch = pin.Descriptor->Dispatch;
  while (pin.DeviceState != target) {
    KSSTATE from = pin.DeviceState;
    auto to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
      NTSTATUS status = dispatch->SetDeviceState(&pin, to, from);
      CheckBackAtPassive("a pin's SetDeviceState dispatch");
      if (!NT_SUCCESS(status) && !force) {
        pin.ClientState = pin.DeviceState;
        return status;
      }
    }
    pin.DeviceState = to;
    if (to == KSSTATE_STOP) {
      // The queue drains here; the real host waits for the minidriver's pointer forever.
      if (p->leading.locked)
        M().verifier().Stop(Rule::LockedStreamPointer,
                            "pin " + std::to_string(pin.Id) +
                                " reached KSSTATE_STOP with its leading edge still locked");
      CancelQueuedFrames(p);
    }
    AfterStateChange(p);
  }
  return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(FileObject &file) {
  if (file.kind == Kind::Pin) {
    if (file.pin == nullptr) return STATUS_INVALID_HANDLE;
    ClosePin(file.pin);
    return STATUS_SUCCESS;
  }
  Filter *f = file.filter;
  if (f == nullptr || f->handleClosed) return STATUS_INVALID_HANDLE;
  // Open pins hold their filter: it closes with the last of them.
  f->handleClosed = true;
  bool pinsLeft =
      std::any_of(f->pins.begin(), f->pins.end(), [](const auto &list) { return !list.empty(); });
  if (!pinsLeft) CloseFilterObject(f);
  return STATUS_SUCCESS;
}

void CloseAllForRemoval(Device *device) {
  std::vector<Filter *> filters = device->filters;
  for (Filter *f : filters) {
    f->handleClosed = true;
    std::vector<Pin *> pins;
    for (auto &list : f->pins) pins.insert(pins.end(), list.begin(), list.end());
    if (pins.empty()) CloseFilterObject(f);
    for (Pin *p : pins) ClosePin(p);  // the last one closes the filter
  }
}

}  // namespace sim::ks::host

using namespace sim::ks::host;

namespace {

Object *IrpObject(PIRP irp, const char *service) {
  M().RequireIrql(DISPATCH_LEVEL, service);
  if (irp == nullptr || !sim::IsLiveIrp(irp))
    M().verifier().Stop(Rule::InvalidParameter, std::string(service) + ": not a live IRP");
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  return stack->FileObject != nullptr ? Lookup(stack->FileObject) : nullptr;
}

}  // namespace

extern "C" {

PKSFILTER KsGetFilterFromIrp(PIRP irp) {
  Object *o = IrpObject(irp, "KsGetFilterFromIrp");
  if (o == nullptr) return nullptr;
  if (o->kind == Kind::Filter) return &static_cast<Filter *>(o)->pub;
  if (o->kind == Kind::Pin) return &static_cast<Pin *>(o)->filter->pub;
  return nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP irp) {
  Object *o = IrpObject(irp, "KsGetPinFromIrp");
  return o != nullptr && o->kind == Kind::Pin ? &static_cast<Pin *>(o)->pub : nullptr;
}

KSOBJECTTYPE KsGetObjectTypeFromIrp(PIRP irp) {
  Object *o = IrpObject(irp, "KsGetObjectTypeFromIrp");
  if (o != nullptr && o->kind == Kind::Pin) return KsObjectTypePin;
  if (o != nullptr && o->kind == Kind::Filter) return KsObjectTypeFilter;
  return KsObjectTypeDevice;
}

void KsAcquireControl(PVOID object) {
  M().RequireIrql(PASSIVE_LEVEL, "KsAcquireControl");
  Object *o = Lookup(object);
  if (o != nullptr && o->kind == Kind::Pin) o = static_cast<Pin *>(o)->filter;
  if (o == nullptr || o->kind != Kind::Filter)
    M().verifier().Stop(Rule::InvalidParameter, "KsAcquireControl: not a filter or pin");
  // Pins share their filter's control mutex, a mutex its owner may take again.
  static_cast<Filter *>(o)->controlDepth++;
}

void KsReleaseControl(PVOID object) {
  Object *o = Lookup(object);
  if (o != nullptr && o->kind == Kind::Pin) o = static_cast<Pin *>(o)->filter;
  if (o == nullptr || o->kind != Kind::Filter || static_cast<Filter *>(o)->controlDepth == 0)
    M().verifier().Stop(Rule::InvalidParameter, "KsReleaseControl without KsAcquireControl");
  static_cast<Filter *>(o)->controlDepth--;
}

PKSFILTER KsPinGetParentFilter(PKSPIN pin) {
  return &AsPin(pin, "KsPinGetParentFilter")->filter->pub;
}

ULONG KsFilterGetChildPinCount(PKSFILTER filter, ULONG pinId) {
  Filter *f = AsFilter(filter, "KsFilterGetChildPinCount");
  return pinId < f->pins.size() ? static_cast<ULONG>(f->pins[pinId].size()) : 0;
}

PKSPIN KsFilterGetFirstChildPin(PKSFILTER filter, ULONG pinId) {
  Filter *f = AsFilter(filter, "KsFilterGetFirstChildPin");
  if (pinId >= f->pins.size() || f->pins[pinId].empty()) return nullptr;
  return &f->pins[pinId].front()->pub;
}

PKSPIN KsPinGetNextSiblingPin(PKSPIN pin) {
  Pin *p = AsPin(pin, "KsPinGetNextSiblingPin");
  auto &list = p->filter->pins[p->pub.Id];
  auto it = std::find(list.begin(), list.end(), p);
  return it == list.end() || ++it == list.end() ? nullptr : &(*it)->pub;
}

}  // extern "C"
