# Shared by the tools' shell tests: sourced, not run.  The caller sets
# work (a scratch directory) and appends the processes it starts to pids.
pids=()
# Safe under set -e too (the benchmarks source it).
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
used=" "
# A loopback port nothing listens on, never the same twice in one test.
free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 12000))
    [[ $used == *" $p "* ]] && continue
    ss -Hltun "sport = :$p" 2>/dev/null | grep -q . && continue
    used+="$p "; echo "$p"; return
  done
}
wait_port() { for _ in $(seq 100); do ss -Hltn "sport = :$1" | grep -q . && return 0; sleep 0.1; done; return 1; }
passed=0 failed=0
check() { if eval "$2"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: $1"; fi; }
