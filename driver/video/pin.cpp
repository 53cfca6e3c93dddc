// The video capture pin of each channel: creation programs the channel, the stream
// object starts and stops it, and the process operation delivers frames.
#include "decoder/decoder.h"
#include "host/frame_copy.h"
#include "video/formats.h"
#include "video/stream.h"

NTSTATUS NTAPI VideoPinClose(PKSPIN pin, PIRP irp);
NTSTATUS NTAPI VideoPinProcess(PKSPIN pin);
PKS_VIDEOINFOHEADER SnapshotVideoFormat(CVideoStream *stream);
NTSTATUS ProgramVideoDma(CVideoStream *stream, ULONG channel, ULONG bytesPerLine,
                         ULONG linesPerField);
// Programs the stream's channel in the card for its format (creation, and the card back in
// its power-up state).
void ProgramVideoChannel(CVideoStream *stream);

namespace {

constexpr ULONG kStreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);  // 128
constexpr ULONG kSnapshotSize = sizeof(KS_VIDEOINFOHEADER);                           // 88
constexpr ULONG kMaxLineBytes = 1440;
constexpr ULONG kMaxWidth = 720;
constexpr ULONG kMaxLinesPerField = 288;

const KSALLOCATOR_FRAMING_EX kVideoFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{{STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED)},
      {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},  // any bus
      0,
      0,
      KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
      2,  // Frames
      0,  // FileAlignment
      0,
      {0, 0xFFFFFFFF, 1},
      {{8192, 8192, 1}, 0, 0}}}};

NTSTATUS VideoPinCreate(PKSPIN pin, PIRP irp, ULONG channel);

template <ULONG C>
NTSTATUS NTAPI VideoPinCreateFor(PKSPIN pin, PIRP irp) {
  return VideoPinCreate(pin, irp, C);
}

#define MORVANE_VIDEO_DISPATCH(c)                                                         \
  {                                                                                       \
    VideoPinCreateFor<c>, VideoPinClose, VideoPinProcess, nullptr, VideoPinSetDataFormat, \
        PinSetDeviceState, nullptr, nullptr, nullptr, nullptr                             \
  }
const KSPIN_DISPATCH kVideoDispatch[kVideoChannels] = {
    MORVANE_VIDEO_DISPATCH(0), MORVANE_VIDEO_DISPATCH(1), MORVANE_VIDEO_DISPATCH(2),
    MORVANE_VIDEO_DISPATCH(3), MORVANE_VIDEO_DISPATCH(4), MORVANE_VIDEO_DISPATCH(5),
    MORVANE_VIDEO_DISPATCH(6), MORVANE_VIDEO_DISPATCH(7)};
#undef MORVANE_VIDEO_DISPATCH

ULONG Magnitude(LONG v) { return v < 0 ? 0u - static_cast<ULONG>(v) : static_cast<ULONG>(v); }

// Bytes from one line of the image to the next: the packed line rounded up to 4 bytes.
ULONG ImageStride(const KS_BITMAPINFOHEADER &bmi) {
  return ((static_cast<ULONG>(bmi.biBitCount) * Magnitude(bmi.biWidth) + 31) >> 3) & ~3u;
}

bool IsRgb(const GUID &subtype) {
  return IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB565) ||
         IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_RGB555);
}

// Pixels per packed group: a line must hold whole groups.
ULONG PixelGroup(const GUID &subtype) {
  if (IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_YUY2) ||
      IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_UYVY))
    return 2;
  if (IsEqualGUID(subtype, KSDATAFORMAT_SUBTYPE_Y41P)) return 8;
  return 1;
}

const KS_VIDEOINFOHEADER *ConnectionVideoInfo(PKSPIN pin) {
  const KSDATAFORMAT *format = pin->ConnectionFormat;
  if (format == nullptr || format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) ||
      !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO))
    return nullptr;
  return reinterpret_cast<const KS_VIDEOINFOHEADER *>(format + 1);
}

