#!/usr/bin/env bash
# Plants each fault of the fault list (tests/mutants/list.txt) in turn in a scratch copy of
# the sources, rebuilds the test programs that cover the faulty file, runs them, and
# reports the faults that no test caught. The working tree is never touched.
#
#   bash scripts/mutants.sh                 every fault
#   bash scripts/mutants.sh --only 12,40    some of them, by number
#   bash scripts/mutants.sh --shard 2/4     the second of four consecutive slices of the list
#   bash scripts/mutants.sh --resume ...    skip the selected faults that already have a result
#   bash scripts/mutants.sh --summary       no build: the totals of the results recorded so far
#   bash scripts/mutants.sh --check         only check that every fault applies and names
#                                           test programs that exist (no build)
#
# A fault is caught when a test program fails, crashes or runs past the time limit. The
# scratch copy and its build live in build/mutants/; each fault's result is kept in
# build/mutants/results/ (so that slices run one after another, or a run cut short and
# resumed, add up to one report), and the report goes to build/mutants/report.txt as well
# as to the terminal. Exit status: 0 when at least 90% of the selected faults are caught
# and every fault that survives is marked equivalent in the list, 1 otherwise, 2 for a
# list or set-up problem.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
list=tests/mutants/list.txt
work=$root/build/mutants
only=""
shard=""
resume=0
summary=0
check=0
timeout_s=300
jobs=2

while [ $# -gt 0 ]; do
  case "$1" in
    --only) only=",$2,"; shift 2 ;;
    --shard) shard=$2; shift 2 ;;
    --resume) resume=1; shift ;;
    --summary) summary=1; shift ;;
    --check) check=1; shift ;;
    --list) list=$2; shift 2 ;;
    --timeout) timeout_s=$2; shift 2 ;;
    -j) jobs=$2; shift 2 ;;
    *) echo "mutants: unknown option $1" >&2; exit 2 ;;
  esac
done

# The test programs that can notice a fault in a file, by where the file lives. A fault's
# own `tests:` line names the likeliest ones first; the area's programs follow.
driver_tests="driver_device_lifecycle_test driver_device_channel_interrupt_test
  driver_decoder_test driver_decoder_properties_test driver_filters_test driver_video_formats_test
  driver_video_pin_test driver_video_delivery_test driver_video_cost_model_test
  driver_audio_pin_test driver_audio_delivery_test driver_capture_minute_test
  wine_roundtrip_test sim_card_capture_smoke_test concurrency_test"
