#!/usr/bin/env bash
# Soaks the driver in everything the platform does: all sixteen streams of a card for a
# simulated hour (or SECONDS) while rebalances, sleeps, clock changes, windows of random
# allocation failures, refused orderly removals, channel errors and surprise removals
# (each followed by a new card) come at random, drawn from each run's seed. Every frame is checked as it
# arrives, each card's accounts when it goes, and the verifier checks for leaks at the end.
#   scripts/pnp-soak.sh [SECONDS] [--seeds N] [--first S] [--cpus N[,M...]]
#   scripts/pnp-soak.sh                      # one simulated hour, seed 1, two processors
#   MORVANE_PRESET=linux-asan scripts/pnp-soak.sh 3600
# Prints what each run did (actions, frames and blocks delivered, pictures counted as
# dropped) and, for a failure, the replay command.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${MORVANE_PRESET:-linux}"
seconds=3600
if [ $# -gt 0 ] && [[ "$1" =~ ^[0-9]+([.][0-9]+)?$ ]]; then
  seconds="$1"
  shift
fi
seeds=1
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds="$2"; shift 2 ;;
    --first|--cpus) args+=("$1" "$2"); shift 2 ;;
    *) echo "usage: scripts/pnp-soak.sh [SECONDS] [--seeds N] [--first S] [--cpus N[,M...]]" >&2
       exit 2 ;;
  esac
done
[[ " ${args[*]-} " == *" --cpus "* ]] || args+=(--cpus 2)
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target morvane-explore >/dev/null
MORVANE_SOAK_SECONDS="$seconds" exec "build/$preset/tests/morvane-explore" pnp-soak "$seeds" \
  --notes 1 "${args[@]}"
