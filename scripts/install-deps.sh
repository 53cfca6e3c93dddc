#!/usr/bin/env bash
# Installs what the builds and tests need on a fresh Debian 12 machine.
set -euo pipefail
packages=(cmake make g++ mingw-w64 binutils-mingw-w64-x86-64 googletest libgtest-dev libgmock-dev
          libbenchmark-dev pkg-config libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
          libswresample-dev ffmpeg nlohmann-json3-dev openssl osslsigncode
          clang-14 libclang-rt-14-dev llvm-14)  # the fuzz targets: libFuzzer and the symbolizer
# --wine: what the end-to-end test of the settings tools needs (Wine in a virtual X server).
if [ "${1:-}" = "--wine" ]; then
  packages=(xvfb xauth x11-utils xdotool imagemagick wine wine64 fonts-wine)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
