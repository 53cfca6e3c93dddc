// The Windows build's images (the test image probe.sys and morvane.sys) as the image
// tests load them, and the host side the test image imports.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/image/exports.h"
#include "sim/image/pe_image.h"
#include "sim/kernel/pci.h"

namespace image_rig {

#define MS_ABI __attribute__((ms_abi))

// A file of the Windows build, or "" when it has not been built.
inline std::string WindowsBuildFile(const std::string &relative) {
  std::string path = std::string(MORVANE_WINDOWS_BUILD_DIR) + "/" + relative;
  return std::filesystem::exists(path) ? path : std::string();
}

// The README's test command builds the windows preset first and sets
// MORVANE_REQUIRE_WINDOWS_BUILD: there a missing image is a failure, elsewhere a skip.
#define REQUIRE_WINDOWS_FILE(var, relative)                                           \
  std::string var = image_rig::WindowsBuildFile(relative);                            \
  if (var.empty()) {                                                                  \
    std::string why_ = std::string(relative) +                                        \
                       " is not built in " MORVANE_WINDOWS_BUILD_DIR                  \
                       " (cmake --preset windows && cmake --build --preset windows)"; \
    if (std::getenv("MORVANE_REQUIRE_WINDOWS_BUILD") != nullptr) FAIL() << why_;      \
    GTEST_SKIP() << why_;                                                             \
  }

inline std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The probe calls ProbeHostCall(context) with a host function as its context.
using HostFunction = std::function<uintptr_t()>;
inline MS_ABI uintptr_t ProbeHostCall(void *context) {
  return context == nullptr ? 0 : (*static_cast<HostFunction *>(context))();
}
constexpr uint32_t kHalValue = 0x4D56;
inline MS_ABI uint32_t ProbeHalValue() { return kHalValue; }

// What probe.sys imports, its "HAL.dll" entry registered under another case.
inline sim::image::ExportTable ProbeExports() {
  sim::image::ExportTable t = sim::image::RuntimeLibraryExports();
  t.Add("ntoskrnl.exe", "ProbeHostCall", reinterpret_cast<void *>(&ProbeHostCall));
  t.Add("hal.dll", "ProbeHalValue", reinterpret_cast<void *>(&ProbeHalValue));
  return t;
}

// An exported function of an image, with the image's calling convention.
template <typename R, typename... A>
auto Function(const sim::image::Image &image, const char *name) {
  using F = R(MS_ABI *)(A...);
  void *p = image.Export(name);
  EXPECT_NE(p, nullptr) << name << " is not exported";
  return reinterpret_cast<F>(p);
}

// A device whose register window remembers values and logs every access and barrier.
class LoggingDevice : public sim::PciDevice {
 public:
  uint32_t ConfigRead32(uint32_t) override { return 0; }
  void ConfigWrite32(uint32_t, uint32_t) override {}
  uint32_t WindowLength() const override { return 0x1000; }
  uint32_t MmioRead32(uint32_t offset) override {
    log.push_back("R" + std::to_string(offset));
    return values[offset];
  }
  void MmioWrite32(uint32_t offset, uint32_t value) override {
    log.push_back("W" + std::to_string(offset) + "=" + std::to_string(value));
    values[offset] = value;
  }
  void OnBarrier() override { log.push_back("B"); }

  std::vector<std::string> log;
  std::map<uint32_t, uint32_t> values;
};

}  // namespace image_rig