BOOLEAN NTAPI EnableVideoChannel(PVOID context) {
  auto *w = static_cast<HardwareWork *>(context);
  CCaptureDevice *d = w->device;
  // enabledMask is left alone: the watchdog's next tick brings it into line (WatchdogRestart).
  d->runningMask |= w->bit;
  WriteRegisterAndFlush(d, CHANNEL_ENABLE, d->runningMask, 0);
  ULONG control = ReadRegister(d, CHANNEL_CONTROL);
  WriteRegisterAndFlush(d, CHANNEL_CONTROL, control | d->runningMask | kMasterEnable, 0);
  return TRUE;
}

BOOLEAN NTAPI DisableVideoChannel(PVOID context) {
  auto *w = static_cast<HardwareWork *>(context);
  CCaptureDevice *d = w->device;
  // Each register is written twice: the card's disable sequence.
  d->runningMask &= ~w->bit;
  d->enabledMask &= ~w->bit;
  ULONG enable = ReadRegister(d, CHANNEL_ENABLE) & ~w->bit;
  WriteRegisterAndFlush(d, CHANNEL_ENABLE, enable, 0);
  WriteRegisterAndFlush(d, CHANNEL_ENABLE, enable, 0);
  ULONG control = ReadRegister(d, CHANNEL_CONTROL) & ~w->bit;
  WriteRegisterAndFlush(d, CHANNEL_CONTROL, control, 0);
  WriteRegisterAndFlush(d, CHANNEL_CONTROL, control, 0);
  return TRUE;
}

// Creation proper; the caller has claimed the channel's bit in openPinMask.
NTSTATUS CreateVideoStream(PKSPIN pin, CCaptureDevice *d, ULONG c) {
  // Refuse what the card cannot capture before anything is allocated or programmed.
  const KS_VIDEOINFOHEADER *vih = ConnectionVideoInfo(pin);
  NTSTATUS check = CheckCapturableFormat(d, c, pin->ConnectionFormat, vih);
  if (!NT_SUCCESS(check)) return check;

  auto *memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CVideoStream), kTagDevice);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(memory, sizeof(CVideoStream));
  auto *stream = new (memory) CVideoStream(pin, d);
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, stream, CVideoStream::Free);
  if (!NT_SUCCESS(status)) {
    CVideoStream::Free(stream);
    return status;
  }
  pin->Context = stream;
  if (SnapshotVideoFormat(stream) == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  status = _KsEdit(pin->Bag,
                   reinterpret_cast<PVOID *>(const_cast<PKSPIN_DESCRIPTOR_EX *>(&pin->Descriptor)),
                   sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTagPrivateCopy);
  if (!NT_SUCCESS(status)) return status;
  auto *descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
  status = _KsEdit(pin->Bag,
                   reinterpret_cast<PVOID *>(
                       const_cast<PKSALLOCATOR_FRAMING_EX *>(&descriptor->AllocatorFraming)),
                   sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagPrivateCopy);
  if (!NT_SUCCESS(status)) return status;
  auto *framing = const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming);
  ULONG imageSize = stream->formatSnapshot->bmiHeader.biSizeImage;
  KS_FRAMING_ITEM &item = framing->FramingItem[0];
  item.Frames = 2;
  item.PhysicalRange.MinFrameSize = item.PhysicalRange.MaxFrameSize = imageSize;
  item.FramingRange.Range.MinFrameSize = item.FramingRange.Range.MaxFrameSize = imageSize;
  item.PhysicalRange.Stepping = item.FramingRange.Range.Stepping = 0;

  AtomicWrite(&d->videoIdBase, kVideoIdBase);
  stream->channelId = kVideoIdBase | c;
  SetStreamForChannel(d, stream->channelId, stream);
  ProgramVideoChannel(stream);
  pin->StreamHeaderSize = kStreamHeaderSize;
  // A pin that could never hear of a frame is refused rather than left silent.
  if (InterlockedCompareExchange(&d->interruptConnection, kInterruptConnected,
                                 kInterruptConnected) != kInterruptConnected) {
    ClearStreamForChannel(d, stream->channelId, stream);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS VideoPinCreate(PKSPIN pin, PIRP, ULONG c) {
  CCaptureDevice *d = PinDevice(pin);
  // Creation programs the card: not while it is away, nor while a transition changes it.
  EnterDevice(d, true);
  if (!HardwareUsable(d)) {
    NTSTATUS status = HardwareUnavailableStatus(d);
    LeaveDevice(d);
    return status;
  }
  // Instances of one channel's filter create at once: the bit is claimed whole, and given
  // back if the creation fails.
  ULONG bit = 1u << c;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (!(InterlockedOr(reinterpret_cast<volatile LONG *>(&d->openPinMask), static_cast<LONG>(bit)) &
        static_cast<LONG>(bit))) {
    status = CreateVideoStream(pin, d, c);
    if (!NT_SUCCESS(status)) AtomicClearBits(&d->openPinMask, bit);
  }
  LeaveDevice(d);
  return status;
}

}  // namespace

