// Card and decoder initialisation, standard detection and the per-channel video
// programming done at pin creation.
#include "decoder/decoder.h"
#include "video/formats.h"

namespace {

void InitializeExternalDecoder(CCaptureDevice *d);

// Store, barrier, and (optionally) one read of the same register.
void Put(CCaptureDevice *d, ULONG offset, ULONG value, bool readBack = true) {
  WriteRegisterAndFlush(d, offset, value, readBack ? 1 : 0);
}

void PutChannel(CCaptureDevice *d, ULONG c, ULONG n, ULONG value) {
  DecoderWrite(d, ChannelBank(c), ChannelRegister(c, n), value);
}

// Reads one 32-bit setting of the card's device key. Only data of at most four bytes
// fits the buffer; anything else counts as missing.
bool QuerySetting(HANDLE key, const WCHAR *format, ULONG channel, ULONG *value) {
  WCHAR name[39];
  if (!NT_SUCCESS(RtlStringCchPrintfW(name, RTL_NUMBER_OF(name), format, channel))) return false;
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, name);
  ULONG buffer[4];  // 16 bytes, aligned for the header
  RtlZeroMemory(buffer, sizeof(buffer));
  ULONG resultLength = 0;
  NTSTATUS status = ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer,
                                    sizeof(buffer), &resultLength);
  if (!NT_SUCCESS(status)) return false;
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  ULONG v = 0;
  RtlCopyMemory(&v, info->Data, sizeof(v));
  *value = v;
  return true;
}

bool OpenDeviceKey(CCaptureDevice *d, HANDLE *key) {
  return NT_SUCCESS(IoOpenDeviceRegistryKey(d->ksDevice->PhysicalDeviceObject,
                                            PLUGPLAY_REGKEY_DEVICE, KEY_READ | KEY_WRITE, key));
}

// The scaler of a channel sits on the external decoder for bank 1 of the 0x6864 board.
ULONG Scaler(const CCaptureDevice *d, ULONG c, ULONG i) {
  return ScalerRegister(c, i, ChannelBank(c) != 0 && d->isDevice6864);
}

}  // namespace

FieldSplit SplitFields(const CCaptureDevice *d, ULONG channel, LONG height) {
  ULONG lines = height < 0 ? 0u - static_cast<ULONG>(height) : static_cast<ULONG>(height);
  ULONG limit =
      channel < kVideoChannels && Is625LineStandard(d->channelVideo[channel].videoStandard) ? 288
                                                                                            : 240;
  if (lines > limit) return {2, lines / 2};
  return {1, lines};
}

void InitializeCard(CCaptureDevice *d) {
  Put(d, CHANNEL_CONTROL, 0);
  Put(d, CHANNEL_ENABLE, 0);
  // What the reset pulse resets is not known, the serial interface may be part of it: on a
  // return to D0 a property request on another processor may be in the middle of a bus
  // transaction, which holds busLock.
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->busLock);
  // The card's bring-up: the reset pulses twice, with waits and then without, and the
  // bank-0 set-up goes between. Keep the order and the waits.
  Put(d, RESET_CONTROL, 0x1, false);
  DelayNanoseconds(400000);
  (void)ReadRegister(d, RESET_CONTROL);
  Put(d, RESET_CONTROL, 0xF, false);
  DelayNanoseconds(400000);
  (void)ReadRegister(d, RESET_CONTROL);
  Put(d, DecoderRegisterOffset(0, DECODER_SETUP_80), 0x3F);
  Put(d, RESET_CONTROL, 0x1);
  Put(d, RESET_CONTROL, 0xF);
  KeReleaseSpinLock(&d->busLock, old);
  Put(d, CHANNEL_CONTROL, 0);
  Put(d, CHANNEL_ENABLE, 0);
  Put(d, CARD_SETUP_34, 0x3EFE0FF0);
  Put(d, CARD_SETUP_30, 0x0004C4B6);
  Put(d, CARD_SETUP_2C, 0x00FF0004, false);
  ULONG mapped = d->isDevice6864 ? 4 : 8;  // the external decoder is set up on its own
  for (ULONG c = 0; c < mapped; ++c) PutChannel(d, c, DECODER_MODE, 0x14);
  for (ULONG c = 0; c < mapped; ++c) PutChannel(d, c, DECODER_DELAY, 0x0E);
  DecoderWrite(d, 0, DECODER_SETUP_96, 0xE7);
  if (d->isDevice6864) {
    InitializeExternalDecoder(d);
  } else {
    DecoderWrite(d, 1, DECODER_SETUP_96, 0xE7);
    Put(d, BOARD_SETUP, 2, false);
  }
  (void)ReadRegister(d, CHANNEL_ROUTING);
  Put(d, CHANNEL_ROUTING, 0x144D);
}

