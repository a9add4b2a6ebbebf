#!/usr/bin/env bash
# The Orvel demo: builds if needed, then starts on free loopback ports a
# directory agent, three proxies registered in it, two computing nodes
# registered with coordinates, a fake ABone client, the coordinate monitor
# with its page, and zemsynth; posts one SynthZemReq covering every path
# (registered proxies, the coordinate fallback to the nearest node, a zone),
# prints the reply table and where each proxy came from, and stops
# everything it started.
#
#   scripts/demo.sh [--interactive] [--no-build] [--build-dir DIR] [--keep]
#
#   --interactive  zemsynth keeps the terminal, so the fallback search
#                  pauses for a key press at each step (watch the monitor)
#   --keep         leave everything running until Ctrl-C or SIGTERM, and
#                  print the coordinate monitor's page address and the
#                  folder of the programs' logs (removed at the stop)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
interactive=0
do_build=1
keep=0
while (($#)); do
  case $1 in
    --interactive) interactive=1 ;;
    --no-build) do_build=0 ;;
    --build-dir) build=$2; shift ;;
    --keep) keep=1 ;;
    # The comment block at the top, up to the first line of code.
    -h|--help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    *) echo "demo: unknown option $1 (try --help)" >&2; exit 64 ;;
  esac
  shift
done

if ((do_build)); then
  "$root/scripts/setup-deps.sh" build
  cmake -S "$root" -B "$build" >/dev/null
  cmake --build "$build" -j "$(nproc)" --target zemsynth zemclient zemproxy orvel-slpd \
    orvel-slptool orvel-pelmmon >/dev/null
fi
bin_slpd=$build/tools/orvel-slpd/orvel-slpd
bin_slptool=$build/tools/orvel-slptool/orvel-slptool
bin_proxy=$build/tools/zemproxy/zemproxy
bin_client=$build/tools/zemclient/zemclient
bin_mon=$build/tools/orvel-pelmmon/orvel-pelmmon
bin_synth=$build/orvel_apps/zemsynth
for b in "$bin_slpd" "$bin_slptool" "$bin_proxy" "$bin_client" "$bin_mon" "$bin_synth"; do
  [[ -x $b ]] || { echo "demo: $b is missing; run without --no-build" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-demo.XXXXXX")
pids=()
cleanup() {
  local p
  # Tests read this to check that nothing was left running.
  [[ -n ${ORVEL_DEMO_PIDFILE:-} ]] && echo "${pids[@]}" >"$ORVEL_DEMO_PIDFILE"
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$p" 2>/dev/null || true
    wait "$p" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A port nobody listens on, from a range the kernel does not hand out itself.
used_ports=" "
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 12000))
    [[ $used_ports == *" $p "* ]] && continue
    if ! ss -Hltun "sport = :$p" 2>/dev/null | grep -q .; then
      used_ports+="$p "
      echo "$p"
      return
    fi
  done
}
wait_port() {  # wait_port PORT NAME LOG
  for _ in $(seq 100); do
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q . && return 0
    sleep 0.1
  done
  echo "demo: $2 did not start; its log:" >&2
  cat "$3" >&2
  exit 1
}
start() {  # start NAME COMMAND... ; output goes to $work/NAME.log
  local name=$1; shift
  "$@" >"$work/$name.log" 2>&1 &
  pids+=($!)
}

# --- the installation path: coordinates file and a fake ABone client -------
export ORVEL_PATH=$work/orvel
mkdir -p "$ORVEL_PATH/abone"
cat >"$ORVEL_PATH/pelm.coords" <<'EOF'
10.0.0.1 0 0 0
10.0.0.2 8 1 0
10.0.0.3 1 2 3
10.1.0.5 6 6 1
127.0.0.11 1 2 2
127.0.0.12 9 9 9
EOF
cat >"$ORVEL_PATH/abone/sc.linux" <<EOF
#!/bin/sh
# Stands in for the ABone command client: records what it would load.
echo "\$*" >> "$work/abone.log"
echo "ABone client (demo): would run: \$*"
EOF
chmod +x "$ORVEL_PATH/abone/sc.linux"
export ORVEL_ABONEVIEWERARGS="-demo"
# The stand-in client loads nothing, so the wait a real node needs before
# the proxy program can start (10 s) is cut short.
export ORVEL_ABONE_LOAD_WAIT=${ORVEL_ABONE_LOAD_WAIT:-1}

