#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, ASan and UBSan and runs each one
# over its seed corpus for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]   (default 20)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-20}
scripts/setup-deps.sh build fuzz
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DORVEL_FUZZ=ON -DORVEL_SANITIZE=address,undefined \
  -DORVEL_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target $(cd fuzz && ls *_fuzz.cc | sed 's/\.cc$//')
mkdir -p build-fuzz/artifacts
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
passed=0 failed=0
for src in fuzz/*_fuzz.cc; do
  t=$(basename "$src" .cc)
  work=build-fuzz/corpus/$t
  mkdir -p "$work"
  seeds=fuzz/corpus/$t
  [[ -d $seeds ]] || seeds=
  echo "=== $t (${secs}s) ==="
  if build-fuzz/fuzz/$t -max_total_time="$secs" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix=build-fuzz/artifacts/$t- -print_final_stats=1 "$work" $seeds \
       >build-fuzz/$t.log 2>&1; then
    passed=$((passed + 1))
    grep -E 'stat::number_of_executed_units|cov:' build-fuzz/$t.log | tail -2 || true
  else
    failed=$((failed + 1))
    tail -40 build-fuzz/$t.log
  fi
done
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
