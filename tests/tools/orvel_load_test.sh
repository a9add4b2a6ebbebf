#!/usr/bin/env bash
# orvel-load against zemsynth on loopback: it counts exactly the requests it
# was asked for, with or without warm-up, and counts refusals and refused
# connections as errors.
set -u
build=$1
load=$build/tools/orvel-load/orvel-load
synth=$build/orvel_apps/zemsynth
work=$(mktemp -d)
. "$(dirname "$0")/test_lib.sh"
field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit }}' <<<"$2"; }

sp=$(free_port); nobody=$(free_port)
export ORVEL_PATH=$work
setsid "$synth" "$sp" 127.0.0.1:9 </dev/null >"$work/synth.log" 2>&1 & pids+=($!)
wait_port "$sp" || { echo "FAIL: zemsynth did not start"; exit 1; }

doc='<?xml version="1.0"?>
<SynthZemReq><id>1</id><version>2</version><endpointlist num="0"/><zonelist num="0"/></SynthZemReq>
'
# The client counts the text's terminating zero byte.
printf 'POST http://127.0.0.1:%s/query HTTP/1.1\r\nContent-Length: %d\r\n\r\n%s\0' \
  "$sp" $((${#doc} + 1)) "$doc" >"$work/ok.req"
printf 'POST http://127.0.0.1:%s/query HTTP/1.1\r\nContent-Length: 4\r\n\r\nnot\0' \
  "$sp" >"$work/bad.req"

# Several connections complete in one wake-up; none past the count is taken.
for conns in 1 5 16; do
  for warm in 0 3; do
    out=$("$load" --port "$sp" --request "$work/ok.req" --connections "$conns" --requests 37 \
      --warmup "$warm" 2>"$work/err"); rc=$?
    check "$conns conns, warm-up $warm: exit 0 (rc $rc, $out)" '[[ $rc -eq 0 ]]'
    check "$conns conns, warm-up $warm: exactly 37 ($out)" '[[ $(field requests "$out") == 37 ]]'
    check "$conns conns, warm-up $warm: no errors ($out)" '[[ $(field errors "$out") == 0 ]]'
    check "$conns conns, warm-up $warm: a rate ($out)" \
      'awk -v r="$(field rate "$out")" "BEGIN { exit !(r > 0) }"'
  done
done

# Refusals are errors, and the first one is named.
out=$("$load" --port "$sp" --request "$work/bad.req" --connections 2 --requests 5 --warmup 0 \
  --duration 2 2>"$work/err"); rc=$?
check "refused requests: exit 1 (rc $rc)" '[[ $rc -eq 1 ]]'
check "refused requests: errors counted ($out)" '(( $(field errors "$out") > 0 ))'
check "refused requests: none counted done ($out)" '[[ $(field requests "$out") == 0 ]]'
check "refused requests: first error named" 'grep -q "first error: response: HTTP/1.1 400" "$work/err"'

# Nothing listening.
out=$("$load" --port "$nobody" --request "$work/ok.req" --connections 1 --requests 3 --warmup 0 \
  --duration 1 2>"$work/err"); rc=$?
check "nothing listening: exit 1 (rc $rc)" '[[ $rc -eq 1 ]]'
check "nothing listening: connect refused named" 'grep -q "first error: connect: Connection refused" "$work/err"'

# Only loopback is a target.
"$load" --host 192.0.2.1 --port "$sp" --request "$work/ok.req" >/dev/null 2>"$work/err"; rc=$?
check "a non-loopback host is a usage error, refused before any connect (rc $rc)" '[[ $rc -eq 64 ]] && grep -q "is not a 127.0.0.0/8 address" "$work/err"'

echo "orvel-load: $passed passed, $failed failed"
((failed == 0))
