#!/usr/bin/env bash
# Builds the companion window and renders it in each situation, in Chinese and English, to
# PNG files under out/screenshots/. Runs headless (Qt's offscreen platform); the CJK font
# comes from fonts-wqy-microhei (installed by scripts/setup.sh).
#   scripts/screenshots.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."

dir=${1:-build}
if ! fc-list | grep -qi 'WenQuanYi Micro Hei'; then
  echo "screenshots: the font WenQuanYi Micro Hei is missing; run scripts/setup.sh" >&2
  exit 1
fi
cmake -S . -B "$dir" -G Ninja >/dev/null
cmake --build "$dir" --target QuellanCompatibilityScreenshots
mkdir -p out/screenshots
QT_QPA_PLATFORM=offscreen "$dir/src/QuellanCompatibility/QuellanCompatibilityScreenshots" \
  out/screenshots 2> >(grep -v 'propagateSizeHints' >&2)
