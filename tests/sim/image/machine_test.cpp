// Image code on the simulated machine: the instructions user mode cannot run reach the
// machine, anything else stops it naming where, and stops unwind out through the image.
#include <gtest/gtest.h>
#include <unwind.h>

#include <set>
#include <string>
#include <vector>

#include "image_rig.h"
#include "sim/image/trap.h"
#include "sim/image/x86_decode.h"
#include "sim/kernel/machine.h"
#include "support/verifier_expect.h"

namespace {

using image_rig::Function;
using image_rig::HostFunction;
using image_rig::LoggingDevice;
using sim::Machine;
using sim::Rule;
using sim::image::Image;

class ImageOnMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_WINDOWS_FILE(path, "tests/sim/image/probe/probe.sys");
    image = Image::LoadFile(path, image_rig::ProbeExports());
    machine = std::make_unique<Machine>();
    machine->AttachPciDevice(&device);
    registers = static_cast<ULONG *>(machine->MapIoSpace(device.windowBase(), 0x1000));
  }

  // "Stop text" of a scenario expected to stop the machine with `rule`.
  template <typename F>
  std::string StopOf(Rule rule, F &&scenario) {
    try {
      scenario();
    } catch (const sim::VerifierStop &stop) {
      EXPECT_EQ(stop.rule(), rule) << stop.what();
      return stop.what();
    }
    ADD_FAILURE() << "expected a verifier stop: " << sim::RuleName(rule);
    return "";
  }
  // Offset of the first occurrence of bytes in the function's code.
  uint32_t Find(const char *function, std::vector<uint8_t> bytes) const {
    const auto *code = static_cast<const uint8_t *>(image->Export(function));
    for (uint32_t i = 0; i < 64; ++i)
      if (std::equal(bytes.begin(), bytes.end(), code + i)) return i;
    ADD_FAILURE() << "no " << sim::image::HexBytes(bytes.data(), bytes.size()) << " in "
                  << function;
    return 0;
  }
  std::string At(const char *function, uint32_t offset = 0) const {
    return image->Describe(reinterpret_cast<uintptr_t>(image->Export(function)) + offset);
  }

  std::unique_ptr<Image> image;
  LoggingDevice device;
  std::unique_ptr<Machine> machine;
  ULONG *registers = nullptr;
};

TEST_F(ImageOnMachine, Cr8IsTheIrqlAndLoweringItRunsTheDpcsQueuedMeanwhile) {
  auto irql = Function<uint32_t, uint8_t, void *>(*image, "ProbeIrql");
  struct Seen {
    KIRQL atCallback = 0xFF;
    KIRQL inDpc = 0xFF;
    bool dpcRanBeforeLowering = false;
  } seen;
  KDPC dpc;
  KeInitializeDpc(
      &dpc,
      [](PKDPC, PVOID context, PVOID, PVOID)
          NTAPI { static_cast<Seen *>(context)->inDpc = Machine::Current().irql(); },
      &seen);
  HostFunction callback = [&] {
    seen.atCallback = machine->irql();
    KeInsertQueueDpc(&dpc, nullptr, nullptr);  // at DISPATCH_LEVEL it must wait
    seen.dpcRanBeforeLowering = seen.inDpc != 0xFF;
    return uintptr_t{0};
  };
  uint32_t result = irql(DISPATCH_LEVEL, &callback);
  EXPECT_EQ(seen.atCallback, DISPATCH_LEVEL);
  EXPECT_FALSE(seen.dpcRanBeforeLowering);
  EXPECT_EQ(seen.inDpc, DISPATCH_LEVEL);
  EXPECT_EQ(result, 0u | (DISPATCH_LEVEL << 8) | (0u << 16));  // before, during, after
  EXPECT_EQ(machine->irql(), PASSIVE_LEVEL);

  // Raising to the device level and back, from DISPATCH_LEVEL.
  HostFunction look = [&] { return uintptr_t{machine->irql()}; };
  machine->RaiseIrql(DISPATCH_LEVEL);
  EXPECT_EQ(irql(12, &look), 2u | (12u << 8) | (2u << 16));
  machine->LowerIrql(PASSIVE_LEVEL);
  EXPECT_GE(sim::image::trapCounts().irql, 6u);
}

