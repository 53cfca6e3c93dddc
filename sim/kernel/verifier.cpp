// The verifier's reports: the rules by name, the stop that ends a scenario and the record
// of what stopped it.
#include "sim/kernel/verifier.h"

namespace sim {

const char *RuleName(Rule rule) {
  switch (rule) {
    case Rule::IrqlTooHigh:
      return "service called above its IRQL limit";
    case Rule::WaitAtDispatch:
      return "wait or sleep at DISPATCH_LEVEL or above";
    case Rule::SpinLockRecursion:
      return "spin lock acquired while already held";
    case Rule::SpinLockNotHeld:
      return "spin lock released while not held";
    case Rule::PoolDoubleFree:
      return "pool freed twice";
    case Rule::PoolBadFree:
      return "pool freed that was never allocated";
    case Rule::PoolLeak:
      return "pool left allocated when its owner went away";
    case Rule::RegisterAccess:
      return "register access outside a live mapping";
    case Rule::DmaOutsideBuffer:
      return "device DMA outside a live common buffer";
    case Rule::FreedArmedObject:
      return "memory freed while holding an armed timer or queued DPC";
    case Rule::Deadlock:
      return "wait that nothing pending can satisfy";
    case Rule::InterruptStorm:
      return "level interrupt stays asserted and unclaimed";
    case Rule::IrpMisuse:
      return "IRP misuse";
    case Rule::ObjectReference:
      return "object reference count misuse";
    case Rule::LockedStreamPointer:
      return "stream pointer still locked when its pin stops";
    case Rule::ResourceLeak:
      return "hardware resource left held";
    case Rule::InvalidParameter:
      return "invalid parameter to a platform service";
    case Rule::BugCheck:
      return "the driver bug-checked";
    case Rule::Unemulated:
      return "instruction or memory the simulated processor does not emulate";
    case Rule::MutexNotHeld:
      return "service called without the mutex it requires";
    case Rule::CodeIntegrity:
      return "executable memory refused by the code-integrity checks";
  }
  return "unknown rule";
}

VerifierStop::VerifierStop(Rule rule, std::string message)
    : rule_(rule),
      message_(std::move(message)),
      text_(std::string("verifier stop: ") + RuleName(rule) + ": " + message_) {}

void Verifier::Stop(Rule rule, std::string message) {
  stopped_ = true;
  if (context_) message += " [" + context_() + "]";
  VerifierStop stop(rule, std::move(message));
  reports_.push_back(stop.what());
  throw stop;
}

}  // namespace sim
