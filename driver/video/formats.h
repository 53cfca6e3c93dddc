// The video data ranges each channel offers.
#pragma once

#include "device/device.h"

// Back to the 525-line ranges a channel offers before standard detection.
void ResetChannelFormats(ULONG channel);