TEST_F(ImageOnMachine, RegisterAccessesAndBarriersReachTheCardInProgramOrder) {
  auto access = Function<uint32_t, ULONG *, uint32_t>(*image, "ProbeRegisters");
  device.values[12] = 0x10;
  sim::Nanos before = machine->now();
  EXPECT_EQ(access(registers, 0x1234), 0x1234u + 0x10u);
  // The store's own ordering (WRITE_REGISTER_ULONG's interlocked or on the stack) is no
  // barrier; the explicit fence is.
  EXPECT_EQ(device.log, (std::vector<std::string>{"W4=4660", "B", "R4", "W8=1515847680", "R12"}));
  EXPECT_EQ(machine->now() - before, 2 * Machine::Options{}.registerReadCost)
      << "each read is a round trip to the card";

  // The card decodes only aligned 32-bit accesses; after unmapping, none.
  auto narrow = Function<void, USHORT *>(*image, "ProbeNarrowWrite");
  std::string stop =
      StopOf(Rule::RegisterAccess, [&] { narrow(reinterpret_cast<USHORT *>(registers)); });
  EXPECT_NE(stop.find("16-bit access at register offset 0x0"), std::string::npos) << stop;
  EXPECT_NE(stop.find(At("ProbeNarrowWrite", Find("ProbeNarrowWrite", {0x66, 0x89})) + " (66 89"),
            std::string::npos)
      << stop;
}

// The compiler may take a register's value straight into an xmm register (movd) to combine
// it with others; that is still one 32-bit access, and a 64-bit one (movq) is still refused.
TEST_F(ImageOnMachine, ScalarSseMovesAreRegisterAccessesOfTheirWidth) {
  auto sse = Function<uint32_t, ULONG *>(*image, "ProbeSseRegisters");
  device.values[4] = 0xCAFE0001;
  EXPECT_EQ(sse(registers), 0xCAFE0001u);
  EXPECT_EQ(device.log, (std::vector<std::string>{"R4", "W8=" + std::to_string(0xCAFE0001u)}));
  auto wide = Function<void, ULONG *>(*image, "ProbeWideSseRead");
  std::string stop = StopOf(Rule::RegisterAccess, [&] { wide(registers); });
  EXPECT_NE(stop.find("64-bit access at register offset 0x8"), std::string::npos) << stop;
}

TEST_F(ImageOnMachine, AnAccessToAnUnmappedRegisterWindowStopsAndUnwindsOutOfTheImage) {
  auto access = Function<uint32_t, ULONG *, uint32_t>(*image, "ProbeRegisters");
  machine->UnmapIoSpace(registers, 0x1000);
  std::string stop = StopOf(Rule::RegisterAccess, [&] { access(registers, 1); });
  EXPECT_NE(stop.find("after the mapping was unmapped"), std::string::npos) << stop;
  EXPECT_TRUE(device.log.empty());
}

