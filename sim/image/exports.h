// What an image's imports bind to: host functions by module and name.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sim::image {

// Module names compare without regard to case, as the platform's loader does
// ("HAL.dll" and "hal.dll" are one module); function names are exact.
class ExportTable {
 public:
  void Add(std::string_view module, std::string_view name, void *address);
  void Merge(const ExportTable &other);
  void *Find(std::string_view module, std::string_view name) const;
  bool Contains(std::string_view module, std::string_view name) const {
    return Find(module, name) != nullptr;
  }
  // "module!name" for every entry, sorted.
  std::vector<std::string> Names() const;
  size_t size() const { return entries_.size(); }

 private:
  static std::string Key(std::string_view module, std::string_view name);
  std::map<std::string, void *> entries_;
};

// The C library routines a kernel image imports from the kernel, with the image's
// calling convention (memcpy, memmove, memset, memcmp, _vsnwprintf).
ExportTable RuntimeLibraryExports();

// Every routine the simulated kernel, HAL and kernel-streaming class driver provide to
// a driver, by the module that exports it on the platform, plus the runtime library.
ExportTable SimulationExports();

}  // namespace sim::image
