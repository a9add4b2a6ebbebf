#!/usr/bin/env bash
# Runs the demo non-interactively against the build tree: it must exit 0,
# print the expected reply table and leave no process behind.
set -u
root=$1 build=$2
out=$(mktemp) pidfile=$(mktemp)
trap 'rm -f "$out" "$pidfile"' EXIT
passed=0 failed=0
check() { if eval "$2"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; fi; }
# The service reaches the monitor on the fixed port 5646: take turns with
# the other tests that bind it.
ORVEL_DEMO_PIDFILE=$pidfile flock /tmp/orvel-test-port-5646.lock \
  "$root/scripts/demo.sh" --no-build --build-dir "$build" </dev/null >"$out" 2>&1
rc=$?
cat "$out"
check "demo exits 0 (got $rc)" '[[ $rc -eq 0 ]]'
check "table header" 'grep -Eq "^MEMBER +KIND +GROUP +PORT +TTL$" "$out"'
check "registered proxy row" 'grep -Eq "^10\.0\.0\.1 +host +224\.5\.6\.7 +7560 +0$" "$out"'
check "second host row" 'grep -Eq "^10\.0\.0\.2 +host +224\.5\.6\.7 +7560 +0$" "$out"'
check "nearest node by coordinates" 'grep -Eq "^10\.0\.0\.3 +host +127\.0\.0\.11 +7560 +255$" "$out"'
check "zone row" 'grep -Eq "^10\.1\.0\.0/16 +zone +225\.5\.6\.7 +7560 +1$" "$out"'
check "ABone load command recorded" 'grep -q "127.0.0.11 LOAD X=.*/executables/proxy S=-C" "$out"'
check "pid list written" '[[ -s $pidfile ]]'
sleep 0.5
left=""
for p in $(cat "$pidfile"); do kill -0 "$p" 2>/dev/null && left+=" $p"; done
check "no process left behind:$left" '[[ -z $left ]]'
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
