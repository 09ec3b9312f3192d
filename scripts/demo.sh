#!/usr/bin/env bash
# The main job: builds everything and shows the system at work, step by step.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
echo "The demonstration grows with the system; for now the build itself is the demonstration."
