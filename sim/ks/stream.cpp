// Streaming: client frames queued on a pin, the leading-edge stream pointer, frame
// completion, the processing gate and its asynchronous process calls, and the
// reference clock a client can give a pin.
#include <algorithm>
#include <cstring>

#include "sim/kernel/sync_annotations.h"
#include "sim/ks/host.h"

using sim::Machine;
using sim::Rule;

namespace sim::ks::host {

namespace {

Machine &M() { return Machine::Current(); }

// Consecutive STATUS_SUCCESS returns without any progress before the host is
// considered to spin forever (the real one would).
constexpr int kIdleProcessLimit = 1000;

ULONG Flags(const Pin *p) { return p->pub.Descriptor->Flags; }

bool Eligible(const Pin *p) {
  if (p->closing) return false;
  if (p->pub.DeviceState == KSSTATE_RUN) return true;
  return p->pub.DeviceState == KSSTATE_PAUSE && !(Flags(p) & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY);
}

bool FramesAvailable(const Pin *p) {
  return !p->queue.empty() || (Flags(p) & KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING);
}

void Complete(Pin *p, NTSTATUS status) {
  std::unique_ptr<Frame> f = std::move(p->queue.front());
  p->queue.pop_front();
  CompletedFrame c;
  c.id = f->id;
  c.status = status;
  PKSSTREAM_HEADER h = f->Header();
  c.header.resize(h->Size);
  std::memcpy(c.header.data(), h, h->Size);
  c.data = std::move(f->data);
  p->file->completed.push_back(std::move(c));
  if (p->file->completions) ++*p->file->completions;
}

// Live pins, for finding whose frame a copy writes (the cost model charges it to them).
std::vector<Pin *> &LivePins() {
  static std::vector<Pin *> pins;
  return pins;
}
Pin *g_lastOwner = nullptr;

bool HoldsAddress(const Pin *p, uintptr_t at) {
  if (p->queue.empty()) return false;
  const auto begin = reinterpret_cast<uintptr_t>(p->queue.front()->data.data());
  return at >= begin && at < begin + p->queue.front()->data.size();
}

// Copies go to the frame at a pin's leading edge.
sim::Nanos *FrameOwner(const void *destination) {
  const auto at = reinterpret_cast<uintptr_t>(destination);
  if (g_lastOwner == nullptr || !HoldsAddress(g_lastOwner, at)) {
    g_lastOwner = nullptr;
    for (Pin *p : LivePins())
      if (HoldsAddress(p, at)) g_lastOwner = p;
  }
  return g_lastOwner != nullptr ? &g_lastOwner->processorTime : nullptr;
}

void RunProcess(Pin *p) {
  const KSPIN_DISPATCH *dispatch = p->pub.Descriptor->Dispatch;
  int idle = 0;
  while (p->requested) {
    p->requested = false;
    if (!Eligible(p) || !FramesAvailable(p)) return;
    if (dispatch == nullptr || dispatch->Process == nullptr) return;
    size_t queued = p->queue.size();
    ULONG advanced = queued ? p->queue.front()->advanced : 0;
    p->inProcess = true;
    NTSTATUS status;
    {
      Machine::AccountScope charged(M(), &p->processorTime);
      status = sim::CallDriver(dispatch->Process, &p->pub);
    }
    p->inProcess = false;
    p->processCalls++;
    CheckBackAtPassive("a pin's Process dispatch");
    // Success means "more can be done": the host calls again while data remains.
    if (status == STATUS_SUCCESS && Eligible(p) && FramesAvailable(p)) {
      bool progress =
          p->queue.size() != queued || (queued && p->queue.front()->advanced != advanced);
      if (progress) {
        idle = 0;
      } else if (++idle > kIdleProcessLimit) {
        M().verifier().Stop(Rule::Deadlock,
                            "a pin's Process dispatch keeps returning STATUS_SUCCESS without "
                            "consuming data (the host would call it forever)");
      }
      p->requested = true;
    }
  }
}

StreamPointer *AsStreamPointer(const void *pub, const char *service) {
  Object *o = Lookup(pub);
  if (o == nullptr || o->kind != Kind::StreamPointer)
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(service) + ": not a live stream pointer");
  return static_cast<StreamPointer *>(o);
}

void FillOffsets(StreamPointer *sp) {
  Frame *f = sp->pin->queue.front().get();
  KSSTREAM_POINTER &pub = sp->pub;
  pub.StreamHeader = f->Header();
  KSSTREAM_POINTER_OFFSET data{};
  data.Data = f->data.data() + f->advanced;
  data.Count = static_cast<ULONG>(f->data.size()) - f->advanced;
  data.Remaining = data.Count;
  bool out = sp->pin->pub.DataFlow == KSPIN_DATAFLOW_OUT;
  pub.OffsetIn = out ? KSSTREAM_POINTER_OFFSET{} : data;
  pub.OffsetOut = out ? data : KSSTREAM_POINTER_OFFSET{};
  pub.Offset = out ? &pub.OffsetOut : &pub.OffsetIn;
}

void RequireLocked(StreamPointer *sp, const char *service) {
  if (!sp->locked || sp->pin->queue.empty())
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(service) + ": the stream pointer is not locked");
}

