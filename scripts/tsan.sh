#!/usr/bin/env bash
# Builds with ThreadSanitizer in build-tsan/ and runs the concurrency tests:
# the HTTP server and its worker pool, the message counters, the SLP
# property store, the coordinates cache, the directory agent's store and
# handler, agents sharing registrations through etcd, concurrent look-ups and
# concurrent synthesis.  The programs those
# tests start (zemsynth, orvel-slpd, zemproxy) are built with TSan too, and
# a report in any of them ends it, which fails its test.
#   scripts/tsan.sh [ctest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEL_SANITIZE=thread \
  -DORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j "${JOBS:-$(nproc)}"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}
# The suites are marked where each test binary is declared (TSAN in
# tests/*/CMakeLists.txt); timing-bound and death tests stay out.
ctest --test-dir build-tsan --output-on-failure -j "${JOBS:-$(nproc)}" -L '^tsan$' "$@"