#define MORVANE_VIDEO_PIN(c)                                                           \
  {                                                                                    \
    &kVideoDispatch[c], nullptr,                                                       \
        {0,                                                                            \
         nullptr,                                                                      \
         0,                                                                            \
         nullptr,                                                                      \
         4,                                                                            \
         kDefaultVideoRangeList,                                                       \
         KSPIN_DATAFLOW_OUT,                                                           \
         KSPIN_COMMUNICATION_BOTH,                                                     \
         &PINNAME_VIDEO_CAPTURE,                                                       \
         &PINNAME_VIDEO_CAPTURE,                                                       \
         {0}},                                                                         \
        KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | \
            KSPIN_FLAG_FIXED_FORMAT,                                                   \
        1, 0, &kVideoFraming, VideoIntersectHandler                                    \
  }
const KSPIN_DESCRIPTOR_EX kVideoPinDescriptors[kVideoChannels] = {
    MORVANE_VIDEO_PIN(0), MORVANE_VIDEO_PIN(1), MORVANE_VIDEO_PIN(2), MORVANE_VIDEO_PIN(3),
    MORVANE_VIDEO_PIN(4), MORVANE_VIDEO_PIN(5), MORVANE_VIDEO_PIN(6), MORVANE_VIDEO_PIN(7)};
#undef MORVANE_VIDEO_PIN

