#!/usr/bin/env bash
# orvel-pelmmon --port with a value that is not a port: exit 64 and one line
# naming the value, before anything listens (a monitor that starts anyway
# is stopped after 5 s and counted as a failure).
set -u
mon=$1
fails=0
for bad in abc 99999 -1 ""; do
  err=$(timeout 5 "$mon" --no-view --port "$bad" --coords /nonexistent 2>&1 >/dev/null)
  rc=$?
  if [[ $rc -ne 64 || $err != *"--port wants a number from 0 to 65535, not \"$bad\""* ]]; then
    echo "FAIL: --port '$bad': status $rc, said: $err"
    fails=$((fails + 1))
  fi
done
err=$(timeout 5 "$mon" --no-view --http 127.0.0.1:70000 2>&1 >/dev/null)
rc=$?
if [[ $rc -ne 64 || $err != *"--http wants ADDR:PORT"* ]]; then
  echo "FAIL: --http 127.0.0.1:70000: status $rc, said: $err"
  fails=$((fails + 1))
fi
((fails)) && exit 1
echo "bad ports refused"
