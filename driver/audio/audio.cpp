// The audio capture pin: its six ranges and intersection, creation programming the
// channel's blocks and sample clock, and the stream object that delivers the blocks.
#include "audio/audio.h"

#include "video/stream.h"

NTSTATUS NTAPI AudioIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                                     PKSDATARANGE matchingDataRange, ULONG dataBufferSize,
                                     PVOID data, PULONG dataSize);
NTSTATUS NTAPI AudioPinClose(PKSPIN pin, PIRP irp);

namespace {

constexpr ULONG kBlockSize = 4096;
constexpr ULONG kStreamHeaderSize = 128;
constexpr ULONGLONG kSampleClockNumerator = 8192000000000ull;  // 125 MHz x 65536

// {BA1184B9-1FE6-488A-AE78-6E997B02CAEA}: the audio capture pin's name.
const GUID kAudioPinName = {
    0xBA1184B9, 0x1FE6, 0x488A, {0xAE, 0x78, 0x6E, 0x99, 0x7B, 0x02, 0xCA, 0xEA}};

constexpr KSDATARANGE_AUDIO AudioRange(ULONG rate) {
  return KSDATARANGE_AUDIO{{{sizeof(KSDATARANGE_AUDIO),
                             0,
                             0,
                             0,
                             {STATICGUIDOF(KSDATAFORMAT_TYPE_AUDIO)},
                             {STATICGUIDOF(KSDATAFORMAT_SUBTYPE_PCM)},
                             {STATICGUIDOF(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)}}},
                           1,
                           16,
                           16,
                           rate,
                           rate};
}

#define MORVANE_AUDIO_RANGE(i) const_cast<PKSDATARANGE>(&kAudioRanges[i].DataRange)
const PKSDATARANGE kAudioRangeList[6] = {MORVANE_AUDIO_RANGE(0), MORVANE_AUDIO_RANGE(1),
                                         MORVANE_AUDIO_RANGE(2), MORVANE_AUDIO_RANGE(3),
                                         MORVANE_AUDIO_RANGE(4), MORVANE_AUDIO_RANGE(5)};
#undef MORVANE_AUDIO_RANGE

// Makes the pin's descriptor and framing private copies and sizes its frames.
NTSTATUS EditFraming(PKSPIN pin, ULONG tag, ULONG frames) {
  NTSTATUS status = _KsEdit(
      pin->Bag, reinterpret_cast<PVOID *>(const_cast<PKSPIN_DESCRIPTOR_EX *>(&pin->Descriptor)),
      sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), tag);
  if (!NT_SUCCESS(status)) return status;
  auto *descriptor = const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor);
  status = _KsEdit(pin->Bag,
                   reinterpret_cast<PVOID *>(
                       const_cast<PKSALLOCATOR_FRAMING_EX *>(&descriptor->AllocatorFraming)),
                   sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), tag);
  if (!NT_SUCCESS(status)) return status;
  KS_FRAMING_ITEM &item =
      const_cast<PKSALLOCATOR_FRAMING_EX>(descriptor->AllocatorFraming)->FramingItem[0];
  item.Frames = frames;
  item.PhysicalRange.MinFrameSize = item.PhysicalRange.MaxFrameSize = kBlockSize;
  item.FramingRange.Range.MinFrameSize = item.FramingRange.Range.MaxFrameSize = kBlockSize;
  item.PhysicalRange.Stepping = item.FramingRange.Range.Stepping = 0;
  return STATUS_SUCCESS;
}

void FillFormat(PVOID data, const KSDATARANGE_AUDIO *ours, ULONG channels, ULONG rate, ULONG bits) {
  auto *out = static_cast<PKSDATAFORMAT_WAVEFORMATEX>(data);
  RtlCopyMemory(&out->DataFormat, &ours->DataRange, sizeof(KSDATAFORMAT));
  out->DataFormat.FormatSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
  WAVEFORMATEX wfx;
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = static_cast<WORD>(channels);
  wfx.nSamplesPerSec = rate;
  wfx.wBitsPerSample = static_cast<WORD>(bits);
  wfx.nBlockAlign = static_cast<WORD>(bits * channels / 8);
  wfx.nAvgBytesPerSec = wfx.nBlockAlign * rate;
  wfx.cbSize = 0;
  RtlCopyMemory(&out->WaveFormatEx, &wfx, sizeof(wfx));
  out->DataFormat.SampleSize = wfx.nBlockAlign;
}