// Moves the pointer's offset; a frame whose data is used up goes back to the client.
void Advance(StreamPointer *sp, ULONG inUsed, ULONG outUsed, bool eject, const char *service) {
  RequireLocked(sp, service);
  KSSTREAM_POINTER_OFFSET &offset = *sp->pub.Offset;
  ULONG used = sp->pin->pub.DataFlow == KSPIN_DATAFLOW_OUT ? outUsed : inUsed;
  ULONG other = sp->pin->pub.DataFlow == KSPIN_DATAFLOW_OUT ? inUsed : outUsed;
  if (used > offset.Remaining || other != 0)
    M().verifier().Stop(Rule::InvalidParameter,
                        std::string(service) + ": advancing past the end of the frame");
  Frame *f = sp->pin->queue.front().get();
  f->advanced += used;
  offset.Data += used;
  offset.Count -= used;
  offset.Remaining -= used;
  if (eject || offset.Remaining == 0) {
    sp->locked = false;
    Complete(sp->pin, f->status);
  }
}

}  // namespace

Pin::Pin() {
  LivePins().push_back(this);
  M().SetCopyOwner(&FrameOwner);
}

// The reference clock: the machine's time in 100 ns units, counted references.
class Clock final : public IKsReferenceClock {
 public:
  NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID iid, PVOID *out) override {
    sim::InSim inSim;
    if (out == nullptr) return STATUS_INVALID_PARAMETER;
    if (iid != IID_IUnknown) {
      *out = nullptr;
      return STATUS_NOT_SUPPORTED;
    }
    AddRef();
    *out = static_cast<IUnknown *>(this);
    return STATUS_SUCCESS;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    sim::InSim inSim;
    M().RequireIrql(DISPATCH_LEVEL, "IKsReferenceClock::AddRef");
    return ++refs;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    sim::InSim inSim;
    M().RequireIrql(DISPATCH_LEVEL, "IKsReferenceClock::Release");
    if (refs == 0)
      M().verifier().Stop(Rule::ObjectReference, "IKsReferenceClock released more than referenced");
    return --refs;
  }
  LONGLONG STDMETHODCALLTYPE GetTime() override {
    sim::InSim inSim;
    Use("IKsReferenceClock::GetTime");
    return M().now() / 100;
  }
  LONGLONG STDMETHODCALLTYPE GetPhysicalTime() override {
    sim::InSim inSim;
    Use("IKsReferenceClock::GetPhysicalTime");
    return M().now() / 100;
  }
  LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(PLONGLONG systemTime) override {
    sim::InSim inSim;
    Use("IKsReferenceClock::GetCorrelatedTime");
    if (systemTime != nullptr) *systemTime = M().SystemTime();
    return M().now() / 100;
  }
  LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(PLONGLONG systemTime) override {
    sim::InSim inSim;
    return GetCorrelatedTime(systemTime);
  }
  NTSTATUS STDMETHODCALLTYPE GetResolution(PKSRESOLUTION resolution) override {
    sim::InSim inSim;
    Use("IKsReferenceClock::GetResolution");
    if (resolution != nullptr) *resolution = KSRESOLUTION{1, 0};
    return STATUS_SUCCESS;
  }
  NTSTATUS STDMETHODCALLTYPE GetState(PKSSTATE state) override {
    sim::InSim inSim;
    Use("IKsReferenceClock::GetState");
    if (state != nullptr) *state = KSSTATE_RUN;
    return STATUS_SUCCESS;
  }

  ULONG refs = 0;

 private:
  void Use(const char *service) {
    M().RequireIrql(DISPATCH_LEVEL, service);
    if (refs == 0)
      M().verifier().Stop(Rule::ObjectReference,
                          std::string(service) + " on an interface released to zero");
  }
};

