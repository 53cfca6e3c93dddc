#!/usr/bin/env bash
# Fails when a source file includes past its layer (docs/ARCHITECTURE.md, "The layers").
#
#   check-layers.sh [--stamp FILE] [ROOT]
#
# ROOT (default: the repository) is searched for driver/, hw/, sim/, apps/, bench/ and
# tools/; each #include of their .h, .cpp and .c files is held against the rules of the
# directory it lives in. Every violation is printed as FILE:LINE: the include and the rule.
# With --stamp, FILE is touched when the tree is clean (the build's record of the check).
set -u

stamp=""
if [[ ${1:-} == --stamp ]]; then
  stamp=$2
  shift 2
fi
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
if [[ ! -d $root ]]; then
  echo "check-layers: $root is not a folder" >&2
  exit 2
fi
cd "$root" || exit 2

violations=0
report() {  # file line include rule
  echo "$1:$2: #include $3: $4" >&2
  violations=$((violations + 1))
}

# Headers of this repository, in any spelling a search path could make work: an angle
# include naming one of them is no way round the rules.
ours='^(sim|driver|apps|bench|tests|tools|hw|package|device|filters|decoder|video|audio|host|support|morvane)/|^card_registers\.h$'

# The platform's own headers, which only driver/host/ names.
platform='^(ntddk|wdm|ks|ksmedia|mmreg|punknown|ntstrsafe)\.h$'

# A quoted name without a folder must be a file beside the includer, not one a search path
# happens to reach.
beside() {  # file name
  [[ $2 != */* && -f "$(dirname "$1")/$2" ]]
}

check() {  # file line kind(< or ") name
  local file=$1 line=$2 kind=$3 name=$4
  if [[ $kind == '<' ]]; then
    if [[ $name =~ $ours ]]; then
      report "$file" "$line" "<$name>" "a header of this repository is included by its path, in quotes"
      return
    fi
    case $file in
      driver/host/*)
        [[ $name =~ $platform || $name == new || $name == emmintrin.h ]] ||
          report "$file" "$line" "<$name>" "driver/host/ includes the platform's headers, <new> and <emmintrin.h> only"
        ;;
      driver/*)
        report "$file" "$line" "<$name>" "the driver reaches the platform only through host/platform.h"
        ;;
      hw/*)
        report "$file" "$line" "<$name>" "the register map depends on nothing"
        ;;
      sim/kernel/* | sim/card/*)
        [[ $name =~ ^(ks|ksmedia|punknown)\.h$ ]] &&
          report "$file" "$line" "<$name>" "kernel streaming's declarations belong to sim/ks and above"
        ;;
      sim/* | apps/* | bench/* | tools/*)
        ;;
    esac
    return
  fi

  local ok=1 rule=""
  case $file in
    driver/host/*)
      rule="driver/host/ includes host/ headers only"
      [[ $name == host/* ]] || ok=0
      ;;
    driver/*)
      rule="the driver includes its own folders and card_registers.h only, never sim/"
      [[ $name =~ ^(device|filters|decoder|video|audio|host)/[^/]+$ || $name == card_registers.h ]] || ok=0
      ;;
    hw/*)
      rule="the register map depends on nothing"
      ok=0
      ;;
    sim/include/*)
      rule="the platform's declarations include one another only"
      beside "$file" "$name" || ok=0
      ;;
    sim/kernel/*)
      rule="sim/kernel includes sim/kernel only (kernel streaming, the card and the image sit above it)"
      [[ $name == sim/kernel/* ]] || ok=0
      ;;
    sim/ks/*)
      rule="sim/ks includes sim/kernel and sim/ks only"
      [[ $name =~ ^sim/(kernel|ks)/ ]] || ok=0
      ;;
    sim/card/*)
      rule="sim/card includes sim/kernel, sim/card, card_registers.h and morvane/card_ids.h only"
      [[ $name =~ ^sim/(kernel|card)/ || $name == card_registers.h || $name == morvane/card_ids.h ]] || ok=0
      ;;
    sim/image/*)
      rule="sim/image includes sim/kernel, sim/ks and sim/image only"
      [[ $name =~ ^sim/(kernel|ks|image)/ ]] || ok=0
      ;;
    sim/*)
      rule="a file of sim/ belongs in one of its layers"
      ok=0
      ;;
    apps/*)
      rule="apps reach the driver through the platform (sim/), never its headers"
      [[ $name == sim/* ]] || beside "$file" "$name" || ok=0
      ;;
    bench/*)
      rule="the measurements reach the driver through the platform (sim/) and the card's register map, never the driver's headers or the tests'"
      [[ $name == sim/* || $name == hw/card_registers.h ]] || beside "$file" "$name" || ok=0
      ;;
    tools/*)
      rule="the settings tools include tools/ only"
      [[ $name == tools/* ]] || beside "$file" "$name" || ok=0
      ;;
  esac
  ((ok)) || report "$file" "$line" "\"$name\"" "$rule"
}

shopt -s nullglob
files=()
dirs=()
for d in driver hw sim apps bench tools; do
  [[ -d $d ]] && dirs+=("$d")
done
if ((${#dirs[@]} == 0)); then
  echo "check-layers: nothing to check under $root" >&2
  exit 2
fi

while IFS= read -r -d '' file; do
  files+=("${file#./}")
done < <(find "${dirs[@]}" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) -print0 | sort -z)

if ((${#files[@]} == 0)); then
  [[ -n $stamp ]] && touch "$stamp"
  exit 0
fi

while IFS=: read -r file line text; do
  if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
    check "$file" "$line" '<' "${BASH_REMATCH[1]}"
  elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]]; then
    check "$file" "$line" '"' "${BASH_REMATCH[1]}"
  fi
done < <(grep -nH '^[[:space:]]*#[[:space:]]*include' "${files[@]}")

if ((violations > 0)); then
  echo "check-layers: $violations include(s) past their layer (docs/ARCHITECTURE.md, \"The layers\")" >&2
  exit 1
fi
[[ -n $stamp ]] && touch "$stamp"
exit 0
