#!/usr/bin/env bash
# The layer check refuses an include past its layer in each layer, naming the file and the
# rule, and accepts the includes each layer may make.
#
#   check_layers_test.sh CHECK_SCRIPT
set -u
check=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

# tree FILE LINE...: a fresh tree holding FILE with the given lines.
tree() {
  rm -rf "$scratch/tree"
  mkdir -p "$scratch/tree/$(dirname "$1")"
  local file=$1
  shift
  printf '%s\n' "$@" >"$scratch/tree/$file"
}

refused() {  # file include what-the-message-must-say
  tree "$1" "// a file" "#include $2" "int x;"
  if output=$(bash "$check" "$scratch/tree" 2>&1); then
    echo "FAILED: $1 with #include $2 was accepted"
    failures=$((failures + 1))
  elif [[ $output != *"$1:2: #include $2: "*"$3"* ]]; then
    echo "FAILED: $1 with #include $2: the report does not say \"$3\": $output"
    failures=$((failures + 1))
  fi
}

refused apps/morvane-ctl/rig.cpp '"device/device.h"' "never its headers"
refused apps/morvane-ctl/rig.cpp '"driver/video/stream.h"' "never its headers"
refused apps/morvane-ctl/rig.cpp '<video/stream.h>' "in quotes"
refused apps/morvane-ctl/rig.cpp '"stream.h"' "never its headers"
refused bench/bench_rig.h '"support/driver_choice.h"' "the tests'"
refused bench/bench_rig.h '"video/formats.h"' "never the driver's headers"
refused sim/kernel/pnp.cpp '"sim/ks/host.h"' "sim/kernel includes sim/kernel only"
refused sim/kernel/pnp.cpp '"card_registers.h"' "sim/kernel includes sim/kernel only"
refused sim/kernel/services.cpp '<ks.h>' "belong to sim/ks and above"
refused sim/card/engines.cpp '<ksmedia.h>' "belong to sim/ks and above"
refused sim/ks/device.cpp '"sim/card/card.h"' "sim/ks includes sim/kernel and sim/ks only"
refused sim/card/card.cpp '"sim/ks/client.h"' "sim/card includes"
refused sim/card/card.cpp '"device/device.h"' "sim/card includes"
refused sim/image/driver.cpp '"sim/card/card.h"' "sim/image includes"
refused sim/include/ntddk.h '"sim/kernel/machine.h"' "one another only"
refused driver/video/pin.cpp '"sim/kernel/machine.h"' "never sim/"
refused driver/video/pin.cpp '<ntddk.h>' "only through host/platform.h"
refused driver/host/platform.h '<vector>' "driver/host/ includes the platform's headers"
refused hw/card_registers.h '<cstdint>' "depends on nothing"
refused tools/common/settings_store.cpp '"sim/kernel/registry.h"' "tools/ only"

# What each layer may include passes.
rm -rf "$scratch/tree"
mkdir -p "$scratch/tree"/{driver/host,driver/video,sim/include,sim/kernel,sim/ks,sim/card,sim/image,apps/morvane-ctl,bench,tools/common,hw}
printf '#include <ntddk.h>\n#include <new>\n#include "host/other.h"\n' >"$scratch/tree/driver/host/platform.h"
printf '#include "device/device.h"\n#include "host/platform.h"\n#include "card_registers.h"\n' >"$scratch/tree/driver/video/pin.cpp"
printf '#include "ntddk.h"\n#include <cstdint>\n' >"$scratch/tree/sim/include/ks.h"
printf '\n' >"$scratch/tree/sim/include/ntddk.h"
printf '#include <ntddk.h>\n#include "sim/kernel/machine.h"\n' >"$scratch/tree/sim/kernel/pnp.cpp"
printf '#include <ks.h>\n#include "sim/kernel/machine.h"\n#include "sim/ks/host.h"\n' >"$scratch/tree/sim/ks/device.cpp"
printf '#include "sim/kernel/pci.h"\n#include "card_registers.h"\n#include "morvane/card_ids.h"\n' >"$scratch/tree/sim/card/card.cpp"
printf '#include "sim/ks/device.h"\n#include "sim/image/trap.h"\n' >"$scratch/tree/sim/image/driver.cpp"
printf '#include "sim/ks/client.h"\n#include "rig.h"\n#include <vector>\n' >"$scratch/tree/apps/morvane-ctl/main.cpp"
printf '\n' >"$scratch/tree/apps/morvane-ctl/rig.h"
printf '#include "sim/card/card.h"\n#include "hw/card_registers.h"\n' >"$scratch/tree/bench/delivery_bench.cpp"
printf '#include "tools/common/registry.h"\n#include <windows.h>\n' >"$scratch/tree/tools/common/settings_store.cpp"
printf '// no includes\n' >"$scratch/tree/hw/card_registers.h"
if ! output=$(bash "$check" "$scratch/tree" 2>&1); then
  echo "FAILED: includes each layer may make were refused: $output"
  failures=$((failures + 1))
fi

# A stamp is left only by a clean check.
rm -f "$scratch/stamp"
bash "$check" --stamp "$scratch/stamp" "$scratch/tree" 2>/dev/null
[[ -f $scratch/stamp ]] || { echo "FAILED: a clean check left no stamp"; failures=$((failures + 1)); }
rm -f "$scratch/stamp"
tree apps/morvane-ctl/rig.cpp '#include "device/device.h"'
bash "$check" --stamp "$scratch/stamp" "$scratch/tree" 2>/dev/null
[[ ! -f $scratch/stamp ]] || { echo "FAILED: a refused check left a stamp"; failures=$((failures + 1)); }

if ((failures > 0)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "the layer check refuses what it must and accepts the rest"
