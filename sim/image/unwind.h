// The image's x64 unwind data (.pdata/.xdata) restated as DWARF call-frame information
// for the host unwinder, so that a verifier stop raised while image code is on the
// stack unwinds through the image's frames like through any other.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/image/pe_image.h"

namespace sim::image {

struct UnwindInput {
  std::string name;                // for messages
  std::span<const uint8_t> image;  // the mapped image
  uintptr_t base;                  // where it is mapped
  const std::vector<RuntimeFunction> *functions;
  // Executable ranges (rva, end): code outside every function entry is a leaf, whose
  // return address is at the stack pointer.
  std::vector<std::pair<uint32_t, uint32_t>> code;
};

// The frame information in the .eh_frame layout with absolute addresses, ending with a
// zero terminator. Throws ImageError for unwind data it cannot restate.
std::vector<uint8_t> TranslateUnwindData(const UnwindInput &input);

// Hands the frame information to the host unwinder and takes it back. The bytes must
// stay where they are while registered.
void RegisterFrameInfo(std::vector<uint8_t> &frames);
void DeregisterFrameInfo(std::vector<uint8_t> &frames);

}  // namespace sim::image