ULONG Min(ULONG a, ULONG b) { return a < b ? a : b; }

// Creation proper; the caller has claimed the channel's bit in openPinMask.
NTSTATUS CreateAudioStream(PKSPIN pin, CCaptureDevice *d, ULONG c) {
  auto *memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CAudioStream), kTagDevice);
  if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(memory, sizeof(CAudioStream));
  auto *stream = new (memory) CAudioStream(pin, d);
  NTSTATUS status = KsAddItemToObjectBag(pin->Bag, stream, CAudioStream::Free);
  if (!NT_SUCCESS(status)) {
    CAudioStream::Free(stream);
    return status;
  }
  pin->Context = stream;
  status = EditFraming(pin, kTagPrivateCopy, 8);
  if (!NT_SUCCESS(status)) return status;
  stream->channelId = 8 + c;
  ProgramAudioChannel(stream, pin);
  // A pin that could never hear of a block is refused rather than left silent.
  if (InterlockedCompareExchange(&d->interruptConnection, kInterruptConnected,
                                 kInterruptConnected) != kInterruptConnected)
    return STATUS_INSUFFICIENT_RESOURCES;
  SetStreamForChannel(d, stream->channelId, stream);
  pin->StreamHeaderSize = kStreamHeaderSize;
  return STATUS_SUCCESS;
}

NTSTATUS AudioPinCreate(PKSPIN pin, PIRP, ULONG c) {
  CCaptureDevice *d = PinDevice(pin);
  // Creation programs the card: not while it is away, nor while a transition changes it.
  EnterDevice(d, true);
  if (!HardwareUsable(d)) {
    NTSTATUS status = HardwareUnavailableStatus(d);
    LeaveDevice(d);
    return status;
  }
  // One audio pin per channel across all instances of the channel's filter, which create
  // at once: the bit is claimed whole, and given back if the creation fails.
  ULONG bit = 1u << (8 + c);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (!(InterlockedOr(reinterpret_cast<volatile LONG *>(&d->openPinMask), static_cast<LONG>(bit)) &
        static_cast<LONG>(bit))) {
    status = CreateAudioStream(pin, d, c);
    if (!NT_SUCCESS(status)) AtomicClearBits(&d->openPinMask, bit);
  }
  LeaveDevice(d);
  return status;
}

template <ULONG C>
NTSTATUS NTAPI AudioPinCreateFor(PKSPIN pin, PIRP irp) {
  return AudioPinCreate(pin, irp, C);
}

#define MORVANE_AUDIO_DISPATCH(c)                                                         \
  {                                                                                       \
    AudioPinCreateFor<c>, AudioPinClose, AudioPinProcess, nullptr, AudioPinSetDataFormat, \
        PinSetDeviceState, nullptr, nullptr, nullptr, nullptr                             \
  }
const KSPIN_DISPATCH kAudioDispatch[kVideoChannels] = {
    MORVANE_AUDIO_DISPATCH(0), MORVANE_AUDIO_DISPATCH(1), MORVANE_AUDIO_DISPATCH(2),
    MORVANE_AUDIO_DISPATCH(3), MORVANE_AUDIO_DISPATCH(4), MORVANE_AUDIO_DISPATCH(5),
    MORVANE_AUDIO_DISPATCH(6), MORVANE_AUDIO_DISPATCH(7)};
#undef MORVANE_AUDIO_DISPATCH

BOOLEAN NTAPI EnableAudioChannel(PVOID context) {
  auto *w = static_cast<HardwareWork *>(context);
  CCaptureDevice *d = w->device;
  d->runningMask |= w->bit;
  d->enabledMask |= w->bit;
  WriteRegisterAndFlush(d, CHANNEL_ENABLE, ReadRegister(d, CHANNEL_ENABLE) | w->bit, 1);
  WriteRegisterAndFlush(d, CHANNEL_CONTROL,
                        ReadRegister(d, CHANNEL_CONTROL) | w->bit | kMasterEnable, 1);
  return TRUE;
}

