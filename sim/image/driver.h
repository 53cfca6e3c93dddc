// The Windows build of a driver as the machine's PnP manager loads it: the image mapped and
// bound to the simulation's services, DriverEntry at its entry point.
#pragma once

#include <string>

#include "sim/kernel/pnp.h"

namespace sim::image {

// Loads the image at `path` for one machine (each machine gets its own copy, with the
// image's data as the file has it). Throws ImageError naming the file and the problem.
DriverCode LoadDriverImage(const std::string &path);

}  // namespace sim::image
