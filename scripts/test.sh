#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite: every test in a
# normal build (the mail stack is started by the tests that need it), the unit
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# concurrency tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

echo "== build and test"
scripts/build.sh build
ctest --test-dir build -j"$jobs" --output-on-failure --timeout 1800

# The tests of a label, as build targets: the tests whose name is also the name
# of a target (a test executable; other tests run one of these).
targets_of() {
  ninja -C "$1" -t targets all | sed -n 's/^\([A-Za-z0-9_]*\): phony$/\1/p' | sort -u >"$1/targets.txt"
  ctest --test-dir "$1" -N "${@:2}" | sed -n 's/^ *Test *#[0-9]*: *//p' | sort -u | comm -12 - "$1/targets.txt"
}

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRO_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j"$jobs" --target $(targets_of build-asan -L unit -LE 'slow|mail')
LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j"$jobs" -L unit -LE 'slow|mail' --output-on-failure

echo "== concurrency tests under ThreadSanitizer"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKESTRO_SANITIZE=thread >/dev/null
cmake --build build-tsan -j"$jobs" --target $(targets_of build-tsan -L concurrency)
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j"$jobs" -L concurrency --output-on-failure
echo "== all tests passed"
