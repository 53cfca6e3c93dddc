// Filter and pin objects: creation against the descriptors (format matching,
// instance limits), state walks, closing, and the services that find them.
#include <algorithm>
#include <cstring>

#include "sim/kernel/sync_annotations.h"
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
  f->file->filter = nullptr;
  delete f;
  if (--factory->filters == 0 && factory->deleted) DestroyFactory(factory);
}

bool PinsLeft(const Filter *f) {
  return std::any_of(f->pins.begin(), f->pins.end(),
                     [](const auto &list) { return !list.empty(); });
}

// Filters come and go under the device mutex; the close dispatch runs under the filter's
// control mutex as well. A filter that got a pin meanwhile stays for that pin's close.
void CloseFilterObject(const std::shared_ptr<FileObject> &file) {
  Filter *f = file->filter;
  if (f == nullptr) return;
  Device *d = f->device;
  M().AcquireMutex(d->mutex, "closing a filter");
  M().AcquireMutex(file->control, "closing a filter");
  f = file->filter;
  if (f == nullptr || PinsLeft(f)) {
    M().ReleaseMutex(file->control, "closing a filter");
    M().ReleaseMutex(d->mutex, "closing a filter");
    return;
  }
  const KSFILTER_DISPATCH *dispatch = f->pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    PIRP irp = NewIrp(f, &f->pub, IRP_MJ_CLOSE);
    sim::CallDriver(dispatch->Close, &f->pub, irp);
    IoFreeIrp(irp);
    CheckBackAtPassive("a filter's Close dispatch");
  }
  DestroyFilter(f);
  M().ReleaseMutex(file->control, "closing a filter");
  M().ReleaseMutex(d->mutex, "closing a filter");
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

void ClosePin(Pin *pin) {
  std::shared_ptr<FileObject> file = pin->file;
  std::shared_ptr<FileObject> filterFile = pin->filterFile;
  M().AcquireMutex(filterFile->control, "closing a pin");
  Pin *p = file->pin;
  if (p == nullptr) {  // closed by another thread meanwhile
    M().ReleaseMutex(filterFile->control, "closing a pin");
    return;
  }
  p->closing = true;
  SetPinStateLocked(p, KSSTATE_STOP, /*force=*/true);
  const KSPIN_DISPATCH *dispatch = p->pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Close != nullptr) {
    PIRP irp = NewIrp(p, &p->pub, IRP_MJ_CLOSE);
    sim::CallDriver(dispatch->Close, &p->pub, irp);
    IoFreeIrp(irp);
    CheckBackAtPassive("a pin's Close dispatch");
  }
  // A process call still running finishes before the pin goes.
  M().AcquireMutex(file->processing, "closing a pin");
  Filter *filter = p->filter;
  Device *device = p->device;
  DestroyPin(p);
  M().ReleaseMutex(file->processing, "closing a pin");
  bool closeFilter = filter->handleClosed && !PinsLeft(filter);
  M().ReleaseMutex(filterFile->control, "closing a pin");
  if (closeFilter) CloseFilterObject(filterFile);
  HandleClosed(device);
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
  // The simulation hands the object itself where the platform has its file object.
  stack->FileObject = static_cast<PFILE_OBJECT>(const_cast<void *>(pub));
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
  M().AcquireMutex(d->mutex, "opening a filter");
  auto *f = new Filter;
  f->kind = Kind::Filter;
  f->device = d;
  f->factory = factory;
  f->file = std::make_shared<FileObject>();
  f->file->kind = Kind::Filter;
  f->file->filter = f;
  f->pub.Descriptor = factory->pub.FilterDescriptor;
  f->pub.Bag = NewBag(d, &f->file->control, f->file);
  f->pub.Context = d->pub->Context;
  f->pins.resize(f->pub.Descriptor->PinDescriptorsCount);
  Register(&f->pub, f);
  d->filters.push_back(f);
  factory->filters++;
  std::shared_ptr<FileObject> file = f->file;
  M().AcquireMutex(file->control, "opening a filter");
  NTSTATUS status = STATUS_SUCCESS;
  const KSFILTER_DISPATCH *dispatch = f->pub.Descriptor->Dispatch;
  if (dispatch != nullptr && dispatch->Create != nullptr) {
    PIRP irp = NewIrp(f, &f->pub, IRP_MJ_CREATE);
    status = sim::CallDriver(dispatch->Create, &f->pub, irp);
    IoFreeIrp(irp);
    CheckBackAtPassive("a filter's Create dispatch");
    if (!NT_SUCCESS(status)) DestroyFilter(f);
  }
  if (NT_SUCCESS(status)) HandleOpened(d);
  M().ReleaseMutex(file->control, "opening a filter");
  M().ReleaseMutex(d->mutex, "opening a filter");
  if (!NT_SUCCESS(status)) return status;
  *out = file;
  return STATUS_SUCCESS;
}

