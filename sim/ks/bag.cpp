// Object bags, the private copies _KsEdit makes in them, and the table of live
// host objects behind the public pointers minidrivers pass around.
#include <algorithm>
#include <cstring>

#include "sim/kernel/sync_annotations.h"
#include "sim/ks/device.h"
#include "sim/ks/host.h"

using sim::Machine;
using sim::Rule;

namespace sim::ks::host {

namespace {

Machine &M() { return Machine::Current(); }

// What the host keeps per machine. When a machine goes away with objects still alive
// (a scenario ended by a verifier stop), they are dropped without minidriver calls.
struct HostState {
  std::unordered_map<const void *, Object *> live;
  std::unordered_map<const Bag *, bool> bags;
};
std::unordered_map<const Machine *, HostState> g_states;

void DeleteObject(Object *o) {
  switch (o->kind) {
    case Kind::Device:
      delete static_cast<Device *>(o);
      break;
    case Kind::Factory:
      delete static_cast<Factory *>(o);
      break;
    case Kind::Filter:
      delete static_cast<Filter *>(o);
      break;
    case Kind::Pin:
      delete static_cast<Pin *>(o);
      break;
    case Kind::StreamPointer:
      break;
  }
}

HostState &State() {
  Machine *m = &M();
  auto [it, fresh] = g_states.try_emplace(m);
  if (fresh)
    m->OnTeardown([m] {
      HostState &s = g_states[m];
      for (auto &[bag, unused] : s.bags) delete bag;
      // Kinds are read before anything goes: a pin's stream pointer lives inside it.
      std::vector<Object *> owners;
      for (auto &[pub, object] : s.live)
        if (object->kind != Kind::StreamPointer) owners.push_back(object);
      for (Object *object : owners) DeleteObject(object);
      g_states.erase(m);
    });
  return it->second;
}

int g_failBagAdds = 0;

void Release(Device *device, PVOID item) {
  auto it = device->items.find(item);
  if (it == device->items.end()) return;
  if (--it->second.refs > 0) return;
  PFNKSFREE free = it->second.free;
  device->items.erase(it);
  if (free != nullptr)
    sim::CallDriver(free, item);
  else
    ExFreePool(item);
}

}  // namespace

void Register(const void *pub, Object *object) { State().live[pub] = object; }
void Unregister(const void *pub) { State().live.erase(pub); }

Object *Lookup(const void *pub) {
  auto &live = State().live;
  auto it = live.find(pub);
  return it == live.end() ? nullptr : it->second;
}

namespace {
Object *Expect(const void *pub, Kind kind, const char *service, const char *what) {
  Object *o = Lookup(pub);
  if (o == nullptr || o->kind != kind)
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(service) + ": not a live kernel-streaming " + what);
  return o;
}
}  // namespace

Device *AsDevice(const void *pub, const char *service) {
  return static_cast<Device *>(Expect(pub, Kind::Device, service, "device"));
}
Filter *AsFilter(const void *pub, const char *service) {
  return static_cast<Filter *>(Expect(pub, Kind::Filter, service, "filter"));
}
Pin *AsPin(const void *pub, const char *service) {
  return static_cast<Pin *>(Expect(pub, Kind::Pin, service, "pin"));
}

Bag *NewBag(Device *device, const SimMutex *mutex, std::shared_ptr<void> keep) {
  auto *bag = new Bag{device, {}, mutex, std::move(keep)};
  State().bags[bag] = true;
  return bag;
}

void FreeBag(Bag *bag) {
  if (bag == nullptr) return;
  while (!bag->items.empty()) {
    PVOID item = bag->items.back();
    bag->items.pop_back();
    Release(bag->device, item);
  }
  State().bags.erase(bag);
  delete bag;
}

Bag *AsBag(KSOBJECT_BAG bag) {
  if (bag == nullptr || State().bags.count(static_cast<Bag *>(bag)) == 0)
    M().verifier().Stop(Rule::InvalidParameter, "not a live object bag");
  return static_cast<Bag *>(bag);
}

