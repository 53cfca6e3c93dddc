#include "sim/ks/client.h"

#include <algorithm>

#include "sim/ks/host.h"

namespace sim::ks {

namespace {

KSPROPERTY Request(const GUID &set, ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = set;
  p.Id = id;
  p.Flags = flags;
  return p;
}

DeviceInterface FromRecord(const host::InterfaceRecord &r) {
  DeviceInterface i;
  i.symbolicLink = r.link;
  i.category = r.category;
  i.referenceGuid = r.referenceGuid;
  i.referenceString = r.referenceString;
  i.categories = r.categories;
  i.deviceInstance = r.instancePath;
  i.friendlyName = r.friendlyName;
  i.proxyClsid = r.proxyClsid;
  i.cached = r.cached;
  i.pins = r.pins;
  return i;
}

// KSP_PIN, then a KSMULTIPLE_ITEM with the ranges, each on an 8-byte boundary.
std::vector<uint8_t> IntersectionRequest(ULONG pinId,
                                         const std::vector<std::vector<uint8_t>> &ranges) {
  KSP_PIN pin{};
  pin.Property = Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET);
  pin.PinId = pinId;
  std::vector<uint8_t> bytes(sizeof pin + sizeof(KSMULTIPLE_ITEM));
  std::memcpy(bytes.data(), &pin, sizeof pin);
  for (const auto &r : ranges) {
    size_t at = bytes.size();
    bytes.resize(at + ((r.size() + 7) & ~size_t{7}));
    std::memcpy(bytes.data() + at, r.data(), r.size());
  }
  KSMULTIPLE_ITEM items{static_cast<ULONG>(bytes.size() - sizeof pin),
                        static_cast<ULONG>(ranges.size())};
  std::memcpy(bytes.data() + sizeof pin, &items, sizeof items);
  return bytes;
}

}  // namespace

Client::Client(Machine &machine) : machine_(machine), completions_(std::make_shared<uint64_t>(0)) {}

Client::~Client() {
  // A machine stopped by the verifier is left as it is.
  if (machine_.verifier().stopped()) return;
  try {
    std::vector<Handle> open;
    for (auto &[h, file] : handles_) open.push_back(h);
    std::sort(open.begin(), open.end(), std::greater<>());  // pins before their filters
    for (Handle h : open) Close(h);
  } catch (const VerifierStop &) {
    // Recorded in the verifier's reports; a destructor cannot pass it on.
  }
}

void Client::CheckPassive() const { machine_.RequireIrql(PASSIVE_LEVEL, "a client request"); }

