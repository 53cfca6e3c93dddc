// What the processor does for an image that user mode cannot: its faulting instructions
// are caught (SIGSEGV, SIGILL, SIGTRAP, SIGFPE, SIGBUS on an alternate signal stack) and
// carried out against the simulated machine:
//   - mov to/from CR8: the IRQL (lowering it delivers pending interrupts and DPCs);
//   - 32-bit mov loads and stores through a register mapping: the card's registers;
//   - 32/64-bit loads from the shared user data page: the interrupt and system time;
//   - the trap that replaced a full fence: a memory barrier the card's trace sees.
// The work happens outside the signal handler: the handler only parks the faulting
// context on the faulting stack and resumes in a trampoline that calls the machine,
// so a register access can run the machine (interrupts, DPCs, image code again) and
// later be a preemption point. Anything else is a verifier stop naming the image
// offset and the instruction's bytes.
#pragma once

#include <cstdint>

namespace sim::image {

class Image;

// Installs the handlers (once per process) and gives the calling thread an alternate
// signal stack. Every thread that runs image code calls it first; loading an image
// does it for the loading thread.
void PrepareThreadForImages();

// The images whose faults are the machine's to handle.
void RegisterImageCode(const Image *image);
void UnregisterImageCode(const Image *image);
const Image *FindImage(uintptr_t address);

// The kernel's shared user data page, read by header macros (system and interrupt time).
constexpr uint64_t kSharedUserData = 0xFFFFF78000000000ull;

// Faults handled so far in this process, by kind (for measurements and tests).
struct TrapCounts {
  uint64_t irql = 0;
  uint64_t registerReads = 0;
  uint64_t registerWrites = 0;
  uint64_t barriers = 0;
  uint64_t sharedData = 0;
};
TrapCounts trapCounts();

}  // namespace sim::image
