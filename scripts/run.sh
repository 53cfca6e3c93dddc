#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job: the emulated
# card under the real driver on the simulated machine.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target morvane-ctl
./build/linux/apps/morvane-ctl/morvane-ctl "$@"
