// The verifier: breaking a platform rule stops the simulation with a report, as the
// real platform would bug-check or hang.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <vector>

namespace sim {

enum class Rule {
  IrqlTooHigh,          // a service called above its IRQL limit
  WaitAtDispatch,       // waiting or sleeping at DISPATCH_LEVEL or above
  SpinLockRecursion,    // acquiring a spin lock already held
  SpinLockNotHeld,      // releasing a spin lock that is not held
  PoolDoubleFree,       // freeing pool twice
  PoolBadFree,          // freeing pool that was never allocated (or with the wrong tag)
  PoolLeak,             // pool left allocated when its owner goes away
  RegisterAccess,       // registers touched outside the mapping or after unmapping
  DmaOutsideBuffer,     // the card's DMA outside a live common buffer
  FreedArmedObject,     // memory freed while it holds an armed timer or a queued DPC
  Deadlock,             // a wait that nothing pending can satisfy
  InterruptStorm,       // a level interrupt that stays asserted and is never claimed
  IrpMisuse,            // IRP stack overrun, completion without owner, bad free
  ObjectReference,      // reference count underflow
  LockedStreamPointer,  // a stream pointer still locked when its pin stops
  ResourceLeak,         // mappings, interrupts or DMA adapters left held at removal
  InvalidParameter,     // a service given an argument the platform rejects fatally
  BugCheck,             // the driver called KeBugCheckEx, or its code faulted
  Unemulated,           // an instruction or memory access the simulated processor lacks
  MutexNotHeld,         // a service that needs a mutex held called without it
  CodeIntegrity,        // executable memory the code-integrity checks refuse
};

const char *RuleName(Rule rule);

// Thrown through the scenario (driver code included) when a rule is broken.
class VerifierStop : public std::exception {
 public:
  VerifierStop(Rule rule, std::string message);
  Rule rule() const { return rule_; }
  const std::string &message() const { return message_; }
  const char *what() const noexcept override { return text_.c_str(); }

 private:
  Rule rule_;
  std::string message_;
  std::string text_;
};

class Verifier {
 public:
  // Records the report and throws VerifierStop; the machine is dead afterwards.
  [[noreturn]] void Stop(Rule rule, std::string message);
  bool stopped() const { return stopped_; }
  const std::vector<std::string> &reports() const { return reports_; }
  // Where a stop happened (the schedule's seed, the thread, how to replay it), appended
  // to every report.
  void SetContext(std::function<std::string()> context) { context_ = std::move(context); }

 private:
  bool stopped_ = false;
  std::function<std::string()> context_;
  std::vector<std::string> reports_;
};

}  // namespace sim
