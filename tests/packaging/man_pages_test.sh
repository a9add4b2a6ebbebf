#!/usr/bin/env bash
# The man pages built by help2man: whatis can read each one (lexgrog), each
# has the sections an operator looks for, renders without groff warnings,
# and documents the exit statuses its program's --help lists.
#   man_pages_test.sh BUILD PROGRAM...
set -u
build=$1; shift
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
command -v lexgrog >/dev/null || { echo "SKIP: lexgrog (man-db) not installed"; exit 77; }

for p in "$@"; do
  page=$build/man/$p.1
  [[ -s $page ]] || { fail "$page not built"; continue; }
  [[ -s $page.gz ]] || fail "$page.gz not built"

  # lexgrog prints 'FILE: "NAME - DESCRIPTION"' and exits 0 when it can parse the NAME section.
  out=$(lexgrog "$page" 2>&1); rc=$?
  [[ $rc -eq 0 ]] || fail "lexgrog $p.1 (rc $rc): $out"
  [[ $out == *"\"$p - "* ]] || fail "lexgrog $p.1 names no '$p - ...': $out"
  [[ $out == *"manual page for"* ]] && fail "$p.1 has help2man's placeholder description: $out"
  out=$(lexgrog "$page.gz" 2>&1) || fail "lexgrog $p.1.gz: $out"

  for s in NAME SYNOPSIS DESCRIPTION OPTIONS '"EXIT STATUS"' ENVIRONMENT FILES EXAMPLES '"SEE ALSO"'; do
    n=$(grep -c "^\.SH $s\$" "$page")
    [[ $n -eq 1 ]] || fail "$p.1 has $n sections $s"
  done

  text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$build/man/$p.warnings")
  [[ -s $build/man/$p.warnings ]] && fail "$p.1 renders with warnings: $(head -3 "$build/man/$p.warnings")"
  rm -f "$build/man/$p.warnings"

  # Every status --help lists is in the page's EXIT STATUS section.
  prog=$(find "$build" -path "$build/_CPack_Packages" -prune -o -type f -name "$p" -perm -u+x -print | head -1)
  statuses=$("$prog" --help | sed -n '/^Exit status:$/,/^$/p' | awk '$1 ~ /^[0-9]+$/ {print $1}')
  [[ -n $statuses ]] || fail "$p --help lists no exit status"
  section=$(sed -n '/^EXIT STATUS$/,/^[A-Z][A-Z ]*$/p' <<<"$text" | sed '1d;$d')
  for st in $statuses; do
    grep -Eq "^ +$st( |$)" <<<"$section" || fail "$p.1 EXIT STATUS lacks $st"
  done
done

# Every variable zemsynth's --help names is described in its ENVIRONMENT.
zemsynth=$(find "$build" -path "$build/_CPack_Packages" -prune -o -type f -name zemsynth -perm -u+x -print | head -1)
env_text=$(MANWIDTH=200 man -l "$build/man/zemsynth.1" 2>/dev/null | sed -n '/^ENVIRONMENT$/,/^[A-Z][A-Z ]*$/p')
for v in $("$zemsynth" --help | grep -o 'ORVEL_[A-Z_]*' | sort -u); do
  grep -Eq "^ +(ORVEL_[A-Z_]+, )*$v\b" <<<"$env_text" || fail "zemsynth.1 ENVIRONMENT lacks $v"
done

# zemclient's page shows the options of both commands.
text=$(MANWIDTH=200 man -l "$build/man/zemclient.1" 2>/dev/null)
for want in "Options of synth:" "--server HOST:PORT" "--host ADDR" "--zone NET/MASK@EP" \
            "--id N" "--json" "Options of send"; do
  grep -qF -- "$want" <<<"$text" || fail "zemclient.1 does not show '$want'"
done

[[ $fails -eq 0 ]] || { echo "$fails failures"; exit 1; }
echo "man pages: ok ($# pages)"