# --- directory agent -------------------------------------------------------
da_port=$(free_port)
start slpd "$bin_slpd" --listen 127.0.0.1 --port "$da_port" --verbose
wait_port "$da_port" orvel-slpd "$work/slpd.log"
da=127.0.0.1:$da_port

# --- three running proxies: two end hosts and one zone ---------------------
p1=$(free_port); p2=$(free_port); p3=$(free_port)
start proxy1 "$bin_proxy" --port "$p1" --host 127.0.0.1 --da "$da" --addr 10.0.0.1
start proxy2 "$bin_proxy" --port "$p2" --host 127.0.0.1 --da "$da" --addr 10.0.0.2
start proxy3 "$bin_proxy" --port "$p3" --host 127.0.0.1 --da "$da" --addr 10.1.0.0 --mask 255.255.0.0
for p in "$p1" "$p2" "$p3"; do wait_port "$p" zemproxy "$work/proxy1.log"; done

# --- two computing nodes, placed by coordinates ------------------------------
"$bin_slptool" --da "$da" --scope default register "service:CompResource://127.0.0.11" \
  "(x-PELM-coords=1 2 2)" >/dev/null
"$bin_slptool" --da "$da" --scope default register "service:CompResource://127.0.0.12" \
  "(x-PELM-coords=9 9 9)" >/dev/null

# --- the coordinate monitor, on a free port the service is told of ---------
mon_port=$(free_port)
http_port=$(free_port)
start monitor "$bin_mon" --listen 127.0.0.1 --port "$mon_port" --coords "$ORVEL_PATH/pelm.coords" \
  --http "127.0.0.1:$http_port" --no-view
wait_port "$mon_port" orvel-pelmmon "$work/monitor.log"
export ORVEL_PELMMONITOR=127.0.0.1:$mon_port

# --- the service -----------------------------------------------------------
synth_port=$(free_port)
if ((interactive)); then
  "$bin_synth" "$synth_port" "$da" > >(tee "$work/zemsynth.log") 2>&1 &
else
  # No controlling terminal and no input: the fallback pauses pass at once.
  setsid "$bin_synth" "$synth_port" "$da" </dev/null >"$work/zemsynth.log" 2>&1 &
fi
pids+=($!)
wait_port "$synth_port" zemsynth "$work/zemsynth.log"

echo "Orvel demo: directory agent $da, proxies on ports $p1 $p2 $p3, zemsynth on $synth_port"
((interactive)) && echo "Interactive: press a key in this terminal at each pause of the fallback search."
echo
echo "Posting SynthZemReq: hosts 10.0.0.1 10.0.0.2 10.0.0.3, zone 10.1.0.0/16 (stands for 10.1.0.5)"
rc=0
"$bin_client" synth --server "127.0.0.1:$synth_port" --host 10.0.0.1 --host 10.0.0.2 \
  --host 10.0.0.3 --zone 10.1.0.0/255.255.0.0@10.1.0.5 2>"$work/zemclient.err" || rc=$?
if ((rc)); then
  echo "demo: the synthesis failed (status $rc):" >&2
  cat "$work/zemclient.err" >&2
  echo "--- zemsynth log ---" >&2
  cat "$work/zemsynth.log" >&2
  exit 1
fi

echo
echo "Where each proxy came from:"
grep -E '^got proxy' "$work/zemsynth.log" | {
  names=("end host 10.0.0.1" "end host 10.0.0.2" "end host 10.0.0.3" "zone 10.1.0.0/16")
  i=0
  while read -r _ _ proxy; do
    case $proxy in
      127.0.0.1:"$p1"|127.0.0.1:"$p2"|127.0.0.1:"$p3")
        how="registered ZemProxy at $proxy, initialised by ZemInit/ZemCommit" ;;
      *:0) how="no proxy registered: nearest computing node ${proxy%:0} by coordinates, launched through ABone" ;;
      *) how="proxy $proxy" ;;
    esac
    echo "  ${names[$i]:-member $i}: $how"
    i=$((i + 1))
  done
}
if [[ -s $work/abone.log ]]; then
  echo
  echo "ABone client calls (fake client under \$ORVEL_PATH):"
  sed 's/^/  /' "$work/abone.log"
fi
if ((keep)); then
  echo
  echo "Coordinate monitor: http://127.0.0.1:$http_port/"
  echo "Logs: $work/*.log (removed when the demo stops)"
  echo "Everything keeps running; Ctrl-C or SIGTERM stops it."
  # A background sleep: bash runs the signal trap as soon as wait returns,
  # not after a foreground sleep ends.
  sleep infinity &
  pids+=($!)
  wait $! || true
fi
