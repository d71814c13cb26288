#!/usr/bin/env bash
# Screenshots of the main window (with a listing, the Shared list, and a
# listing with folders) and of every dialog, under Xvfb:
#   scripts/screenshots.sh [OUTPUT_FOLDER]   (default docs/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target screenshot_main
if command -v xvfb-run >/dev/null; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" build/tests/ui/screenshot_main "$out"
else
  QT_QPA_PLATFORM=offscreen build/tests/ui/screenshot_main "$out"
fi
scripts/screenshot-dialogs.sh "$out"
ls "$out"
