#include "sim/image/unwind.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

extern "C" void __register_frame(void *begin);
extern "C" void __deregister_frame(void *begin);

namespace sim::image {

namespace {

// Unwind operation codes of the x64 unwind data.
enum UnwindOp : uint8_t {
  kPushNonvol = 0,
  kAllocLarge = 1,
  kAllocSmall = 2,
  kSetFpreg = 3,
  kSaveNonvol = 4,
  kSaveNonvolFar = 5,
  kEpilog = 6,  // version 2 only: where the epilogs are, nothing about the prolog
  kSpareCode = 7,
  kSaveXmm128 = 8,
  kSaveXmm128Far = 9,
  kPushMachframe = 10,
};
constexpr uint8_t kFlagChainInfo = 4;

// DWARF register numbers of the x64 unwind data's register numbers (rax, rcx, rdx, rbx,
// rsp, rbp, rsi, rdi, r8-r15).
constexpr uint8_t kDwarfRegister[16] = {0, 2, 1, 3, 7, 6, 4, 5, 8, 9, 10, 11, 12, 13, 14, 15};
constexpr uint8_t kDwarfRsp = 7;
constexpr uint8_t kDwarfReturnAddress = 16;
constexpr uint8_t kDwarfXmm0 = 17;

enum : uint8_t {
  DW_CFA_nop = 0x00,
  DW_CFA_advance_loc1 = 0x02,
  DW_CFA_def_cfa = 0x0c,
  DW_CFA_def_cfa_offset = 0x0e,
  DW_CFA_offset_extended_sf = 0x11,
  DW_CFA_offset = 0x80,
};

struct Op {
  uint8_t offset;  // end of the prolog instruction, from the function start
  uint8_t code;
  uint8_t info;
  uint32_t value;  // allocation size or save offset, already scaled
  bool own;        // of the function itself (not of a chained parent)
};

struct Info {
  uint8_t frameRegister;
  uint8_t frameOffset;  // scaled
};

class Translator {
 public:
  explicit Translator(const UnwindInput &in) : in_(in) {}

  std::vector<uint8_t> Run() {
    EmitCie();
    std::vector<std::pair<uint32_t, uint32_t>> covered;
    for (const RuntimeFunction &f : *in_.functions) {
      if (f.end == f.begin) continue;
      EmitFunction(f);
      covered.emplace_back(f.begin, f.end);
    }
    // Whatever code no entry covers is leaf code: the return address is at [rsp].
    std::sort(covered.begin(), covered.end());
    for (auto [begin, end] : in_.code) {
      uint32_t at = begin;
      for (auto [fb, fe] : covered) {
        if (fe <= at || fb >= end) continue;
        if (fb > at) EmitFde(at, fb, {});
        at = std::max(at, fe);
      }
      if (at < end) EmitFde(at, end, {});
    }
    Put32(0);
    return std::move(out_);
  }

 private:
  [[noreturn]] void Fail(uint32_t function, const std::string &what) const {
    char where[32];
    std::snprintf(where, sizeof where, "0x%x", function);
    throw ImageError(in_.name + ": unwind data of the function at RVA " + where + ": " + what);
  }

  uint8_t Byte(uint32_t rva, uint32_t function) const {
    if (rva >= in_.image.size()) Fail(function, "lies outside the image");
    return in_.image[rva];
  }
  uint16_t Word(uint32_t rva, uint32_t function) const {
    return static_cast<uint16_t>(Byte(rva, function) | (Byte(rva + 1, function) << 8));
  }
  uint32_t Dword(uint32_t rva, uint32_t function) const {
    return Word(rva, function) | (static_cast<uint32_t>(Word(rva + 2, function)) << 16);
  }

