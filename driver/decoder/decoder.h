// The card's video front end: busy-wait timing, card initialisation and the decoders.
#pragma once

#include "device/device.h"

// Busy-waits at least `ns` nanoseconds on the performance counter, at any IRQL.
void DelayNanoseconds(ULONG ns);

// Brings the card and its decoders to a known state (device start, return to D0).
void InitializeCard(CCaptureDevice *d);
