#!/usr/bin/env bash
# Builds the fuzz programs of fuzz/ with clang (libFuzzer, AddressSanitizer,
# UndefinedBehaviorSanitizer) into build-fuzz/, writes their seed inputs with
# our own writers, and runs each program for SECONDS (default 60), as many at
# once as there are cores. The inputs each run finds are kept in build-fuzz/corpus/<target>
# (or $KESTRO_FUZZ_CORPUS/<target>) and grow from run to run. A crash, a hang or excessive memory leaves the
# input in build-fuzz/findings/<target>/ and makes the script fail after the
# last target. build-fuzz/report.txt holds executions and coverage.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      e.g. scripts/fuzz.sh 3600 zip_volumes
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
dir=build-fuzz
corpora=${KESTRO_FUZZ_CORPUS:-$dir/corpus}

# libstdc++ 12 offers std::expected only to compilers that announce C++20
# concepts in full; clang 16 implements what it needs but announces less.
compiler=clang++-16
if ! command -v "$compiler" >/dev/null || ! ls /usr/lib/llvm-16/lib/clang/16/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  scripts/install-deps.sh
fi
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$compiler" \
  -DCMAKE_CXX_FLAGS="-D__cpp_concepts=202002L -Wno-macro-redefined" \
  -DKESTRO_FUZZ=ON -DBUILD_TESTING=OFF -DKESTRO_BENCH=OFF >/dev/null
cmake --build "$dir" --target fuzzers

rm -rf "$dir/seeds"
"$dir/fuzz/fuzz_seeds" "$dir/seeds"

# The archive targets write what they extract: into memory where it can.
[ -d /dev/shm ] && [ -w /dev/shm ] && export TMPDIR=/dev/shm

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(peer_subject message_cipher zip_volume zip_volumes compound_file config_table received_mail)
: >"$dir/report.txt"

# One target's run; its exit code and figures are read back from its log.
run_target() {
  local target=$1 options=()
  mkdir -p "$corpora/$target" "$dir/findings/$target"
  case "$target" in zip_volume | zip_volumes) options=(-max_len=262144 -dict=fuzz/zip.dict) ;; esac
  "$dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 -print_final_stats=1 \
    "${options[@]}" -artifact_prefix="$dir/findings/$target/" "$corpora/$target" "$dir/seeds/$target" \
    >"$dir/findings/$target.log" 2>&1
  echo $? >"$dir/findings/$target.code"
}

# As many targets at once as there are cores (KESTRO_FUZZ_JOBS to choose).
jobs=${KESTRO_FUZZ_JOBS:-$(nproc)}
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  echo "== fuzz_$target for ${seconds} s"
  run_target "$target" &
done
wait

failed=0
for target in "${targets[@]}"; do
  log="$dir/findings/$target.log"
  code=$(cat "$dir/findings/$target.code")
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  corpus=$(find "$corpora/$target" -type f | wc -l)
  result=clean
  if [ "$code" -ne 0 ]; then
    result="FINDING (exit $code; input in $dir/findings/$target/, log $log)"
    failed=1
    tail -40 "$log"
  fi
  line="$target: ${seconds} s, ${execs:-0} executions, coverage ${cov:-0} edges, ${features:-0} features, corpus $corpus inputs: $result"
  echo "$line" | tee -a "$dir/report.txt"
done
exit $failed