NTSTATUS CheckCapturableFormat(const CCaptureDevice *d, ULONG channel, const KSDATAFORMAT *format,
                               const KS_VIDEOINFOHEADER *vih) {
  if (format == nullptr || vih == nullptr) return STATUS_INVALID_PARAMETER;
  const KS_BITMAPINFOHEADER &bmi = vih->bmiHeader;
  // The card packs each subtype at one depth; another would program lines of the wrong size.
  ULONG bits = SubtypeBitCount(format->SubFormat);
  if (bits == 0 || bmi.biBitCount != bits) return STATUS_INVALID_PARAMETER;
  ULONG width = Magnitude(bmi.biWidth);
  if (width == 0 || width % PixelGroup(format->SubFormat) != 0) return STATUS_INVALID_PARAMETER;
  // A line must fit the field buffer's lines, and the scaler takes at most 720 pixels.
  if (static_cast<ULONGLONG>(bits) * width / 8 > kMaxLineBytes) return STATUS_INVALID_PARAMETER;
  if (width > kMaxWidth) return STATUS_INVALID_PARAMETER;
  if (bmi.biHeight == 0) return STATUS_INVALID_PARAMETER;
  FieldSplit split = SplitFields(d, channel, bmi.biHeight);
  if (split.linesPerField == 0 || split.linesPerField > kMaxLinesPerField)
    return STATUS_INVALID_PARAMETER;
  // Two fields of unequal height would shear the woven picture.
  if (split.fields * split.linesPerField != Magnitude(bmi.biHeight))
    return STATUS_INVALID_PARAMETER;
  if (vih->AvgTimePerFrame <= 0) return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

PKS_VIDEOINFOHEADER SnapshotVideoFormat(CVideoStream *stream) {
  const KSDATAFORMAT *format = stream->pin->ConnectionFormat;
  if (format == nullptr) return nullptr;
  KS_VIDEOINFOHEADER taken;
  RtlZeroMemory(&taken, kSnapshotSize);
  if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
    if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return nullptr;
    // Only the 40-byte bitmap header fits; anything a larger biSize adds is dropped.
    RtlCopyMemory(&taken, format + 1, kSnapshotSize);
    taken.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  } else if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO2)) {
    if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER2)) return nullptr;
    auto *vih2 = reinterpret_cast<const KS_VIDEOINFOHEADER2 *>(format + 1);
    taken.rcSource = vih2->rcSource;
    taken.rcTarget = vih2->rcTarget;
    taken.dwBitRate = vih2->dwBitRate;
    taken.dwBitErrorRate = vih2->dwBitErrorRate;
    taken.AvgTimePerFrame = vih2->AvgTimePerFrame;
    taken.bmiHeader = vih2->bmiHeader;
    taken.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  } else {
    return nullptr;
  }
  // One block per pin, freed with it: every channel start refills it (the connection format
  // is fixed) instead of taking pool that a pin never closed would pile up.
  auto *snapshot = stream->formatSnapshot;
  if (snapshot == nullptr) {
    snapshot = static_cast<PKS_VIDEOINFOHEADER>(
        ExAllocatePoolWithTag(NonPagedPoolNx, kSnapshotSize, kTagSnapshot));
    if (snapshot == nullptr) return nullptr;
    if (!NT_SUCCESS(KsAddItemToObjectBag(stream->pin->Bag, snapshot, nullptr))) {
      ExFreePoolWithTag(snapshot, kTagSnapshot);
      return nullptr;
    }
  }
  RtlCopyMemory(snapshot, &taken, kSnapshotSize);
  stream->formatSnapshot = snapshot;
  return snapshot;
}

void ProgramVideoChannel(CVideoStream *stream) {
  CCaptureDevice *d = stream->device;
  PKSPIN pin = stream->pin;
  ULONG c = stream->channel();
  const KS_BITMAPINFOHEADER &bmi = stream->formatSnapshot->bmiHeader;
  // The card packs lines at the copy length the delivery reads them with.
  ULONG bytesPerLine = (static_cast<ULONG>(bmi.biBitCount) * Magnitude(bmi.biWidth)) >> 3;
  FieldSplit split = SplitFields(d, c, bmi.biHeight);
  stream->fieldsPerFrame = split.fields;
  ConfigureChannelVideo(d, c, Magnitude(bmi.biWidth), Magnitude(bmi.biHeight));
  SelectVideoFormat(d, c, &pin->ConnectionFormat->SubFormat);
  ProgramFrameRate(d, c, stream->formatSnapshot->AvgTimePerFrame);
  ProgramVideoDma(stream, c, bytesPerLine, split.linesPerField);
}

