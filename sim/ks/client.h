// The client side of kernel streaming: what a capture application does through the
// platform's kernel-streaming requests, as plain C++ calls on a simulated machine.
// Every call returns the platform's (or the minidriver's) NTSTATUS; a client mistake
// never throws. Breaking a platform rule from inside a minidriver still stops the
// machine (sim::VerifierStop), as the real platform would bug-check or hang.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "sim/kernel/machine.h"

namespace sim::ks {

namespace host {
struct FileObject;
}

using Handle = uint64_t;  // 0 is never a handle

// What the class driver cached for a pin factory when the minidriver last refreshed it: what
// a client learns about a pin factory without opening the filter.
struct CachedPin {
  GUID name{};
  GUID category{};
  KSPIN_DATAFLOW dataFlow{};
  KSPIN_COMMUNICATION communication{};
  ULONG instancesPossible = 0;
  ULONG instancesNecessary = 0;
  std::vector<KSDATARANGE> ranges;  // the KSDATARANGE part of each range
};

struct DeviceInterface {
  std::string symbolicLink;  // stable and readable; what OpenFilter takes
  GUID category{};           // the interface class it was found under
  GUID referenceGuid{};      // the filter descriptor's reference GUID
  std::string referenceString;
  std::vector<GUID> categories;  // all categories of the filter factory
  std::string deviceInstance;    // the card's device instance path
  // What the installation registered for the interface ("FriendlyName" and "CLSID" of its
  // "Device Parameters"): the name capture applications list and the proxy they load.
  std::string friendlyName, proxyClsid;
  bool cached = false;  // false until the factory's cache data was written
  std::vector<CachedPin> pins;
};

struct Frame {
  uint64_t id = 0;
  NTSTATUS status = STATUS_PENDING;
  KSSTREAM_HEADER header{};
  std::vector<uint8_t> extendedHeader;  // what follows the KSSTREAM_HEADER
  std::vector<uint8_t> data;            // FrameExtent bytes

  // The extended header as T, when it is large enough.
  template <class T>
  bool Extended(T *out) const {
    static_assert(std::is_trivially_copyable_v<T>);
    if (extendedHeader.size() < sizeof(T)) return false;
    std::memcpy(out, extendedHeader.data(), sizeof(T));
    return true;
  }
};

struct FrameRequest {
  ULONG bufferSize = 0;                 // the frame's FrameExtent
  std::vector<uint8_t> extendedHeader;  // initial bytes after the header; sets the header size
  ULONG optionsFlags = 0;
  std::vector<uint8_t> storage;  // memory to reuse for the data (a completed frame's)
};

// The extended header a video client hands in: a zeroed KS_FRAME_INFO that gives its own
// size, for the minidriver to fill.
inline std::vector<uint8_t> FrameInfoHeader() {
  KS_FRAME_INFO info{};
  info.ExtendedHeaderSize = sizeof info;
  std::vector<uint8_t> header(sizeof info);
  std::memcpy(header.data(), &info, sizeof info);
  return header;
}

class Client {
 public:
  explicit Client(Machine &machine);
  ~Client();  // closes what is still open
  Client(const Client &) = delete;
  Client &operator=(const Client &) = delete;

  // ---- device interfaces (enabled ones, in a stable order)
  std::vector<DeviceInterface> Interfaces(const GUID &category) const;
  std::vector<DeviceInterface> AllInterfaces() const;

  // ---- handles
  NTSTATUS OpenFilter(const std::string &symbolicLink, Handle *filter);
  NTSTATUS Close(Handle handle);  // a filter's pins keep it alive until they close

  // ---- pin factories of an open filter
  NTSTATUS PinCount(Handle filter, ULONG *count);
  NTSTATUS PinDataFlow(Handle filter, ULONG pinId, KSPIN_DATAFLOW *flow);
  NTSTATUS PinCommunication(Handle filter, ULONG pinId, KSPIN_COMMUNICATION *communication);
  NTSTATUS PinCategory(Handle filter, ULONG pinId, GUID *category);
  NTSTATUS PinName(Handle filter, ULONG pinId, std::u16string *name);
  NTSTATUS PinInstances(Handle filter, ULONG pinId, KSPIN_CINSTANCES *instances);
  NTSTATUS PinNecessaryInstances(Handle filter, ULONG pinId, ULONG *count);
  NTSTATUS PinDataRanges(Handle filter, ULONG pinId, std::vector<std::vector<uint8_t>> *ranges);
  // The format the pin proposes for the first of the client's ranges it can satisfy.
  NTSTATUS DataIntersection(Handle filter, ULONG pinId,
                            const std::vector<std::vector<uint8_t>> &ranges,
                            std::vector<uint8_t> *format);
  // The size query alone: STATUS_BUFFER_OVERFLOW with the format's size.
  NTSTATUS DataIntersectionSize(Handle filter, ULONG pinId,
                                const std::vector<std::vector<uint8_t>> &ranges, ULONG *size);

