#!/bin/sh
# Builds a man page from a program's --help and --version with help2man:
#   man-page.sh HELP2MAN PROGRAM INCLUDE OUT
# help2man leaves the "Exit status:" heading of --help as a subsection of
# whatever precedes it; it becomes the page's EXIT STATUS section.
set -e
help2man=$1; prog=$2; include=$3; out=$4
LC_ALL=C "$help2man" --no-info --section=1 --source=Orvel --manual="Orvel manual" \
  --include="$include" --output="$out.tmp" "$prog"
sed -e 's/^\.SS "Exit status:"$/.SH "EXIT STATUS"/' "$out.tmp" >"$out"
rm -f "$out.tmp"
grep -q '^\.SH "EXIT STATUS"' "$out" || { echo "man-page.sh: $out has no EXIT STATUS" >&2; exit 1; }
