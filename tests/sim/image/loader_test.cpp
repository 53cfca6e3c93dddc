// Loading PE32+ kernel images: mapping, relocation, import binding and the refusals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>

#include "image_rig.h"

namespace {

using image_rig::Function;
using image_rig::ProbeExports;
using sim::image::ExportTable;
using sim::image::Image;
using sim::image::ImageError;
using sim::image::LoadOptions;

constexpr const char *kProbe = "tests/sim/image/probe/probe.sys";
constexpr const char *kDriver = "driver/morvane.sys";

std::unique_ptr<Image> LoadProbe(const std::vector<uint8_t> &bytes, LoadOptions options = {}) {
  options.name = "probe.sys";
  return Image::Load(bytes, ProbeExports(), options);
}

void ExpectRunsCorrectly(const Image &image) {
  auto word = Function<const char *, uint32_t>(image, "ProbeWord");
  EXPECT_STREQ(word(1), "one");
  EXPECT_STREQ(word(2), "two");
  auto operate = Function<uint32_t, uint32_t, uint32_t, uint32_t>(image, "ProbeOperate");
  EXPECT_EQ(operate(0, 6, 7), 13u);
  EXPECT_EQ(operate(1, 6, 7), 42u);
  auto self = Function<void *>(image, "ProbeSelf");
  EXPECT_TRUE(image.Contains(reinterpret_cast<uintptr_t>(self())));
  auto entry = reinterpret_cast<int32_t(MS_ABI *)(void *, void *)>(image.entryPoint());
  EXPECT_EQ(entry(nullptr, nullptr), static_cast<int32_t>(image_rig::kHalValue));
}

TEST(ImageLoader, RunsAtAFreshAddressWithItsPointersRelocatedAndAtItsPreferredBase) {
  REQUIRE_WINDOWS_FILE(path, kProbe);
  std::vector<uint8_t> bytes = image_rig::ReadFile(path);
  auto moved = LoadProbe(bytes);
  EXPECT_NE(moved->base(), moved->preferredBase());
  ExpectRunsCorrectly(*moved);

  // The same image again at the address it was linked for, while the first stays.
  LoadOptions preferred;
  preferred.atPreferredBase = true;
  std::unique_ptr<Image> fixed;
  try {
    fixed = LoadProbe(bytes, preferred);
  } catch (const ImageError &e) {
    // The sanitizers reserve that range for themselves; the refusal must say so.
    EXPECT_NE(std::string(e.what()).find("preferred base 0x140000000"), std::string::npos)
        << e.what();
    return;
  }
  EXPECT_EQ(fixed->base(), fixed->preferredBase());
  ExpectRunsCorrectly(*fixed);
  ExpectRunsCorrectly(*moved);
}

TEST(ImageLoader, DescribesItsSectionsFunctionsAndImports) {
  REQUIRE_WINDOWS_FILE(path, kProbe);
  auto image = LoadProbe(image_rig::ReadFile(path));

  std::set<std::string> names;
  for (const auto &s : image->sections()) names.insert(s.name);
  EXPECT_TRUE(names.count(".text") && names.count(".pdata") && names.count(".reloc"));

  // Every exported function lies in an entry of the exception directory.
  for (const char *name : {"ProbeIrql", "ProbeFramed", "ProbeRegisters"}) {
    uint32_t rva = image->Rva(reinterpret_cast<uintptr_t>(image->Export(name)));
    const sim::image::RuntimeFunction *f = image->FindFunction(rva);
    ASSERT_NE(f, nullptr) << name;
    EXPECT_EQ(f->begin, rva) << name;
  }
  EXPECT_EQ(image->Export("NoSuchExport"), nullptr);

  // Bound as the image names its modules, whatever case the export table used.
  std::map<std::string, void *> bound;
  for (const auto &i : image->imports()) bound[i.module + "!" + i.name] = i.address;
  EXPECT_EQ(bound["HAL.dll!ProbeHalValue"], reinterpret_cast<void *>(&image_rig::ProbeHalValue));
  EXPECT_EQ(bound["ntoskrnl.exe!ProbeHostCall"],
            reinterpret_cast<void *>(&image_rig::ProbeHostCall));
  EXPECT_NE(bound["ntoskrnl.exe!_vsnwprintf"], nullptr);
  EXPECT_EQ(image->Describe(image->base() + 0x1234), "probe.sys+0x1234");
}

TEST(ImageLoader, RefusesUnresolvedImportsNamingEveryOne) {
  REQUIRE_WINDOWS_FILE(path, kProbe);
  std::vector<uint8_t> bytes = image_rig::ReadFile(path);
  LoadOptions options;
  options.name = "probe.sys";
  try {
    Image::Load(bytes, ExportTable(), options);
    FAIL() << "loaded with nothing to bind";
  } catch (const ImageError &e) {
    EXPECT_EQ(e.unresolved(),
              (std::vector<std::string>{"HAL.dll!ProbeHalValue", "ntoskrnl.exe!ProbeHostCall",
                                        "ntoskrnl.exe!_vsnwprintf"}));
    EXPECT_NE(std::string(e.what()).find("probe.sys: 3 unresolved imports: HAL.dll!ProbeHalValue"),
              std::string::npos)
        << e.what();
  }
  ExportTable partial = sim::image::RuntimeLibraryExports();
  partial.Add("ntoskrnl.exe", "ProbeHostCall", reinterpret_cast<void *>(&image_rig::ProbeHostCall));
  try {
    Image::Load(bytes, partial, options);
    FAIL() << "loaded without ProbeHalValue";
  } catch (const ImageError &e) {
    EXPECT_EQ(e.unresolved(), std::vector<std::string>{"HAL.dll!ProbeHalValue"});
  }
  // For inspection it loads, and the missing routine stops whoever calls it.
  options.allowUnresolved = true;
  auto image = Image::Load(bytes, partial, options);
  EXPECT_EQ(image->unresolved(), std::vector<std::string>{"HAL.dll!ProbeHalValue"});
  auto entry = reinterpret_cast<int32_t(MS_ABI *)(void *, void *)>(image->entryPoint());
  EXPECT_THROW(entry(nullptr, nullptr), std::logic_error);
}

// Offsets of the headers of a PE32+ file, for damaging it.
struct Layout {
  explicit Layout(const std::vector<uint8_t> &b) : bytes(b) {
    pe = Get32(0x3C);
    optional = pe + 24;
    sections = optional + Get16(pe + 20);
  }
  uint32_t Get32(size_t at) const {
    uint32_t v;
    std::memcpy(&v, &bytes[at], 4);
    return v;
  }
  uint16_t Get16(size_t at) const {
    uint16_t v;
    std::memcpy(&v, &bytes[at], 2);
    return v;
  }
  size_t Directory(int index) const { return optional + 112 + index * 8; }
  size_t Section(int index) const { return sections + index * 40; }
  // File offset of an RVA.
  size_t FileOffset(uint32_t rva) const {
    for (int i = 0; i < Get16(pe + 6); ++i) {
      uint32_t va = Get32(Section(i) + 12), raw = Get32(Section(i) + 20);
      if (rva >= va && rva < va + Get32(Section(i) + 16)) return raw + (rva - va);
    }
    return 0;
  }
  const std::vector<uint8_t> &bytes;
  uint32_t pe, optional, sections;
};

TEST(ImageLoader, RefusesDamagedImagesNamingTheProblem) {
  REQUIRE_WINDOWS_FILE(path, kProbe);
  const std::vector<uint8_t> good = image_rig::ReadFile(path);
  const Layout l(good);
  auto put16 = [](std::vector<uint8_t> &b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); };
  auto put32 = [](std::vector<uint8_t> &b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); };
  const size_t reloc = l.FileOffset(l.Get32(l.Directory(5)));
  const size_t imports = l.FileOffset(l.Get32(l.Directory(1)));
  ASSERT_NE(reloc, 0u);
  ASSERT_NE(imports, 0u);

  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    const char *expected;
  };
  const Case cases[] = {
      {"cut to a stub", [](auto &b) { b.resize(0x30); }, "truncated: no room for the DOS header"},
      {"cut in the middle", [](auto &b) { b.resize(b.size() / 2); }, "truncated: section"},
      {"no MZ", [](auto &b) { b[0] = 'X'; }, "no MZ signature"},
      {"an i386 image", [&](auto &b) { put16(b, l.pe + 4, 0x14C); },
       "not an x86-64 image (machine 0x14c: i386)"},
      {"a PE32 header", [&](auto &b) { put16(b, l.optional, 0x10B); },
       "not PE32+ (optional header magic 0x10b"},
      {"a console program", [&](auto &b) { put16(b, l.optional + 68, 3); },
       "not a native-subsystem image (subsystem 3: Windows console)"},
      {"overlapping sections",
       [&](auto &b) { put32(b, l.Section(1) + 12, l.Get32(l.Section(0) + 12)); },
       "bad section table: section 2"},
      {"a section past the image", [&](auto &b) { put32(b, l.Section(0) + 8, 0x7FFFFFF0); },
       "past SizeOfImage"},
      {"a 32-bit relocation",
       [&](auto &b) { b[reloc + 9] = static_cast<uint8_t>((b[reloc + 9] & 0x0F) | 0x30); },
       "bad relocations: type 3"},
      {"a relocation block of 3 bytes", [&](auto &b) { put32(b, reloc + 4, 3); },
       "bad relocations: the block at +0x0"},
      {"a relocation outside the sections", [&](auto &b) { put32(b, reloc, 0x7FFF0000); },
       "outside every section"},
      {"a TLS directory",
       [&](auto &b) { put32(b, l.Directory(9), 0x1000), put32(b, l.Directory(9) + 4, 0x28); },
       "thread-local storage"},
      {"no entry point", [&](auto &b) { put32(b, l.optional + 16, 0); }, "no entry point"},
      {"an entry point in data",
       [&](auto &b) { put32(b, l.optional + 16, l.Get32(l.Directory(5))); },
       "is not in an executable section"},
      {"a ragged exception directory", [&](auto &b) { put32(b, l.Directory(3) + 4, 13); },
       "not a multiple of 12"},
      {"an import name outside the image", [&](auto &b) { put32(b, imports + 12, 0x7FFFFFF0); },
       "bad import directory"},
      {"an import by ordinal", [&](auto &b) { b[l.FileOffset(l.Get32(imports)) + 7] = 0x80; },
       "HAL.dll!#"},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> bad = good;
    c.damage(bad);
    try {
      LoadProbe(bad);
      ADD_FAILURE() << c.what << ": loaded";
    } catch (const ImageError &e) {
      std::string message = e.what();
      EXPECT_EQ(message.rfind("probe.sys: ", 0), 0u) << c.what << ": " << message;
      EXPECT_NE(message.find(c.expected), std::string::npos) << c.what << ": " << message;
    }
  }
}

