#!/usr/bin/env bash
# Builds Kestro into build/ (or the folder given as $1, with extra CMake arguments after it).
# A folder is configured by its preset of CMakePresets.json: build-asan by
# "asan", build-tsan by "tsan", build and any other folder by "default".
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
case "$(basename "$dir")" in
  build-asan) preset=asan ;;
  build-tsan) preset=tsan ;;
  *) preset=default ;;
esac
cmake --preset "$preset" -B "$dir" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
