#!/usr/bin/env bash
# Renders every dialog into PNG files:
#   scripts/screenshot-dialogs.sh OUTPUT_FOLDER [BUILD_FOLDER]
# Builds the renderer in BUILD_FOLDER (default build/) and runs it under Xvfb
# when xvfb-run is installed, else on Qt's offscreen platform.
set -euo pipefail
out=${1:?usage: scripts/screenshot-dialogs.sh OUTPUT_FOLDER [BUILD_FOLDER]}
cd "$(dirname "$0")/.."
build=${2:-build}
mkdir -p "$out"
out=$(cd "$out" && pwd)
[ -f "$build/build.ninja" ] || cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target screenshot_dialogs
program="$build/tests/ui/dialogs/screenshot_dialogs"
if command -v xvfb-run >/dev/null && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x1024x24" "$program" "$out" ||
    QT_QPA_PLATFORM=offscreen "$program" "$out"
else
  QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen} "$program" "$out"
fi
