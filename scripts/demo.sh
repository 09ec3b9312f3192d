#!/usr/bin/env bash
# The main job: builds everything and shows the system at work, step by step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
echo "The demonstration grows with the system; for now it shows the sleep lease on its own,"
echo "with a stand-in sleep setting (the daemon, the simulated Mac and pmset come later)."
echo
echo "== The sleep lease through one closed-lid session (stand-in setting, real journal when root) =="
cmake --build build --target lease-demo
build/tools/lease-demo/lease-demo
