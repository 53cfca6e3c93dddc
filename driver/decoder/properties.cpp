// The property table every filter carries: the picture controls and the decoder's
// standard, capabilities and status, read from and written to the decoder registers.
#include "decoder/decoder.h"
#include "filters/filters.h"
#include "video/formats.h"

NTSTATUS NTAPI VideoPropertySet(PIRP irp, PKSIDENTIFIER property, PVOID data);

namespace {

constexpr NTSTATUS kCustomerBit = 0x20000000;

// One table for the picture controls: the handlers take register, sign and range from
// it, basic support hands out the same range and default. Row i is the control with
// property id i; each row's values point into the row itself.
struct PictureControl {
  ULONG id;
  ULONG reg;  // register n in the channel's block
  bool isSigned;
  KSPROPERTY_STEPPING_LONG range;
  LONG defaultValue;
  KSPROPERTY_MEMBERSLIST members[2];
  KSPROPERTY_VALUES values;
};

#define MORVANE_CONTROL(id, n, sign, low, high, initial)                                        \
  {                                                                                             \
    id, n, sign, {1, 0, {{low, high}}}, initial,                                                \
        {{{KSPROPERTY_MEMBER_RANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0},                   \
          &kControls[id].range},                                                                \
         {{KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT},          \
          &kControls[id].defaultValue}},                                                        \
    {                                                                                           \
      {{{{STATICGUIDOF(KSPROPTYPESETID_General)}, 3 /* VT_I4 */, 0}}}, 2, kControls[id].members \
    }                                                                                           \
  }
const PictureControl kControls[5] = {
    MORVANE_CONTROL(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, DECODER_BRIGHTNESS, true, -128, 127, 0),
    MORVANE_CONTROL(KSPROPERTY_VIDEOPROCAMP_CONTRAST, DECODER_CONTRAST, false, 0, 255, 128),
    MORVANE_CONTROL(KSPROPERTY_VIDEOPROCAMP_HUE, DECODER_HUE, true, -128, 127, 0),
    MORVANE_CONTROL(KSPROPERTY_VIDEOPROCAMP_SATURATION, DECODER_SATURATION, false, 0, 255, 128),
    MORVANE_CONTROL(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, DECODER_SHARPNESS, false, 0, 15, 0),
};
#undef MORVANE_CONTROL

const PictureControl *FindControl(ULONG id) {
  for (const PictureControl &c : kControls)
    if (c.id == id) return &c;
  return nullptr;
}

#define MORVANE_ITEM(id, minProperty, minData, set, values, size)                                \
  {                                                                                              \
    id, {VideoPropertyGet}, minProperty, minData, {set ? VideoPropertySet : nullptr}, values, 0, \
        nullptr, nullptr, size                                                                   \
  }
const KSPROPERTY_ITEM kProcAmpItems[] = {
    MORVANE_ITEM(KSPROPERTY_VIDEOPROCAMP_CONTRAST, 40, 40, true,
                 &kControls[KSPROPERTY_VIDEOPROCAMP_CONTRAST].values, 4),
    MORVANE_ITEM(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 40, 40, true,
                 &kControls[KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS].values, 4),
    MORVANE_ITEM(KSPROPERTY_VIDEOPROCAMP_HUE, 40, 40, true,
                 &kControls[KSPROPERTY_VIDEOPROCAMP_HUE].values, 4),
    MORVANE_ITEM(KSPROPERTY_VIDEOPROCAMP_SATURATION, 40, 40, true,
                 &kControls[KSPROPERTY_VIDEOPROCAMP_SATURATION].values, 4),
    MORVANE_ITEM(KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 40, 40, true,
                 &kControls[KSPROPERTY_VIDEOPROCAMP_SHARPNESS].values, 4),
};
const KSPROPERTY_ITEM kDecoderItems[] = {
    MORVANE_ITEM(KSPROPERTY_VIDEODECODER_CAPS, 40, 40, false, nullptr, 0),
    MORVANE_ITEM(KSPROPERTY_VIDEODECODER_STANDARD, 32, 32, true, nullptr, 0),
    MORVANE_ITEM(KSPROPERTY_VIDEODECODER_STATUS, 32, 32, false, nullptr, 0),
    MORVANE_ITEM(KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE, 32, 32, true, nullptr, 0),
    MORVANE_ITEM(KSPROPERTY_VIDEODECODER_VCR_TIMING, 32, 32, true, nullptr, 0),
};
const KSPROPERTY_ITEM kVideoControlItems[] = {
    MORVANE_ITEM(KSPROPERTY_VIDEOCONTROL_CAPS, 32, 32, true, nullptr, 0),
    MORVANE_ITEM(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE, 56, 56, true, nullptr, 0),
    MORVANE_ITEM(KSPROPERTY_VIDEOCONTROL_FRAME_RATES, 24, 8, true, nullptr, 0),
    MORVANE_ITEM(KSPROPERTY_VIDEOCONTROL_MODE, 32, 32, true, nullptr, 0),
};
const KSPROPERTY_ITEM kConnectionItems[] = {
    MORVANE_ITEM(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, 24, 24, true, nullptr, 0),
};
#undef MORVANE_ITEM

const KSPROPERTY_SET kPropertySets[] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, RTL_NUMBER_OF(kProcAmpItems), kProcAmpItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEODECODER, RTL_NUMBER_OF(kDecoderItems), kDecoderItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCONTROL, RTL_NUMBER_OF(kVideoControlItems), kVideoControlItems, 0,
     nullptr},
    {&KSPROPSETID_Connection, RTL_NUMBER_OF(kConnectionItems), kConnectionItems, 0, nullptr},
};

