#!/usr/bin/env bash
# The soak: all sixteen streams of two cards (both variants) captured for SIM_SECONDS of
# simulated time (default an hour) under a seeded stream of client state changes, pin and
# filter reopens, property traffic, buffer starvation, channel errors, signal losses,
# standard changes, rebalances, sleeps, surprise and refused removals, clock changes and
# low-resources windows, built with AddressSanitizer and UBSan.
#
#   scripts/soak.sh [SIM_SECONDS] [SEED]          default: 3600 s, seed 1
#
# Prints a one-screen report and exits non-zero on any breach: a verifier stop, a sanitizer
# report, pool or hardware resources left behind, a frame or audio block the card completed
# while its pin ran that was neither delivered nor dropped for want of a buffer, or memory
# that grows. The machine has four processors (SOAK_CPUS=N: 1-8); SOAK_CARDS=N (2-4) adds
# cards; SOAK_ARGS adds options of morvane-soak (--log: every action with its time).
# SOAK_PRESET=linux runs the optimised build without the sanitizers (several times faster;
# the same schedule for the same seed).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-3600}"
seed="${2:-1}"
case "$seconds$seed" in
  *[!0-9]*) echo "soak.sh: SIM_SECONDS and SEED are whole numbers" >&2; exit 2 ;;
esac

preset="${SOAK_PRESET:-linux-asan}"
case "$preset" in
  linux | linux-asan) ;;
  *) echo "soak.sh: SOAK_PRESET is linux or linux-asan" >&2; exit 2 ;;
esac
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target morvane-soak

args=(--seconds "$seconds" --seed "$seed" --cards "${SOAK_CARDS:-2}" --cpus "${SOAK_CPUS:-4}"
      --progress)
# shellcheck disable=SC2206
args+=(${SOAK_ARGS:-})
# A small quarantine keeps the resident size meaningful for the flatness check; any
# sanitizer report ends the run with a non-zero status.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16:detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
"build/$preset/tests/soak/morvane-soak" "${args[@]}" || status=$?
if [ "$status" -gt 1 ]; then
  echo "soak: the process ended with status $status (sanitizer report or crash above)" >&2
fi
exit "$status"
