// A simulated thread as the threaded machine keeps it, and the interrupt object (internal
// to sim/kernel).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "sim/kernel/fiber.h"
#include "sim/kernel/machine.h"

// The interrupt object behind PKINTERRUPT.
struct _KINTERRUPT {
  PKSERVICE_ROUTINE routine;
  PVOID context;
  ULONG vector;
  KIRQL irql;
  KIRQL syncIrql;
  KINTERRUPT_MODE mode;
  bool shared;
  bool connected;
  KSPIN_LOCK lock;
  KAFFINITY affinity;
  bool platformOwned = false;  // a simulated neighbour's, not a driver's resource
};

namespace sim {

// Unwinds a thread that will never run again (the machine is going away).
struct ThreadKill {};

struct Thread {
  enum class State { Ready, Running, Blocked, Finished };

  uint32_t id = 0;
  std::string name;
  ThreadKind kind = ThreadKind::Client;
  std::unique_ptr<Fiber> fiber;
  std::function<void()> body;
  State state = State::Ready;
  int64_t priority = 0;
  uint64_t readySince = 0;         // order among equal priorities
  Processor *processor = nullptr;  // while running; an idle loop's own processor
  KIRQL savedIrql = PASSIVE_LEVEL;
  Nanos *account = nullptr;  // charged time of its passive code (Machine::AccountScope)

  // What it waits for while blocked.
  const void *waitObject = nullptr;
  const SimMutex *waitMutex = nullptr;
  std::function<bool()> predicate;
  bool idleOnly = false;    // the predicate is looked at only when nothing else can run
  bool daemonWait = false;  // a worker waiting for work is not stuck
  bool hasTimeout = false;
  Machine::EventId timeout = 0;
  bool timedOut = false;
  uint64_t blockedAt = 0;  // arrival order for the object's wakers

  bool kill = false;       // set while the machine unwinds it
  bool unwinding = false;  // the kill is under way in this thread
};

}  // namespace sim
