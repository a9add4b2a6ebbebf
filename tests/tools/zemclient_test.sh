#!/usr/bin/env bash
# zemclient against a real stack on loopback: table and JSON output, and the
# exit status and line of each failure.
set -u
build=$1
slpd=$build/tools/orvel-slpd/orvel-slpd
proxy=$build/tools/zemproxy/zemproxy
client=$build/tools/zemclient/zemclient
synth=$build/orvel_apps/zemsynth
work=$(mktemp -d)
. "$(dirname "$0")/test_lib.sh"

da_port=$(free_port); pp=$(free_port); zp=$(free_port); bad=$(free_port); sp=$(free_port); closed=$(free_port)
"$slpd" --listen 127.0.0.1 --port "$da_port" >"$work/slpd.log" 2>&1 & pids+=($!)
wait_port "$da_port"
"$proxy" --port "$pp" --da "127.0.0.1:$da_port" --addr 10.0.0.1 >"$work/proxy.log" 2>&1 & pids+=($!)
"$proxy" --port "$zp" --da "127.0.0.1:$da_port" --addr 10.2.0.0 --mask 255.255.0.0 >"$work/zproxy.log" 2>&1 & pids+=($!)
"$proxy" --port "$bad" --misbehave close >"$work/bad.log" 2>&1 & pids+=($!)
export ORVEL_PATH=$work          # no pelm.coords: fallbacks find nothing
setsid "$synth" "$sp" "127.0.0.1:$da_port" </dev/null >"$work/synth.log" 2>&1 & pids+=($!)
wait_port "$pp"; wait_port "$zp"; wait_port "$bad"; wait_port "$sp"
# The proxies register once their ports are bound.
for _ in $(seq 50); do grep -q "registered" "$work/proxy.log" && grep -q "registered" "$work/zproxy.log" && break; sleep 0.1; done

# Table: one registered host.
out=$("$client" synth --server "127.0.0.1:$sp" --host 10.0.0.1 --id 77 --version 78 2>"$work/err")
rc=$?
check "synth exits 0 (rc $rc: $(cat "$work/err"))" '[[ $rc -eq 0 ]]'
check "table header" '[[ $(sed -n 1p <<<"$out") =~ ^MEMBER\ +KIND\ +GROUP\ +PORT\ +TTL$ ]]'
check "table row" '[[ $(sed -n 2p <<<"$out") =~ ^10\.0\.0\.1\ +host\ +224\.5\.6\.7\ +7560\ +0$ ]]'
check "nothing but the table on stdout" '[[ $(wc -l <<<"$out") -eq 2 ]]'

# JSON, empty request.
out=$("$client" synth --server "127.0.0.1:$sp" --json --id 5 --version 7 2>/dev/null)
check "empty request as JSON" '[[ $out == "{\"id\":5,\"version\":7,\"members\":[]}" ]]'
out=$("$client" synth --server "127.0.0.1:$sp" --json --host 10.0.0.1 --id 5 --version 7 2>/dev/null)
check "JSON member, whole line" '[[ $out == "{\"id\":5,\"version\":7,\"members\":[{\"member\":\"10.0.0.1\",\"kind\":\"host\",\"group\":\"224.5.6.7\",\"port\":7560,\"ttl\":0}]}" ]]'

# A zone: the message library's setEP/getEP trace lines stay out of the
# output (they are zemsynth's, not the client's).
out=$("$client" synth --server "127.0.0.1:$sp" --zone 10.2.0.0/16@10.2.0.5 --id 8 --version 9 2>"$work/err")
rc=$?
check "zone request exits 0 (rc $rc: $(cat "$work/err"))" '[[ $rc -eq 0 ]]'
check "zone row, and only the table on stdout" '[[ $(wc -l <<<"$out") -eq 2 && $(sed -n 2p <<<"$out") =~ ^10\.2\.0\.0/16\ +zone\  ]]'
check "no trace lines on stdout or stderr" '! grep -q "setEP\|getEP" <<<"$out$(cat "$work/err")"'
check "zemsynth still prints its getEP line" 'grep -q "^orvel: getEP " "$work/synth.log"'

# Refused: a host with neither proxy nor coordinates.
"$client" synth --server "127.0.0.1:$sp" --host 10.9.9.9 >/dev/null 2>"$work/err"; rc=$?
check "refusal exits 1 (rc $rc)" '[[ $rc -eq 1 ]]'
check "refusal line" 'grep -q "^zemclient: the service refused the request (HTTP 400)$" "$work/err"'

# Unreachable.
"$client" synth --server "127.0.0.1:$closed" --host 10.0.0.1 >/dev/null 2>"$work/err"; rc=$?
check "unreachable exits 2 (rc $rc)" '[[ $rc -eq 2 ]]'
check "unreachable line" 'grep -q "^zemclient: cannot reach 127.0.0.1:$closed$" "$work/err"'

# A peer that closes without answering.
printf '<?xml version="1.0"?>\n<ZemInit><id>9</id><version>10</version><data_port>7560</data_port></ZemInit>\n' >"$work/init.xml"
"$client" send --server "127.0.0.1:$bad" "$work/init.xml" >/dev/null 2>"$work/err"; rc=$?
check "no answer exits 1 (rc $rc)" '[[ $rc -eq 1 ]]'
check "no answer line" 'grep -q "^zemclient: no usable answer from 127.0.0.1:$bad$" "$work/err"'

# send: a ZemInit to the proxy comes back as its ZemInitOk document.
out=$("$client" send --server "127.0.0.1:$pp" "$work/init.xml" 2>"$work/err"); rc=$?
check "send exits 0 (rc $rc)" '[[ $rc -eq 0 ]]'
check "send prints the reply" '[[ $out == *"<ZemInitOk><id>9</id><version>10</version>"* ]]'
out=$("$client" send --server "127.0.0.1:$pp" - <"$work/init.xml" 2>/dev/null)
check "send from standard input" '[[ $out == *"<ZemInitOk>"* ]]'
echo "not xml" | "$client" send --server "127.0.0.1:$pp" - >/dev/null 2>&1; rc=$?
check "send of a non-document is a usage error (rc $rc)" '[[ $rc -eq 64 ]]'

# Command line.
"$client" --help | grep -q "^Usage: zemclient COMMAND"; check "--help" '[[ $? -eq 0 ]]'
"$client" synth --help | grep -q "^Usage: zemclient synth"; check "synth --help" '[[ $? -eq 0 ]]'
out=$("$client" synth --version 2>&1); rc=$?
check "synth --version alone prints the program's (rc $rc: $out)" '[[ $rc -eq 0 && $out =~ ^zemclient\ [0-9]+\.[0-9]+ ]]'
"$client" synth --host 10.0.0.1 >/dev/null 2>&1; rc=$?
check "missing --server is a usage error" '[[ $rc -eq 64 ]]'
"$client" synth --server 127.0.0.1:1 --zone 10.1.0.0/33@10.1.0.5 >/dev/null 2>&1; rc=$?
check "bad zone is a usage error" '[[ $rc -eq 64 ]]'
"$client" synth --server 127.0.0.1:1 --host 300.1.1.1 >/dev/null 2>&1; rc=$?
check "bad host is a usage error" '[[ $rc -eq 64 ]]'

echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
