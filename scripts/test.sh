#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every build and test suite:
# the Linux build, the sanitizer build, and the Windows cross build with its image checks.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

echo "== windows: morvane.sys (cross build and image checks)"
cmake --preset windows >/dev/null
cmake --build --preset windows

for preset in linux linux-asan; do
  echo "== $preset: build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: tests"
  ctest --preset "$preset"
done