area_tests() {
  case "$1" in
    driver/*) echo "$driver_tests" ;;
    hw/*) echo "$driver_tests sim_card_test sim_card_engine_test" ;;
    sim/kernel/*) echo "sim_kernel_services_test sim_kernel_io_dma_test sim_kernel_verifier_test
        sim_kernel_registry_test sim_kernel_threads_test sim_ks_pnp_device_test $driver_tests" ;;
    sim/ks/*) echo "sim_ks_test sim_ks_pnp_device_test $driver_tests" ;;
    sim/card/*) echo "sim_card_test sim_card_decoder_bus_test sim_card_source_test
        sim_card_engine_test $driver_tests" ;;
    tools/*) echo "tools_settings_store_test tools_settings_dialog_test tools_resources_test
        wine_roundtrip_test" ;;
    apps/*) echo "e2e_ctl_units_test e2e_ctl_test" ;;
    *) echo "" ;;
  esac
}

# ---- the list: blocks of "key: value" lines, a blank line between faults
ids=() files=() froms=() tos=() nths=() tests=() equivalents=() titles=()
parse() {
  local id="" title="" file="" from="" to="" nth=1 t="" eq="" line key value have_to=0
  flush() {
    if [ -n "$id" ]; then
      if [ -z "$file" ] || [ -z "$from" ] || [ "$have_to" = 0 ]; then
        echo "mutants: fault $id lacks file, from or to" >&2
        exit 2
      fi
      ids+=("$id") titles+=("$title") files+=("$file") froms+=("$from") tos+=("$to")
      nths+=("$nth") tests+=("$t") equivalents+=("$eq")
    fi
    id="" title="" file="" from="" to="" nth=1 t="" eq="" have_to=0
  }
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      '#'*) continue ;;
      '') flush; continue ;;
    esac
    key=${line%%:*}
    value=${line#*: }
    [ "$value" = "$line" ] && value=""
    case "$key" in
      fault) flush; id=${value%% *}; title=${value#* } ;;
      file) file=$value ;;
      from) from=$value ;;
      to) to=$value; have_to=1 ;;
      nth) nth=$value ;;
      tests) t=$value ;;
      equivalent) eq=$value ;;
      *) echo "mutants: unknown line in $list: $line" >&2; exit 2 ;;
    esac
  done <"$list"
  flush
}
parse

# How often `from` occurs in a file, and the file with occurrence `nth` replaced. In the
# list "\n" stands for a line break and "\\" for a backslash.
unescape='sub u { my $s = shift; $s =~ s/\\(.)/$1 eq "n" ? "\n" : $1/ge; $s }'
count_in() {
  FROM=$1 perl -0ne "$unescape"' my $f = u($ENV{FROM}); my $n = () = /\Q$f\E/g; print $n' "$2"
}
plant() {
  FROM=$1 TO=$2 NTH=$3 perl -0pi -e "$unescape"' my ($f, $t) = (u($ENV{FROM}), u($ENV{TO}));
    my $i = 0; s/\Q$f\E/++$i == $ENV{NTH} ? $t : $&/ge' "$4"
}

bad=0
for i in "${!ids[@]}"; do
  f=${files[$i]}
  if [ ! -f "$f" ]; then
    echo "mutants: fault ${ids[$i]}: no file $f" >&2
    bad=1
    continue
  fi
  n=$(count_in "${froms[$i]}" "$f")
  if [ "${nths[$i]}" = 1 ] && [ "$n" != 1 ]; then
    echo "mutants: fault ${ids[$i]}: '${froms[$i]}' occurs $n times in $f (give nth)" >&2
    bad=1
  elif [ "$n" -lt "${nths[$i]}" ]; then
    echo "mutants: fault ${ids[$i]}: '${froms[$i]}' occurs only $n times in $f" >&2
    bad=1
  fi
done
# Every program a fault or an area names must be a test executable of the tree, or a
# renamed one would silently leave its faults uncovered.
known=" $(sed -n 's/^ *morvane_add\(_tool\)\?_test(\([a-z0-9_]*\).*/\2/p' tests/CMakeLists.txt \
  tests/tools/CMakeLists.txt | tr '\n' ' ') "
for i in "${!ids[@]}"; do
  for t in ${tests[$i]} $(area_tests "${files[$i]}"); do
    case "$known" in *" $t "*) ;; *)
      echo "mutants: fault ${ids[$i]}: no test program $t" >&2
      bad=1 ;;
    esac
  done
done
[ "$bad" = 0 ] || exit 2
echo "mutants: ${#ids[@]} faults in $list apply"
[ "$check" = 1 ] && exit 0