Pin::~Pin() {
  if (file) file->pin = nullptr;
  delete clock;
  auto &pins = LivePins();
  pins.erase(std::remove(pins.begin(), pins.end(), this), pins.end());
  if (g_lastOwner == this) g_lastOwner = nullptr;
}

void RequestProcessing(Pin *p, bool asynchronous);

NTSTATUS QueueFrame(Pin *p, std::unique_ptr<Frame> frame) {
  if (p->pub.DeviceState == KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  PKSSTREAM_HEADER h = frame->Header();
  ULONG expected = p->pub.StreamHeaderSize;
  if (h->Size < sizeof(KSSTREAM_HEADER) || (expected != 0 && h->Size != expected))
    return STATUS_INVALID_BUFFER_SIZE;
  h->Data = frame->data.data();
  h->FrameExtent = static_cast<ULONG>(frame->data.size());
  p->queue.push_back(std::move(frame));
  if (!(Flags(p) & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) &&
      (p->queue.size() == 1 || (Flags(p) & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL)))
    RequestProcessing(p, true);
  return STATUS_PENDING;
}

void CancelQueuedFrames(Pin *p) {
  p->leading.locked = false;
  while (!p->queue.empty()) Complete(p, STATUS_CANCELLED);
}

void RequestProcessing(Pin *p, bool asynchronous) {
  if (!Eligible(p)) return;  // the gate is closed: the attempt is dropped
  p->requested = true;
  // What the caller did before is seen by the process call it asks for.
  sim::TsanRelease(p->file.get());
  if (p->inProcess) return;  // the running call goes round again
  if (!asynchronous && M().irql() == PASSIVE_LEVEL) {
    // Process calls hold the pin's processing mutex ("Processing Mutex in AVStream").
    std::shared_ptr<FileObject> file = p->file;
    M().AcquireMutex(file->processing, "a synchronous process call");
    if (file->pin != nullptr && !file->pin->inProcess) RunProcess(file->pin);
    M().ReleaseMutex(file->processing, "a synchronous process call");
    return;
  }
  if (p->workQueued) return;  // one queued call serves every attempt until it runs
  p->workQueued = true;
  // On a worker thread; calls for one pin never overlap, as the processing mutex orders
  // them.
  M().QueuePassiveWork([file = p->file] {
    if (file->pin == nullptr || file->pin->closing) return;
    M().AcquireMutex(file->processing, "an asynchronous process call");
    if (Pin *pin = file->pin; pin != nullptr && !pin->closing) {
      pin->workQueued = false;
      sim::TsanAcquire(file.get());
      RunProcess(pin);
    }
    M().ReleaseMutex(file->processing, "an asynchronous process call");
  });
}

void AfterStateChange(Pin *p) {
  if (!Eligible(p)) {
    p->requested = false;
    return;
  }
  if (!(Flags(p) & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) && !p->queue.empty())
    RequestProcessing(p, true);
}

NTSTATUS AssignClock(Pin *p, bool present) {
  if (p->pub.DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  if (present && p->clock == nullptr) p->clock = new Clock;
  p->clockAssigned = present;
  return STATUS_SUCCESS;
}

void CheckClockReleased(Pin *p) {
  if (p->clock && p->clock->refs != 0)
    M().verifier().Stop(Rule::ObjectReference,
                        "pin " + std::to_string(p->pub.Id) + " went away holding " +
                            std::to_string(p->clock->refs) + " reference(s) to its clock");
}

}  // namespace sim::ks::host

using namespace sim::ks::host;

extern "C" {

void NTAPI KsPinAttemptProcessing(PKSPIN pin, BOOLEAN asynchronous) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  RequestProcessing(AsPin(pin, __func__), asynchronous != 0);
}

PKSSTREAM_POINTER NTAPI KsPinGetLeadingEdgeStreamPointer(PKSPIN pin, KSSTREAM_POINTER_STATE state) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  Pin *p = AsPin(pin, __func__);
  if (p->queue.empty()) return nullptr;
  StreamPointer &sp = p->leading;
  if (state == KSSTREAM_POINTER_STATE_LOCKED && !sp.locked) {
    sp.locked = true;
    FillOffsets(&sp);
  }
  return &sp.pub;
}