// Damage anywhere in the headers and tables: the loader refuses or loads, never crashes.
TEST(ImageLoader, SurvivesRandomDamageToHeadersAndTables) {
  REQUIRE_WINDOWS_FILE(path, kProbe);
  const std::vector<uint8_t> good = image_rig::ReadFile(path);
  const Layout l(good);
  // The headers, and the tables the directories point at (imports, exceptions, unwind
  // data, relocations, exports).
  std::vector<std::pair<size_t, size_t>> regions = {{0, 0x400}};
  for (int d : {0, 1, 3, 5}) {
    size_t at = l.FileOffset(l.Get32(l.Directory(d)));
    if (at != 0) regions.emplace_back(at, l.Get32(l.Directory(d) + 4));
  }
  for (int i = 0; i < l.Get16(l.pe + 6); ++i) {
    if (std::strncmp(reinterpret_cast<const char *>(&good[l.Section(i)]), ".xdata", 8) == 0)
      regions.emplace_back(l.Get32(l.Section(i) + 20), l.Get32(l.Section(i) + 16));
  }
  uint64_t seed = 0x9E3779B97F4A7C15u;
  auto next = [&] {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    return seed;
  };
  int loaded = 0, refused = 0;
  for (int round = 0; round < 600; ++round) {
    std::vector<uint8_t> bad = good;
    const auto &[begin, length] = regions[next() % regions.size()];
    for (int n = 1 + next() % 3; n > 0; --n) {
      size_t at = begin + next() % std::max<size_t>(length, 1);
      if (at < bad.size()) bad[at] = static_cast<uint8_t>(next());
    }
    try {
      LoadProbe(bad);
      ++loaded;
    } catch (const ImageError &) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(loaded + refused, 600);
}

// The driver as the Windows build ships it: every routine it imports is one the
// simulation provides, except those the integration still has to add.
TEST(DriverImage, ImportsOnlyRoutinesTheSimulationProvides) {
  REQUIRE_WINDOWS_FILE(path, kDriver);
  LoadOptions options;
  options.allowUnresolved = true;
  auto image = Image::LoadFile(path, sim::image::SimulationExports(), options);
  EXPECT_EQ(image->unresolved(), std::vector<std::string>{})
      << "the driver imports a routine the simulation lacks";
  EXPECT_GT(image->imports().size(), 50u);
  EXPECT_GT(image->functions().size(), 100u);
}

// The __imp_ symbols of an import library, from the archive's symbol index.
std::set<std::string> ImportLibrarySymbols(const std::string &path) {
  std::vector<uint8_t> a = image_rig::ReadFile(path);
  std::set<std::string> names;
  if (a.size() < 68 || std::memcmp(a.data(), "!<arch>\n", 8) != 0 || a[8] != '/' || a[9] != ' ')
    return names;
  size_t size = std::strtoul(reinterpret_cast<const char *>(&a[8 + 48]), nullptr, 10);
  size_t begin = 68, end = std::min(a.size(), begin + size);
  uint32_t count =
      (uint32_t{a[begin]} << 24) | (a[begin + 1] << 16) | (a[begin + 2] << 8) | a[begin + 3];
  for (size_t at = begin + 4 + 4 * size_t{count}; at < end && count > 0; --count) {
    std::string name(reinterpret_cast<const char *>(&a[at]));
    at += name.size() + 1;
    if (name.rfind("__imp_", 0) == 0) names.insert(name.substr(6));
  }
  return names;
}

// Each export the simulation offers under a module is one that module's import library
// (the platform's own) lists, so an image binds to it by the same name.
TEST(DriverImage, SimulationExportsAreThePlatformModulesExports) {
  const std::map<std::string, std::string> libraries = {
      {"ntoskrnl.exe", "/usr/x86_64-w64-mingw32/lib/libntoskrnl.a"},
      {"hal.dll", "/usr/x86_64-w64-mingw32/lib/libhal.a"},
      {"ks.sys", "/usr/x86_64-w64-mingw32/lib/libks.a"}};
  std::map<std::string, std::set<std::string>> exported;
  for (const auto &[module, library] : libraries) {
    if (!std::filesystem::exists(library)) GTEST_SKIP() << library << " is not installed";
    exported[module] = ImportLibrarySymbols(library);
    ASSERT_FALSE(exported[module].empty()) << "no symbol index in " << library;
  }
  for (const std::string &entry : sim::image::SimulationExports().Names()) {
    std::string module = entry.substr(0, entry.find('!'));
    std::string name = entry.substr(entry.find('!') + 1);
    EXPECT_TRUE(exported[module].count(name)) << entry << " is no export of " << module;
  }
}

}  // namespace
