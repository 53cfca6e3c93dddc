#!/usr/bin/env bash
# Builds and runs the measurements (bench/), then prints what each is held against:
# frame delivery against a plain copy, the whole machine against two plain copies, the
# main job against a plain writer of the same bytes. Arguments go to morvane-bench
# (e.g. --benchmark_filter=DeliveryVsCopy). The machine's load is printed first:
# timings on a busy machine move, so run it when the machine is quiet.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target morvane-bench
mkdir -p build/bench-out
echo "== $(nproc) processor(s), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs); load:$(cut -d' ' -f1-3 /proc/loadavg)"
MORVANE_BENCH_DIR="$PWD/build/bench-out" ./build/linux/bench/morvane-bench "$@"
rm -rf build/bench-out