NTSTATUS ProgramVideoDma(CVideoStream *stream, ULONG c, ULONG bytesPerLine, ULONG linesPerField) {
  CCaptureDevice *d = stream->device;
  stream->bytesPerLineA = stream->bytesPerLineB = bytesPerLine;
  stream->linesA = stream->linesB = linesPerField;
  ULONG geometry = (linesPerField << 22) | ((bytesPerLine & 0x7FF) << 11) | (bytesPerLine & 0x7FF);
  // Buffer i is field i / 2, bank i % 2; the addresses go first, in that order.
  for (ULONG i = 0; i < 4; ++i)
    WriteRegisterAndFlush(d, DmaAddressRegister(c, i / 2, i % 2),
                          d->videoBufferAddresses[c][i].LowPart, 0);
  WriteRegisterAndFlush(d, DmaGeometryRegister(c, 0), geometry, 0);
  WriteRegisterAndFlush(d, DmaGeometryRegister(c, 1), geometry, 0);
  ULONG routing = ReadRegister(d, CHANNEL_ROUTING) | (3u << (16 + 2 * c));
  WriteRegisterAndFlush(d, CHANNEL_ROUTING, routing, 1);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI VideoPinClose(PKSPIN pin, PIRP) {
  auto *stream = static_cast<CVideoStream *>(pin->Context);
  // No stream: a creation that failed before it made one; nothing to take out.
  if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  // The channel was stopped by the pin's walk to STOP, which the class driver makes first.
  CCaptureDevice *d = stream->device;
  // A transition that programs the streams again must not meet this one going.
  EnterDevice(d, true);
  // The interrupt DPC on another processor may be reading the entry: taken out under its
  // lock, before the stream goes with the pin's bag.
  ClearStreamForChannel(d, stream->channelId, stream);
  AtomicClearBits(&d->openPinMask, 1u << stream->channel());
  LeaveDevice(d);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI VideoPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT, PKSMULTIPLE_ITEM,
                                     const KSDATARANGE *, const KSATTRIBUTE_LIST *) {
  if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  PKSDATAFORMAT format = pin->ConnectionFormat;
  if (format == nullptr) return STATUS_UNSUCCESSFUL;
  ULONG fixed;
  KS_BITMAPINFOHEADER *bmi;
  auto *vih = reinterpret_cast<PKS_VIDEOINFOHEADER>(format + 1);
  if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
    if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return STATUS_UNSUCCESSFUL;
    fixed = offsetof(KS_VIDEOINFOHEADER, bmiHeader);
    bmi = &vih->bmiHeader;
  } else if (IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO2)) {
    if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER2)) return STATUS_UNSUCCESSFUL;
    fixed = offsetof(KS_VIDEOINFOHEADER2, bmiHeader);
    bmi = &reinterpret_cast<PKS_VIDEOINFOHEADER2>(format + 1)->bmiHeader;
  } else {
    return STATUS_UNSUCCESSFUL;
  }
  // Both header kinds start with the two rectangles, which are cleared in the client's format
  // on purpose: the pin delivers whole pictures, whatever part of one the client named.
  vih->rcSource = RECT{0, 0, 0, 0};
  vih->rcTarget = RECT{0, 0, 0, 0};
  ULONG header = fixed + bmi->biSize;
  ULONG whole = header + sizeof(KSDATAFORMAT);
  if (header < fixed || whole < header || whole > format->FormatSize) return STATUS_UNSUCCESSFUL;
  ULONG bits = SubtypeBitCount(format->SubFormat);
  if (bits != 0 && bmi->biBitCount != bits) return STATUS_UNSUCCESSFUL;
  ULONG width = static_cast<ULONG>(bmi->biWidth);
  ULONG height = Magnitude(bmi->biHeight);
  ULONG bytes = static_cast<ULONG>(bmi->biBitCount) / 8;
  ULONG area = width * height;
  if (height != 0 && area / height != width) return STATUS_UNSUCCESSFUL;
  ULONG image = area * bytes;
  if (bytes != 0 && image / bytes != area) return STATUS_UNSUCCESSFUL;
  if (bmi->biSizeImage < image) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  auto *stream = static_cast<CChannelStream *>(pin->Context);
  if (stream == nullptr) return STATUS_INVALID_DEVICE_STATE;
  // The card stays what it is through the walk; a transition waits for it, or it for one.
  CCaptureDevice *d = PinDevice(pin);
  EnterDevice(d, true);
  NTSTATUS status = stream->SetState(to, from);
  LeaveDevice(d);
  return status;
}

