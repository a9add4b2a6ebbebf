#!/usr/bin/env bash
# bench/concurrent_synthesis.sh: concurrent synthesis against one member,
# in one run, on loopback.  Called by bench/run; runs alone as well:
#
#   bench/concurrent_synthesis.sh BUILD-DIR [--quick]
#
# Prints rows "NAME<TAB>ORVEL<TAB>BASELINE<TAB>RATIO":
#   100 registered members whose proxies answer after 5 ms (zemproxy
#   --misbehave delay=5), ORVEL_SYNTH_CONCURRENCY=100, against 1 member;
#   20 ABone members (a stand-in ABone client that returns at once,
#   ORVEL_ABONE_LOAD_WAIT=1), ORVEL_SYNTH_CONCURRENCY=20, against 1 member;
#   and the same requests served one after another, for the record.
set -euo pipefail
build=$1
quick=0
[[ ${2:-} == --quick ]] && quick=1
synth=$build/orvel_apps/zemsynth
proxy=$build/tools/zemproxy/zemproxy
slpd=$build/tools/orvel-slpd/orvel-slpd
slptool=$build/tools/orvel-slptool/orvel-slptool
load=$build/tools/orvel-load/orvel-load
mkreq=$build/bench/make_request
work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-csynth.XXXXXX")
# cleanup (on exit) and free_port come from the tools' test helpers.
source "$(dirname "$0")/../tests/tools/test_lib.sh"
wait_port() {
  for _ in $(seq 100); do ss -Hltn "sport = :$1" 2>/dev/null | grep -q . && return 0; sleep 0.1; done
  echo "concurrent_synthesis: $2 did not start on port $1" >&2; exit 1
}
field() { awk -v k="$1" '{for (i = 1; i < NF; i++) if ($i == k) { print $(i + 1); exit }}' <<<"$2"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# p50 in microseconds of REQS requests of REQFILE to PORT, one at a time.
p50() {
  local line
  line=$("$load" --port "$1" --request "$2" --connections 1 --requests "$3" --warmup 1 \
    --duration 120 --timeout 60 2>>"$work/load.err") || true
  [[ $(field errors "$line") == 0 ]] || echo "concurrent_synthesis: errors: $line" >&2
  field p50_us "$line"
}
start_synth() {  # start_synth PORT DA CONCURRENCY [ENV...]
  local port=$1 da=$2 n=$3; shift 3
  env ORVEL_SYNTH_CONCURRENCY="$n" "$@" setsid "$synth" "$port" "$da" </dev/null \
    >>"$work/synth.out" 2>>"$work/synth.err" &
  pids+=($!)
  wait_port "$port" zemsynth
}

# --- 100 registered proxies answering after 5 ms --------------------------------
da=$(free_port)
"$slpd" --listen 127.0.0.1 --port "$da" >"$work/slpd.log" 2>&1 &
pids+=($!)
wait_port "$da" orvel-slpd
members=100
: >"$work/proxies.log"
registered() { grep -c "^zemproxy: registered .*(addr=10.0.0.$1)," "$work/proxies.log" || true; }
start_proxies() {  # every member without a registered proxy gets one
  local i
  for i in $(seq "$members"); do
    (($(registered "$i") > 0)) && continue
    "$proxy" --port "$(free_port)" --host 127.0.0.1 --da "127.0.0.1:$da" --addr "10.0.0.$i" \
      --misbehave delay=5 >>"$work/proxies.log" 2>>"$work/proxy.err" &
    pids+=($!)
  done
  for _ in $(seq 150); do
    (($(grep -c '^zemproxy: registered' "$work/proxies.log" || true) >= members)) && return
    sleep 0.1
  done
}
# A port another program took meanwhile makes a proxy exit: start it again.
for _ in 1 2 3; do start_proxies; done
got=$(grep -c '^zemproxy: registered' "$work/proxies.log" || true)
if ((got < members)); then
  echo "concurrent_synthesis: only $got of $members proxies registered" >&2
  printf 'concurrent, 100 members vs 1\tskipped: %s of 100 proxies up\t\t\n' "$got"
  exit 0
fi
reqs=20; ((quick)) && reqs=5
conc=$(free_port); seq1=$(free_port)
start_synth "$conc" "127.0.0.1:$da" 100
start_synth "$seq1" "127.0.0.1:$da" 1
"$mkreq" "$conc" 1 "$work/c1.req"; "$mkreq" "$conc" 100 "$work/c100.req"
"$mkreq" "$seq1" 1 "$work/s1.req"; "$mkreq" "$seq1" 100 "$work/s100.req"
one=$(p50 "$conc" "$work/c1.req" "$reqs")
hundred=$(p50 "$conc" "$work/c100.req" "$reqs")
printf 'concurrent, 100 members vs 1, 5 ms proxies (us)\t%s\t%s\t%s\n' "$hundred" "$one" \
  "$(ratio "$hundred" "$one")"
s_one=$(p50 "$seq1" "$work/s1.req" "$reqs")
s_hundred=$(p50 "$seq1" "$work/s100.req" $((reqs / 4 + 2)))
printf '  one after another, 100 vs 1 (us)\t%s\t%s\t%s\n' "$s_hundred" "$s_one" \
  "$(ratio "$s_hundred" "$s_one")"

# --- 20 ABone members, 1 s load wait ---------------------------------------------
da2=$(free_port)
"$slpd" --listen 127.0.0.1 --port "$da2" >"$work/slpd2.log" 2>&1 &
pids+=($!)
wait_port "$da2" orvel-slpd
mkdir -p "$work/orvel/abone"
printf '#!/bin/sh\nexit 0\n' >"$work/orvel/abone/sc.linux"
chmod 755 "$work/orvel/abone/sc.linux"
: >"$work/orvel/pelm.coords"
for i in $(seq 20); do echo "10.0.0.$i 1 2 3" >>"$work/orvel/pelm.coords"; done
"$slptool" --da "127.0.0.1:$da2" register "service:CompResource://127.0.0.5" \
  "(x-PELM-coords=1 2 3)" >/dev/null
abone_env=(ORVEL_PATH="$work/orvel" ORVEL_ABONEVIEWERARGS=-v ORVEL_ABONE_LOAD_WAIT=1)
aconc=$(free_port); aseq=$(free_port)
start_synth "$aconc" "127.0.0.1:$da2" 20 "${abone_env[@]}"
start_synth "$aseq" "127.0.0.1:$da2" 1 "${abone_env[@]}"
"$mkreq" "$aconc" 1 "$work/a1.req"; "$mkreq" "$aconc" 20 "$work/a20.req"
"$mkreq" "$aseq" 20 "$work/as20.req"
areqs=5; ((quick)) && areqs=2
a_one=$(p50 "$aconc" "$work/a1.req" "$areqs")
a_twenty=$(p50 "$aconc" "$work/a20.req" "$areqs")
printf 'concurrent, 20 ABone members vs 1, 1 s wait (us)\t%s\t%s\t%s\n' "$a_twenty" "$a_one" \
  "$(ratio "$a_twenty" "$a_one")"
as_twenty=$(p50 "$aseq" "$work/as20.req" 1)
printf '  one after another, 20 ABone vs 1 (us)\t%s\t%s\t%s\n' "$as_twenty" "$a_one" \
  "$(ratio "$as_twenty" "$a_one")"
