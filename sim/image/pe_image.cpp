#include "sim/image/pe_image.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "sim/image/trap.h"
#include "sim/image/unwind.h"
#include "sim/image/x86_decode.h"
#include "sim/kernel/machine.h"

namespace sim::image {

namespace {

constexpr size_t kPage = 4096;
constexpr uint64_t kMaxImageSize = 256u << 20;

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint32_t kScnCode = 0x00000020;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnRead = 0x40000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr uint16_t kRelAbsolute = 0;
constexpr uint16_t kRelDir64 = 10;

// The fields this loader reads, at their offsets in the headers.
constexpr uint32_t kOptEntry = 16;
constexpr uint32_t kOptImageBase = 24;
constexpr uint32_t kOptSectionAlignment = 32;
constexpr uint32_t kOptFileAlignment = 36;
constexpr uint32_t kOptSizeOfImage = 56;
constexpr uint32_t kOptSizeOfHeaders = 60;
constexpr uint32_t kOptSubsystem = 68;
constexpr uint32_t kOptRvaCount = 108;
constexpr uint32_t kOptDirectories = 112;
constexpr uint32_t kSectionHeaderSize = 40;

template <typename T>
T Get(std::span<const uint8_t> bytes, size_t offset) {
  T v;
  std::memcpy(&v, bytes.data() + offset, sizeof v);
  return v;
}

std::string Hex(uint64_t v) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

const char *MachineName(uint16_t machine) {
  switch (machine) {
    case 0x14C:
      return "i386";
    case 0x1C4:
      return "ARM Thumb-2";
    case 0x200:
      return "Itanium";
    case 0xAA64:
      return "ARM64";
    default:
      return "unknown";
  }
}

const char *SubsystemName(uint16_t subsystem) {
  switch (subsystem) {
    case 0:
      return "unknown";
    case 2:
      return "Windows GUI";
    case 3:
      return "Windows console";
    case 10:
      return "EFI application";
    case 11:
      return "EFI boot service driver";
    case 12:
      return "EFI runtime driver";
    default:
      return "other";
  }
}

const char *DirectoryName(uint32_t index) {
  static const char *const kNames[16] = {"export",
                                         "import",
                                         "resource",
                                         "exception",
                                         "security",
                                         "base relocation",
                                         "debug",
                                         "architecture",
                                         "global pointer",
                                         "thread-local storage",
                                         "load configuration",
                                         "bound import",
                                         "import address table",
                                         "delay import",
                                         "runtime header",
                                         "reserved"};
  return index < 16 ? kNames[index] : "unknown";
}

uint64_t AlignUp(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }
bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// Where the imports nothing provides point when an image is loaded for inspection.
__attribute__((ms_abi)) void UnresolvedImport() {
  if (Machine *m = Machine::CurrentOrNull())
    m->verifier().Stop(Rule::Unemulated,
                       "the image called an import the simulation does not provide");
  throw std::logic_error("the image called an import the simulation does not provide");
}

}  // namespace

// ---------------------------------------------------------------- loading

std::unique_ptr<Image> Image::LoadFile(const std::string &path, const ExportTable &exports,
                                       LoadOptions options) {
  if (options.name.empty()) {
    size_t slash = path.find_last_of('/');
    options.name = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImageError(path + ": cannot open: " + std::strerror(errno));
  in.seekg(0, std::ios::end);
  std::streamoff length = in.tellg();
  if (length < 0 || static_cast<uint64_t>(length) > kMaxImageSize)
    throw ImageError(path + ": not a plausible image size");
  in.seekg(0);
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!in.read(reinterpret_cast<char *>(bytes.data()), length))
    throw ImageError(path + ": cannot read");
  return Load(bytes, exports, options);
}

std::unique_ptr<Image> Image::Load(std::span<const uint8_t> file, const ExportTable &exports,
                                   const LoadOptions &options) {
  std::unique_ptr<Image> image(new Image);
  image->name_ = options.name.empty() ? "image" : options.name;
  image->Map(file, options);
  image->Relocate();
  image->BindImports(exports, options.allowUnresolved);
  image->ReadExports();
  image->ReadExceptionDirectory();
  if (options.trapBarriers) image->TrapBarriers();
  image->Protect();

  std::vector<std::pair<uint32_t, uint32_t>> code;
  for (const Section &s : image->sections_)
    if (s.characteristics & (kScnExecute | kScnCode)) code.emplace_back(s.rva, s.rva + s.size);
  UnwindInput unwind{
      image->name_,
      std::span<const uint8_t>(static_cast<const uint8_t *>(image->base_), image->size_),
      image->base(), &image->functions_, code};
  image->frameInfo_ = TranslateUnwindData(unwind);

  PrepareThreadForImages();
  RegisterImageCode(image.get());
  RegisterFrameInfo(image->frameInfo_);
  image->registered_ = true;
  return image;
}

Image::~Image() {
  if (registered_) {
    DeregisterFrameInfo(frameInfo_);
    UnregisterImageCode(this);
  }
  if (base_ != nullptr) munmap(base_, mappedSize_);
}

void Image::Fail(const std::string &what) const { throw ImageError(name_ + ": " + what); }

void Image::Map(std::span<const uint8_t> file, const LoadOptions &options) {
  const uint64_t fileSize = file.size();
  auto truncated = [&](const std::string &what) {
    Fail("truncated: " + what + ", the file has " + Hex(fileSize) + " bytes");
  };
  if (fileSize < 0x40) truncated("no room for the DOS header");
  if (file[0] != 'M' || file[1] != 'Z') Fail("not an executable image (no MZ signature)");
  uint32_t peOffset = Get<uint32_t>(file, 0x3C);
  if (uint64_t{peOffset} + 24 > fileSize)
    truncated("the PE header at " + Hex(peOffset) + " lies past the end");
  if (std::memcmp(file.data() + peOffset, "PE\0\0", 4) != 0)
    Fail("not a PE image (no PE signature at " + Hex(peOffset) + ")");

  const uint32_t coff = peOffset + 4;
  uint16_t machine = Get<uint16_t>(file, coff);
  if (machine != kMachineAmd64)
    Fail("not an x86-64 image (machine " + Hex(machine) + ": " + MachineName(machine) + ")");
  uint16_t sectionCount = Get<uint16_t>(file, coff + 2);
  uint16_t optionalSize = Get<uint16_t>(file, coff + 16);
  characteristics_ = Get<uint16_t>(file, coff + 18);

  const uint32_t opt = coff + 20;
  if (uint64_t{opt} + 2 > fileSize) truncated("no room for the optional header");
  uint16_t magic = Get<uint16_t>(file, opt);
  if (magic != kMagicPe32Plus) {
    Fail("not PE32+ (optional header magic " + Hex(magic) +
         (magic == 0x10B ? ": PE32, a 32-bit image)" : ")"));
  }
  if (optionalSize < kOptDirectories)
    Fail("bad optional header: " + std::to_string(optionalSize) + " bytes is too small for PE32+");
  if (uint64_t{opt} + optionalSize > fileSize) truncated("the optional header runs past the end");
  if (!(characteristics_ & kFileExecutable)) Fail("not an executable image (an object file?)");

  uint16_t subsystem = Get<uint16_t>(file, opt + kOptSubsystem);
  if (subsystem != kSubsystemNative) {
    Fail("not a native-subsystem image (subsystem " + std::to_string(subsystem) + ": " +
         SubsystemName(subsystem) + ")");
  }

  entryRva_ = Get<uint32_t>(file, opt + kOptEntry);
  preferredBase_ = Get<uint64_t>(file, opt + kOptImageBase);
  sectionAlignment_ = Get<uint32_t>(file, opt + kOptSectionAlignment);
  uint32_t fileAlignment = Get<uint32_t>(file, opt + kOptFileAlignment);
  uint32_t sizeOfImage = Get<uint32_t>(file, opt + kOptSizeOfImage);
  uint32_t sizeOfHeaders = Get<uint32_t>(file, opt + kOptSizeOfHeaders);
  sizeOfHeaders_ = sizeOfHeaders;
  if (!PowerOfTwo(sectionAlignment_) || !PowerOfTwo(fileAlignment) ||
      sectionAlignment_ < fileAlignment) {
    Fail("bad alignment: sections " + Hex(sectionAlignment_) + ", file " + Hex(fileAlignment));
  }
  if (sizeOfImage == 0 || sizeOfImage > kMaxImageSize)
    Fail("implausible SizeOfImage " + Hex(sizeOfImage));
  if (sizeOfHeaders > sizeOfImage || sizeOfHeaders > fileSize)
    truncated("the headers claim " + Hex(sizeOfHeaders) + " bytes");

  uint32_t rvaCount = Get<uint32_t>(file, opt + kOptRvaCount);
  directoryCount_ = std::min<uint32_t>(rvaCount, 16);
  if (kOptDirectories + uint64_t{directoryCount_} * 8 > optionalSize)
    Fail("bad optional header: " + std::to_string(rvaCount) + " data directories do not fit");
  for (uint32_t i = 0; i < directoryCount_; ++i) {
    Directory &d = directories_[i];
    d.rva = Get<uint32_t>(file, opt + kOptDirectories + i * 8);
    d.size = Get<uint32_t>(file, opt + kOptDirectories + i * 8 + 4);
    if (d.size != 0 && uint64_t{d.rva} + d.size > sizeOfImage) {
      Fail(std::string("bad ") + DirectoryName(i) + " directory: " + Hex(d.rva) + " + " +
           Hex(d.size) + " lies outside the image");
    }
  }

  // Section table.
  const uint64_t table = uint64_t{opt} + optionalSize;
  if (sectionCount == 0 || sectionCount > 96)
    Fail("bad section table: " + std::to_string(sectionCount) + " sections");
  if (table + uint64_t{sectionCount} * kSectionHeaderSize > fileSize)
    truncated("the section table runs past the end");
  struct Raw {
    uint32_t offset, size;
  };
  std::vector<Raw> raw;
  uint64_t nextFree = AlignUp(sizeOfHeaders, sectionAlignment_);
  for (uint32_t i = 0; i < sectionCount; ++i) {
    size_t h = table + i * kSectionHeaderSize;
    char nameBytes[9] = {};
    std::memcpy(nameBytes, file.data() + h, 8);
    Section s;
    s.name = nameBytes;
    uint32_t virtualSize = Get<uint32_t>(file, h + 8);
    s.rva = Get<uint32_t>(file, h + 12);
    uint32_t rawSize = Get<uint32_t>(file, h + 16);
    uint32_t rawOffset = Get<uint32_t>(file, h + 20);
    s.characteristics = Get<uint32_t>(file, h + 36);
    s.size = virtualSize != 0 ? virtualSize : rawSize;
    std::string which = "section " + std::to_string(i + 1) + " (" + s.name + ")";
    if (s.rva % sectionAlignment_ != 0)
      Fail("bad section table: " + which + " at RVA " + Hex(s.rva) + " is not aligned");
    if (s.rva < nextFree) {
      Fail("bad section table: " + which + " at RVA " + Hex(s.rva) +
           " overlaps the headers or the section before it");
    }
    if (uint64_t{s.rva} + s.size > sizeOfImage) {
      Fail("bad section table: " + which + " ends at " + Hex(uint64_t{s.rva} + s.size) +
           ", past SizeOfImage " + Hex(sizeOfImage));
    }
    uint32_t copy = std::min(rawSize, s.size);
    if (copy != 0 && uint64_t{rawOffset} + copy > fileSize) {
      truncated(which + " needs file bytes " + Hex(rawOffset) + "-" +
                Hex(uint64_t{rawOffset} + copy));
    }
    nextFree = AlignUp(uint64_t{s.rva} + s.size, sectionAlignment_);
    sections_.push_back(s);
    raw.push_back({rawOffset, copy});
  }

  // Map: a fresh address unless the preferred base is asked for.
  size_ = sizeOfImage;
  mappedSize_ = AlignUp(sizeOfImage, kPage);
  void *hint = nullptr;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (options.atPreferredBase) {
    if (preferredBase_ % kPage != 0)
      Fail("preferred base " + Hex(preferredBase_) + " is not aligned");
    hint = reinterpret_cast<void *>(preferredBase_);
    flags |= MAP_FIXED_NOREPLACE;
  }
  void *base = mmap(hint, mappedSize_, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (base == MAP_FAILED) {
    if (options.atPreferredBase)
      Fail("cannot map at the preferred base " + Hex(preferredBase_) + ": " + std::strerror(errno));
    Fail(std::string("cannot map ") + Hex(mappedSize_) + " bytes: " + std::strerror(errno));
  }
  if (options.atPreferredBase && base != hint) {
    munmap(base, mappedSize_);
    Fail("the preferred base " + Hex(preferredBase_) + " is taken");
  }
  base_ = base;
  auto *bytes = static_cast<uint8_t *>(base_);
  std::memcpy(bytes, file.data(), sizeOfHeaders);
  for (size_t i = 0; i < sections_.size(); ++i)
    if (raw[i].size != 0)
      std::memcpy(bytes + sections_[i].rva, file.data() + raw[i].offset, raw[i].size);

  if (entryRva_ == 0) Fail("no entry point");
  if (!IsExecutable(entryRva_))
    Fail("entry point RVA " + Hex(entryRva_) + " is not in an executable section");
  if (directoryCount_ > kTls && directories_[kTls].size != 0)
    Fail("has a thread-local storage directory; nothing runs TLS callbacks in a kernel image");
  if (directoryCount_ > kDelayImport && directories_[kDelayImport].size != 0)
    Fail("has delay-load imports, which a kernel image cannot have");
}

bool Image::IsExecutable(uint32_t rva) const {
  for (const Section &s : sections_)
    if (rva >= s.rva && rva - s.rva < s.size)
      return (s.characteristics & (kScnExecute | kScnCode)) != 0;
  return false;
}

void Image::RequireRange(uint32_t rva, uint64_t length, const char *what) const {
  if (uint64_t{rva} + length > size_)
    Fail(std::string(what) + ": " + Hex(rva) + " + " + Hex(length) + " lies outside the image");
}

template <typename T>
T Image::Read(uint32_t rva, const char *what) const {
  RequireRange(rva, sizeof(T), what);
  T v;
  std::memcpy(&v, static_cast<const uint8_t *>(base_) + rva, sizeof v);
  return v;
}

std::string Image::ReadString(uint32_t rva, const char *what) const {
  constexpr size_t kMax = 512;
  std::string s;
  for (size_t i = 0; i < kMax; ++i) {
    if (uint64_t{rva} + i >= size_) Fail(std::string(what) + ": a name runs past the image");
    char c = static_cast<const char *>(base_)[rva + i];
    if (c == '\0') return s;
    s += c;
  }
  Fail(std::string(what) + ": a name longer than " + std::to_string(kMax) + " characters");
}

void Image::Relocate() {
  const int64_t delta = static_cast<int64_t>(base() - preferredBase_);
  const Directory &dir = directories_[kBaseReloc];
  if (directoryCount_ <= kBaseReloc || dir.size == 0 || (characteristics_ & kFileRelocsStripped)) {
    if (delta != 0)
      Fail("has no base relocations, so it can only run at its preferred base " +
           Hex(preferredBase_));
    return;
  }
  // Every block is checked even when nothing moves: a damaged table is refused wherever
  // the image lands.
  uint32_t at = 0;
  while (at < dir.size) {
    if (dir.size - at < 8) Fail("bad relocations: a block header is cut off at +" + Hex(at));
    uint32_t page = Read<uint32_t>(dir.rva + at, "bad relocations");
    uint32_t blockSize = Read<uint32_t>(dir.rva + at + 4, "bad relocations");
    if (blockSize < 8 || blockSize % 2 != 0 || blockSize > dir.size - at)
      Fail("bad relocations: the block at +" + Hex(at) + " has size " + Hex(blockSize));
    for (uint32_t e = 8; e < blockSize; e += 2) {
      uint16_t entry = Read<uint16_t>(dir.rva + at + e, "bad relocations");
      uint16_t type = entry >> 12;
      uint64_t target = uint64_t{page} + (entry & 0xFFF);
      if (type == kRelAbsolute) continue;
      if (type != kRelDir64) {
        Fail("bad relocations: type " + std::to_string(type) + " at RVA " + Hex(target) +
             " (an x86-64 image uses only 64-bit relocations)");
      }
      bool inside = false;
      for (const Section &s : sections_)
        inside |= target >= s.rva && target + 8 <= uint64_t{s.rva} + s.size;
      if (!inside)
        Fail("bad relocations: a 64-bit relocation at RVA " + Hex(target) +
             " lies outside every section");
      if (delta != 0) {
        uint64_t value;
        auto *p = static_cast<uint8_t *>(base_) + target;
        std::memcpy(&value, p, 8);
        value += static_cast<uint64_t>(delta);
        std::memcpy(p, &value, 8);
      }
    }
    at += blockSize;
  }
}

void Image::BindImports(const ExportTable &exports, bool allowUnresolved) {
  if (directoryCount_ <= kImport || directories_[kImport].size == 0) return;
  std::vector<std::string> unresolved;
  const char *what = "bad import directory";
  for (uint32_t d = directories_[kImport].rva;; d += 20) {
    uint32_t lookup = Read<uint32_t>(d, what);
    uint32_t nameRva = Read<uint32_t>(d + 12, what);
    uint32_t iat = Read<uint32_t>(d + 16, what);
    if (lookup == 0 && nameRva == 0 && iat == 0) break;
    if (nameRva == 0 || iat == 0)
      Fail(std::string(what) + ": a descriptor without a name or address table");
    std::string module = ReadString(nameRva, what);
    if (lookup == 0) lookup = iat;
    for (uint32_t i = 0;; ++i) {
      uint64_t thunk = Read<uint64_t>(lookup + i * 8, what);
      if (thunk == 0) break;
      std::string name;
      if (thunk >> 63) {
        name = "#" + std::to_string(thunk & 0xFFFF);  // by ordinal: nothing binds those
      } else {
        name = ReadString(static_cast<uint32_t>(thunk & 0x7FFFFFFF) + 2, what);
      }
      void *address = name[0] == '#' ? nullptr : exports.Find(module, name);
      RequireRange(iat + i * 8, 8, what);
      if (address == nullptr) {
        unresolved.push_back(module + "!" + name);
        address = reinterpret_cast<void *>(&UnresolvedImport);
      } else {
        imports_.push_back({module, name, address});
      }
      std::memcpy(static_cast<uint8_t *>(base_) + iat + i * 8, &address, 8);
    }
  }
  if (allowUnresolved) {
    unresolved_ = std::move(unresolved);
  } else if (!unresolved.empty()) {
    std::string list;
    for (const std::string &u : unresolved) list += (list.empty() ? "" : ", ") + u;
    throw ImageError(name_ + ": " + std::to_string(unresolved.size()) + " unresolved import" +
                         (unresolved.size() == 1 ? "" : "s") + ": " + list,
                     unresolved);
  }
}

void Image::ReadExports() {
  if (directoryCount_ <= kExport || directories_[kExport].size == 0) return;
  const char *what = "bad export directory";
  uint32_t dir = directories_[kExport].rva;
  uint32_t functionCount = Read<uint32_t>(dir + 20, what);
  uint32_t nameCount = Read<uint32_t>(dir + 24, what);
  uint32_t functions = Read<uint32_t>(dir + 28, what);
  uint32_t names = Read<uint32_t>(dir + 32, what);
  uint32_t ordinals = Read<uint32_t>(dir + 36, what);
  RequireRange(functions, uint64_t{functionCount} * 4, what);
  RequireRange(names, uint64_t{nameCount} * 4, what);
  RequireRange(ordinals, uint64_t{nameCount} * 2, what);
  for (uint32_t i = 0; i < nameCount; ++i) {
    std::string name = ReadString(Read<uint32_t>(names + i * 4, what), what);
    uint16_t ordinal = Read<uint16_t>(ordinals + i * 2, what);
    if (ordinal >= functionCount) Fail(std::string(what) + ": " + name + " has no function");
    uint32_t rva = Read<uint32_t>(functions + ordinal * 4u, what);
    if (rva >= size_) Fail(std::string(what) + ": " + name + " lies outside the image");
    exports_.emplace_back(std::move(name), rva);
  }
}

void *Image::Export(std::string_view name) const {
  for (const auto &[n, rva] : exports_)
    if (n == name) return At(rva);
  return nullptr;
}

void Image::ReadExceptionDirectory() {
  if (directoryCount_ <= kException || directories_[kException].size == 0) return;
  const Directory &dir = directories_[kException];
  if (dir.size % 12 != 0)
    Fail("bad exception directory: size " + Hex(dir.size) + " is not a multiple of 12");
  const char *what = "bad exception directory";
  uint32_t previousEnd = 0;
  for (uint32_t at = 0; at < dir.size; at += 12) {
    RuntimeFunction f{Read<uint32_t>(dir.rva + at, what), Read<uint32_t>(dir.rva + at + 4, what),
                      Read<uint32_t>(dir.rva + at + 8, what)};
    std::string which =
        "entry " + std::to_string(at / 12) + " (" + Hex(f.begin) + "-" + Hex(f.end) + ")";
    // An empty entry (a function the compiler reduced to nothing) describes no code.
    if (f.end < f.begin || !IsExecutable(f.begin) || (f.end > f.begin && !IsExecutable(f.end - 1)))
      Fail(std::string(what) + ": " + which + " is not a code range");
    if (f.begin < previousEnd)
      Fail(std::string(what) + ": " + which + " is out of order or overlaps");
    RequireRange(f.unwindInfo, 4, what);
    previousEnd = f.end;
    functions_.push_back(f);
  }
}

const RuntimeFunction *Image::FindFunction(uint32_t rva) const {
  auto it = std::upper_bound(functions_.begin(), functions_.end(), rva,
                             [](uint32_t r, const RuntimeFunction &f) { return r < f.begin; });
  if (it == functions_.begin()) return nullptr;
  --it;
  return rva < it->end ? &*it : nullptr;
}

// Finds the full fences by decoding every function of the exception directory from its
// start, and replaces each with ud2 (the rest filled with int3): executing it traps, and
// the trap handler issues the barrier to the machine and skips the original length.
// Code outside those functions is left alone: the code section also holds data.
void Image::TrapBarriers() {
  auto *bytes = static_cast<uint8_t *>(base_);
  for (const RuntimeFunction &f : functions_) {
    for (uint32_t at = f.begin; at < f.end;) {
      Instruction in;
      if (!Decode(std::span<const uint8_t>(bytes + at, f.end - at), &in)) {
        undecodedRanges_.emplace_back(at, f.end);
        break;
      }
      bool storeFence = in.lock && in.map == 0 && in.opcode == 0x83 && (in.reg & 7) == 1 &&
                        in.memory && in.base == 4 && in.index == kNoRegister &&
                        in.displacement == 0 && in.immediate == 0;
      bool mfence = !in.lock && in.map == 1 && in.opcode == 0xAE && in.mod == 3 &&
                    (in.reg & 7) == 6 && (in.rm & 7) == 0 && !in.vex;
      if (storeFence || mfence) {
        barrierSites_.push_back({at, in.length});
        bytes[at] = 0x0F;
        bytes[at + 1] = 0x0B;
        std::memset(bytes + at + 2, 0xCC, in.length - 2u);
      }
      at += in.length;
    }
  }
}

const Image::BarrierSite *Image::FindBarrierSite(uint32_t rva) const {
  auto it = std::lower_bound(barrierSites_.begin(), barrierSites_.end(), rva,
                             [](const BarrierSite &s, uint32_t r) { return s.rva < r; });
  return it != barrierSites_.end() && it->rva == rva ? &*it : nullptr;
}

// Each page gets the protections of the sections on it (several when sections are
// smaller than a page); headers are read-only, pages of no section inaccessible.
void Image::Protect() {
  size_t pages = mappedSize_ / kPage;
  std::vector<int> protection(pages, PROT_NONE);
  for (size_t p = 0; p < AlignUp(sizeOfHeaders_, kPage) / kPage; ++p) protection[p] = PROT_READ;
  for (const Section &s : sections_) {
    int prot = 0;
    if (s.characteristics & kScnRead) prot |= PROT_READ;
    if (s.characteristics & kScnWrite) prot |= PROT_READ | PROT_WRITE;
    if (s.characteristics & (kScnExecute | kScnCode)) prot |= PROT_READ | PROT_EXEC;
    for (uint64_t p = s.rva / kPage; p < AlignUp(uint64_t{s.rva} + s.size, kPage) / kPage; ++p)
      protection[p] |= prot;
  }
  auto *bytes = static_cast<uint8_t *>(base_);
  for (size_t p = 0; p < pages;) {
    size_t q = p;
    while (q < pages && protection[q] == protection[p]) ++q;
    if (mprotect(bytes + p * kPage, (q - p) * kPage, protection[p]) != 0)
      Fail(std::string("cannot set page protections: ") + std::strerror(errno));
    p = q;
  }
}

std::string Image::Describe(uintptr_t address) const { return name_ + "+" + Hex(address - base()); }

const Image *Image::Containing(uintptr_t address) { return FindImage(address); }

}  // namespace sim::image
