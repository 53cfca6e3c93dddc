// A PE32+ kernel image mapped into the simulation's address space: sections with their
// protections, base relocations applied, imports bound to host functions, and the
// exception directory translated for the host unwinder.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sim/image/exports.h"

namespace sim::image {

// Why an image was refused. The message names the image and the precise problem.
class ImageError : public std::runtime_error {
 public:
  explicit ImageError(const std::string &message, std::vector<std::string> unresolved = {})
      : std::runtime_error(message), unresolved_(std::move(unresolved)) {}
  // "module!name" of every import no export satisfied (empty for other refusals).
  const std::vector<std::string> &unresolved() const { return unresolved_; }

 private:
  std::vector<std::string> unresolved_;
};

struct LoadOptions {
  std::string name;  // for messages; the file name when loaded from a file
  // Map at the image's preferred base instead of a fresh address (refused when that
  // range is taken). The default exercises the relocations, as the platform's loader
  // does for every driver.
  bool atPreferredBase = false;
  // Replace the image's full fences (the inline memory barrier of the headers) with a
  // trapping instruction, so each one reaches the machine like KeMemoryBarrier does.
  bool trapBarriers = true;
  // Load even when imports are missing (listed by unresolved()); calling one of them
  // stops the machine. For inspecting an image, not for running it.
  bool allowUnresolved = false;
};

// One entry of the exception directory, as image-relative addresses.
struct RuntimeFunction {
  uint32_t begin;
  uint32_t end;
  uint32_t unwindInfo;
};

struct Section {
  std::string name;
  uint32_t rva;
  uint32_t size;  // in memory
  uint32_t characteristics;
};

struct Import {
  std::string module;
  std::string name;
  void *address;
};

class Image {
 public:
  // Throws ImageError when the bytes are not a loadable x86-64 native image or an
  // import has no export.
  static std::unique_ptr<Image> Load(std::span<const uint8_t> file, const ExportTable &exports,
                                     const LoadOptions &options = {});
  static std::unique_ptr<Image> LoadFile(const std::string &path, const ExportTable &exports,
                                         LoadOptions options = {});
  ~Image();
  Image(const Image &) = delete;
  Image &operator=(const Image &) = delete;

  const std::string &name() const { return name_; }
  uintptr_t base() const { return reinterpret_cast<uintptr_t>(base_); }
  size_t size() const { return size_; }
  uint64_t preferredBase() const { return preferredBase_; }
  bool Contains(uintptr_t address) const { return address - base() < size_; }
  uint32_t Rva(uintptr_t address) const { return static_cast<uint32_t>(address - base()); }
  void *At(uint32_t rva) const { return static_cast<uint8_t *>(base_) + rva; }

  // AddressOfEntryPoint (DriverEntry for a driver).
  void *entryPoint() const { return At(entryRva_); }
  // An exported function or datum; nullptr when the image exports no such name.
  void *Export(std::string_view name) const;

  const std::vector<Section> &sections() const { return sections_; }
  const std::vector<Import> &imports() const { return imports_; }
  // "module!name" of the imports left unbound (only with allowUnresolved).
  const std::vector<std::string> &unresolved() const { return unresolved_; }
  const std::vector<RuntimeFunction> &functions() const { return functions_; }
  // The exception-directory entry covering rva, or nullptr (a leaf function).
  const RuntimeFunction *FindFunction(uint32_t rva) const;
  bool IsExecutable(uint32_t rva) const;

  // Full fences replaced by a trap: image-relative address and the original length.
  struct BarrierSite {
    uint32_t rva;
    uint8_t length;
  };
  const std::vector<BarrierSite> &barrierSites() const { return barrierSites_; }
  const BarrierSite *FindBarrierSite(uint32_t rva) const;
  // Code ranges the barrier scan could not decode (their fences, if any, stay fences).
  const std::vector<std::pair<uint32_t, uint32_t>> &undecodedRanges() const {
    return undecodedRanges_;
  }

  // "name+0x1234" for an address inside the image.
  std::string Describe(uintptr_t address) const;

  // The loaded image containing address, or nullptr.
  static const Image *Containing(uintptr_t address);

 private:
  Image() = default;
  void Map(std::span<const uint8_t> file, const LoadOptions &options);
  void Relocate();
  void BindImports(const ExportTable &exports, bool allowUnresolved);
  void ReadExports();
  void ReadExceptionDirectory();
  void TrapBarriers();
  void Protect();
  [[noreturn]] void Fail(const std::string &what) const;

  struct Directory {
    uint32_t rva = 0;
    uint32_t size = 0;
  };
  enum DirectoryIndex {
    kExport = 0,
    kImport = 1,
    kException = 3,
    kBaseReloc = 5,
    kTls = 9,
    kDelayImport = 13
  };

  // Bounds-checked access to the mapped image.
  template <typename T>
  T Read(uint32_t rva, const char *what) const;
  std::string ReadString(uint32_t rva, const char *what) const;
  void RequireRange(uint32_t rva, uint64_t length, const char *what) const;

  std::string name_;
  void *base_ = nullptr;
  size_t size_ = 0;
  size_t mappedSize_ = 0;
  uint64_t preferredBase_ = 0;
  uint32_t entryRva_ = 0;
  uint32_t sectionAlignment_ = 0;
  uint32_t sizeOfHeaders_ = 0;
  uint16_t characteristics_ = 0;
  Directory directories_[16];
  uint32_t directoryCount_ = 0;
  std::vector<Section> sections_;
  std::vector<Import> imports_;
  std::vector<std::string> unresolved_;
  std::vector<RuntimeFunction> functions_;
  std::vector<std::pair<std::string, uint32_t>> exports_;
  std::vector<BarrierSite> barrierSites_;
  std::vector<std::pair<uint32_t, uint32_t>> undecodedRanges_;
  std::vector<uint8_t> frameInfo_;  // the translated unwind data while registered
  bool registered_ = false;
};

}  // namespace sim::image
