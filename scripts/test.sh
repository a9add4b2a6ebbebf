#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite.
#   scripts/test.sh                 normal build in build/
#   scripts/test.sh --sanitize      AddressSanitizer + UBSan build in build-asan/
# Extra arguments after -- go to ctest.
set -euo pipefail
cd "$(dirname "$0")/.."
# What the suite needs; the browser test is skipped with a line unless
# "scripts/setup-deps.sh browser" ran (CI installs every group).
"$(pwd)/scripts/setup-deps.sh" build test package
dir=build
cmake_args=()
if [[ ${1:-} == --sanitize ]]; then
  dir=build-asan
  cmake_args+=(-DORVEL_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug)
  shift
fi
[[ ${1:-} == -- ]] && shift
jobs=$(nproc)
cmake -S . -B "$dir" "${cmake_args[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:halt_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
cd "$dir"
ctest --output-on-failure -j "$jobs" "$@"
