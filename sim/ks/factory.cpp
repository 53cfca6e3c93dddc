// Filter factories: their device interfaces (one per category, named by the
// reference string), the cached pin data clients see, and their deletion.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>

#include "sim/kernel/driver_package.h"
#include "sim/kernel/sync_annotations.h"
#include "sim/kernel/pnp.h"
#include "sim/kernel/registry.h"
#include "sim/ks/device.h"
#include "sim/ks/host.h"

using sim::Machine;
using sim::Rule;

namespace sim::ks::host {

namespace {

Machine &M() { return Machine::Current(); }

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

std::vector<CachedPin> PinsOf(const KSFILTER_DESCRIPTOR *descriptor) {
  std::vector<CachedPin> pins;
  for (ULONG i = 0; i < descriptor->PinDescriptorsCount; ++i) {
    const KSPIN_DESCRIPTOR_EX *p = PinDescriptor(descriptor, i);
    CachedPin c;
    if (p->PinDescriptor.Name != nullptr) c.name = *p->PinDescriptor.Name;
    if (p->PinDescriptor.Category != nullptr) c.category = *p->PinDescriptor.Category;
    c.dataFlow = p->PinDescriptor.DataFlow;
    c.communication = p->PinDescriptor.Communication;
    c.instancesPossible = p->InstancesPossible;
    c.instancesNecessary = p->InstancesNecessary;
    for (ULONG r = 0; r < p->PinDescriptor.DataRangesCount; ++r)
      c.ranges.push_back(*p->PinDescriptor.DataRanges[r]);
    pins.push_back(std::move(c));
  }
  return pins;
}

Factory *AsFactory(const void *pub, const char *service) {
  Object *o = Lookup(pub);
  if (o == nullptr || o->kind != Kind::Factory)
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(service) + ": not a live filter factory");
  return static_cast<Factory *>(o);
}

std::vector<Device *> Devices() {
  std::vector<Device *> devices;
  for (const auto &card : M().pnp().cards()) {
    PKSDEVICE ks = sim::ks::DeviceFromFdo(card->fdo);
    if (ks != nullptr) devices.push_back(DeviceOf(ks));
  }
  return devices;
}

}  // namespace

std::string GuidString(const GUID &g) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}

std::string SymbolicLink(const Device *device, const GUID &category, const std::string &ref) {
  std::string instance = InstancePath(device);
  std::replace(instance.begin(), instance.end(), '\\', '#');
  return Lower("\\\\?\\" + instance + "#" + GuidString(category) + "\\" + ref);
}

// Interfaces are enabled from the device's first start and withdrawn when it is removed; a
// stop does not withdraw them (only FREEONSTOP factories go with a stop), so the
// minidriver decides what a stopped device's filters can do.
bool InterfacesEnabled(const Factory *f) {
  return !f->deleted && f->classesEnabled && f->device->everStarted && !f->device->surpriseRemoved;
}

void DestroyFactory(Factory *f) {
  auto &list = f->device->factories;
  list.erase(std::remove(list.begin(), list.end(), f), list.end());
  FreeBag(static_cast<Bag *>(f->pub.Bag));
  Unregister(&f->pub);
  delete f;
}

void DeleteAllFactories(Device *device) {
  while (!device->factories.empty()) DestroyFactory(device->factories.back());
}

std::vector<InterfaceRecord> Interfaces(const GUID *category) {
  std::vector<InterfaceRecord> out;
  std::set<std::string> seen;
  for (Device *d : Devices()) {
    for (Factory *f : d->factories) {
      if (!InterfacesEnabled(f)) continue;
      for (const GUID &c : f->categories) {
        if (category != nullptr && c != *category) continue;
        InterfaceRecord r;
        r.link = SymbolicLink(d, c, f->refString);
        if (!seen.insert(r.link).second) continue;  // one interface per class and reference
        r.category = c;
        r.referenceGuid = f->referenceGuid;
        r.referenceString = f->refString;
        r.categories = f->categories;
        r.instancePath = InstancePath(d);
        const std::string parameters =
            sim::DeviceInterfaceKey(r.instancePath, GuidString(c), f->refString) +
            "\\Device Parameters";
        r.friendlyName = M().registry().GetString(parameters, "FriendlyName").value_or("");
        r.proxyClsid = M().registry().GetString(parameters, "CLSID").value_or("");
        auto cache = d->cache.find(r.link);
        r.cached = cache != d->cache.end();
        if (r.cached) r.pins = cache->second;
        out.push_back(std::move(r));
      }
    }
  }
  return out;
}

Factory *FactoryForLink(const std::string &link) {
  std::string wanted = Lower(link);
  for (Device *d : Devices())
    for (Factory *f : d->factories) {
      if (!InterfacesEnabled(f)) continue;
      for (const GUID &c : f->categories)
        if (SymbolicLink(d, c, f->refString) == wanted) return f;
    }
  return nullptr;
}

}  // namespace sim::ks::host

using namespace sim::ks::host;

