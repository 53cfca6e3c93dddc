// The instruction decoder: its lengths against the toolchain's disassembler over whole
// images, the operands of the forms the machine emulates, and the fences it finds.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "image_rig.h"
#include "sim/image/x86_decode.h"

namespace {

using sim::image::Decode;
using sim::image::Image;
using sim::image::Instruction;
using sim::image::kNoRegister;
using sim::image::kRip;

struct Disassembly {
  std::set<uint64_t> starts;  // addresses of instructions, as linked
  size_t fences = 0;          // full fences: lock or $0,(%rsp) and mfence
  bool ok = false;
};

Disassembly Disassemble(const std::string &path) {
  Disassembly d;
  std::string command =
      "x86_64-w64-mingw32-objdump -d --no-show-raw-insn -j .text " + path + " 2>/dev/null";
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return d;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    unsigned long long address;
    char text[400];
    if (std::sscanf(line, " %llx:\t%399[^\n]", &address, text) != 2) continue;
    d.starts.insert(address);
    std::string t = text;
    if (t.find("lock orq $0x0,(%rsp)") == 0 || t.find("lock orl $0x0,(%rsp)") == 0 ||
        t.find("mfence") == 0)
      ++d.fences;
  }
  d.ok = pclose(pipe) == 0 && !d.starts.empty();
  return d;
}

std::unique_ptr<Image> LoadForInspection(const std::string &path, bool trapBarriers) {
  sim::image::LoadOptions options;
  options.allowUnresolved = true;
  options.trapBarriers = trapBarriers;
  return Image::LoadFile(path, sim::image::SimulationExports(), options);
}

TEST(InstructionDecoder, FindsTheDisassemblersInstructionBoundariesInBothImages) {
  for (const char *relative : {"tests/sim/image/probe/probe.sys", "driver/morvane.sys"}) {
    REQUIRE_WINDOWS_FILE(path, relative);
    Disassembly reference = Disassemble(path);
    if (!reference.ok) GTEST_SKIP() << "x86_64-w64-mingw32-objdump cannot disassemble " << path;
    auto image = LoadForInspection(path, false);
    const sim::image::Section *text = nullptr;
    for (const auto &s : image->sections())
      if (s.name == ".text") text = &s;
    ASSERT_NE(text, nullptr);
    // The code ends with the last function; the linker puts data after it.
    ASSERT_FALSE(image->functions().empty());
    const uint32_t end = image->functions().back().end;
    std::set<uint64_t> starts;
    const auto *code = static_cast<const uint8_t *>(image->At(0));
    for (uint32_t at = text->rva; at < end;) {
      starts.insert(image->preferredBase() + at);
      Instruction in;
      std::string reason;
      ASSERT_TRUE(Decode({code + at, end - at}, &in, &reason))
          << relative << "+0x" << std::hex << at << ": " << reason << " ("
          << sim::image::HexBytes(code + at, 8) << ")";
      at += in.length;
    }
    // objdump may list trailing padding past the section's own size.
    for (uint64_t a : reference.starts) {
      if (a < image->preferredBase() + end) {
        EXPECT_TRUE(starts.count(a)) << relative << ": an instruction at 0x" << std::hex << a;
      }
    }
    for (uint64_t a : starts)
      EXPECT_TRUE(reference.starts.count(a)) << relative << ": 0x" << std::hex << a;

    // With barriers trapped: every full fence is a site, nothing else, nothing undecoded.
    auto trapped = LoadForInspection(path, true);
    EXPECT_EQ(trapped->barrierSites().size(), reference.fences) << relative;
    EXPECT_TRUE(trapped->undecodedRanges().empty()) << relative;
    for (const auto &site : trapped->barrierSites()) {
      const auto *b = static_cast<const uint8_t *>(trapped->At(site.rva));
      EXPECT_EQ(b[0], 0x0F);
      EXPECT_EQ(b[1], 0x0B);
    }
  }
}