  // Reads one unwind info (and its chained parents) into ops in prolog order.
  void ReadInfo(uint32_t infoRva, uint32_t function, bool own, int depth, std::vector<Op> *ops,
                Info *info) {
    if (depth > 32) Fail(function, "chained unwind information does not end");
    uint8_t versionFlags = Byte(infoRva, function);
    uint8_t version = versionFlags & 7;
    uint8_t flags = versionFlags >> 3;
    if (version != 1 && version != 2)
      Fail(function, "unknown unwind version " + std::to_string(version));
    uint8_t count = Byte(infoRva + 2, function);
    uint8_t frame = Byte(infoRva + 3, function);
    if (own || info->frameRegister == 0) {
      info->frameRegister = frame & 0x0F;
      info->frameOffset = static_cast<uint8_t>((frame >> 4) * 16);
    }
    std::vector<Op> mine;
    uint32_t codes = infoRva + 4;
    for (uint32_t i = 0; i < count;) {
      uint8_t offset = Byte(codes + 2 * i, function);
      uint8_t opInfo = Byte(codes + 2 * i + 1, function);
      Op op{offset, static_cast<uint8_t>(opInfo & 0x0F), static_cast<uint8_t>(opInfo >> 4), 0, own};
      auto slot = [&](uint32_t k) {
        if (i + k >= count) Fail(function, "an unwind code runs past the code array");
        return Word(codes + 2 * (i + k), function);
      };
      uint32_t used = 1;
      switch (op.code) {
        case kPushNonvol:
        case kSetFpreg:
          break;
        case kAllocSmall:
          op.value = op.info * 8u + 8u;
          break;
        case kAllocLarge:
          if (op.info == 0) {
            op.value = slot(1) * 8u;
            used = 2;
          } else if (op.info == 1) {
            op.value = slot(1) | (static_cast<uint32_t>(slot(2)) << 16);
            used = 3;
          } else {
            Fail(function, "large allocation with operation info " + std::to_string(op.info));
          }
          break;
        case kSaveNonvol:
          op.value = slot(1) * 8u;
          used = 2;
          break;
        case kSaveNonvolFar:
          op.value = slot(1) | (static_cast<uint32_t>(slot(2)) << 16);
          used = 3;
          break;
        case kSaveXmm128:
          op.value = slot(1) * 16u;
          used = 2;
          break;
        case kSaveXmm128Far:
          op.value = slot(1) | (static_cast<uint32_t>(slot(2)) << 16);
          used = 3;
          break;
        case kEpilog:
          if (version != 2) Fail(function, "unwind code 6 in version 1 unwind data");
          i += 1;
          continue;
        case kPushMachframe:
          Fail(function, "a machine frame (an interrupt or trap handler), which is not supported");
        default:
          Fail(function, "unknown unwind code " + std::to_string(op.code));
      }
      mine.push_back(op);
      i += used;
    }
    // The array lists the prolog backwards; the parent's prolog ran before ours.
    std::reverse(mine.begin(), mine.end());
    if (flags & kFlagChainInfo) {
      uint32_t parent = codes + 2 * ((count + 1u) & ~1u);
      uint32_t parentInfo = Dword(parent + 8, function);
      ReadInfo(parentInfo, function, false, depth + 1, ops, info);
    }
    ops->insert(ops->end(), mine.begin(), mine.end());
  }

  void EmitFunction(const RuntimeFunction &f) {
    std::vector<Op> ops;
    Info info{0, 0};
    ReadInfo(f.unwindInfo, f.begin, true, 0, &ops, &info);

    // Saves are relative to the establisher frame: the stack pointer when the frame
    // register was set, or after the whole prolog when there is none.
    uint64_t depth = 8;
    uint64_t establisher = 0;
    bool framed = false;
    for (const Op &op : ops) {
      if (op.code == kPushNonvol) depth += 8;
      if (op.code == kAllocSmall || op.code == kAllocLarge) depth += op.value;
      if (op.code == kSetFpreg) {
        if (info.frameRegister == 0) Fail(f.begin, "sets a frame register but names none");
        framed = true;
        establisher = depth;
      }
    }
    if (!framed) establisher = depth;

    std::vector<uint8_t> cfi;
    uint64_t rspToCfa = 8;
    bool cfaOnFrameRegister = false;
    uint8_t at = 0;
    for (const Op &op : ops) {
      if (op.own && op.offset > at) {
        cfi.push_back(DW_CFA_advance_loc1);
        cfi.push_back(static_cast<uint8_t>(op.offset - at));
        at = op.offset;
      }
      switch (op.code) {
        case kPushNonvol:
          rspToCfa += 8;
          if (!cfaOnFrameRegister) DefCfaOffset(&cfi, rspToCfa);
          SaveAt(&cfi, kDwarfRegister[op.info], -static_cast<int64_t>(rspToCfa));
          break;
        case kAllocSmall:
        case kAllocLarge:
          rspToCfa += op.value;
          if (!cfaOnFrameRegister) DefCfaOffset(&cfi, rspToCfa);
          break;
        case kSetFpreg: {
          if (info.frameOffset > rspToCfa) Fail(f.begin, "frame register above the frame");
          cfaOnFrameRegister = true;
          cfi.push_back(DW_CFA_def_cfa);
          Uleb(&cfi, kDwarfRegister[info.frameRegister]);
          Uleb(&cfi, rspToCfa - info.frameOffset);
          break;
        }
        case kSaveNonvol:
        case kSaveNonvolFar:
          SaveAt(&cfi, kDwarfRegister[op.info],
                 static_cast<int64_t>(op.value) - static_cast<int64_t>(establisher));
          break;
        case kSaveXmm128:
        case kSaveXmm128Far:
          SaveAt(&cfi, static_cast<uint8_t>(kDwarfXmm0 + op.info),
                 static_cast<int64_t>(op.value) - static_cast<int64_t>(establisher));
          break;
      }
    }
    EmitFde(f.begin, f.end, cfi);
  }

