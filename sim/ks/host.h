// The kernel-streaming class driver's objects as the simulation keeps them: devices,
// filter factories, filters, pins, their bags, frame queues and stream pointers.
// Internal to sim/ks; minidrivers see only the public structures inside them.
#pragma once

#include <ks.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/kernel/machine.h"
#include "sim/ks/client.h"

namespace sim::ks::host {

using sim::ks::CachedPin;

struct Device;
struct Factory;
struct Filter;
struct Pin;

enum class Kind { Device, Factory, Filter, Pin, StreamPointer };

// Every host object registers its public structure in the live table, so that a
// pointer a minidriver hands back can be checked and mapped to its object.
struct Object {
  Kind kind;
  Device *device = nullptr;
};

// Items are counted per device: one item in several bags is freed when the last
// bag lets go of it.
struct Bag {
  Device *device;
  std::vector<PVOID> items;  // insertion order
  // The mutex a minidriver must hold to change the bag: the device mutex for the device's
  // and the factories' bags, the filter's control mutex for a filter's and its pins' bags.
  const SimMutex *mutex = nullptr;
  std::shared_ptr<void> keepMutex;  // what owns that mutex, while the bag lives
};

struct ItemRef {
  int refs = 0;
  PFNKSFREE free = nullptr;
};

struct Device : Object {
  PKSDEVICE pub = nullptr;
  Bag *bag = nullptr;
  // Held by the class driver around Start, PostStart, query-stop, query-remove and power
  // requests and while filters and factories come and go; not recursive.
  SimMutex mutex{nullptr, "the device mutex"};
  std::unordered_map<PVOID, ItemRef> items;
  std::vector<Factory *> factories;  // creation order, published ones only
  std::vector<Filter *> filters;     // open filter objects
  std::unordered_map<std::string, std::vector<CachedPin>> cache;  // by symbolic link
  PADAPTER_OBJECT adapter = nullptr;
  ULONG maxMappingsByteCount = 0;
  ULONG mappingTableStride = 0;
  size_t handles = 0;            // open filter and pin handles
  bool everStarted = false;      // interfaces are published from the first start on
  bool surpriseRemoved = false;  // interfaces withdrawn, the removal waits for the handles
};

struct Factory : Object {
  KSFILTERFACTORY pub{};
  std::string refString;  // lower case, as it appears in the symbolic link
  GUID referenceGuid{};
  std::vector<GUID> categories;  // registered at creation
  bool classesEnabled = true;
  bool deleted = false;
  ULONG createItemFlags = 0;  // KSCREATE_ITEM_FREEONSTOP: deleted when the device stops
  int filters = 0;
  PFNKSFILTERFACTORYPOWER sleep = nullptr;
  PFNKSFILTERFACTORYPOWER wake = nullptr;
};

// A client's view of a frame the host has finished with.
struct CompletedFrame {
  uint64_t id = 0;
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<uint8_t> header;  // the whole header, extended part included
  std::vector<uint8_t> data;
};

// The handle's file object: shared by the host object and the client, so that a
// client keeps its completions and learns that the object went away.
struct FileObject {
  Kind kind;
  Filter *filter = nullptr;
  Pin *pin = nullptr;
  // A filter's control mutex (its pins share it) and a pin's processing mutex. They live
  // here, with the handle, so that a thread waiting for one outlives the object's close.
  SimMutex control{nullptr, "the filter control mutex"};
  SimMutex processing{nullptr, "the pin processing mutex"};
  std::deque<CompletedFrame> completed;
  std::shared_ptr<uint64_t> completions;  // the client's counter, bumped per completion
};

struct Filter : Object {
  KSFILTER pub{};
  Factory *factory = nullptr;
  std::vector<std::vector<Pin *>> pins;  // per pin id, creation order
  std::shared_ptr<FileObject> file;
  bool handleClosed = false;
  ~Filter() {
    if (file) file->filter = nullptr;
  }
};

struct Frame {
  uint64_t id = 0;
  std::vector<uint64_t> header;  // 8-aligned storage of the stream header
  std::vector<uint8_t> data;
  ULONG advanced = 0;  // bytes the minidriver moved the offset past
  NTSTATUS status = STATUS_SUCCESS;
  PKSSTREAM_HEADER Header() { return reinterpret_cast<PKSSTREAM_HEADER>(header.data()); }
};

struct StreamPointer : Object {
  KSSTREAM_POINTER pub{};
  Pin *pin = nullptr;
  bool locked = false;
};

class Clock;

struct Pin : Object {
  Pin();
  Pin(const Pin &) = delete;
  Pin &operator=(const Pin &) = delete;
  KSPIN pub{};
  Filter *filter = nullptr;
  // Private copy of the connection format: exactly FormatSize bytes, aligned as operator new
  // aligns, so that a minidriver reading or writing past it is caught by the sanitizers.
  std::unique_ptr<uint8_t[]> format;
  std::deque<std::unique_ptr<Frame>> queue;
  StreamPointer leading;
  std::shared_ptr<FileObject> file;
  std::shared_ptr<FileObject> filterFile;  // the parent's, with the control mutex
  bool requested = false;                  // processing asked for and not yet served
  bool workQueued = false;                 // an asynchronous process call is queued
  bool inProcess = false;
  bool closing = false;
  uint64_t processCalls = 0;
  // Charged by its process calls and by copies into its frames (Machine::Charge).
  sim::Nanos processorTime = 0;
  Clock *clock = nullptr;  // kept while the minidriver may hold references
  bool clockAssigned = false;
  ~Pin();  // with the clock
};

// ---- the live table
void Register(const void *pub, Object *object);
void Unregister(const void *pub);
Object *Lookup(const void *pub);  // null when not a live host object
// The object behind a public pointer a minidriver passed, or a verifier stop.
Device *AsDevice(const void *pub, const char *service);
Filter *AsFilter(const void *pub, const char *service);
Pin *AsPin(const void *pub, const char *service);

// ---- bags (bag.cpp)
Bag *NewBag(Device *device, const SimMutex *mutex, std::shared_ptr<void> keep = nullptr);
void FreeBag(Bag *bag);  // frees what only this bag held, newest first

// ---- device level (device.cpp)
Device *DeviceOf(PKSDEVICE device);
std::string InstancePath(const Device *device);

// ---- factories and interfaces (factory.cpp)
std::string SymbolicLink(const Device *device, const GUID &category, const std::string &ref);
void DestroyFactory(Factory *factory);
void DeleteAllFactories(Device *device);
std::string GuidString(const GUID &guid);  // "{xxxxxxxx-...}" lower case

struct InterfaceRecord {
  std::string link;
  GUID category{};
  GUID referenceGuid{};
  std::string referenceString;
  std::vector<GUID> categories;
  std::string instancePath;
  std::string friendlyName, proxyClsid;
  bool cached = false;
  std::vector<CachedPin> pins;
};
// Enabled interfaces of every device on the machine, optionally of one category.
std::vector<InterfaceRecord> Interfaces(const GUID *category);
// The factory that serves opens of a symbolic link (case-insensitive), or null.
Factory *FactoryForLink(const std::string &link);

// ---- filters and pins (objects.cpp)
NTSTATUS OpenFilter(Factory *factory, std::shared_ptr<FileObject> *file);
NTSTATUS CloseHandle(FileObject &file);
NTSTATUS CreatePin(Filter *filter, ULONG pinId, const void *format, ULONG formatLength,
                   std::shared_ptr<FileObject> *file);
// Walks one state at a time under the filter's control mutex; forced (closing) walks go
// on past failing steps. The Locked form is for callers that hold the mutex.
NTSTATUS SetPinState(Pin *pin, KSSTATE target);
NTSTATUS SetPinStateLocked(Pin *pin, KSSTATE target, bool force = false);
void CloseAllForRemoval(Device *device);
// A handle on the device was opened or closed; the last close of a surprise-removed device
// lets its removal go on.
void HandleOpened(Device *device);
void HandleClosed(Device *device);
const KSPIN_DESCRIPTOR_EX *PinDescriptor(const KSFILTER_DESCRIPTOR *filter, ULONG id);
// An IRP addressed to a host object, as the dispatch routines receive it.
PIRP NewIrp(Object *object, const void *pub, UCHAR major);
void CheckBackAtPassive(const char *what);

// ---- streaming (stream.cpp)
NTSTATUS QueueFrame(Pin *pin, std::unique_ptr<Frame> frame);
void CancelQueuedFrames(Pin *pin);
void AfterStateChange(Pin *pin);
NTSTATUS AssignClock(Pin *pin, bool present);
void CheckClockReleased(Pin *pin);

// ---- properties (property.cpp)
void SeedMediaCategories();
NTSTATUS Property(Object *object, const void *pub, const void *property, ULONG propertyLength,
                  void *data, ULONG dataLength, ULONG *returned);

}  // namespace sim::ks::host
