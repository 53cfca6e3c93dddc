#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job: ten seconds from all
# eight channels of one emulated card under the real driver (four 525-line and four
# 625-line inputs, each with sound) into out/, one playable file per channel and a
# contact sheet. Arguments replace the job's own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target morvane-ctl
if [ $# -gt 0 ]; then
  exec ./build/linux/apps/morvane-ctl/morvane-ctl "$@"
fi
exec ./build/linux/apps/morvane-ctl/morvane-ctl -d card0 -i 0-3=pattern:525 -i 4-7=pattern:625 \
  --duration 10 --stream-to out/