PKSSTREAM_POINTER NTAPI KsPinGetTrailingEdgeStreamPointer(PKSPIN pin,
                                                          KSSTREAM_POINTER_STATE state) {
  sim::InSim inSim;
  // Without clones the trailing edge is the leading edge.
  return KsPinGetLeadingEdgeStreamPointer(pin, state);
}

NTSTATUS NTAPI KsStreamPointerLock(PKSSTREAM_POINTER streamPointer) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  StreamPointer *sp = AsStreamPointer(streamPointer, __func__);
  if (sp->pin->queue.empty()) return STATUS_DEVICE_NOT_READY;
  if (!sp->locked) {
    sp->locked = true;
    FillOffsets(sp);
  }
  return STATUS_SUCCESS;
}

void NTAPI KsStreamPointerUnlock(PKSSTREAM_POINTER streamPointer, BOOLEAN eject) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  StreamPointer *sp = AsStreamPointer(streamPointer, __func__);
  RequireLocked(sp, __func__);
  sp->locked = false;
  if (eject) Complete(sp->pin, sp->pin->queue.front()->status);
}

void NTAPI KsStreamPointerAdvanceOffsetsAndUnlock(PKSSTREAM_POINTER streamPointer, ULONG inUsed,
                                                  ULONG outUsed, BOOLEAN eject) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  StreamPointer *sp = AsStreamPointer(streamPointer, __func__);
  Advance(sp, inUsed, outUsed, eject != 0, __func__);
  sp->locked = false;
}

NTSTATUS NTAPI KsStreamPointerAdvanceOffsets(PKSSTREAM_POINTER streamPointer, ULONG inUsed,
                                             ULONG outUsed, BOOLEAN eject) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  StreamPointer *sp = AsStreamPointer(streamPointer, __func__);
  Advance(sp, inUsed, outUsed, eject != 0, __func__);
  if (!sp->locked) {
    // The frame went back; the pointer moves on to the next one, locked if any.
    if (sp->pin->queue.empty()) return STATUS_DEVICE_NOT_READY;
    sp->locked = true;
    FillOffsets(sp);
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsStreamPointerSetStatusCode(PKSSTREAM_POINTER streamPointer, NTSTATUS status) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  StreamPointer *sp = AsStreamPointer(streamPointer, __func__);
  RequireLocked(sp, __func__);
  sp->pin->queue.front()->status = status;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsPinGetAvailableByteCount(PKSPIN pin, PLONG inputDataBytes,
                                          PLONG outputBufferBytes) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  Pin *p = AsPin(pin, __func__);
  int64_t bytes = 0;
  for (const auto &f : p->queue) bytes += static_cast<int64_t>(f->data.size()) - f->advanced;
  bool out = p->pub.DataFlow == KSPIN_DATAFLOW_OUT;
  if (inputDataBytes != nullptr) *inputDataBytes = out ? 0 : static_cast<LONG>(bytes);
  if (outputBufferBytes != nullptr) *outputBufferBytes = out ? static_cast<LONG>(bytes) : 0;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN pin, PIKSREFERENCECLOCK *interface) {
  sim::InSim inSim;
  M().RequireIrql(DISPATCH_LEVEL, __func__);
  Pin *p = AsPin(pin, __func__);
  if (interface == nullptr)
    M().verifier().Stop(Rule::InvalidParameter, std::string(__func__) + " without output");
  if (!p->clockAssigned) {
    *interface = nullptr;
    return STATUS_DEVICE_NOT_READY;
  }
  p->clock->AddRef();
  *interface = p->clock;
  return STATUS_SUCCESS;
}

}  // extern "C"