# ---- which faults: all, some by number, or one consecutive slice of the list
selected=()
if [ -n "$shard" ]; then
  k=${shard%/*} n=${shard#*/}
  if ! [[ "$k" =~ ^[0-9]+$ && "$n" =~ ^[0-9]+$ ]] || [ "$k" -lt 1 ] || [ "$k" -gt "$n" ]; then
    echo "mutants: --shard wants K/N with 1 <= K <= N" >&2
    exit 2
  fi
  first=$(((k - 1) * ${#ids[@]} / n)) last=$((k * ${#ids[@]} / n))
fi
for i in "${!ids[@]}"; do
  [ -z "$only" ] || case "$only" in *",${ids[$i]},"*) ;; *) continue ;; esac
  [ -z "$shard" ] || { [ "$i" -ge "$first" ] && [ "$i" -lt "$last" ]; } || continue
  selected+=("$i")
done
results=$work/results
mkdir -p "$results"

# ---- the report: from the recorded results of the selected faults
report="$work/report.txt"
summarise() {
  local caught=0 survived=0 equivalent=0 broken=0 missing=0 seconds=0 i r result by f t
  {
    echo "fault  result     by                                       s  file"
    for i in "${selected[@]}"; do
      r=$results/${ids[$i]}
      if [ ! -f "$r" ]; then
        missing=$((missing + 1))
        printf '%5s  %-9s\n' "${ids[$i]}" "not run"
        continue
      fi
      IFS=$'\t' read -r result by t <"$r"
      f=${files[$i]}
      case "$result" in
        caught) caught=$((caught + 1)) ;;
        broken) broken=$((broken + 1)) ;;
        survived)
          if [ -n "${equivalents[$i]}" ]; then
            result=equivalent equivalent=$((equivalent + 1))
          else
            survived=$((survived + 1))
          fi
          ;;
      esac
      seconds=$((seconds + t))
      printf '%5s  %-10s %-37s %4s  %s\n' "${ids[$i]}" "$result" "$by" "$t" "$f"
      if [ "$result" = caught ] && [ -n "${equivalents[$i]}" ]; then
        echo "       (marked equivalent in the list, but caught: the note is wrong)"
      fi
    done
    local total=${#selected[@]} pct=0
    [ "$total" -gt 0 ] && pct=$((100 * caught / total))
    echo
    echo "faults $total, caught $caught (${pct}%), survived $((survived + equivalent))" \
      "($equivalent of them marked equivalent), not compiling $broken, not run $missing;" \
      "$seconds s of building and testing"
    for i in "${selected[@]}"; do
      if [ -n "${equivalents[$i]}" ]; then echo "  fault ${ids[$i]} equivalent: ${equivalents[$i]}"; fi
    done
  } >"$report"
  cat "$report"
  [ "$broken" = 0 ] && [ "$survived" = 0 ] && [ "$missing" = 0 ] &&
    [ $((10 * caught)) -ge $((9 * ${#selected[@]})) ]
}
if [ "$summary" = 1 ]; then
  summarise
  exit
fi

# ---- the scratch copy: only files whose content differs are copied, with a fresh time,
# so the scratch build recompiles exactly what changed since the last run.
mkdir -p "$work/src"
sync_file() {
  if ! cmp -s "$1" "$work/src/$1"; then
    mkdir -p "$(dirname "$work/src/$1")"
    cp "$1" "$work/src/$1"
  fi
}
while IFS= read -r -d '' f; do sync_file "$f"; done < <(git ls-files -z)

# Configured every time: make alone cannot build a target the last configuration lacked.
cmake -S "$work/src" -B "$work/build" -G "Unix Makefiles" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$work/configure.log" 2>&1 ||
  { echo "mutants: configure failed, see $work/configure.log" >&2; exit 2; }

program() { find "$work/build/tests" -name "$1" -type f -perm -u+x | head -n 1; }
build() { nice -n 10 cmake --build "$work/build" --target "$@" -j "$jobs" >"$work/build.log" 2>&1; }
run() {
  local exe
  exe=$(program "$1")
  [ -n "$exe" ] || return 3
  # The concurrency scenarios run a few seeds each: a fault shows in any schedule that
  # reaches it, and 200 seeds per case would outlast the time limit.
  (cd "$work" && MORVANE_SEEDS=${MORVANE_SEEDS:-8} timeout "$timeout_s" "$exe" --gtest_brief=1) \
    >"$work/run.log" 2>&1
}
tests_for() {
  local all="" t
  for t in ${tests[$1]} $(area_tests "${files[$1]}"); do
    case " $all " in *" $t "*) ;; *) all="$all $t" ;; esac
  done
  echo "$all"
}

todo=()
for i in "${selected[@]}"; do
  if [ "$resume" = 1 ] && [ -f "$results/${ids[$i]}" ]; then continue; fi
  rm -f "$results/${ids[$i]}"
  todo+=("$i")
done

# Every program must pass on the sources as they are, or a failure would prove nothing.
needed=""
for i in "${todo[@]}"; do needed="$needed $(tests_for "$i")"; done
needed=$(echo "$needed" | tr ' ' '\n' | sed '/^$/d' | sort -u | tr '\n' ' ')
if [ -n "$needed" ]; then
  echo "mutants: building and checking the unchanged programs: $needed"
  build $needed || { echo "mutants: the unchanged sources do not build, see $work/build.log" >&2; exit 2; }
  for t in $needed; do
    run "$t" || { echo "mutants: $t fails on the unchanged sources, see $work/run.log" >&2; exit 2; }
  done
fi

# ---- one fault at a time
for i in "${todo[@]}"; do
  f=${files[$i]}
  began=$(date +%s)
  cp "$work/src/$f" "$work/original"
  plant "${froms[$i]}" "${tos[$i]}" "${nths[$i]}" "$work/src/$f"
  if cmp -s "$work/original" "$work/src/$f"; then
    echo "mutants: fault ${ids[$i]} changed nothing in $f" >&2
    exit 2
  fi
  result=survived by="-"
  for t in $(tests_for "$i"); do
    if ! build "$t"; then
      result=broken by="(does not compile)"
      break
    fi
    run "$t"
    rc=$?
    if [ "$rc" = 124 ]; then
      result=caught by="$t (time limit)"
      break
    elif [ "$rc" != 0 ]; then
      result=caught by=$t
      break
    fi
  done
  cp "$work/original" "$work/src/$f"  # back as it was, with a fresh time: compiled again
  printf '%s\t%s\t%s\n' "$result" "$by" "$(($(date +%s) - began))" >"$results/${ids[$i]}"
  echo "mutants: fault ${ids[$i]}: $result $by"
done
summarise
