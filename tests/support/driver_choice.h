// Which driver a black-box suite runs. The test command runs those suites twice: on the
// Linux build of the driver sources, and with MORVANE_DRIVER_IMAGE naming the Windows image
// (the bytes the package ships), which the rig then loads instead.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "sim/image/driver.h"
#include "sim/kernel/pnp.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING);

namespace suite {

inline const char *DriverImagePath() {
  const char *path = std::getenv("MORVANE_DRIVER_IMAGE");
  return path != nullptr && *path != 0 ? path : nullptr;
}
inline bool OnDriverImage() { return DriverImagePath() != nullptr; }

// The driver for a new machine; throws ImageError when the image cannot be loaded.
inline sim::DriverCode SuiteDriver() {
  if (const char *path = DriverImagePath()) return sim::image::LoadDriverImage(path);
  return sim::DriverCode{DriverEntry, nullptr, 0, nullptr};
}

// What a test that reads the driver's own structures calls first: on the image those
// structures are the image's, laid out by another compiler, so such a test does not run there.
inline void RequireDriverInternals() {
  if (OnDriverImage())
    throw std::logic_error("this test reads the driver's internals and cannot run on the image");
}

}  // namespace suite
