#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every build and test suite:
# the Linux build, the sanitizer builds (AddressSanitizer with UndefinedBehaviorSanitizer;
# ThreadSanitizer on the driver with the concurrency suites), the Windows cross build with its
# image checks and the signed driver package, the package and the settings tools under Wine,
# and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

echo "== windows: morvane.sys, Pinflip.exe, Fieldflip.exe and the signed package (image checks)"
cmake --preset windows >/dev/null
cmake --build --preset windows

echo "== wine: morvane.inf, Pinflip.exe and Fieldflip.exe end to end"
bash scripts/install-deps.sh --wine || echo "wine-e2e: could not install Wine and the X tools"
bash tests/wine/run.sh build/windows

# The image tests load what the windows build just made (the driver and a test image)
# and fail, rather than skip, when it is missing.
export MORVANE_REQUIRE_WINDOWS_BUILD=1
for preset in linux linux-asan linux-tsan; do
  echo "== $preset: build"
  cmake --preset "$preset" -DMORVANE_WINDOWS_BUILD_DIR="$PWD/build/windows" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset"
done

# The measurements keep building and running: each once, briefly (no timing is checked).
echo "== benchmarks: a short pass of each"
mkdir -p build/bench-out
MORVANE_BENCH_QUICK=1 MORVANE_BENCH_DIR="$PWD/build/bench-out" ./build/linux/bench/morvane-bench
rm -rf build/bench-out

# Every fuzz target for a short fixed time from its corpus (scripts/fuzz.sh runs them for
# longer).
echo "== linux-fuzz: fuzz targets, 20 s each"
bash scripts/fuzz.sh all 20