TEST(InstructionDecoder, DecodesTheOperandsOfTheEmulatedForms) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint8_t length, map, opcode;
    int base, index;
    int64_t displacement;
    int reg;
  };
  const Case cases[] = {
      // mov cr8, rbx / mov rbx, cr8: the control register is ModRM.reg with REX.R
      {{0x44, 0x0F, 0x22, 0xC3}, 4, 1, 0x22, kNoRegister, kNoRegister, 0, 8},
      {{0x44, 0x0F, 0x20, 0xC3}, 4, 1, 0x20, kNoRegister, kNoRegister, 0, 8},
      // mov eax, [r12+0x10] (SIB with base r12), mov [r13+rcx*4+0x100], r9d
      {{0x41, 0x8B, 0x44, 0x24, 0x10}, 5, 0, 0x8B, 12, kNoRegister, 0x10, 0},
      {{0x45, 0x89, 0x8C, 0x8D, 0x00, 0x01, 0x00, 0x00}, 8, 0, 0x89, 13, 1, 0x100, 9},
      // mov dword [rcx+8], 0x5a5a0000; mov eax, [rip-0x10]
      {{0xC7, 0x41, 0x08, 0x00, 0x00, 0x5A, 0x5A}, 7, 0, 0xC7, 1, kNoRegister, 8, 0},
      {{0x8B, 0x05, 0xF0, 0xFF, 0xFF, 0xFF}, 6, 0, 0x8B, kRip, kNoRegister, -0x10, 0},
      // mov eax, [rbp] needs a zero displacement byte; [r12*2] has no base
      {{0x8B, 0x45, 0x00}, 3, 0, 0x8B, 5, kNoRegister, 0, 0},
      {{0x42, 0x8B, 0x04, 0x65, 0x00, 0x00, 0x00, 0x00}, 8, 0, 0x8B, kNoRegister, 12, 0, 0},
  };
  for (const Case &c : cases) {
    Instruction in;
    ASSERT_TRUE(Decode(c.bytes, &in)) << sim::image::HexBytes(c.bytes.data(), c.bytes.size());
    std::string what = sim::image::HexBytes(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(in.length, c.length) << what;
    EXPECT_EQ(in.map, c.map) << what;
    EXPECT_EQ(in.opcode, c.opcode) << what;
    EXPECT_EQ(in.base, c.base) << what;
    EXPECT_EQ(in.index, c.index) << what;
    EXPECT_EQ(in.displacement, c.displacement) << what;
    EXPECT_EQ(in.reg, c.reg) << what;
  }

  Instruction in;
  // movabs rax, [0xfffff78000000014]: the 64-bit absolute address of the shared data page
  ASSERT_TRUE(Decode(std::vector<uint8_t>{0x48, 0xA1, 0x14, 0, 0, 0, 0x80, 0xF7, 0xFF, 0xFF}, &in));
  EXPECT_TRUE(in.absolute && in.rexW());
  EXPECT_EQ(static_cast<uint64_t>(in.displacement), 0xFFFFF78000000014ull);
  EXPECT_EQ(in.length, 10);
  // 16-bit operand size: a 2-byte immediate; REX.W wins over it
  ASSERT_TRUE(Decode(std::vector<uint8_t>{0x66, 0xC7, 0x01, 0x34, 0x12}, &in));
  EXPECT_EQ(in.length, 5);
  EXPECT_EQ(in.immediate, 0x1234);
  ASSERT_TRUE(Decode(std::vector<uint8_t>{0x66, 0x48, 0xC7, 0x01, 1, 0, 0, 0}, &in));
  EXPECT_EQ(in.length, 8);
  // VEX: three-byte form with a 0F3A opcode carries an immediate
  ASSERT_TRUE(Decode(std::vector<uint8_t>{0xC4, 0xE3, 0x79, 0x0F, 0xC1, 0x08}, &in));
  EXPECT_EQ(in.length, 6);
  // Refused: EVEX, an opcode invalid in 64-bit mode, a cut-off instruction, 16 bytes
  std::string reason;
  EXPECT_FALSE(Decode(std::vector<uint8_t>{0x62, 0xF1, 0x7C, 0x48, 0x10, 0x01}, &in, &reason));
  EXPECT_EQ(reason, "EVEX-encoded instruction");
  EXPECT_FALSE(Decode(std::vector<uint8_t>{0x06}, &in));
  EXPECT_FALSE(Decode(std::vector<uint8_t>{0x8B, 0x80, 0x00}, &in));
  std::vector<uint8_t> prefixes(16, 0x66);
  prefixes[14] = 0x8B;
  prefixes[15] = 0x00;
  EXPECT_FALSE(Decode(prefixes, &in));
}

}  // namespace
