#!/usr/bin/env bash
# The systemd units as `cmake --install` leaves them under a scratch prefix:
# they name that prefix, systemd-analyze verify accepts them, security
# --offline rates each at most 3.0, and the options they and the example
# default files pass are ones the programs accept.
#   units_test.sh BUILD UNIT...
set -u
build=$1; shift
command -v systemd-analyze >/dev/null ||
  { echo "SKIP: systemd-analyze not installed (Debian package systemd)"; exit 77; }
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
prefix=$(mktemp -d "${TMPDIR:-/tmp}/orvel-units.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "FAIL: cmake --install"; exit 1; }
unitdir=$prefix/lib/systemd/system

# The value of KEY= in a unit (last one wins, as in systemd).
key() { grep "^$2=" "$1" | tail -1 | cut -d= -f2-; }
# The value of NAME in the unit's Environment= lines, quotes removed.
envvar() {
  grep '^Environment=' "$1" | grep -o "\"$2=[^\"]*\"\|[ =]$2=[^ \"]*" | tail -1 |
    sed -e 's/^[ =]//' -e 's/^"//' -e 's/"$//' -e "s/^$2=//"
}
# Runs PROGRAM ARGS... --help: getopt checks every option before --help, so
# status 0 means all were accepted.
accepts() {
  local out
  out=$("$@" --help 2>&1 >/dev/null) || { fail "$* --help refused: $out"; return; }
}

units=()
for u in "$@"; do
  f=$unitdir/$u.service
  [[ -f $f ]] || { fail "$f not installed"; continue; }
  units+=("$f")
  grep -q '@[A-Z_]*@' "$f" && fail "$u.service keeps a template variable"
  exec_start=$(key "$f" ExecStart)
  [[ $exec_start == "$prefix/bin/"* ]] || fail "$u.service ExecStart names no $prefix/bin: $exec_start"
  [[ -x ${exec_start%% *} ]] || fail "$u.service ExecStart program missing: ${exec_start%% *}"
  [[ $(key "$f" EnvironmentFile) == "-$prefix/etc/default/$u" ]] ||
    fail "$u.service EnvironmentFile is $(key "$f" EnvironmentFile)"
  [[ -f $prefix/etc/default/$u ]] || fail "example $prefix/etc/default/$u not installed"
  for k in NoNewPrivileges ProtectSystem DynamicUser Restart; do
    [[ -n $(key "$f" $k) ]] || fail "$u.service has no $k"
  done
done

# verify also runs `man` on each Documentation=man: page: the installed pages.
out=$(MANPATH=$prefix/share/man systemd-analyze verify "${units[@]}" 2>&1); rc=$?
[[ $rc -eq 0 && -z $out ]] || fail "systemd-analyze verify (rc $rc): $out"

for f in "${units[@]}"; do
  out=$(systemd-analyze security --offline=true "$f" 2>&1)
  score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$out")
  echo "$(basename "$f"): exposure $score"
  [[ -n $score ]] || { fail "no exposure level for $f: $(tail -2 <<<"$out")"; continue; }
  awk -v s="$score" 'BEGIN { exit !(s <= 3.0) }' || fail "$(basename "$f") exposure $score > 3.0"
done

# The agent: the state file in its state directory, port 427 with the one capability.
f=$unitdir/orvel-slpd.service
[[ $(key "$f" StateDirectory) == orvel-slpd ]] || fail "orvel-slpd.service StateDirectory"
[[ $(key "$f" AmbientCapabilities) == CAP_NET_BIND_SERVICE ]] || fail "orvel-slpd.service capability"
state_args=$(envvar "$f" ORVEL_SLPD_STATE_ARGS)
[[ $state_args == "--state %S/orvel-slpd/state" ]] || fail "orvel-slpd state args: $state_args"
args=$(envvar "$f" ORVEL_SLPD_ARGS)
[[ -n $args ]] || fail "orvel-slpd.service sets no ORVEL_SLPD_ARGS"
accepts "$prefix/bin/orvel-slpd" --state "$prefix/state" $args
# Each example line of the default file, uncommented.
while IFS= read -r line; do
  v=${line#*=}; v=${v#\"}; v=${v%\"}
  case $line in
    ORVEL_SLPD_ARGS=*) accepts "$prefix/bin/orvel-slpd" $v ;;
    ORVEL_SLPD_STATE_ARGS=*) accepts "$prefix/bin/orvel-slpd" $v ;;
  esac
done < <(sed -n 's/^#\(ORVEL_[A-Z_]*=.*\)/\1/p' "$prefix/etc/default/orvel-slpd")

# The monitor.
f=$unitdir/orvel-pelmmon.service
args=$(envvar "$f" ORVEL_PELMMON_ARGS)
[[ -n $args ]] || fail "orvel-pelmmon.service sets no ORVEL_PELMMON_ARGS"
accepts "$prefix/bin/orvel-pelmmon" --no-view $args
while IFS= read -r line; do
  v=${line#*=}; v=${v#\"}; v=${v%\"}
  accepts "$prefix/bin/orvel-pelmmon" --no-view $v
done < <(sed -n 's/^#ORVEL_PELMMON_ARGS=//p' "$prefix/etc/default/orvel-pelmmon")

# The service: two arguments, a port and an agent list; it wants the agent.
f=$unitdir/zemsynth.service
[[ $(key "$f" ExecStart) == "$prefix/bin/zemsynth \"\${ZEMSYNTH_PORT}\" \"\${ZEMSYNTH_DA}\"" ]] ||
  fail "zemsynth.service ExecStart: $(key "$f" ExecStart)"
[[ $(envvar "$f" ZEMSYNTH_PORT) =~ ^[0-9]+$ ]] || fail "zemsynth.service ZEMSYNTH_PORT"
[[ $(envvar "$f" ZEMSYNTH_DA) =~ ^[0-9.:,]*$ ]] || fail "zemsynth.service ZEMSYNTH_DA"
[[ $(key "$f" Wants) == *orvel-slpd.service* ]] || fail "zemsynth.service does not want the agent"
[[ $(key "$f" After) == *orvel-slpd.service* ]] || fail "zemsynth.service not after the agent"

[[ $fails -eq 0 ]] || { echo "$fails failures"; exit 1; }
echo "units: ok"