namespace {
// Changing a bag needs the mutex of the object it belongs to (KsAddItemToObjectBag's
// documentation), which the class driver holds around the dispatches it calls.
Bag *EditableBag(KSOBJECT_BAG objectBag, const char *service) {
  Bag *bag = AsBag(objectBag);
  if (bag->mutex != nullptr && !M().HoldsMutex(*bag->mutex))
    M().verifier().Stop(Rule::MutexNotHeld,
                        std::string(service) + " without " + bag->mutex->name +
                            " (the bag's object is not protected against concurrent change)");
  return bag;
}
}  // namespace

}  // namespace sim::ks::host

namespace sim::ks {

std::vector<PVOID> BagItems(KSOBJECT_BAG bag) { return host::AsBag(bag)->items; }

void FailBagAdds(int count) { host::g_failBagAdds = count; }

}  // namespace sim::ks

using namespace sim::ks::host;

extern "C" {

NTSTATUS NTAPI KsAddItemToObjectBag(KSOBJECT_BAG objectBag, PVOID item, PFNKSFREE free) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  Bag *bag = EditableBag(objectBag, __func__);
  if (item == nullptr) M().verifier().Stop(Rule::InvalidParameter, "null item for an object bag");
  if (g_failBagAdds > 0) {
    --g_failBagAdds;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (std::find(bag->items.begin(), bag->items.end(), item) != bag->items.end())
    return STATUS_SUCCESS;  // already held by this bag: still one free
  ItemRef &ref = bag->device->items[item];
  if (ref.refs++ == 0) ref.free = free;
  bag->items.push_back(item);
  return STATUS_SUCCESS;
}

ULONG NTAPI KsRemoveItemFromObjectBag(KSOBJECT_BAG objectBag, PVOID item, BOOLEAN free) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  Bag *bag = EditableBag(objectBag, __func__);
  auto it = std::find(bag->items.begin(), bag->items.end(), item);
  if (it == bag->items.end()) return 0;
  bag->items.erase(it);
  auto ref = bag->device->items.find(item);
  if (ref == bag->device->items.end()) return 0;
  if (--ref->second.refs > 0) return static_cast<ULONG>(ref->second.refs);
  PFNKSFREE routine = ref->second.free;
  bag->device->items.erase(ref);
  if (free) {
    if (routine != nullptr)
      sim::CallDriver(routine, item);
    else
      ExFreePool(item);
  }
  return 0;
}

NTSTATUS NTAPI _KsEdit(KSOBJECT_BAG objectBag, PVOID *pointerToPointer, ULONG newSize,
                       ULONG oldSize, ULONG tag) {
  sim::InSim inSim;
  M().RequireIrql(PASSIVE_LEVEL, __func__);
  Bag *bag = EditableBag(objectBag, __func__);
  if (pointerToPointer == nullptr)
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(__func__) + " without a pointer to edit");
  PVOID old = *pointerToPointer;
  bool owned =
      old != nullptr && std::find(bag->items.begin(), bag->items.end(), old) != bag->items.end();
  // A copy this bag already owns is private already; it is replaced only to grow.
  if (owned && newSize <= oldSize) return STATUS_SUCCESS;
  PVOID copy = ExAllocatePoolWithTag(PagedPool, newSize, tag);
  if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(copy, 0, newSize);
  if (old != nullptr) std::memcpy(copy, old, std::min(newSize, oldSize));
  NTSTATUS status = KsAddItemToObjectBag(objectBag, copy, nullptr);
  if (!NT_SUCCESS(status)) {
    ExFreePool(copy);
    return status;
  }
  *pointerToPointer = copy;
  if (owned) KsRemoveItemFromObjectBag(objectBag, old, TRUE);
  return STATUS_SUCCESS;
}

}  // extern "C"
