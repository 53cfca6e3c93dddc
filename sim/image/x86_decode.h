// A small x86-64 instruction decoder: the length of any general-purpose, x87, SSE or
// VEX-encoded instruction (for scanning code), and the operands of the forms the
// machine emulates when the image faults on them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace sim::image {

// Register numbers as the instruction encodes them (0 rax, 1 rcx, 2 rdx, 3 rbx, 4 rsp,
// 5 rbp, 6 rsi, 7 rdi, 8-15 r8-r15).
constexpr int kNoRegister = -1;
constexpr int kRip = 16;

struct Instruction {
  uint8_t length = 0;
  // Prefixes.
  bool lock = false;
  bool rep = false;     // F3
  bool repne = false;   // F2
  bool opsize = false;  // 66
  bool addr32 = false;  // 67
  uint8_t segment = 0;  // 0x26/0x2E/0x36/0x3E/0x64/0x65, or 0
  uint8_t rex = 0;      // 0 when absent
  bool vex = false;
  // Opcode: map 0 one byte, 1 = 0F, 2 = 0F 38, 3 = 0F 3A.
  uint8_t map = 0;
  uint8_t opcode = 0;
  // ModRM, when the instruction has one. reg and rm include the REX extensions.
  bool hasModrm = false;
  uint8_t mod = 0;
  uint8_t reg = 0;
  uint8_t rm = 0;
  // The memory operand (ModRM with mod != 3, or a moffs form).
  bool memory = false;
  int base = kNoRegister;  // kRip for RIP-relative
  int index = kNoRegister;
  uint8_t scale = 1;
  int64_t displacement = 0;  // for moffs, the absolute address
  bool absolute = false;     // moffs: displacement is the address
  // Immediate (sign-extended as the instruction defines), and its size in bytes.
  int64_t immediate = 0;
  uint8_t immediateSize = 0;

  bool rexW() const { return (rex & 8) != 0; }
};

// Decodes one instruction from the start of code. Returns false when the bytes are not
// an instruction this decoder knows (invalid in 64-bit mode, EVEX, truncated, or longer
// than 15 bytes); reason says which.
bool Decode(std::span<const uint8_t> code, Instruction *out, std::string *reason = nullptr);

// "0f 22 c3" for the first n bytes.
std::string HexBytes(const uint8_t *bytes, size_t n);

}  // namespace sim::image