NTSTATUS CreatePin(Filter *filter, ULONG pinId, const void *format, ULONG formatLength,
                   std::shared_ptr<FileObject> *out) {
  std::shared_ptr<FileObject> filterFile = filter->file;
  M().AcquireMutex(filterFile->control, "creating a pin");
  NTSTATUS status = STATUS_SUCCESS;
  Pin *p = nullptr;
  filter = filterFile->filter;
  if (filter == nullptr) status = STATUS_DEVICE_REMOVED;
  const KSFILTER_DESCRIPTOR *descriptor = filter != nullptr ? filter->pub.Descriptor : nullptr;
  KSDATAFORMAT header;
  const KSPIN_DESCRIPTOR_EX *pd = nullptr;
  std::vector<const KSDATARANGE *> candidates;
  if (NT_SUCCESS(status) && pinId >= descriptor->PinDescriptorsCount)
    status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status) && (format == nullptr || formatLength < sizeof header))
    status = STATUS_INVALID_BUFFER_SIZE;
  if (NT_SUCCESS(status)) {
    std::memcpy(&header, format, sizeof header);
    if (header.FormatSize < sizeof header || header.FormatSize > formatLength)
      status = STATUS_INVALID_BUFFER_SIZE;
  }
  if (NT_SUCCESS(status)) {
    pd = PinDescriptor(descriptor, pinId);
    if (pd->InstancesPossible != KSINSTANCE_INDETERMINATE &&
        filter->pins[pinId].size() >= pd->InstancesPossible)
      status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) {
    for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i)
      if (RangeAcceptsFormat(*pd->PinDescriptor.DataRanges[i], header))
        candidates.push_back(pd->PinDescriptor.DataRanges[i]);
    if (candidates.empty()) status = STATUS_NO_MATCH;
  }
  if (NT_SUCCESS(status)) {
    Device *d = filter->device;
    p = new Pin;
    p->kind = Kind::Pin;
    p->device = d;
    p->filter = filter;
    p->filterFile = filterFile;
    p->format.reset(new uint8_t[header.FormatSize]);
    std::memcpy(p->format.get(), format, header.FormatSize);
    KSPIN &pin = p->pub;
    pin.Descriptor = pd;
    pin.Bag = NewBag(d, &filterFile->control, filterFile);
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
    if (dispatch != nullptr && dispatch->SetDataFormat != nullptr) {
      for (const KSDATARANGE *range : candidates) {
        status =
            sim::CallDriver(dispatch->SetDataFormat, &p->pub, nullptr, nullptr, range, nullptr);
        CheckBackAtPassive("a pin's SetDataFormat dispatch");
        if (status != STATUS_NO_MATCH) break;
      }
    }
    if (NT_SUCCESS(status) && dispatch != nullptr && dispatch->Create != nullptr) {
      PIRP irp = NewIrp(p, &p->pub, IRP_MJ_CREATE);
      status = sim::CallDriver(dispatch->Create, &p->pub, irp);
      IoFreeIrp(irp);
      CheckBackAtPassive("a pin's Create dispatch");
    }
    if (!NT_SUCCESS(status)) {
      p->file->pin = nullptr;
      DestroyPin(p);
      p = nullptr;
    }
  }
  if (NT_SUCCESS(status)) HandleOpened(p->device);
  M().ReleaseMutex(filterFile->control, "creating a pin");
  if (!NT_SUCCESS(status)) return status;
  *out = p->file;
  return STATUS_SUCCESS;
}

NTSTATUS SetPinState(Pin *pin, KSSTATE target) {
  std::shared_ptr<FileObject> file = pin->file;
  std::shared_ptr<FileObject> filterFile = pin->filterFile;
  M().AcquireMutex(filterFile->control, "a pin state change");
  Pin *p = file->pin;
  NTSTATUS status = p != nullptr ? SetPinStateLocked(p, target) : STATUS_DEVICE_REMOVED;
  M().ReleaseMutex(filterFile->control, "a pin state change");
  return status;
}

