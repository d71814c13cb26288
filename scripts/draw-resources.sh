#!/usr/bin/env bash
# Redraws the PNG files of resources/ with the program that draws them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build --target draw_resources
build/resources/draw_resources resources
