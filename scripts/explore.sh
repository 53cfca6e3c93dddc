#!/usr/bin/env bash
# Runs a concurrency scenario over many seeds on the threaded machine, on two and four
# processors unless told otherwise, and prints the seeds that fail (each with its replay
# command) and the interleavings explored per second:
#   scripts/explore.sh SCENARIO SEEDS [--first S] [--cpus N[,M...]] [--steps K]
#   scripts/explore.sh pin-close 5000
#   scripts/explore.sh two-creations 1 --first 17 --cpus 2     # replay one run
# MORVANE_PRESET=linux-asan (or linux-tsan) explores under the sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${MORVANE_PRESET:-linux}"
if [ $# -lt 2 ]; then
  echo "usage: scripts/explore.sh SCENARIO SEEDS [--first S] [--cpus N[,M...]] [--steps K]" >&2
  exit 2
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target morvane-explore >/dev/null
exec "build/$preset/tests/morvane-explore" "$@"