  static void DefCfaOffset(std::vector<uint8_t> *cfi, uint64_t offset) {
    cfi->push_back(DW_CFA_def_cfa_offset);
    Uleb(cfi, offset);
  }
  // The register's value is saved at CFA + offset.
  static void SaveAt(std::vector<uint8_t> *cfi, uint8_t reg, int64_t offset) {
    if (offset < 0 && offset % 8 == 0) {
      cfi->push_back(static_cast<uint8_t>(DW_CFA_offset | reg));
      Uleb(cfi, static_cast<uint64_t>(-offset / 8));
    } else {
      // Above the frame (the caller's home space) or not a multiple of 8.
      cfi->push_back(DW_CFA_offset_extended_sf);
      Uleb(cfi, reg);
      Sleb(cfi, offset / -8);
    }
  }

  void EmitCie() {
    size_t start = out_.size();
    Put32(0);           // length, patched below
    Put32(0);           // CIE id
    out_.push_back(1);  // version
    out_.push_back(0);  // no augmentation: absolute 8-byte addresses
    Uleb(&out_, 1);     // code alignment
    Sleb(&out_, -8);    // data alignment
    out_.push_back(kDwarfReturnAddress);
    // On entry the return address is at [rsp] and the caller's rsp is rsp + 8.
    out_.push_back(DW_CFA_def_cfa);
    Uleb(&out_, kDwarfRsp);
    Uleb(&out_, 8);
    out_.push_back(static_cast<uint8_t>(DW_CFA_offset | kDwarfReturnAddress));
    Uleb(&out_, 1);
    Finish(start);
  }

  void EmitFde(uint32_t begin, uint32_t end, const std::vector<uint8_t> &cfi) {
    size_t start = out_.size();
    Put32(0);
    Put32(static_cast<uint32_t>(out_.size()));  // back to the CIE at offset 0
    Put64(in_.base + begin);
    Put64(end - begin);
    out_.insert(out_.end(), cfi.begin(), cfi.end());
    Finish(start);
  }

  // Pads to 8 bytes with no-ops and writes the length.
  void Finish(size_t start) {
    while ((out_.size() - start) % 8 != 0) out_.push_back(DW_CFA_nop);
    uint32_t length = static_cast<uint32_t>(out_.size() - start - 4);
    std::memcpy(&out_[start], &length, 4);
  }

  void Put32(uint32_t v) {
    uint8_t b[4];
    std::memcpy(b, &v, 4);
    out_.insert(out_.end(), b, b + 4);
  }
  void Put64(uint64_t v) {
    uint8_t b[8];
    std::memcpy(b, &v, 8);
    out_.insert(out_.end(), b, b + 8);
  }
  static void Uleb(std::vector<uint8_t> *out, uint64_t v) {
    do {
      uint8_t b = v & 0x7F;
      v >>= 7;
      if (v != 0) b |= 0x80;
      out->push_back(b);
    } while (v != 0);
  }
  static void Sleb(std::vector<uint8_t> *out, int64_t v) {
    for (;;) {
      uint8_t b = v & 0x7F;
      v >>= 7;
      bool done = (v == 0 && !(b & 0x40)) || (v == -1 && (b & 0x40));
      if (!done) b |= 0x80;
      out->push_back(b);
      if (done) break;
    }
  }

  const UnwindInput &in_;
  std::vector<uint8_t> out_;
};

}  // namespace

std::vector<uint8_t> TranslateUnwindData(const UnwindInput &input) {
  return Translator(input).Run();
}

void RegisterFrameInfo(std::vector<uint8_t> &frames) { __register_frame(frames.data()); }

void DeregisterFrameInfo(std::vector<uint8_t> &frames) { __deregister_frame(frames.data()); }

}  // namespace sim::image