namespace {

void InitializeExternalDecoder(CCaptureDevice *d) {
  ULONG v = ReadRegister(d, DECODER_RESET) & 0x7FFF;
  Put(d, DECODER_RESET, v, false);
  LARGE_INTEGER interval;
  interval.QuadPart = -1000000;  // 100 ms
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
  Put(d, DECODER_RESET, v | 0x8002, false);
  // The idle state is driven between transactions only (busLock).
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&d->busLock);
  Put(d, SERIAL_IF, (ReadRegister(d, SERIAL_IF) & ~0x30000u) | 0x3);  // bus idle
  KeReleaseSpinLock(&d->busLock, old);

  static const UCHAR kSetup[][2] = {
      {0x9E, 0x73}, {0xCF, 0x80}, {0xDB, 0xC0}, {0xD0, 0x88}, {0xD1, 0x88}, {0xD2, 0x01},
      {0xD7, 0x32}, {0xCA, 0xAA}, {0xFA, 0x4A}, {0x6A, 0x0F}, {0x6B, 0x0F}, {0x6C, 0x0F},
      {0x60, 0x45}, {0x4B, 0x30}, {0x08, 0x14}, {0x18, 0x14}, {0x28, 0x14}, {0x38, 0x14},
      {0x0A, 0x0E}, {0x1A, 0x0E}, {0x2A, 0x0E}, {0x3A, 0x0E}, {0x02, 0x64}, {0x12, 0x64},
      {0x22, 0x64}, {0x32, 0x64}, {0x96, 0xE7}};
  // The external decoder's set-up, in its order; 0x61 and 0xFA are read back (and the
  // values dropped) right after their writes, as the decoder's sequence has it.
  BusWriteRegister(d, 0x61, 0x02);
  (void)BusReadRegister(d, 0x61);
  for (const auto &w : kSetup) {
    BusWriteRegister(d, w[0], w[1]);
    if (w[0] == 0xFA) (void)BusReadRegister(d, 0xFA);
  }

  // Bank 0's mode registers of its four channels and of the four blocks after them (which
  // serve no channel; the sequence writes them all the same), its delays, and a check read
  // of channels 0 and 1.
  for (ULONG block = 0; block < 8; ++block)
    Put(d, DecoderRegisterOffset(0, 0x10 * block + DECODER_MODE), 0x14, false);
  for (ULONG c = 0; c < 4; ++c)
    Put(d, DecoderRegisterOffset(0, ChannelRegister(c, DECODER_DELAY)), 0x0E, false);
  for (ULONG c = 0; c < 2; ++c) {
    (void)ReadRegister(d, DecoderRegisterOffset(0, ChannelRegister(c, DECODER_MODE)));
    (void)ReadRegister(d, DecoderRegisterOffset(0, ChannelRegister(c, DECODER_DELAY)));
  }
}

}  // namespace

ULONG ReadChannelStatus(CCaptureDevice *d, ULONG channel) {
  return DecoderRead(d, ChannelBank(channel), ChannelRegister(channel, DECODER_STATUS));
}

void DetectChannelStandard(CCaptureDevice *d, ULONG channel) {
  if (channel >= kVideoChannels) return;
  if (ReadChannelStatus(d, channel) & 1) {
    d->channelVideo[channel].videoStandard = KS_AnalogVideo_PAL_B;
    UseChannelFormats(d, channel, true);
  } else {
    d->channelVideo[channel].videoStandard = KS_AnalogVideo_NTSC_M;
    UseChannelFormats(d, channel, false);
  }
}