void WriteControl(CCaptureDevice *d, const PictureControl &control, ULONG c, ULONG value) {
  DecoderWrite(d, ChannelBank(c), ChannelRegister(c, control.reg), value);
  // Saturation is two registers, U and V, kept equal.
  if (control.id == KSPROPERTY_VIDEOPROCAMP_SATURATION)
    DecoderWrite(d, ChannelBank(c), ChannelRegister(c, DECODER_SATURATION + 1), value);
}

NTSTATUS PictureControlGet(CCaptureDevice *d, PKSIDENTIFIER property, PVOID data, ULONG c) {
  auto *s = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(data);
  s->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
  s->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO;
  const PictureControl *control = FindControl(property->Id);
  if (control == nullptr) return STATUS_INVALID_PARAMETER;
  UCHAR byte = static_cast<UCHAR>(DecoderRead(d, ChannelBank(c), ChannelRegister(c, control->reg)));
  s->Value =
      control->isSigned ? static_cast<LONG>(static_cast<CHAR>(byte)) : static_cast<LONG>(byte);
  return STATUS_SUCCESS;
}

NTSTATUS PictureControlSet(CCaptureDevice *d, PKSIDENTIFIER property, PVOID data, ULONG c) {
  auto *s = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(data);
  const PictureControl *control = FindControl(property->Id);
  if (control == nullptr) return STATUS_INVALID_PARAMETER;
  // A value outside the control's range is refused, not silently dropped.
  if (s->Value < control->range.Bounds.SignedMinimum ||
      s->Value > control->range.Bounds.SignedMaximum)
    return STATUS_INVALID_PARAMETER;
  ULONG value = static_cast<ULONG>(s->Value);
  WriteControl(d, *control, c, value);
  ChannelVideo &video = d->channelVideo[c];
  AtomicWrite(&video.controls[control->id], value);
  AtomicSetBits(&video.controlsSet, 1u << control->id);
  return STATUS_SUCCESS;
}