  // ---- pins
  // format: a KSDATAFORMAT whose FormatSize covers the format structure after it.
  NTSTATUS CreatePin(Handle filter, ULONG pinId, const void *format, ULONG formatLength,
                     Handle *pin);
  NTSTATUS CreatePin(Handle filter, ULONG pinId, const std::vector<uint8_t> &format, Handle *pin) {
    return CreatePin(filter, pinId, format.data(), static_cast<ULONG>(format.size()), pin);
  }
  NTSTATUS SetState(Handle pin, KSSTATE state);
  NTSTATUS GetState(Handle pin, KSSTATE *state);
  NTSTATUS GetConnectionFormat(Handle pin, std::vector<uint8_t> *format);
  // The pin's current framing (first item), as the minidriver keeps it.
  NTSTATUS GetAllocatorFraming(Handle pin, KSALLOCATOR_FRAMING_EX *framing);
  // A clock running on the machine's time, or none; the pin must be stopped.
  NTSTATUS SetMasterClock(Handle pin, bool present);

  // ---- frames
  // STATUS_PENDING: queued; the frame comes back completed or cancelled.
  NTSTATUS QueueFrame(Handle pin, FrameRequest request, uint64_t *id = nullptr);
  NTSTATUS QueueFrame(Handle pin, ULONG bufferSize, uint64_t *id = nullptr);
  // The oldest completed frame, without running the machine; STATUS_NO_MORE_ENTRIES if none.
  NTSTATUS TakeFrame(Handle pin, Frame *frame);
  size_t CompletedFrames(Handle pin) const;
  // Processor time the pin's process calls were charged (the machine's cost model).
  NTSTATUS ProcessorTime(Handle pin, Nanos *time) const;
  // Runs the simulation until a frame of the pin completes (STATUS_TIMEOUT otherwise).
  NTSTATUS WaitForFrame(Handle pin, Nanos timeout, Frame *frame);
  // Runs the simulation until any pin of this client has a completed frame.
  NTSTATUS WaitForAnyFrame(Nanos timeout);

  // ---- properties
  NTSTATUS Property(Handle object, const void *property, ULONG propertyLength, void *data,
                    ULONG dataLength, ULONG *returned = nullptr);
  NTSTATUS GetProperty(Handle object, const GUID &set, ULONG id, void *data, ULONG length,
                       ULONG *returned = nullptr);
  NTSTATUS SetProperty(Handle object, const GUID &set, ULONG id, const void *data, ULONG length);
  // The full basic-support description (KSPROPERTY_DESCRIPTION and members lists).
  NTSTATUS BasicSupport(Handle object, const GUID &set, ULONG id,
                        std::vector<uint8_t> *description);

  template <class T>
  NTSTATUS Get(Handle object, const GUID &set, ULONG id, T *value) {
    return GetProperty(object, set, id, value, sizeof(T));
  }
  template <class T>
  NTSTATUS Set(Handle object, const GUID &set, ULONG id, const T &value) {
    return SetProperty(object, set, id, &value, sizeof(T));
  }
  // Structures that begin with their own KSPROPERTY (KSPROPERTY_VIDEOPROCAMP_S and the
  // like) travel as both the request and the data.
  template <class T>
  NTSTATUS GetS(Handle object, const GUID &set, ULONG id, T *value) {
    static_assert(sizeof(T) >= sizeof(KSPROPERTY));
    return StructRequest(object, set, id, KSPROPERTY_TYPE_GET, value, sizeof(T));
  }
  template <class T>
  NTSTATUS SetS(Handle object, const GUID &set, ULONG id, const T &value) {
    static_assert(sizeof(T) >= sizeof(KSPROPERTY));
    T copy = value;
    return StructRequest(object, set, id, KSPROPERTY_TYPE_SET, &copy, sizeof(T));
  }

 private:
  struct Entry;
  NTSTATUS Find(Handle h, host::FileObject **file, bool wantPin) const;
  NTSTATUS PinRequest(Handle filter, ULONG pinId, ULONG property, void *data, ULONG length,
                      ULONG *returned = nullptr);
  NTSTATUS Sized(Handle object, const void *property, ULONG propertyLength,
                 std::vector<uint8_t> *out);
  NTSTATUS StructRequest(Handle object, const GUID &set, ULONG id, ULONG flags, void *value,
                         ULONG size);
  void CheckPassive() const;

  Machine &machine_;
  std::unordered_map<Handle, std::shared_ptr<host::FileObject>> handles_;
  Handle nextHandle_ = 1;
  uint64_t nextFrameId_ = 1;
  std::shared_ptr<uint64_t> completions_;
};

}  // namespace sim::ks