BOOLEAN NTAPI DisableAudioChannel(PVOID context) {
  auto *w = static_cast<HardwareWork *>(context);
  CCaptureDevice *d = w->device;
  d->runningMask &= ~w->bit;
  d->enabledMask &= ~w->bit;
  WriteRegisterAndFlush(d, CHANNEL_ENABLE, ReadRegister(d, CHANNEL_ENABLE) & ~w->bit, 1);
  WriteRegisterAndFlush(d, CHANNEL_CONTROL, ReadRegister(d, CHANNEL_CONTROL) & ~w->bit, 1);
  return TRUE;
}

}  // namespace

const KSDATARANGE_AUDIO kAudioRanges[6] = {AudioRange(8000),  AudioRange(48000), AudioRange(44100),
                                           AudioRange(32000), AudioRange(24000), AudioRange(16000)};

const KSALLOCATOR_FRAMING_EX kAudioFraming = {
    1,
    0,
    {1, 1, 0},
    0,
    {{{STATICGUIDOF(KSMEMORY_TYPE_KERNEL_NONPAGED)},
      {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
      0,
      0,
      KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
      25,
      0,
      0,
      {0, 0xFFFFFFFF, 1},
      {{8192, 8192, 1}, 0, 0}}}};

#define MORVANE_AUDIO_PIN(c)                                                           \
  {                                                                                    \
    &kAudioDispatch[c], nullptr,                                                       \
        {0,                                                                            \
         nullptr,                                                                      \
         0,                                                                            \
         nullptr,                                                                      \
         6,                                                                            \
         kAudioRangeList,                                                              \
         KSPIN_DATAFLOW_OUT,                                                           \
         KSPIN_COMMUNICATION_BOTH,                                                     \
         &KSCATEGORY_AUDIO,                                                            \
         &kAudioPinName,                                                               \
         {0}},                                                                         \
        KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY | \
            KSPIN_FLAG_FIXED_FORMAT,                                                   \
        1, 0, &kAudioFraming, AudioIntersectHandler                                    \
  }
const KSPIN_DESCRIPTOR_EX kAudioPinDescriptors[kVideoChannels] = {
    MORVANE_AUDIO_PIN(0), MORVANE_AUDIO_PIN(1), MORVANE_AUDIO_PIN(2), MORVANE_AUDIO_PIN(3),
    MORVANE_AUDIO_PIN(4), MORVANE_AUDIO_PIN(5), MORVANE_AUDIO_PIN(6), MORVANE_AUDIO_PIN(7)};
#undef MORVANE_AUDIO_PIN

NTSTATUS NTAPI AudioIntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE dataRange,
                                     PKSDATARANGE matchingDataRange, ULONG dataBufferSize,
                                     PVOID data, PULONG dataSize) {
  if (context == nullptr || irp == nullptr || pin == nullptr || dataRange == nullptr ||
      matchingDataRange == nullptr || dataSize == nullptr)
    return STATUS_UNSUCCESSFUL;
  auto *ours = reinterpret_cast<const KSDATARANGE_AUDIO *>(matchingDataRange);
  if (IsEqualGUID(dataRange->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) &&
      dataRange->FormatSize >= sizeof(KSDATARANGE_AUDIO)) {
    auto *client = reinterpret_cast<const KSDATARANGE_AUDIO *>(dataRange);
    if (client->MaximumChannels < ours->MaximumChannels ||
        client->MaximumSampleFrequency < ours->MinimumSampleFrequency ||
        client->MinimumSampleFrequency > ours->MaximumSampleFrequency ||
        client->MaximumBitsPerSample < ours->MinimumBitsPerSample ||
        client->MinimumBitsPerSample > ours->MaximumBitsPerSample)
      return STATUS_NO_MATCH;
    *dataSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
    if (dataBufferSize == 0) return STATUS_BUFFER_OVERFLOW;
    if (dataBufferSize < sizeof(KSDATAFORMAT_WAVEFORMATEX) || data == nullptr)
      return STATUS_BUFFER_TOO_SMALL;
    FillFormat(data, ours, Min(client->MaximumChannels, ours->MaximumChannels),
               Min(client->MaximumSampleFrequency, ours->MaximumSampleFrequency),
               Min(client->MaximumBitsPerSample, ours->MaximumBitsPerSample));
    return STATUS_SUCCESS;
  }
  if (IsEqualGUID(dataRange->Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD)) {
    *dataSize = sizeof(KSDATAFORMAT_WAVEFORMATEX);
    if (dataBufferSize == 0) return STATUS_BUFFER_OVERFLOW;
    if (dataBufferSize < sizeof(KSDATAFORMAT_WAVEFORMATEX) || data == nullptr)
      return STATUS_BUFFER_TOO_SMALL;
    FillFormat(data, ours, ours->MaximumChannels, ours->MaximumSampleFrequency,
               ours->MaximumBitsPerSample);
    return STATUS_SUCCESS;
  }
  *dataSize = 0;
  return STATUS_NO_MATCH;
}