NTSTATUS NTAPI VideoPinProcess(PKSPIN pin) {
  auto *stream = static_cast<CVideoStream *>(pin->Context);
  if (stream == nullptr) return STATUS_PENDING;
  // The field buffers and BUFFER_STATUS are there only while the card is; during a
  // transition the call does nothing (the next field asks again).
  CCaptureDevice *d = stream->device;
  if (!EnterDevice(d, false)) return STATUS_PENDING;
  NTSTATUS status = HardwareUsable(d) ? stream->ProcessVideoFrame() : STATUS_PENDING;
  LeaveDevice(d);
  return status;
}

// ------------------------------------------------------------------ CVideoStream

CVideoStream::CVideoStream(PKSPIN p, CCaptureDevice *d) : pin(p), device(d) {
  framePending = 0;
  runState = RunState::Stopped;
  clockHeld = 0;
  absentSince = 0;
  currentFrame = nullptr;
  referenceClock = nullptr;
  formatSnapshot = nullptr;
  fieldMissed = false;
  restartFrame = 0;
  KeInitializeSpinLock(&stateLock);
}

void NTAPI CVideoStream::Free(PVOID p) {
  static_cast<CVideoStream *>(p)->~CVideoStream();
  ExFreePoolWithTag(p, kTagDevice);
}

BOOLEAN CVideoStream::AlwaysTrue() { return TRUE; }

void CVideoStream::OnInterrupt(ULONG, ULONG, ULONG status04) {
  // The DPC holds busLock: runState, fieldASinceStart and fieldMissed are its own here.
  if (runState != RunState::Running) {
    // While paused the card goes on: nothing counts, but what the held frame has is now
    // of an earlier input frame than whatever field comes next.
    if (runState == RunState::PausedAfterRunning) fieldMissed = true;
    return;
  }
  if (fieldMissed) {
    fieldMissed = false;
    fieldASinceStart = false;
    InterlockedExchange(&restartFrame, 1);
  }
  // Every frame the card completes counts, whether or not a client frame takes it; a
  // field B before any field A ends a frame that started before the channel did (or
  // while the pin was paused).
  ULONG c = channel();
  if ((status04 >> (24 + c)) & 1) {
    if (fieldASinceStart) InterlockedIncrement(reinterpret_cast<volatile LONG *>(&pictureNumber));
  } else {
    fieldASinceStart = true;
  }
  InterlockedExchange(&framePending, 1);
  KsPinAttemptProcessing(pin, TRUE);
}

NTSTATUS CVideoStream::StartHardware() { return Start(true); }

// The format was taken at creation; a start from a transition keeps that snapshot.
NTSTATUS CVideoStream::StartDeferred() { return Start(false); }

NTSTATUS CVideoStream::Start(bool snapshot) {
  // A process call of the run before may still be under way on a worker thread: what it
  // works with is reset under the pin's processing mutex.
  KsPinAcquireProcessingMutex(pin);
  if (snapshot) SnapshotVideoFormat(this);
  // A frame still held from before a pause-to-acquire goes back unfinished.
  if (currentFrame != nullptr) KsStreamPointerUnlock(currentFrame, FALSE);
  currentFrame = nullptr;
  fieldsSeen = 0;
  delivered = 0;
  KsPinReleaseProcessingMutex(pin);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&device->busLock);
  AtomicWrite(&pictureNumber, 0);
  fieldASinceStart = false;
  fieldMissed = false;
  InterlockedExchange(&restartFrame, 0);
  KeReleaseSpinLock(&device->busLock, old);
  (void)ReadChannelStatus(device, channel());
  HardwareWork work = {device, ChannelMaskBit(channelId)};
  SynchronizeWithInterrupt(device, EnableVideoChannel, &work);
  return STATUS_SUCCESS;
}

void CVideoStream::ProgramChannel() { ProgramVideoChannel(this); }

