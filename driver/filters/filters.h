// The sixteen capture filters a started card publishes: a video and an audio filter
// per input, each with one output pin and the shared property table.
#pragma once

#include "device/device.h"

// Per open filter: the video channel its requests address (0 for every audio filter).
struct FilterContext {
  PKSFILTER filter;
  ULONG channel;
};

extern const KSFILTER_DESCRIPTOR kFilterDescriptors[16];  // video 0-7, then audio 0-7
extern const GUID kVideoFilterReferenceGuids[8];
extern const GUID kAudioFilterReferenceGuids[8];

NTSTATUS CreateFilterFactories(CCaptureDevice *d, PKSDEVICE device);
// Withdraws what the last start published (the device mutex is held, as in Start).
void DeleteFilterFactories(CCaptureDevice *d);
// `ranges`, when given, replaces the pin's data-range list in the copy.
bool SameFilterDescriptor(const KSFILTER_DESCRIPTOR *copy, const KSFILTER_DESCRIPTOR *tmpl,
                          bool preview, const PKSDATARANGE *ranges);
NTSTATUS BuildFilterDescriptor(CCaptureDevice *d, const KSFILTER_DESCRIPTOR *tmpl, KSOBJECT_BAG bag,
                               PKSFILTER_DESCRIPTOR copy, bool preview, const PKSDATARANGE *ranges);
NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);

// The property table every filter carries, and its handlers.
extern const KSAUTOMATION_TABLE kFilterAutomationTable;
NTSTATUS NTAPI VideoPropertyGet(PIRP irp, PKSIDENTIFIER property, PVOID data);
NTSTATUS NTAPI VideoPropertySet(PIRP irp, PKSIDENTIFIER property, PVOID data);
