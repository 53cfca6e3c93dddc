#include "sim/image/driver.h"

#include <memory>

#include "sim/image/exports.h"
#include "sim/image/pe_image.h"

namespace sim::image {

DriverCode LoadDriverImage(const std::string &path) {
  std::shared_ptr<Image> image = Image::LoadFile(path, SimulationExports());
  DriverCode code;
  code.entry = reinterpret_cast<PDRIVER_INITIALIZE>(image->entryPoint());
  code.start = reinterpret_cast<PVOID>(image->base());
  code.size = static_cast<ULONG>(image->size());
  code.module = std::move(image);
  return code;
}

}  // namespace sim::image