void CVideoStream::CardAway(LONGLONG since) {
  if (runState == RunState::Running && absentSince == 0) absentSince = since;
}

NTSTATUS CVideoStream::ResumeHardware() {
  // The half-filled frame keeps its place: the card starts again with a top field.
  KsPinAcquireProcessingMutex(pin);
  fieldsSeen = 0;
  KsPinReleaseProcessingMutex(pin);
  // Frame times the pin ran through without the card are pictures it missed.
  ULONG missed = 0;
  if (absentSince != 0 && runState == RunState::Running && formatSnapshot != nullptr &&
      formatSnapshot->AvgTimePerFrame > 0) {
    LARGE_INTEGER frequency;
    LONGLONG now = KeQueryPerformanceCounter(&frequency).QuadPart;
    if (now > absentSince && frequency.QuadPart > 0) {
      ULONGLONG ticks = static_cast<ULONGLONG>(now - absentSince);
      ULONGLONG f = static_cast<ULONGLONG>(frequency.QuadPart);
      ULONGLONG away = ticks / f * 10000000 + ticks % f * 10000000 / f;  // 100 ns
      ULONGLONG frames = away / static_cast<ULONGLONG>(formatSnapshot->AvgTimePerFrame);
      missed = frames > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<ULONG>(frames);
    }
  }
  absentSince = 0;
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&device->busLock);
  InterlockedExchangeAdd(reinterpret_cast<volatile LONG *>(&pictureNumber),
                         static_cast<LONG>(missed));
  fieldASinceStart = false;
  // Fields a pause let by before the card went are no reason to restart the frame again.
  fieldMissed = false;
  InterlockedExchange(&restartFrame, 0);
  KeReleaseSpinLock(&device->busLock, old);
  (void)ReadChannelStatus(device, channel());
  HardwareWork work = {device, ChannelMaskBit(channelId)};
  SynchronizeWithInterrupt(device, EnableVideoChannel, &work);
  return STATUS_SUCCESS;
}

NTSTATUS CVideoStream::StopHardware(ULONG) {
  HardwareWork work = {device, ChannelMaskBit(channelId)};
  SynchronizeWithInterrupt(device, DisableVideoChannel, &work);
  return STATUS_SUCCESS;
}

NTSTATUS CVideoStream::SetState(KSSTATE to, KSSTATE from) { return WalkRunState(*this, to, from); }

void CVideoStream::ReleaseOnStop() {
  // A process call on a worker thread may be filling the held frame and stamping it with
  // the clock: both go back only once it is over.
  KsPinAcquireProcessingMutex(pin);
  // A half-filled frame goes back to the host unfinished, so it can cancel it.
  if (currentFrame != nullptr) {
    KsStreamPointerUnlock(currentFrame, FALSE);
    currentFrame = nullptr;
    fieldsSeen = 0;
  }
  ReleaseReferenceClock(*this);
  KsPinReleaseProcessingMutex(pin);
}

void CVideoStream::CopyField(PUCHAR destination, const UCHAR *source, ULONG firstLine,
                             ULONG lineStep, ULONG pitch, ULONG copyLength, ULONG totalLines,
                             bool bottomUp, bool twice) const {
  // Each field line goes to its frame line, and to the next one too when doubled (read
  // once, written twice while it is in the cache).
  for (ULONG k = 0; k < linesA; ++k) {
    const UCHAR *from = source + static_cast<SIZE_T>(k) * copyLength;
    for (ULONG copy = 0; copy < (twice ? 2u : 1u); ++copy) {
      ULONG line = firstLine + k * lineStep + copy;
      ULONG row = bottomUp ? totalLines - 1 - line : line;
      CopyToFrame(destination + static_cast<SIZE_T>(row) * pitch, from, copyLength);
    }
  }
  FinishFrameStores();
}