NTSTATUS NTAPI AudioPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT, PKSMULTIPLE_ITEM,
                                     const KSDATARANGE *dataRange, const KSATTRIBUTE_LIST *) {
  PKSDATAFORMAT format = pin->ConnectionFormat;
  if (format == nullptr || !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
      format->FormatSize < sizeof(KSDATAFORMAT_WAVEFORMATEX))
    return STATUS_UNSUCCESSFUL;
  if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
  auto *range = reinterpret_cast<const KSDATARANGE_AUDIO *>(dataRange);
  WAVEFORMATEX wfx;
  RtlCopyMemory(&wfx, &reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(format)->WaveFormatEx,
                sizeof(wfx));
  if (range == nullptr || wfx.wFormatTag != WAVE_FORMAT_PCM ||
      wfx.nChannels != range->MaximumChannels ||
      wfx.nSamplesPerSec != range->MaximumSampleFrequency ||
      wfx.wBitsPerSample != range->MaximumBitsPerSample)
    return STATUS_NO_MATCH;
  // Five frames from here on, eight at creation: a format set again asks for fewer.
  if (!NT_SUCCESS(EditFraming(pin, kTagDescriptorCopy, 5))) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI AudioPinClose(PKSPIN pin, PIRP) {
  auto *stream = static_cast<CAudioStream *>(pin->Context);
  // No stream: a creation that failed before it made one; nothing to take out.
  if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  CCaptureDevice *d = stream->device;
  ULONG c = stream->channelId & 7;
  // A transition that programs the streams again must not meet this one going.
  EnterDevice(d, true);
  AtomicClearBits(&d->openPinMask, 1u << (8 + c));
  if (HardwareUsable(d)) stream->StopHardware(~(1u << stream->channelId));
  // No table entry may outlive the stream it points to; the interrupt DPC on another
  // processor may be reading it, so it goes under the DPC's lock.
  ClearStreamForChannel(d, stream->channelId, stream);
  LeaveDevice(d);
  return STATUS_SUCCESS;
}

// Blocks go to the client from the interrupt DPC (CAudioStream::OnInterrupt); the process
// dispatch has nothing to do.
NTSTATUS NTAPI AudioPinProcess(PKSPIN) { return STATUS_PENDING; }

void ProgramAudioChannel(CAudioStream *stream, PKSPIN pin) {
  CCaptureDevice *d = stream->device;
  ULONG c = stream->channelId & 7;
  ConnectInterrupt(d);
  stream->blockA = static_cast<PUCHAR>(d->audioBuffers[2 * c]);
  stream->blockB = static_cast<PUCHAR>(d->audioBuffers[2 * c + 1]);
  stream->blockAddressA = d->audioBufferAddresses[2 * c].LowPart;
  stream->blockAddressB = d->audioBufferAddresses[2 * c + 1].LowPart;
  stream->lastToggle = 1u << (8 + c);
  WriteRegisterAndFlush(d, AudioBlockRegister(c, 0), stream->blockAddressA, 0);
  WriteRegisterAndFlush(d, AudioBlockRegister(c, 1), stream->blockAddressB, 0);
  // The decoder's audio setting, where it is in the register block: not for bank 1 of the
  // 0x6864 board, and no bus write is made for it.
  ULONG setting = DecoderRegisterOffset(ChannelBank(c), DecoderAudioRegister(c));
  if (c < 4)
    WriteRegisterAndFlush(d, setting, 0x20, 1);
  else if (!d->isDevice6864)
    WriteRegisterAndFlush(d, setting, 0x20, 1);
  (void)ReadRegister(d, AUDIO_SAMPLE_CLOCK);  // read before it is set; value unused
  WAVEFORMATEX wfx;
  RtlCopyMemory(&wfx,
                &reinterpret_cast<PKSDATAFORMAT_WAVEFORMATEX>(pin->ConnectionFormat)->WaveFormatEx,
                sizeof(wfx));
  stream->sampleRate = wfx.nSamplesPerSec;
  if (stream->sampleRate != 0)
    WriteRegisterAndFlush(d, AUDIO_SAMPLE_CLOCK,
                          static_cast<ULONG>(kSampleClockNumerator / stream->sampleRate), 0);
  ULONG old = ReadRegister(d, AUDIO_BLOCK_LENGTH);
  stream->blockSize &= 0x1FFF;
  WriteRegisterAndFlush(d, AUDIO_BLOCK_LENGTH, (stream->blockSize << 19) | (old & 0x7FF), 0);
  // Read back and dropped: the end of the card's audio set-up sequence.
  (void)ReadRegister(d, AUDIO_BLOCK_LENGTH);
  (void)ReadRegister(d, AUDIO_SAMPLE_CLOCK);
  (void)ReadRegister(d, AUDIO_STATUS);
}

// ------------------------------------------------------------------ CAudioStream

CAudioStream::CAudioStream(PKSPIN p, CCaptureDevice *d) : pin(p), device(d) {
  blockSize = kBlockSize;
  absentSince = 0;
  runState = RunState::Stopped;
  referenceClock = nullptr;
  clockHeld = FALSE;
}

void NTAPI CAudioStream::Free(PVOID p) {
  static_cast<CAudioStream *>(p)->~CAudioStream();
  ExFreePoolWithTag(p, kTagDevice);
}

BOOLEAN CAudioStream::AlwaysTrue() { return TRUE; }

NTSTATUS CAudioStream::StartHardware() {
  // Read and dropped: the card's audio start sequence reads its set-up registers first.
  (void)ReadRegister(device, CARD_SETUP_2C);
  (void)ReadRegister(device, CARD_SETUP_34);
  (void)ReadRegister(device, CARD_SETUP_30);
  HardwareWork work = {device, 1u << channelId};
  SynchronizeWithInterrupt(device, EnableAudioChannel, &work);
  return STATUS_SUCCESS;
}

NTSTATUS CAudioStream::ResumeHardware() {
  absentSince = 0;
  // ProgramAudioChannel has set the blocks and the toggle afresh.
  return StartHardware();
}

NTSTATUS CAudioStream::StopHardware(ULONG) {
  HardwareWork work = {device, 1u << channelId};
  SynchronizeWithInterrupt(device, DisableAudioChannel, &work);
  // The DPC on another processor acts on lastToggle under busLock.
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&device->busLock);
  lastToggle = 1u << (8 + (channelId & 7));
  KeReleaseSpinLock(&device->busLock, old);
  return STATUS_SUCCESS;
}