extern "C" {

NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT deviceObject,
                                     const KSFILTER_DESCRIPTOR *descriptor, PWSTR refString,
                                     PSECURITY_DESCRIPTOR, ULONG createItemFlags,
                                     PFNKSFILTERFACTORYPOWER sleepCallback,
                                     PFNKSFILTERFACTORYPOWER wakeCallback,
                                     PKSFILTERFACTORY *filterFactory) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  PKSDEVICE ks = sim::ks::DeviceFromFdo(deviceObject);
  if (ks == nullptr)
    M().verifier().Stop(
        Rule::InvalidParameter,
        std::string(__func__) + ": not the functional device object of a KS device");
  if (descriptor == nullptr || descriptor->Version != KSFILTER_DESCRIPTOR_VERSION)
    return STATUS_INVALID_PARAMETER;
  if (descriptor->PinDescriptorsCount != 0 &&
      (descriptor->PinDescriptors == nullptr ||
       descriptor->PinDescriptorSize < sizeof(KSPIN_DESCRIPTOR_EX)))
    return STATUS_INVALID_PARAMETER;
  if (descriptor->CategoriesCount != 0 && descriptor->Categories == nullptr)
    return STATUS_INVALID_PARAMETER;
  std::string ref;
  if (refString != nullptr) {
    std::u16string wide;
    for (PWSTR p = refString; *p != 0; ++p) wide.push_back(*p);
    ref = sim::Utf16ToUtf8(wide);
    std::transform(ref.begin(), ref.end(), ref.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  } else if (descriptor->ReferenceGuid != nullptr) {
    ref = GuidString(*descriptor->ReferenceGuid);
  } else {
    return STATUS_INVALID_PARAMETER;  // nothing to name the interfaces by
  }
  Device *d = DeviceOf(ks);
  if (!M().HoldsMutex(d->mutex))
    M().verifier().Stop(Rule::MutexNotHeld,
                        std::string(__func__) + " without the device mutex (KsAcquireDevice)");
  if (M().faults().Fail(sim::FaultPoint::FilterFactory, inSim.callerIsDriver))
    return STATUS_INSUFFICIENT_RESOURCES;
  auto *f = new Factory;
  f->kind = Kind::Factory;
  f->device = d;
  f->pub.FilterDescriptor = descriptor;
  f->pub.Bag = NewBag(d, &d->mutex);
  f->pub.Context = nullptr;
  f->refString = ref;
  if (descriptor->ReferenceGuid != nullptr) f->referenceGuid = *descriptor->ReferenceGuid;
  f->categories.assign(descriptor->Categories,
                       descriptor->Categories + descriptor->CategoriesCount);
  f->sleep = sleepCallback;
  f->wake = wakeCallback;
  f->createItemFlags = createItemFlags;
  Register(&f->pub, f);
  d->factories.push_back(f);
  if (filterFactory != nullptr) *filterFactory = &f->pub;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsFilterFactoryUpdateCacheData(PKSFILTERFACTORY filterFactory,
                                              const KSFILTER_DESCRIPTOR *filterDescriptor) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  Factory *f = AsFactory(filterFactory, __func__);
  const KSFILTER_DESCRIPTOR *d =
      filterDescriptor != nullptr ? filterDescriptor : f->pub.FilterDescriptor;
  std::vector<CachedPin> pins = PinsOf(d);
  for (const GUID &c : f->categories)
    f->device->cache[SymbolicLink(f->device, c, f->refString)] = pins;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsFilterFactorySetDeviceClassesState(PKSFILTERFACTORY filterFactory,
                                                    BOOLEAN newState) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  AsFactory(filterFactory, __func__)->classesEnabled = newState != 0;
  return STATUS_SUCCESS;
}

// KsDeleteFilterFactory is this over the device header: a factory's create items have the
// factory as their context.
NTSTATUS NTAPI KsFreeObjectCreateItemsByContext(KSDEVICE_HEADER header, PVOID context) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  const std::vector<Device *> devices = Devices();
  if (std::find(devices.begin(), devices.end(), header) == devices.end())
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(__func__) + ": not the header of a KS device");
  Object *o = Lookup(context);
  if (o == nullptr || o->kind != Kind::Factory || o->device != header)
    return STATUS_OBJECT_NAME_NOT_FOUND;
  auto *f = static_cast<Factory *>(o);
  if (!M().HoldsMutex(f->device->mutex))
    M().verifier().Stop(Rule::MutexNotHeld,
                        "KsDeleteFilterFactory without the device mutex (KsAcquireDevice)");
  if (f->deleted)
    M().verifier().Stop(Rule::InvalidParameter, "KsDeleteFilterFactory: deleted twice");
  // Unpublished at once; open filters keep the factory until they close.
  f->deleted = true;
  auto &list = f->device->factories;
  list.erase(std::remove(list.begin(), list.end(), f), list.end());
  if (f->filters == 0) DestroyFactory(f);
  return STATUS_SUCCESS;
}

}  // extern "C"