// On the threaded machine image code runs on simulated threads: a trapped register access
// is a preemption point like the Linux build's, and CR8 is the IRQL of the processor the
// faulting thread runs on, not of the machine.
TEST_F(ImageOnMachine, OnSeveralProcessorsTrapsSwitchThreadsAndCr8IsEachProcessorsOwn) {
  auto access = Function<uint32_t, ULONG *, uint32_t>(*image, "ProbeRegisters");
  auto irql = Function<uint32_t, uint8_t, void *>(*image, "ProbeIrql");
  auto run = [&](uint64_t seed, bool *overlapped) {
    machine.reset();
    device.log.clear();
    device.values = {{12, 0x10}, {0x10c, 0x20}};
    Machine::Options options;
    options.processors = 2;
    options.seed = seed;
    options.schedule.steps = 200;
    machine = std::make_unique<Machine>(options);
    machine->AttachPciDevice(&device);
    registers = static_cast<ULONG *>(machine->MapIoSpace(device.windowBase(), 0x1000));
    bool aRaised = false;
    uint32_t a = machine->CreateThread("a", [&] {
      HostFunction inside = [&] {
        aRaised = true;
        for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(access(registers, i), i + 0x10u);
        aRaised = false;
        return uintptr_t{0};
      };
      EXPECT_EQ(irql(DISPATCH_LEVEL, &inside), 0u | (DISPATCH_LEVEL << 8) | (0u << 16));
    });
    uint32_t b = machine->CreateThread("b", [&] {
      HostFunction look = [&] {
        *overlapped |= aRaised;
        return uintptr_t{0};
      };
      for (uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(access(registers + 0x40, i), i + 0x20u);
        EXPECT_EQ(irql(APC_LEVEL, &look), 0u | (APC_LEVEL << 8) | (0u << 16)) << "seed " << seed;
      }
    });
    EXPECT_TRUE(machine->JoinThread(a));
    EXPECT_TRUE(machine->JoinThread(b));
    return device.log;
  };
  bool overlapped = false;
  std::set<std::vector<std::string>> orders;
  for (uint64_t seed = 1; seed <= 20; ++seed) orders.insert(run(seed, &overlapped));
  EXPECT_TRUE(overlapped) << "no seed ran b's raise while a was at DISPATCH_LEVEL";
  EXPECT_GT(orders.size(), 1u) << "every seed gave the same order of register accesses";
  bool ignored = false;
  EXPECT_EQ(run(7, &ignored), run(7, &ignored)) << "a seed is one schedule";
}

TEST_F(ImageOnMachine, TheSharedDataPageShowsTheMachinesTime) {
  machine->RunFor(3 * sim::kMillisecond + 700);
  auto system = Function<uint64_t>(*image, "ProbeSystemTime");
  auto interrupt = Function<uint64_t>(*image, "ProbeInterruptTime");
  EXPECT_EQ(system(), static_cast<uint64_t>(machine->SystemTime()));
  EXPECT_EQ(interrupt(), static_cast<uint64_t>(machine->now() / 100));
  auto ticks = Function<uint64_t>(*image, "ProbeTickCount");
  std::string stop = StopOf(Rule::Unemulated, [&] { ticks(); });
  EXPECT_NE(stop.find("KUSER_SHARED_DATA+0x320"), std::string::npos) << stop;
}

TEST_F(ImageOnMachine, FaultsStopTheMachineNamingTheImageOffsetAndTheBytes) {
  std::string stop = StopOf(Rule::Unemulated, [&] { Function<void>(*image, "ProbePrivileged")(); });
  EXPECT_NE(stop.find("privileged instruction"), std::string::npos) << stop;
  EXPECT_NE(stop.find(At("ProbePrivileged") + " (0f 09)"), std::string::npos) << stop;

  stop = StopOf(Rule::BugCheck, [&] { Function<void>(*image, "ProbeUndefined")(); });
  EXPECT_NE(stop.find("STATUS_ILLEGAL_INSTRUCTION"), std::string::npos) << stop;
  EXPECT_NE(stop.find(At("ProbeUndefined") + " (0f 0b)"), std::string::npos) << stop;

  auto read = Function<uint32_t, const ULONG *>(*image, "ProbeRead");
  stop = StopOf(Rule::BugCheck, [&] { read(reinterpret_cast<const ULONG *>(0x28)); });
  EXPECT_NE(stop.find("PAGE_FAULT_IN_NONPAGED_AREA: an access to 0x28"), std::string::npos) << stop;

  // Nothing to carry out a register read without a machine: an error, not a crash.
  machine.reset();
  EXPECT_THROW(read(registers), std::logic_error);
}