NTSTATUS SetPinStateLocked(Pin *p, KSSTATE target, bool force) {
  KSPIN &pin = p->pub;
  pin.ClientState = target;
  const KSPIN_DISPATCH *dispatch = pin.Descriptor->Dispatch;
  while (pin.DeviceState != target) {
    KSSTATE from = pin.DeviceState;
    auto to = static_cast<KSSTATE>(from < target ? from + 1 : from - 1);
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
      NTSTATUS status = sim::CallDriver(dispatch->SetDeviceState, &pin, to, from);
      CheckBackAtPassive("a pin's SetDeviceState dispatch");
      if (!NT_SUCCESS(status) && !force) {
        pin.ClientState = pin.DeviceState;
        return status;
      }
    }
    pin.DeviceState = to;
    if (to == KSSTATE_STOP) {
      // A process call under way may still hold the leading edge: the queue waits for it.
      if (p->leading.locked && p->inProcess) {
        M().AcquireMutex(p->file->processing, "a pin's stop");
        M().ReleaseMutex(p->file->processing, "a pin's stop");
      }
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
  std::shared_ptr<FileObject> keep = f->file;
  M().AcquireMutex(keep->control, "closing a filter handle");
  f = keep->filter;
  bool close = f != nullptr && !f->handleClosed;
  Device *device = f != nullptr ? f->device : nullptr;
  bool counted = close;
  if (close) {
    f->handleClosed = true;
    close = !PinsLeft(f);
  }
  M().ReleaseMutex(keep->control, "closing a filter handle");
  if (close) CloseFilterObject(keep);
  if (counted) HandleClosed(device);
  return STATUS_SUCCESS;
}

void CloseAllForRemoval(Device *device) {
  std::vector<std::shared_ptr<FileObject>> filters;
  for (Filter *f : device->filters) filters.push_back(f->file);
  for (const auto &file : filters) {
    std::vector<Pin *> pins;
    M().AcquireMutex(file->control, "removing the device");
    bool counted = false;
    if (Filter *f = file->filter) {
      counted = !f->handleClosed;
      f->handleClosed = true;
      for (auto &list : f->pins) pins.insert(pins.end(), list.begin(), list.end());
    }
    std::vector<std::shared_ptr<FileObject>> pinFiles;
    for (Pin *p : pins) pinFiles.push_back(p->file);
    M().ReleaseMutex(file->control, "removing the device");
    for (const auto &pf : pinFiles)
      if (pf->pin != nullptr) ClosePin(pf->pin);  // the last one closes the filter
    CloseFilterObject(file);
    if (counted) HandleClosed(device);
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

PKSFILTER NTAPI KsGetFilterFromIrp(PIRP irp) {
  sim::InSim inSim;
  Object *o = IrpObject(irp, __func__);
  if (o == nullptr) return nullptr;
  if (o->kind == Kind::Filter) return &static_cast<Filter *>(o)->pub;
  if (o->kind == Kind::Pin) return &static_cast<Pin *>(o)->filter->pub;
  return nullptr;
}

PKSPIN NTAPI KsGetPinFromIrp(PIRP irp) {
  sim::InSim inSim;
  Object *o = IrpObject(irp, __func__);
  return o != nullptr && o->kind == Kind::Pin ? &static_cast<Pin *>(o)->pub : nullptr;
}

KSOBJECTTYPE NTAPI KsGetObjectTypeFromIrp(PIRP irp) {
  sim::InSim inSim;
  Object *o = IrpObject(irp, __func__);
  if (o != nullptr && o->kind == Kind::Pin) return KsObjectTypePin;
  if (o != nullptr && o->kind == Kind::Filter) return KsObjectTypeFilter;
  return KsObjectTypeDevice;
}

void NTAPI KsAcquireControl(PVOID object) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  Object *o = Lookup(object);
  if (o != nullptr && o->kind == Kind::Pin) o = static_cast<Pin *>(o)->filter;
  if (o == nullptr || o->kind != Kind::Filter)
    M().verifier().Stop(Rule::InvalidParameter, std::string(__func__) + ": not a filter or pin");
  // Pins share their filter's control mutex.
  M().AcquireMutex(static_cast<Filter *>(o)->file->control, __func__);
}

void NTAPI KsReleaseControl(PVOID object) {
  sim::InSim inSim;
  Object *o = Lookup(object);
  if (o != nullptr && o->kind == Kind::Pin) o = static_cast<Pin *>(o)->filter;
  if (o == nullptr || o->kind != Kind::Filter)
    M().verifier().Stop(Rule::InvalidParameter, std::string(__func__) + ": not a filter or pin");
  M().ReleaseMutex(static_cast<Filter *>(o)->file->control, __func__);
}

void NTAPI KsPinAcquireProcessingMutex(PKSPIN pin) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  M().AcquireMutex(AsPin(pin, __func__)->file->processing, __func__);
}

void NTAPI KsPinReleaseProcessingMutex(PKSPIN pin) {
  sim::InSim inSim;
  M().ReleaseMutex(AsPin(pin, __func__)->file->processing, __func__);
}

PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN pin) {
  sim::InSim inSim;
  return &AsPin(pin, __func__)->filter->pub;
}

ULONG NTAPI KsFilterGetChildPinCount(PKSFILTER filter, ULONG pinId) {
  sim::InSim inSim;
  Filter *f = AsFilter(filter, __func__);
  return pinId < f->pins.size() ? static_cast<ULONG>(f->pins[pinId].size()) : 0;
}

PKSPIN NTAPI KsFilterGetFirstChildPin(PKSFILTER filter, ULONG pinId) {
  sim::InSim inSim;
  Filter *f = AsFilter(filter, __func__);
  if (pinId >= f->pins.size() || f->pins[pinId].empty()) return nullptr;
  return &f->pins[pinId].front()->pub;
}

PKSPIN NTAPI KsPinGetNextSiblingPin(PKSPIN pin) {
  sim::InSim inSim;
  Pin *p = AsPin(pin, __func__);
  auto &list = p->filter->pins[p->pub.Id];
  auto it = std::find(list.begin(), list.end(), p);
  return it == list.end() || ++it == list.end() ? nullptr : &(*it)->pub;
}

}  // extern "C"
