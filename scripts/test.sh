#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite: every test in a
# normal build (the mail stack is started by the tests that need it), the unit
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, and the
# concurrency tests under ThreadSanitizer, each a preset of CMakePresets.json
# (configure, build and test): default, asan, tsan. Then every fuzz program
# runs for 30 s (scripts/fuzz.sh), as many at once as there are cores.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)
# The compiler cache: a later run on the same machine compiles only what
# changed, from any checkout of the sources.
if command -v ccache >/dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
fi

echo "== build and test"
scripts/build.sh build
ctest --preset default -j"$jobs"

# The build targets of the programs that the tests of a test preset run (its
# filter picks the tests; a test runs a test executable, maybe with other
# arguments, or another program), from the add_test lines that CMake wrote.
targets_of() {
  ninja -C "$1" -t targets all | sed -n 's/^\([A-Za-z0-9_]*\): phony$/\1/p' | sort -u >"$1/targets.txt"
  ctest --preset "$2" -N | sed -n 's/^ *Test *#[0-9]*: *//p' | sort -u >"$1/tests.txt"
  find "$1" -name CTestTestfile.cmake -exec sed -n 's/^add_test(\[=\[\([^]]*\)\]=\] "\([^"]*\)".*/\1 \2/p' {} + |
    sort -k1,1 | join - "$1/tests.txt" | sed 's|.*/||' | sort -u | comm -12 - "$1/targets.txt"
}

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs" --target $(targets_of build-asan asan)
ctest --preset asan -j"$jobs"

echo "== concurrency tests under ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs" --target $(targets_of build-tsan tsan)
ctest --preset tsan -j"$jobs"

echo "== fuzzing, 30 s per target"
scripts/fuzz.sh 30
echo "== all tests passed"