// The frames between the host callback and the test, as the host unwinder sees them,
// with the nonvolatile registers of the image's frames (DWARF numbers: rbx 3, rsi 4,
// rdi 5, rbp 6, r12-r15).
struct Frame {
  uintptr_t ip;
  uint64_t gr[16];
};
struct Walk {
  const Image *image;
  std::vector<Frame> frames;
};
_Unwind_Reason_Code Collect(_Unwind_Context *context, void *out) {
  auto *walk = static_cast<Walk *>(out);
  Frame f{_Unwind_GetIP(context), {}};
  if (walk->image->Contains(f.ip))
    for (int r : {3, 4, 5, 6, 12, 13, 14, 15}) f.gr[r] = _Unwind_GetGR(context, r);
  walk->frames.push_back(f);
  return _URC_NO_REASON;
}

TEST_F(ImageOnMachine, TheHostUnwinderWalksImageFramesAndRestoresTheirRegisters) {
  auto framed = Function<uintptr_t, void *>(*image, "ProbeFramed");
  Walk walk{image.get(), {}};
  HostFunction backtrace = [&] {
    _Unwind_Backtrace(Collect, &walk);
    return uintptr_t{7};
  };
  ASSERT_EQ(framed(&backtrace), 7u);
  const std::vector<Frame> &frames = walk.frames;

  auto inside = [&](const char *function, uintptr_t ip) {
    auto begin = reinterpret_cast<uintptr_t>(image->Export(function));
    const sim::image::RuntimeFunction *f = image->FindFunction(image->Rva(begin));
    return f != nullptr && ip > begin && ip <= image->base() + f->end;
  };
  const Frame *asmFrame = nullptr, *framedFrame = nullptr, *testFrame = nullptr;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (image->Contains(frames[i].ip)) {
      asmFrame = &frames[i];
      ASSERT_LT(i + 2, frames.size());
      framedFrame = &frames[i + 1];
      testFrame = &frames[i + 2];
      break;
    }
  }
  ASSERT_NE(asmFrame, nullptr) << "no image frame on the stack";
  ASSERT_NE(image->FindFunction(image->Rva(asmFrame->ip)), nullptr);
  EXPECT_FALSE(inside("ProbeFramed", asmFrame->ip)) << image->Describe(asmFrame->ip);
  ASSERT_TRUE(inside("ProbeFramed", framedFrame->ip)) << image->Describe(framedFrame->ip);
  EXPECT_EQ(asmFrame->gr[3], 0x2222222222222222u);
  EXPECT_EQ(asmFrame->gr[4], 0x7777777777777777u);
  EXPECT_EQ(asmFrame->gr[5], 0x8888888888888888u);
  // Restored from where the frame above saved them: the caller's home space (rbx), a
  // push (rbp, rsi), a slot in the frame (rdi); r12-r15 were never touched.
  EXPECT_EQ(framedFrame->gr[3], 0x1111111111111111u);
  EXPECT_EQ(framedFrame->gr[6], 0x6666666666666666u);
  EXPECT_EQ(framedFrame->gr[4], 0x4444444444444444u);
  EXPECT_EQ(framedFrame->gr[5], 0x5555555555555555u);
  EXPECT_EQ(framedFrame->gr[12], 0xccccccccccccccccu);
  EXPECT_EQ(framedFrame->gr[15], 0xababababababababu);
  // And on out of the image, into the test that called it.
  EXPECT_FALSE(image->Contains(testFrame->ip));
}

TEST_F(ImageOnMachine, AStopRaisedUnderImageFramesEndsTheScenarioCleanly) {
  auto framed = Function<uintptr_t, void *>(*image, "ProbeFramed");
  HostFunction fail = [&]() -> uintptr_t {
    std::vector<int> held(100, 1);  // host state below the image frames is released
    machine->verifier().Stop(Rule::InvalidParameter, "stopped under two image frames");
  };
  volatile uint64_t mine = 0x0123456789abcdefu;
  std::string stop = StopOf(Rule::InvalidParameter, [&] { framed(&fail); });
  EXPECT_NE(stop.find("stopped under two image frames"), std::string::npos);
  EXPECT_EQ(mine, 0x0123456789abcdefu);

  // The image runs again on a fresh machine.
  machine = std::make_unique<Machine>();
  HostFunction fine = [] { return uintptr_t{3}; };
  EXPECT_EQ(framed(&fine), 3u);
}