NTSTATUS CAudioStream::SetState(KSSTATE to, KSSTATE from) { return WalkRunState(*this, to, from); }

void CAudioStream::OnInterrupt(ULONG, ULONG, ULONG status04) {
  if (runState != RunState::Running || sampleRate == 0) return;
  ULONG toggle = status04 & (1u << channelId);
  if (toggle == lastToggle) return;
  lastToggle = toggle;
  PKSSTREAM_POINTER frame = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (frame == nullptr) return;  // nothing queued: the block is dropped
  ULONG count = frame->OffsetOut.Count;
  const UCHAR *source = toggle == 0 ? blockA : blockB;
  ULONG n = count <= blockSize ? count : blockSize;
  RtlCopyMemory(frame->OffsetOut.Data, source, n);
  PKSSTREAM_HEADER header = frame->StreamHeader;
  // n bytes of 16-bit mono are n / 2 samples.
  header->Duration = static_cast<LONGLONG>(n) * 10000000 / (2 * static_cast<LONGLONG>(sampleRate));
  header->DataUsed = n;
  // Without a clock the header still carries the block's time base, 100 ns units per byte
  // (80,000,000 / 16 rate = 10,000,000 / 2 rate); with one the stamp replaces it.
  header->PresentationTime.Numerator = 80000000;
  header->PresentationTime.Denominator = sampleRate * 16;
  header->PresentationTime.Time = 0;
  if (referenceClock != nullptr) {
    header->PresentationTime.Time = referenceClock->GetTime();
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  }
  KsStreamPointerAdvanceOffsetsAndUnlock(frame, 0, count, FALSE);
}
