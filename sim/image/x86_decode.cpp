#include "sim/image/x86_decode.h"

#include <cstdio>

namespace sim::image {

namespace {

enum : uint16_t {
  kModrm = 1 << 0,
  kImm8 = 1 << 1,
  kImmZ = 1 << 2,  // 16 or 32 bits by the operand size
  kImm16 = 1 << 3,
  kImmV = 1 << 4,   // 16, 32 or 64 bits (mov reg, imm)
  kMoffs = 1 << 5,  // 64-bit absolute address (32 with 67)
  kInvalid = 1 << 6,
  kGroup3 = 1 << 7,    // F6/F7: an immediate only for TEST (/0, /1)
  kEnter = 1 << 8,     // imm16 + imm8
  kRel32 = 1 << 9,     // always 32 bits in 64-bit mode
  kRegOnly = 1 << 10,  // mov to/from control and debug registers: mod is ignored
};

uint16_t OneByteMap(uint8_t op) {
  if (op < 0x40) {
    switch (op & 7) {
      case 0:
      case 1:
      case 2:
      case 3:
        return kModrm;
      case 4:
        return kImm8;
      case 5:
        return kImmZ;
      default:
        return kInvalid;  // push/pop of segments, DAA and friends
    }
  }
  if (op >= 0x50 && op <= 0x5F) return 0;
  if (op >= 0x70 && op <= 0x7F) return kImm8;
  if (op >= 0x84 && op <= 0x8F) return kModrm;
  if (op >= 0x90 && op <= 0x9F) return op == 0x9A ? kInvalid : 0;
  if (op >= 0xA0 && op <= 0xA3) return kMoffs;
  if (op >= 0xA4 && op <= 0xAF) return op == 0xA8 ? kImm8 : op == 0xA9 ? kImmZ : 0;
  if (op >= 0xB0 && op <= 0xB7) return kImm8;
  if (op >= 0xB8 && op <= 0xBF) return kImmV;
  if (op >= 0xD8 && op <= 0xDF) return kModrm;  // x87
  if (op >= 0xE0 && op <= 0xE7) return kImm8;
  switch (op) {
    case 0x63:
      return kModrm;
    case 0x68:
      return kImmZ;
    case 0x69:
      return kModrm | kImmZ;
    case 0x6A:
      return kImm8;
    case 0x6B:
      return kModrm | kImm8;
    case 0x6C:
    case 0x6D:
    case 0x6E:
    case 0x6F:
      return 0;
    case 0x80:
      return kModrm | kImm8;
    case 0x81:
      return kModrm | kImmZ;
    case 0x83:
      return kModrm | kImm8;
    case 0xC0:
    case 0xC1:
      return kModrm | kImm8;
    case 0xC2:
      return kImm16;
    case 0xC3:
      return 0;
    case 0xC6:
      return kModrm | kImm8;
    case 0xC7:
      return kModrm | kImmZ;
    case 0xC8:
      return kEnter;
    case 0xC9:
      return 0;
    case 0xCA:
      return kImm16;
    case 0xCB:
    case 0xCC:
      return 0;
    case 0xCD:
      return kImm8;
    case 0xCF:
      return 0;
    case 0xD0:
    case 0xD1:
    case 0xD2:
    case 0xD3:
      return kModrm;
    case 0xD7:
      return 0;
    case 0xE8:
    case 0xE9:
      return kRel32;
    case 0xEB:
      return kImm8;
    case 0xEC:
    case 0xED:
    case 0xEE:
    case 0xEF:
      return 0;
    case 0xF1:
    case 0xF4:
    case 0xF5:
      return 0;
    case 0xF6:
    case 0xF7:
      return kModrm | kGroup3;
    case 0xF8:
    case 0xF9:
    case 0xFA:
    case 0xFB:
    case 0xFC:
    case 0xFD:
      return 0;
    case 0xFE:
    case 0xFF:
      return kModrm;
    default:
      return kInvalid;  // 60-62, 82, C4/C5 and 62 handled as prefixes, CE, D4-D6, EA
  }
}

uint16_t TwoByteMap(uint8_t op) {
  if (op <= 0x03) return kModrm;
  if (op >= 0x10 && op <= 0x1F) return kModrm;
  if (op >= 0x20 && op <= 0x23) return kModrm | kRegOnly;
  if (op >= 0x28 && op <= 0x2F) return kModrm;
  if (op >= 0x40 && op <= 0x6F) return kModrm;
  if (op >= 0x70 && op <= 0x73) return kModrm | kImm8;
  if (op >= 0x74 && op <= 0x7F) return op == 0x77 ? 0 : kModrm;
  if (op >= 0x80 && op <= 0x8F) return kRel32;
  if (op >= 0x90 && op <= 0x9F) return kModrm;
  if (op >= 0xB0 && op <= 0xBF) return op == 0xBA ? kModrm | kImm8 : kModrm;
  if (op >= 0xC8 && op <= 0xCF) return 0;  // bswap
  if (op >= 0xD0) return kModrm;
  switch (op) {
    case 0x05:
    case 0x06:
    case 0x07:
    case 0x08:
    case 0x09:
    case 0x0B:
    case 0x0E:
      return 0;
    case 0x0D:
      return kModrm;
    case 0x0F:
      return kModrm | kImm8;  // 3DNow!: the opcode follows as an immediate byte
    case 0x30:
    case 0x31:
    case 0x32:
    case 0x33:
    case 0x34:
    case 0x35:
    case 0x37:
      return 0;
    case 0xA0:
    case 0xA1:
    case 0xA2:
    case 0xA8:
    case 0xA9:
    case 0xAA:
      return 0;
    case 0xA3:
    case 0xA5:
    case 0xAB:
    case 0xAD:
    case 0xAE:
    case 0xAF:
      return kModrm;
    case 0xA4:
    case 0xAC:
      return kModrm | kImm8;
    case 0xC0:
    case 0xC1:
    case 0xC3:
    case 0xC7:
      return kModrm;
    case 0xC2:
    case 0xC4:
    case 0xC5:
    case 0xC6:
      return kModrm | kImm8;
    default:
      return kInvalid;
  }
}

uint16_t MapFlags(uint8_t map, uint8_t op) {
  switch (map) {
    case 0:
      return OneByteMap(op);
    case 1:
      return TwoByteMap(op);
    case 2:
      return kModrm;
    default:
      return kModrm | kImm8;
  }
}

bool IsLegacyPrefix(uint8_t b) {
  switch (b) {
    case 0xF0:
    case 0xF2:
    case 0xF3:
    case 0x2E:
    case 0x36:
    case 0x3E:
    case 0x26:
    case 0x64:
    case 0x65:
    case 0x66:
    case 0x67:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool Decode(std::span<const uint8_t> code, Instruction *out, std::string *reason) {
  constexpr size_t kMaxLength = 15;
  Instruction in;
  size_t p = 0;
  auto fail = [&](const char *why) {
    if (reason != nullptr) *reason = why;
    return false;
  };
  auto have = [&](size_t n) { return p + n <= code.size() && p + n <= kMaxLength; };

  // Legacy prefixes in any order; a REX prefix counts only right before the opcode.
  for (;;) {
    if (!have(1)) return fail("truncated instruction");
    uint8_t b = code[p];
    if (IsLegacyPrefix(b)) {
      in.rex = 0;
      switch (b) {
        case 0xF0:
          in.lock = true;
          break;
        case 0xF2:
          in.repne = true;
          break;
        case 0xF3:
          in.rep = true;
          break;
        case 0x66:
          in.opsize = true;
          break;
        case 0x67:
          in.addr32 = true;
          break;
        default:
          in.segment = b;
          break;
      }
      ++p;
      continue;
    }
    if ((b & 0xF0) == 0x40) {
      in.rex = b;
      ++p;
      continue;
    }
    break;
  }

  uint8_t b = code[p++];
  if (b == 0xC4 || b == 0xC5) {
    // VEX: the prefix carries the inverted REX bits, the map and the operand size.
    in.vex = true;
    if (b == 0xC5) {
      if (!have(1)) return fail("truncated VEX prefix");
      uint8_t v = code[p++];
      in.rex = 0x40 | ((v & 0x80) ? 0 : 4);
      in.map = 1;
    } else {
      if (!have(2)) return fail("truncated VEX prefix");
      uint8_t v1 = code[p++];
      uint8_t v2 = code[p++];
      in.rex = 0x40 | ((v1 & 0x80) ? 0 : 4) | ((v1 & 0x40) ? 0 : 2) | ((v1 & 0x20) ? 0 : 1) |
               ((v2 & 0x80) ? 8 : 0);
      in.map = v1 & 0x1F;
      if (in.map < 1 || in.map > 3) return fail("VEX prefix with an undefined opcode map");
    }
  } else if (b == 0x62) {
    return fail("EVEX-encoded instruction");
  } else if (b == 0x0F) {
    if (!have(1)) return fail("truncated opcode");
    uint8_t b2 = code[p];
    if (b2 == 0x38 || b2 == 0x3A) {
      in.map = b2 == 0x38 ? 2 : 3;
      ++p;
    } else {
      in.map = 1;
    }
  } else {
    in.map = 0;
    --p;
  }
  if (!have(1)) return fail("truncated opcode");
  in.opcode = code[p++];

  uint16_t flags = MapFlags(in.map, in.opcode);
  if (in.vex) {
    // Under VEX every opcode takes a ModRM except vzeroupper/vzeroall.
    flags = (in.map == 1 && in.opcode == 0x77) ? 0 : kModrm | (flags & kImm8);
    if (in.map == 3) flags |= kImm8;
  }
  if (flags & kInvalid) return fail("opcode invalid in 64-bit mode");
  if (in.map == 0 && !in.vex && code.size() > p) {
    // Groups 4 and 5 leave some ModRM.reg values undefined.
    uint8_t reg = (code[p] >> 3) & 7;
    if ((in.opcode == 0xFE && reg >= 2) || (in.opcode == 0xFF && reg == 7))
      return fail("undefined opcode extension");
  }

  const uint8_t rexR = (in.rex & 4) ? 8 : 0;
  const uint8_t rexX = (in.rex & 2) ? 8 : 0;
  const uint8_t rexB = (in.rex & 1) ? 8 : 0;

  if (flags & kModrm) {
    if (!have(1)) return fail("truncated ModRM");
    uint8_t modrm = code[p++];
    in.hasModrm = true;
    in.mod = modrm >> 6;
    in.reg = ((modrm >> 3) & 7) | rexR;
    in.rm = modrm & 7;
    if (in.mod == 3 || (flags & kRegOnly)) {
      in.rm |= rexB;
    } else {
      in.memory = true;
      size_t dispSize = in.mod == 1 ? 1 : in.mod == 2 ? 4 : 0;
      if (in.rm == 4) {
        if (!have(1)) return fail("truncated SIB");
        uint8_t sib = code[p++];
        in.scale = static_cast<uint8_t>(1u << (sib >> 6));
        int index = ((sib >> 3) & 7) | rexX;
        in.index = index == 4 ? kNoRegister : index;
        if ((sib & 7) == 5 && in.mod == 0) {
          in.base = kNoRegister;
          dispSize = 4;
        } else {
          in.base = (sib & 7) | rexB;
        }
      } else if (in.rm == 5 && in.mod == 0) {
        in.base = kRip;
        dispSize = 4;
      } else {
        in.base = in.rm | rexB;
      }
      in.rm |= rexB;
      if (!have(dispSize)) return fail("truncated displacement");
      if (dispSize == 1) {
        in.displacement = static_cast<int8_t>(code[p]);
      } else if (dispSize == 4) {
        int32_t d;
        __builtin_memcpy(&d, &code[p], 4);
        in.displacement = d;
      }
      p += dispSize;
    }
  }

  size_t immSize = 0;
  if (flags & kImm8) immSize = 1;
  if (flags & kImmZ) immSize = (in.opsize && !in.rexW()) ? 2 : 4;
  if (flags & kImm16) immSize = 2;
  if (flags & kImmV) immSize = in.rexW() ? 8 : in.opsize ? 2 : 4;
  if (flags & kEnter) immSize = 3;
  if (flags & kRel32) immSize = 4;
  if ((flags & kGroup3) && (in.reg & 7) <= 1)
    immSize = in.opcode == 0xF6 ? 1 : (in.opsize && !in.rexW()) ? 2 : 4;
  if (flags & kMoffs) {
    size_t n = in.addr32 ? 4 : 8;
    if (!have(n)) return fail("truncated address");
    uint64_t address = 0;
    __builtin_memcpy(&address, &code[p], n);
    in.memory = true;
    in.absolute = true;
    in.displacement = static_cast<int64_t>(address);
    p += n;
  }
  if (immSize > 0) {
    if (!have(immSize)) return fail("truncated immediate");
    switch (immSize) {
      case 1:
        in.immediate = static_cast<int8_t>(code[p]);
        break;
      case 2: {
        int16_t v;
        __builtin_memcpy(&v, &code[p], 2);
        in.immediate = v;
        break;
      }
      case 3: {  // enter: frame size and nesting level, kept unsigned
        in.immediate = code[p] | (code[p + 1] << 8) | (code[p + 2] << 16);
        break;
      }
      case 4: {
        int32_t v;
        __builtin_memcpy(&v, &code[p], 4);
        in.immediate = v;
        break;
      }
      default:
        __builtin_memcpy(&in.immediate, &code[p], 8);
        break;
    }
    in.immediateSize = static_cast<uint8_t>(immSize);
    p += immSize;
  }
  in.length = static_cast<uint8_t>(p);
  *out = in;
  return true;
}

std::string HexBytes(const uint8_t *bytes, size_t n) {
  std::string s;
  char buf[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    if (i > 0) s += ' ';
    s += buf;
  }
  return s;
}

}  // namespace sim::image