// The threaded machine runs its simulated threads as fibers of one host thread: each trap is
// taken on the faulting fiber's own stack and acts on that thread's processor, and a register
// access in the emulation is a preemption point, so two threads' accesses interleave.
TEST_F(ImageOnMachine, OnSeveralProcessorsEachThreadTrapsOnItsOwnStackAndProcessor) {
  auto access = Function<uint32_t, ULONG *, uint32_t>(*image, "ProbeRegisters");
  auto irql = Function<uint32_t, uint8_t, void *>(*image, "ProbeIrql");
  int interleaved = 0;
  for (uint64_t seed = 1; seed <= 10; ++seed) {
    machine.reset();
    Machine::Options options;
    options.processors = 2;
    options.seed = seed;
    options.schedule.steps = 100;
    machine = std::make_unique<Machine>(options);
    device.values.clear();
    machine->AttachPciDevice(&device);
    registers = static_cast<ULONG *>(machine->MapIoSpace(device.windowBase(), 0x1000));
    std::vector<uint32_t> read[2], irqls[2];
    std::set<unsigned> processors[2];
    uint32_t threads[2];
    for (int t = 0; t < 2; ++t) {
      threads[t] = machine->CreateThread("image " + std::to_string(t), [&, t] {
        HostFunction look = [&] {
          processors[t].insert(machine->currentProcessor());
          return uintptr_t{KeGetCurrentIrql()};
        };
        for (uint32_t i = 0; i < 5; ++i) {
          read[t].push_back(access(registers, 0x100 * (t + 1) + i));
          irqls[t].push_back(irql(DISPATCH_LEVEL, &look));
        }
      });
    }
    for (uint32_t id : threads) ASSERT_TRUE(machine->JoinThread(id));
    for (int t = 0; t < 2; ++t) {
      ASSERT_EQ(read[t].size(), 5u);
      for (uint32_t i = 0; i < 5; ++i) {
        // Raised, seen raised by the host, lowered: on the thread's own processor, whatever
        // the other thread's level was meanwhile.
        EXPECT_EQ(irqls[t][i], uint32_t{PASSIVE_LEVEL} | (DISPATCH_LEVEL << 8)) << "seed " << seed;
        interleaved += read[t][i] != 0x100 * (t + 1) + i;
      }
    }
  }
  EXPECT_GT(interleaved, 0) << "the other thread writes between a write and its read-back";
}

// Image code that runs past the end of a thread's stack (into its guard page) is a stop, not
// a crash: the emulation reports it from the alternate signal stack and unwinds out.
TEST_F(ImageOnMachine, ImageCodeThatOverflowsAThreadsStackStopsTheMachine) {
  auto recurse = Function<uint32_t, volatile uint8_t *, uint32_t>(*image, "ProbeRecurse");
  machine.reset();
  Machine::Options options;
  options.processors = 2;
  options.threadStackBytes = 256 * 1024;
  machine = std::make_unique<Machine>(options);
  std::string stop = StopOf(Rule::BugCheck, [&] {
    uint32_t id = machine->CreateThread("deep", [&] { recurse(nullptr, 1u << 20); });
    machine->JoinThread(id);
  });
  EXPECT_NE(stop.find("the kernel stack overflowed at probe.sys+0x"), std::string::npos) << stop;

  // Traps work as before afterwards. The machines are not nested: one goes before the next.
  machine.reset();
  machine = std::make_unique<Machine>();
  machine->AttachPciDevice(&device);
  registers = static_cast<ULONG *>(machine->MapIoSpace(device.windowBase(), 0x1000));
  auto access = Function<uint32_t, ULONG *, uint32_t>(*image, "ProbeRegisters");
  EXPECT_EQ(access(registers, 7), 7u);
}

TEST_F(ImageOnMachine, FaultsOutsideImageCodeAreLeftToTheirUsualHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        volatile int *nowhere = nullptr;
        *nowhere = 1;
      },
      "");
}

}  // namespace
