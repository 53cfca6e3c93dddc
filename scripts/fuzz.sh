#!/usr/bin/env bash
# Runs the fuzz targets (tests/fuzz) with libFuzzer, AddressSanitizer and UBSan.
#
#   scripts/fuzz.sh [TARGET[,TARGET...]|all] [SECONDS]      default: all targets, 60 s each
#
# Each target starts from its corpus in the repository (tests/fuzz/corpus/TARGET) and adds
# what it finds to build/fuzz/corpus/TARGET; a crash or broken invariant is written to
# build/fuzz/artifacts/TARGET/ and makes the script exit 1. The last lines give, per
# target, the executions and libFuzzer's coverage (cov: edges, ft: features).
#
# Environment: FUZZ_KEEP_GOING=1 keeps fuzzing past crashes (libFuzzer's fork mode) to
# collect them all; FUZZ_ARGS adds libFuzzer options; FUZZ_SKIP_BUILD=1 uses the last build;
# FUZZ_MINIMIZE=1 first cuts build/fuzz/corpus/TARGET down to the inputs that add coverage
# (a target that runs a machine spends seconds per input just loading a grown corpus).
# A crash is replayed with: build/linux-fuzz/tests/fuzz/fuzz_TARGET FILE (FUZZ_VERBOSE=1
# makes the machine targets print their steps).
set -euo pipefail
cd "$(dirname "$0")/.."

# target: extra libFuzzer options. The targets that build a machine per input run a few
# per second: they get inputs long enough for many steps from the start, and more time
# per input before a run counts as a hang.
declare -A OPTIONS=(
  [registry_file]="-max_len=4096"
  [properties]="-max_len=2048 -len_control=0 -timeout=60"
  [formats]="-max_len=2048 -len_control=0 -timeout=60"
  [stream]="-max_len=2048 -len_control=0 -timeout=120"
  [start]="-max_len=1024 -len_control=0 -timeout=60"
  [ctl_options]="-max_len=1024"
  [media_file]="-max_len=16384 -timeout=30"
  [settings_store]="-max_len=4096"
)
ALL=(registry_file properties formats stream start ctl_options media_file settings_store)

target="${1:-all}"
seconds="${2:-60}"
if [ "$target" = "all" ]; then
  targets=("${ALL[@]}")
else
  IFS=, read -r -a targets <<<"$target"
  for t in "${targets[@]}"; do
    if [ -z "${OPTIONS[$t]+x}" ]; then
      echo "fuzz.sh: unknown target '$t' (${ALL[*]} or all)" >&2
      exit 2
    fi
  done
fi
case "$seconds" in
  '' | *[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number" >&2; exit 2 ;;
esac

if [ "${FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  cmake --preset linux-fuzz >/dev/null
  build=()
  for t in "${targets[@]}"; do build+=(--target "fuzz_$t"); done
  cmake --build --preset linux-fuzz "${build[@]}"
fi

[ -x /usr/lib/llvm-14/bin/llvm-symbolizer ] &&
  export ASAN_SYMBOLIZER_PATH="${ASAN_SYMBOLIZER_PATH:-/usr/lib/llvm-14/bin/llvm-symbolizer}"
failed=0
summary=()
for t in "${targets[@]}"; do
  corpus="build/fuzz/corpus/$t"
  artifacts="build/fuzz/artifacts/$t"
  log="build/fuzz/$t.log"
  mkdir -p "$corpus" "$artifacts"
  if [ "${FUZZ_MINIMIZE:-0}" = 1 ]; then
    rm -rf "$corpus.min" && mkdir -p "$corpus.min"
    "build/linux-fuzz/tests/fuzz/fuzz_$t" -merge=1 -rss_limit_mb=2048 ${OPTIONS[$t]} \
      "$corpus.min" "$corpus" >"build/fuzz/$t.merge.log" 2>&1 &&
      rm -rf "$corpus" && mv "$corpus.min" "$corpus" ||
      echo "fuzz_$t: the corpus could not be minimised (build/fuzz/$t.merge.log); kept as it was"
    echo "== fuzz_$t: working corpus of $(find "$corpus" -type f | wc -l) inputs"
  fi
  args=(-max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048
        -artifact_prefix="$artifacts/" ${OPTIONS[$t]})
  [ -f "tests/fuzz/$t.dict" ] && args+=(-dict="tests/fuzz/$t.dict")
  if [ "${FUZZ_KEEP_GOING:-0}" = 1 ]; then
    args+=(-fork=1 -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
  fi
  # shellcheck disable=SC2206
  extra=(${FUZZ_ARGS:-})
  echo "== fuzz_$t for ${seconds}s"
  findings() { find "$artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
                 -o -name 'oom-*' \) | wc -l; }
  before=$(findings)
  status=0
  "build/linux-fuzz/tests/fuzz/fuzz_$t" "${args[@]}" "${extra[@]}" "$corpus" "tests/fuzz/corpus/$t" \
    >"$log" 2>&1 || status=$?
  after=$(findings)
  # The last progress line: "#N DONE cov: ..." (or "#N: cov: ..." in fork mode).
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || true)
  [ -z "$execs" ] && execs=$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$last")
  cov=$(grep -oE 'cov: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || echo "?")
  ft=$(grep -oE 'ft: [0-9]+' <<<"$last" | grep -oE '[0-9]+' || echo "?")
  found=$((after - before))
  line=$(printf '%-15s %10s execs  cov %6s  ft %7s  new findings %d' "$t" "${execs:-?}" "$cov" "$ft" "$found")
  summary+=("$line")
  if [ "$found" -gt 0 ] || { [ "$status" -ne 0 ] && [ "${FUZZ_KEEP_GOING:-0}" != 1 ]; }; then
    failed=1
    echo "fuzz_$t FAILED (log: $log)"
    grep -E 'INVARIANT BROKEN|ERROR: |SUMMARY: |verifier stop|Test unit written' "$log" | head -8 || true
  fi
done

echo "== fuzz summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit "$failed"
