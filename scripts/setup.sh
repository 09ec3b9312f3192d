#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the demo and the screenshots need.
# Safe to run again: packages already present are skipped, and apt is only called when
# something is missing. Needs root (CI and the developer machines run as root).
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ pkg-config git
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libasio-dev libsodium-dev
  qt6-base-dev qt6-svg-dev libgl-dev fonts-wqy-microhei xvfb xauth
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: root is needed to install packages" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