NTSTATUS Client::Find(Handle h, host::FileObject **file, bool wantPin) const {
  CheckPassive();
  auto it = handles_.find(h);
  if (it == handles_.end()) return STATUS_INVALID_HANDLE;
  host::FileObject *f = it->second.get();
  if (f->filter == nullptr && f->pin == nullptr) return STATUS_DEVICE_REMOVED;
  if (wantPin && f->pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  *file = f;
  return STATUS_SUCCESS;
}

std::vector<DeviceInterface> Client::Interfaces(const GUID &category) const {
  std::vector<DeviceInterface> out;
  for (const auto &r : host::Interfaces(&category)) out.push_back(FromRecord(r));
  return out;
}

std::vector<DeviceInterface> Client::AllInterfaces() const {
  std::vector<DeviceInterface> out;
  for (const auto &r : host::Interfaces(nullptr)) out.push_back(FromRecord(r));
  return out;
}

NTSTATUS Client::OpenFilter(const std::string &symbolicLink, Handle *filter) {
  CheckPassive();
  if (filter == nullptr) return STATUS_INVALID_PARAMETER;
  host::Factory *factory = host::FactoryForLink(symbolicLink);
  if (factory == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::shared_ptr<host::FileObject> file;
  NTSTATUS status = host::OpenFilter(factory, &file);
  if (!NT_SUCCESS(status)) return status;
  file->completions = completions_;
  *filter = nextHandle_++;
  handles_[*filter] = std::move(file);
  return status;
}

NTSTATUS Client::Close(Handle handle) {
  CheckPassive();
  auto it = handles_.find(handle);
  if (it == handles_.end()) return STATUS_INVALID_HANDLE;
  std::shared_ptr<host::FileObject> file = std::move(it->second);
  handles_.erase(it);
  if (file->filter == nullptr && file->pin == nullptr) return STATUS_SUCCESS;  // already gone
  return host::CloseHandle(*file);
}

NTSTATUS Client::Property(Handle object, const void *property, ULONG propertyLength, void *data,
                          ULONG dataLength, ULONG *returned) {
  host::FileObject *file;
  NTSTATUS status = Find(object, &file, false);
  if (!NT_SUCCESS(status)) return status;
  host::Object *o = file->pin != nullptr ? static_cast<host::Object *>(file->pin)
                                         : static_cast<host::Object *>(file->filter);
  const void *pub = file->pin != nullptr ? static_cast<const void *>(&file->pin->pub)
                                         : static_cast<const void *>(&file->filter->pub);
  return host::Property(o, pub, property, propertyLength, data, dataLength, returned);
}

NTSTATUS Client::GetProperty(Handle object, const GUID &set, ULONG id, void *data, ULONG length,
                             ULONG *returned) {
  KSPROPERTY p = Request(set, id, KSPROPERTY_TYPE_GET);
  return Property(object, &p, sizeof p, data, length, returned);
}

NTSTATUS Client::SetProperty(Handle object, const GUID &set, ULONG id, const void *data,
                             ULONG length) {
  KSPROPERTY p = Request(set, id, KSPROPERTY_TYPE_SET);
  std::vector<uint8_t> copy(static_cast<const uint8_t *>(data),
                            static_cast<const uint8_t *>(data) + length);
  return Property(object, &p, sizeof p, copy.data(), length);
}

NTSTATUS Client::StructRequest(Handle object, const GUID &set, ULONG id, ULONG flags, void *value,
                               ULONG size) {
  std::vector<uint8_t> request(static_cast<uint8_t *>(value), static_cast<uint8_t *>(value) + size);
  KSPROPERTY p = Request(set, id, flags);
  std::memcpy(request.data(), &p, sizeof p);
  std::memcpy(value, &p, sizeof p);
  return Property(object, request.data(), size, value, size);
}

// A variable-size answer: a size query, then the request with a buffer that fits.
NTSTATUS Client::Sized(Handle object, const void *property, ULONG propertyLength,
                       std::vector<uint8_t> *out) {
  ULONG size = 0;
  NTSTATUS status = Property(object, property, propertyLength, nullptr, 0, &size);
  if (status != STATUS_BUFFER_OVERFLOW) return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
  out->assign(size, 0);
  ULONG returned = 0;
  status = Property(object, property, propertyLength, out->data(), size, &returned);
  if (NT_SUCCESS(status)) out->resize(returned);
  return status;
}

NTSTATUS Client::BasicSupport(Handle object, const GUID &set, ULONG id,
                              std::vector<uint8_t> *description) {
  if (description == nullptr) return STATUS_INVALID_PARAMETER;
  KSPROPERTY p = Request(set, id, KSPROPERTY_TYPE_BASICSUPPORT);
  return Sized(object, &p, sizeof p, description);
}

NTSTATUS Client::PinRequest(Handle filter, ULONG pinId, ULONG property, void *data, ULONG length,
                            ULONG *returned) {
  KSP_PIN p{};
  p.Property = Request(KSPROPSETID_Pin, property, KSPROPERTY_TYPE_GET);
  p.PinId = pinId;
  return Property(filter, &p, sizeof p, data, length, returned);
}

NTSTATUS Client::PinCount(Handle filter, ULONG *count) {
  return GetProperty(filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, count, sizeof *count);
}

NTSTATUS Client::PinDataFlow(Handle filter, ULONG pinId, KSPIN_DATAFLOW *flow) {
  return PinRequest(filter, pinId, KSPROPERTY_PIN_DATAFLOW, flow, sizeof *flow);
}

NTSTATUS Client::PinCommunication(Handle filter, ULONG pinId, KSPIN_COMMUNICATION *c) {
  return PinRequest(filter, pinId, KSPROPERTY_PIN_COMMUNICATION, c, sizeof *c);
}

NTSTATUS Client::PinCategory(Handle filter, ULONG pinId, GUID *category) {
  return PinRequest(filter, pinId, KSPROPERTY_PIN_CATEGORY, category, sizeof *category);
}

NTSTATUS Client::PinInstances(Handle filter, ULONG pinId, KSPIN_CINSTANCES *instances) {
  return PinRequest(filter, pinId, KSPROPERTY_PIN_CINSTANCES, instances, sizeof *instances);
}

NTSTATUS Client::PinNecessaryInstances(Handle filter, ULONG pinId, ULONG *count) {
  return PinRequest(filter, pinId, KSPROPERTY_PIN_NECESSARYINSTANCES, count, sizeof *count);
}

NTSTATUS Client::PinName(Handle filter, ULONG pinId, std::u16string *name) {
  if (name == nullptr) return STATUS_INVALID_PARAMETER;
  KSP_PIN p{};
  p.Property = Request(KSPROPSETID_Pin, KSPROPERTY_PIN_NAME, KSPROPERTY_TYPE_GET);
  p.PinId = pinId;
  std::vector<uint8_t> bytes;
  NTSTATUS status = Sized(filter, &p, sizeof p, &bytes);
  if (!NT_SUCCESS(status)) return status;
  name->assign(bytes.size() / sizeof(char16_t), u'\0');
  std::memcpy(name->data(), bytes.data(), name->size() * sizeof(char16_t));
  while (!name->empty() && name->back() == u'\0') name->pop_back();
  return status;
}

NTSTATUS Client::PinDataRanges(Handle filter, ULONG pinId,
                               std::vector<std::vector<uint8_t>> *ranges) {
  if (ranges == nullptr) return STATUS_INVALID_PARAMETER;
  KSP_PIN p{};
  p.Property = Request(KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET);
  p.PinId = pinId;
  std::vector<uint8_t> list;
  NTSTATUS status = Sized(filter, &p, sizeof p, &list);
  if (!NT_SUCCESS(status)) return status;
  ranges->clear();
  KSMULTIPLE_ITEM items;
  std::memcpy(&items, list.data(), sizeof items);
  size_t at = sizeof items;
  for (ULONG i = 0; i < items.Count && at + sizeof(KSDATARANGE) <= list.size(); ++i) {
    KSDATARANGE r;
    std::memcpy(&r, list.data() + at, sizeof r);
    if (r.FormatSize < sizeof r || at + r.FormatSize > list.size()) break;
    ranges->emplace_back(list.begin() + at, list.begin() + at + r.FormatSize);
    at += (r.FormatSize + 7) & ~7u;
  }
  return status;
}

NTSTATUS Client::DataIntersectionSize(Handle filter, ULONG pinId,
                                      const std::vector<std::vector<uint8_t>> &ranges,
                                      ULONG *size) {
  std::vector<uint8_t> request = IntersectionRequest(pinId, ranges);
  ULONG needed = 0;
  NTSTATUS status =
      Property(filter, request.data(), static_cast<ULONG>(request.size()), nullptr, 0, &needed);
  if (size != nullptr) *size = needed;
  return status;
}

NTSTATUS Client::DataIntersection(Handle filter, ULONG pinId,
                                  const std::vector<std::vector<uint8_t>> &ranges,
                                  std::vector<uint8_t> *format) {
  if (format == nullptr) return STATUS_INVALID_PARAMETER;
  std::vector<uint8_t> request = IntersectionRequest(pinId, ranges);
  return Sized(filter, request.data(), static_cast<ULONG>(request.size()), format);
}

NTSTATUS Client::CreatePin(Handle filter, ULONG pinId, const void *format, ULONG formatLength,
                           Handle *pin) {
  host::FileObject *file;
  NTSTATUS status = Find(filter, &file, false);
  if (!NT_SUCCESS(status)) return status;
  if (file->filter == nullptr || pin == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
  std::shared_ptr<host::FileObject> created;
  status = host::CreatePin(file->filter, pinId, format, formatLength, &created);
  if (!NT_SUCCESS(status)) return status;
  created->completions = completions_;
  *pin = nextHandle_++;
  handles_[*pin] = std::move(created);
  return status;
}

NTSTATUS Client::SetState(Handle pin, KSSTATE state) {
  return Set(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, state);
}

NTSTATUS Client::GetState(Handle pin, KSSTATE *state) {
  return Get(pin, KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, state);
}

NTSTATUS Client::GetConnectionFormat(Handle pin, std::vector<uint8_t> *format) {
  if (format == nullptr) return STATUS_INVALID_PARAMETER;
  KSPROPERTY p =
      Request(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_GET);
  return Sized(pin, &p, sizeof p, format);
}

NTSTATUS Client::GetAllocatorFraming(Handle pin, KSALLOCATOR_FRAMING_EX *framing) {
  if (framing == nullptr) return STATUS_INVALID_PARAMETER;
  KSPROPERTY p = Request(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX,
                         KSPROPERTY_TYPE_GET);
  std::vector<uint8_t> bytes;
  NTSTATUS status = Sized(pin, &p, sizeof p, &bytes);
  if (NT_SUCCESS(status)) {
    *framing = KSALLOCATOR_FRAMING_EX{};
    std::memcpy(framing, bytes.data(), std::min(bytes.size(), sizeof *framing));
  }
  return status;
}

NTSTATUS Client::SetMasterClock(Handle pin, bool present) {
  host::FileObject *file;
  NTSTATUS status = Find(pin, &file, true);
  if (!NT_SUCCESS(status)) return status;
  return host::AssignClock(file->pin, present);
}

NTSTATUS Client::QueueFrame(Handle pin, FrameRequest request, uint64_t *id) {
  host::FileObject *file;
  NTSTATUS status = Find(pin, &file, true);
  if (!NT_SUCCESS(status)) return status;
  auto frame = std::make_unique<host::Frame>();
  frame->id = nextFrameId_++;
  size_t headerSize = sizeof(KSSTREAM_HEADER) + request.extendedHeader.size();
  frame->header.assign((headerSize + 7) / 8, 0);
  PKSSTREAM_HEADER h = frame->Header();
  h->Size = static_cast<ULONG>(headerSize);
  h->OptionsFlags = request.optionsFlags;
  if (!request.extendedHeader.empty())
    std::memcpy(reinterpret_cast<uint8_t *>(h) + sizeof(KSSTREAM_HEADER),
                request.extendedHeader.data(), request.extendedHeader.size());
  frame->data = std::move(request.storage);
  frame->data.resize(request.bufferSize);
  uint64_t frameId = frame->id;
  status = host::QueueFrame(file->pin, std::move(frame));
  if (id != nullptr && status == STATUS_PENDING) *id = frameId;
  return status;
}

NTSTATUS Client::QueueFrame(Handle pin, ULONG bufferSize, uint64_t *id) {
  FrameRequest request;
  request.bufferSize = bufferSize;
  return QueueFrame(pin, std::move(request), id);
}

NTSTATUS Client::TakeFrame(Handle pin, Frame *frame) {
  CheckPassive();
  auto it = handles_.find(pin);
  if (it == handles_.end() || it->second->kind != host::Kind::Pin) return STATUS_INVALID_HANDLE;
  auto &completed = it->second->completed;
  if (completed.empty()) return STATUS_NO_MORE_ENTRIES;
  if (frame == nullptr) return STATUS_INVALID_PARAMETER;
  host::CompletedFrame &c = completed.front();
  frame->id = c.id;
  frame->status = c.status;
  std::memcpy(&frame->header, c.header.data(), sizeof frame->header);
  frame->extendedHeader.assign(c.header.begin() + sizeof(KSSTREAM_HEADER), c.header.end());
  frame->data = std::move(c.data);
  frame->header.Data = frame->data.data();
  completed.pop_front();
  return STATUS_SUCCESS;
}

size_t Client::CompletedFrames(Handle pin) const {
  auto it = handles_.find(pin);
  return it == handles_.end() ? 0 : it->second->completed.size();
}

NTSTATUS Client::ProcessorTime(Handle pin, Nanos *time) const {
  auto it = handles_.find(pin);
  if (it == handles_.end() || it->second->kind != host::Kind::Pin) return STATUS_INVALID_HANDLE;
  if (time == nullptr) return STATUS_INVALID_PARAMETER;
  *time = it->second->pin != nullptr ? it->second->pin->processorTime : 0;
  return STATUS_SUCCESS;
}

NTSTATUS Client::WaitForFrame(Handle pin, Nanos timeout, Frame *frame) {
  CheckPassive();
  auto it = handles_.find(pin);
  if (it == handles_.end() || it->second->kind != host::Kind::Pin) return STATUS_INVALID_HANDLE;
  std::shared_ptr<host::FileObject> file = it->second;
  machine_.RunUntil([&] { return !file->completed.empty() || file->pin == nullptr; },
                    machine_.now() + timeout);
  if (!file->completed.empty()) return TakeFrame(pin, frame);
  return file->pin == nullptr ? STATUS_DEVICE_REMOVED : STATUS_TIMEOUT;
}

NTSTATUS Client::WaitForAnyFrame(Nanos timeout) {
  CheckPassive();
  auto any = [&] {
    return std::any_of(handles_.begin(), handles_.end(),
                       [](const auto &h) { return !h.second->completed.empty(); });
  };
  if (any()) return STATUS_SUCCESS;
  uint64_t seen = *completions_;
  machine_.RunUntil([&] { return *completions_ != seen; }, machine_.now() + timeout);
  return any() ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

}  // namespace sim::ks