void CVideoStream::EjectCurrent(ULONG dataUsed, bool setDataUsed) {
  if (setDataUsed) currentFrame->StreamHeader->DataUsed = dataUsed;
  KsStreamPointerUnlock(currentFrame, TRUE);
  currentFrame = nullptr;
  fieldsSeen = 0;
}

NTSTATUS CVideoStream::ProcessVideoFrame() {
  ULONG c = channel();
  // The status is read on every call, before the pending flag is looked at.
  ULONG status = ReadRegister(device, BUFFER_STATUS) & 0xFF0000FF;
  ULONG fieldB = (status >> (24 + c)) & 1;
  ULONG bank = (status >> c) & 1;
  // The DPC on another processor may set it again at any moment: taken whole.
  if (InterlockedExchange(&framePending, 0) == 0) return STATUS_PENDING;
  if (InterlockedExchange(&restartFrame, 0) != 0) {
    // Fields went by while paused: the held frame is not finished with a later one's.
    fieldsSeen = 0;
  }

  if (currentFrame == nullptr) {
    currentFrame = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    fieldsSeen = 0;
    if (currentFrame == nullptr) return STATUS_PENDING;
  }

  const KS_BITMAPINFOHEADER &bmi = formatSnapshot->bmiHeader;
  ULONG fields = fieldsPerFrame;
  ULONG lines = linesA;
  ULONG copyLength = bytesPerLineA;
  PKSSTREAM_HEADER header = currentFrame->StreamHeader;
  ULONG available = currentFrame->OffsetOut.Count;
  if (available == 0 || lines == 0) {
    EjectCurrent(0, false);
    return STATUS_SUCCESS;
  }
  // Lines sit at the image's own stride whatever the frame's size; a frame too small for
  // the image is handed back empty rather than overrun.
  ULONG totalLines = fields * lines;
  ULONG pitch = ImageStride(bmi);
  ULONG imageBytes = pitch * totalLines;
  if (available < imageBytes) {
    EjectCurrent(0, true);
    return STATUS_SUCCESS;
  }
  PUCHAR destination = currentFrame->OffsetOut.Data;
  const UCHAR *source = static_cast<const UCHAR *>(device->videoBuffers[c][2 * fieldB + bank]);
  bool bottomUp = bmi.biHeight > 0 && IsRgb(pin->ConnectionFormat->SubFormat);
  bool doubled = fields == 2 && device->intmode[c] == 2;

  if (!fieldB || fieldsSeen == 0) {
    ++fieldsSeen;
    // A line-doubled frame is built from field B alone: field A only counts.
    if (fields == 2 && !doubled)
      CopyField(destination, source, 0, 2, pitch, copyLength, totalLines, bottomUp, false);
    return STATUS_SUCCESS;
  }

  ULONG start = fields == 1 ? 0 : 1;
  CopyField(destination, source, doubled ? start - 1 : start, fields, pitch, copyLength, totalLines,
            bottomUp, doubled);
  ++delivered;
  // Frames the card completed that no client frame took are reported as dropped.
  ULONG pictures = AtomicRead(&pictureNumber);
  ULONG dropped = pictures > delivered ? pictures - delivered : 0;

  if (header->Size >= kStreamHeaderSize) {
    auto *info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
    if (info->ExtendedHeaderSize == sizeof(KS_FRAME_INFO)) {
      info->dwFrameFlags = 0;
      info->DropCount = dropped;
      info->PictureNumber = pictures;
    }
  }
  header->Duration = formatSnapshot->AvgTimePerFrame;
  header->DataUsed = imageBytes;
  if (!IsEqualGUID(*pin->Descriptor->PinDescriptor.Name, PINNAME_VIDEO_PREVIEW) &&
      referenceClock != nullptr) {
    header->PresentationTime.Time = referenceClock->GetTime();
    header->OptionsFlags =
        KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
  } else {
    header->PresentationTime.Time = 0;
  }
  EjectCurrent(0, false);
  return STATUS_SUCCESS;
}
