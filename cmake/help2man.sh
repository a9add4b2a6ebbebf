#!/bin/sh
# Turns a program's --help text into a small man page: help2man.sh PROG NAME OUT
prog=$1; name=$2; out=$3
{
  printf '.TH %s 1 "" "Orvel" "Orvel manual"\n' "$(echo "$name" | tr a-z A-Z)"
  printf '.SH NAME\n%s\n' "$name"
  printf '.SH DESCRIPTION\n.nf\n'
  "$prog" --help 2>&1 | sed -e 's/\\/\\\\/g' -e 's/^\./\\\&./' -e "s/^'/\\\\\&'/"
  printf '.fi\n'
} > "$out"