NTSTATUS DecoderPropertyGet(CCaptureDevice *d, PKSIDENTIFIER property, PVOID data, ULONG c) {
  ULONG standard = d->channelVideo[c].videoStandard;
  switch (property->Id) {
    case KSPROPERTY_VIDEODECODER_CAPS: {
      auto *s = static_cast<PKSPROPERTY_VIDEODECODER_CAPS_S>(data);
      s->StandardsSupported = 0x000FF7F7;
      s->Capabilities = KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT |
                        KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING |
                        KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED;
      s->HSyncPerVSync = 6;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEODECODER_STANDARD:
      static_cast<PKSPROPERTY_VIDEODECODER_S>(data)->Value = standard;
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEODECODER_STATUS: {
      auto *s = static_cast<PKSPROPERTY_VIDEODECODER_STATUS_S>(data);
      s->SignalLocked = 1;
      s->NumberOfLines = Is625LineStandard(standard) ? 625 : 525;
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE:
      static_cast<PKSPROPERTY_VIDEODECODER_S>(data)->Value = 1;
      return STATUS_SUCCESS;
    case KSPROPERTY_VIDEODECODER_VCR_TIMING:
      static_cast<PKSPROPERTY_VIDEODECODER_S>(data)->Value = 0;
      return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS DecoderPropertySet(CCaptureDevice *d, PKSIDENTIFIER property, PVOID data, ULONG c) {
  switch (property->Id) {
    case KSPROPERTY_VIDEODECODER_STANDARD: {
      ULONG v = static_cast<PKSPROPERTY_VIDEODECODER_S>(data)->Value;
      bool is625 = Is625LineStandard(v);
      d->channelVideo[c].videoStandard = v;
      UseChannelFormats(d, c, is625);
      DecoderWrite(d, ChannelBank(c), ChannelRegister(c, DECODER_MODE), is625 ? 0x18 : 0x14);
      DecoderWrite(d, ChannelBank(c), ChannelRegister(c, DECODER_DELAY), is625 ? 10 : 15);
      return STATUS_SUCCESS;
    }
    case KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE:
    case KSPROPERTY_VIDEODECODER_VCR_TIMING:
      return STATUS_NOT_SUPPORTED;
  }
  return STATUS_INVALID_PARAMETER;
}

NTSTATUS Route(PIRP irp, PKSIDENTIFIER property, PVOID data, bool set) {
  if (irp == nullptr || property == nullptr || data == nullptr) return STATUS_INVALID_PARAMETER;
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  PKSDEVICE device = filter != nullptr ? KsGetDevice(filter) : nullptr;
  if (device == nullptr || device->Context == nullptr || filter->Context == nullptr)
    return STATUS_INVALID_PARAMETER;
  CCaptureDevice *d = DeviceContext(device);
  ULONG c = static_cast<FilterContext *>(filter->Context)->channel;
  bool procAmp = IsEqualGUID(property->Set, PROPSETID_VIDCAP_VIDEOPROCAMP);
  if (!procAmp && !IsEqualGUID(property->Set, PROPSETID_VIDCAP_VIDEODECODER))
    return static_cast<NTSTATUS>(0xE0000002);
  // The decoder's registers are there only while the card is started and in D0; the
  // decoder's description is the driver's own.
  bool hardware = procAmp || set;
  if (hardware) EnterDevice(d, true);
  NTSTATUS status;
  if (hardware && !HardwareUsable(d)) {
    status = HardwareUnavailableStatus(d);
  } else if (procAmp) {
    status =
        set ? PictureControlSet(d, property, data, c) : PictureControlGet(d, property, data, c);
  } else {
    status =
        set ? DecoderPropertySet(d, property, data, c) : DecoderPropertyGet(d, property, data, c);
  }
  if (hardware) LeaveDevice(d);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : (status | kCustomerBit);
}

}  // namespace

const KSAUTOMATION_TABLE kFilterAutomationTable = {RTL_NUMBER_OF(kPropertySets),
                                                   sizeof(KSPROPERTY_ITEM),
                                                   kPropertySets,
                                                   0,
                                                   sizeof(KSMETHOD_ITEM),
                                                   nullptr,
                                                   0,
                                                   sizeof(KSEVENT_ITEM),
                                                   nullptr};

NTSTATUS NTAPI VideoPropertyGet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return Route(irp, property, data, false);
}

NTSTATUS NTAPI VideoPropertySet(PIRP irp, PKSIDENTIFIER property, PVOID data) {
  return Route(irp, property, data, true);
}

void RestorePictureControls(CCaptureDevice *d) {
  for (ULONG c = 0; c < kVideoChannels; ++c) {
    ChannelVideo &video = d->channelVideo[c];
    ULONG set = AtomicRead(&video.controlsSet);
    for (const PictureControl &control : kControls)
      if (set & (1u << control.id))
        WriteControl(d, control, c, AtomicRead(&video.controls[control.id]));
  }
}
