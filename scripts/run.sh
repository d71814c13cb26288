#!/usr/bin/env bash
# Installs what is needed, builds, and starts Kestro. Without a display, run it
# as: xvfb-run -a scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
if [ -x build/app/kestro ]; then
  exec build/app/kestro "$@"
fi
exec build/app/kestroctl --help
