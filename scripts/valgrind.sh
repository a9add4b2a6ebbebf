#!/usr/bin/env bash
# Runs the server and end-to-end suites under valgrind memcheck (zero
# errors and zero leaks, children included) from build-valgrind/.
#   scripts/valgrind.sh [ctest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind: not installed (apt-get install valgrind)"; exit 1; }
cmake -S . -B build-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_MEMCHECK=ON >/dev/null
cmake --build build-valgrind -j "${JOBS:-2}"
# Valgrind slows every program; give the suites' own waits room.
export ORVEL_HTTP_CLIENT_TIMEOUT=${ORVEL_HTTP_CLIENT_TIMEOUT:-60}
ctest --test-dir build-valgrind -L memcheck --output-on-failure "$@"
