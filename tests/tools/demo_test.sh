#!/usr/bin/env bash
# Runs the demo with --keep against the build tree: it must print the
# expected reply table and the monitor's address, keep running, then end
# soon after a SIGTERM and leave no process behind.
set -u
root=$1 build=$2
out=$(mktemp) pidfile=$(mktemp)
trap 'rm -f "$out" "$pidfile"' EXIT
passed=0 failed=0
check() { if eval "$2"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; fi; }
ORVEL_DEMO_PIDFILE=$pidfile "$root/scripts/demo.sh" --no-build --build-dir "$build" --keep \
  </dev/null >"$out" 2>&1 &
demo=$!
# The ABone launch takes a second (ten without the demo's setting).
for _ in $(seq 600); do
  grep -q "Everything keeps running" "$out" && break
  kill -0 "$demo" 2>/dev/null || break
  sleep 0.1
done
check "demo still running after its report" 'kill -0 "$demo" 2>/dev/null'
kill -TERM "$demo" 2>/dev/null
ended=0
for _ in $(seq 150); do
  kill -0 "$demo" 2>/dev/null || { ended=1; break; }
  sleep 0.1
done
check "demo ends within 15 s of SIGTERM" '[[ $ended -eq 1 ]]'
((ended)) || kill -KILL "$demo" 2>/dev/null
wait "$demo" 2>/dev/null
cat "$out"
check "table header" 'grep -Eq "^MEMBER +KIND +GROUP +PORT +TTL$" "$out"'
check "registered proxy row" 'grep -Eq "^10\.0\.0\.1 +host +224\.5\.6\.7 +7560 +0$" "$out"'
check "second host row" 'grep -Eq "^10\.0\.0\.2 +host +224\.5\.6\.7 +7560 +0$" "$out"'
check "nearest node by coordinates" 'grep -Eq "^10\.0\.0\.3 +host +127\.0\.0\.11 +7560 +255$" "$out"'
check "zone row" 'grep -Eq "^10\.1\.0\.0/16 +zone +225\.5\.6\.7 +7560 +1$" "$out"'
check "ABone load command recorded" 'grep -q "127.0.0.11 LOAD X=.*/executables/proxy S=-C" "$out"'
check "monitor address printed with --keep" 'grep -Eq "^Coordinate monitor: http://127\.0\.0\.1:[0-9]+/$" "$out"'
check "pid list written" '[[ -s $pidfile ]]'
check "log folder printed with --keep" 'grep -Eq "^Logs: /.*/orvel-demo\.[^/]+/\*\.log " "$out"'
help=$("$root/scripts/demo.sh" --help)
check "--help is the usage comment alone" '[[ $(head -1 <<<"$help") == "The Orvel demo:"* && $help != *"set -"* && $help == *"--keep"* ]]'
sleep 0.5
left=""
for p in $(cat "$pidfile"); do kill -0 "$p" 2>/dev/null && left+=" $p"; done
check "no process left behind:$left" '[[ -z $left ]]'
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
