#!/usr/bin/env bash
# Runs the server and end-to-end suites under valgrind memcheck (zero
# errors and zero leaks, children included), label "memcheck".
#   scripts/valgrind.sh [ctest args...]
# Builds build-valgrind/ (RelWithDebInfo); ORVEL_VALGRIND_BUILD_DIR=DIR
# reuses an existing build instead (CI reuses build/ from scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh build test memcheck
dir=${ORVEL_VALGRIND_BUILD_DIR:-build-valgrind}
if [[ -z ${ORVEL_VALGRIND_BUILD_DIR:-} ]]; then
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_MEMCHECK=ON >/dev/null
else
  cmake -S . -B "$dir" -DORVEL_MEMCHECK=ON >/dev/null
  # The reused build goes back to plain tests afterwards.
  trap 'cmake -S . -B "$dir" -DORVEL_MEMCHECK=OFF >/dev/null' EXIT
fi
cmake --build "$dir" -j "${JOBS:-$(nproc)}"
# Valgrind slows every program; give the suites' own waits room.
export ORVEL_HTTP_CLIENT_TIMEOUT=${ORVEL_HTTP_CLIENT_TIMEOUT:-60}
ctest --test-dir "$dir" -L memcheck --output-on-failure "$@"
