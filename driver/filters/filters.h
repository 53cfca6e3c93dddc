// The sixteen capture filters a started card publishes: a video and an audio filter
// per input, each with one output pin and the shared property table.
#pragma once

#include "device/device.h"

// Per open filter: the video channel its requests address (0 for every audio filter).
struct FilterContext {
  PKSFILTER filter;
  ULONG channel;
};

extern const GUID kVideoFilterReferenceGuids[8];
extern const GUID kAudioFilterReferenceGuids[8];

NTSTATUS CreateFilterFactories(CCaptureDevice *d, PKSDEVICE device);
// Withdraws what the last start published (the device mutex is held, as in Start).
void DeleteFilterFactories(CCaptureDevice *d);
NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);

// The property table every filter carries, and its handlers.
extern const KSAUTOMATION_TABLE kFilterAutomationTable;
NTSTATUS NTAPI VideoPropertyGet(PIRP irp, PKSIDENTIFIER property, PVOID data);
