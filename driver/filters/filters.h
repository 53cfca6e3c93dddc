// The sixteen capture filters a started card publishes.
#pragma once

#include "device/device.h"

NTSTATUS CreateFilterFactories(CCaptureDevice *d, PKSDEVICE device);