void ConfigureChannelVideo(CCaptureDevice *d, ULONG c, ULONG width, ULONG height) {
  ConnectInterrupt(d);
  if (c >= kVideoChannels) return;
  bool is625 = Is625LineStandard(d->channelVideo[c].videoStandard);
  FieldSplit split = SplitFields(d, c, static_cast<LONG>(height));
  ULONG lines = split.linesPerField;
  // Sizes the scaler cannot divide by, or that would spill into the geometry word's
  // lines field, are never programmed (pin creation refuses them first).
  if ((width & 0x7FF) == 0 || width >= 0x10000 || (lines & 0x1FF) == 0 || lines > 0x7FFF) return;

  ULONG r83 = DecoderRead(d, 0, DECODER_SETUP_83);
  DecoderWrite(d, 0, DECODER_SETUP_83, r83 | 0x2);
  DecoderWrite(d, 0, DECODER_SETUP_96, 0xE7);
  DecoderWrite(d, 1, DECODER_SETUP_96, 0xE7);

  ULONG geometry = 0x80000000 | ((lines & 0x7FFF) << 16) | width;
  // 0x104 is written twice: the card's geometry sequence.
  Put(d, CAPTURE_GEOMETRY, geometry, false);
  Put(d, CAPTURE_GEOMETRY, geometry, false);
  Put(d, CaptureGeometryRegister(c), geometry, false);
  // Scale factors in 8.8 fixed point, source over target: 0x2D000 is 720 pixels, 0xF000 and
  // 0x12000 are 240 and 288 lines.
  ULONG hscale = 0x2D000 / (width & 0x7FF);

  // A setting that cannot be read, key and all, takes its default.
  HANDLE key;
  d->hdelay[c] = is625 ? 10 : 15;
  if (OpenDeviceKey(d, &key)) {
    ULONG value;
    if (QuerySetting(key, KTEXT("HDELAY%d"), c, &value)) d->hdelay[c] = value;
    ZwClose(key);
  }

  ULONG h = lines & 0x1FF;
  ULONG vscale = (is625 ? 0x12000 : 0xF000) / h;
  PutChannel(d, c, DECODER_MODE, is625 ? 0x18 : 0x14);
  PutChannel(d, c, DECODER_DELAY, d->hdelay[c]);

  const ULONG scaler[3] = {vscale & 0xFF, ((vscale >> 8) & 0xF) << 4 | ((hscale >> 8) & 0xF),
                           hscale & 0xFF};
  // Each scaler register is read back after its write (value dropped), over the bus too.
  for (ULONG i = 0; i < 3; ++i) {
    DecoderWrite(d, ChannelBank(c), Scaler(d, c, i), scaler[i]);
    (void)DecoderRead(d, ChannelBank(c), Scaler(d, c, i));
  }

  d->intmode[c] = 0;
  if (!OpenDeviceKey(d, &key)) return;
  ULONG mode;
  if (QuerySetting(key, KTEXT("INTMODE%d"), c, &mode)) d->intmode[c] = mode;
  ZwClose(key);
}

void ProgramFrameRate(CCaptureDevice *d, ULONG c, LONGLONG frameInterval) {
  if (c >= kVideoChannels || frameInterval <= 0) return;
  bool is525 = (ReadChannelStatus(d, c) & 1) == 0;
  // Rounded, not truncated: 29.97 frames per second (333,667) keeps every frame.
  LONG fps = static_cast<LONG>((10000000 + frameInterval / 2) / frameInterval);
  ULONG p = FrameKeepPattern(fps, is525);
  // An empty pattern would deliver nothing, ever: the slowest rates keep one frame in 15.
  if (p == 0) p = FrameKeepPattern(is525 ? 2 : 1, is525);
  // The pattern and its copy one bit up: the card looks one bit higher for each frame on a
  // 625-line input, so the pattern holds whichever standard the input turns out to carry.
  Put(d, FrameKeepRegister(c), p | (p << 1) | 0x80000000, false);
  ULONG control = ReadRegister(d, ChannelControlRegister(c));
  Put(d, ChannelControlRegister(c), control & 0xCFFFFFFF);
}

ULONG FrameKeepPattern(LONG fps, bool is525) {
  static const ULONG k525[] = {0x00000000, 0x00000001, 0x00004001, 0x00104001, 0x00404041,
                               0x01041041, 0x01104411, 0x01111111, 0x04444445, 0x04511445,
                               0x05145145, 0x05151515, 0x05515455, 0x05551555, 0x05555555};
  // 625-line patterns by frames per second 0-24.
  static const ULONG k625[] = {0x00000000, 0x00000002, 0x00000002, 0x00008002, 0x00200802,
                               0x00200802, 0x00808082, 0x00808082, 0x02082082, 0x02082082,
                               0x02208822, 0x02222222, 0x02222222, 0x0888888A, 0x0888888A,
                               0x08A2288A, 0x0A28A28A, 0x0A28A28A, 0x0A2A2A2A, 0x0A2A2A2A,
                               0x0AA2A8AA, 0x0AAA2AAA, 0x0AAA2AAA, 0x0AAAAAAA, 0x0AAAAAAA};
  if (fps < 0) return 0x15555555;
  if (is525) return fps < 30 ? k525[fps / 2] : 0x15555555;
  return fps < 25 ? k625[fps] : 0x15555555;
}
