// What running the Windows build's code costs: a register access and an IRQL change
// trapped and carried out by the machine, next to the same accesses made as service calls.
#include <benchmark/benchmark.h>
#include <ntddk.h>

#include <filesystem>
#include <memory>
#include <string>

#include "sim/image/pe_image.h"
#include "sim/kernel/machine.h"
#include "sim/kernel/pci.h"

namespace {

#define MS_ABI __attribute__((ms_abi))

MS_ABI uintptr_t HostCall(void *) { return 0; }
MS_ABI uint32_t HalValue() { return 0; }

class Registers : public sim::PciDevice {
 public:
  uint32_t ConfigRead32(uint32_t) override { return 0; }
  void ConfigWrite32(uint32_t, uint32_t) override {}
  uint32_t WindowLength() const override { return 0x1000; }
  uint32_t MmioRead32(uint32_t offset) override { return offset; }
  void MmioWrite32(uint32_t, uint32_t) override {}
};

struct Bench {
  std::unique_ptr<sim::image::Image> image;
  sim::Machine machine;
  Registers device;
  ULONG *registers = nullptr;

  bool Load(benchmark::State &state) {
    std::string path = std::string(MORVANE_WINDOWS_BUILD_DIR) + "/tests/sim/image/probe/probe.sys";
    if (!std::filesystem::exists(path)) {
      state.SkipWithError("probe.sys is not built (windows preset)");
      return false;
    }
    sim::image::ExportTable exports = sim::image::RuntimeLibraryExports();
    exports.Add("ntoskrnl.exe", "ProbeHostCall", reinterpret_cast<void *>(&HostCall));
    exports.Add("HAL.dll", "ProbeHalValue", reinterpret_cast<void *>(&HalValue));
    image = sim::image::Image::LoadFile(path, exports);
    machine.AttachPciDevice(&device);
    registers = static_cast<ULONG *>(machine.MapIoSpace(device.windowBase(), 0x1000));
    return true;
  }
};

// Two register writes, a barrier and two reads, each a trap.
void ImageRegisterSequence(benchmark::State &state) {
  Bench b;
  if (!b.Load(state)) return;
  auto fn =
      reinterpret_cast<uint32_t(MS_ABI *)(ULONG *, uint32_t)>(b.image->Export("ProbeRegisters"));
  for (auto _ : state) benchmark::DoNotOptimize(fn(b.registers, 1));
  state.SetItemsProcessed(state.iterations() * 5);
}
BENCHMARK(ImageRegisterSequence)->Unit(benchmark::kMicrosecond);

// The same five accesses as the Linux build makes them.
void ServiceRegisterSequence(benchmark::State &state) {
  Bench b;
  if (!b.Load(state)) return;
  for (auto _ : state) {
    WRITE_REGISTER_ULONG(b.registers + 1, 1);
    KeMemoryBarrier();
    ULONG a = READ_REGISTER_ULONG(b.registers + 1);
    WRITE_REGISTER_ULONG(b.registers + 2, 0x5A5A0000);
    benchmark::DoNotOptimize(a + READ_REGISTER_ULONG(b.registers + 3));
  }
  state.SetItemsProcessed(state.iterations() * 5);
}
BENCHMARK(ServiceRegisterSequence)->Unit(benchmark::kMicrosecond);

// Raise, look, lower: five CR8 accesses and a call back into the host.
void ImageIrqlRoundTrip(benchmark::State &state) {
  Bench b;
  if (!b.Load(state)) return;
  auto fn = reinterpret_cast<uint32_t(MS_ABI *)(uint8_t, void *)>(b.image->Export("ProbeIrql"));
  for (auto _ : state) benchmark::DoNotOptimize(fn(DISPATCH_LEVEL, nullptr));
  state.SetItemsProcessed(state.iterations() * 5);
}
BENCHMARK(ImageIrqlRoundTrip)->Unit(benchmark::kMicrosecond);

}  // namespace
