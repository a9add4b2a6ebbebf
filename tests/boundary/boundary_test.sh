#!/usr/bin/env bash
# boundary_test.sh BUILD_DIR PROBE...: builds each probe target; a reach_*
# probe must fail because its header is not found, an allowed_* probe must
# build.
set -u
build=$1
shift
status=0
for probe in "$@"; do
  out=$(cmake --build "$build" --target "$probe" 2>&1)
  rc=$?
  case $probe in
    reach_*)
      if ((rc == 0)); then
        echo "FAIL $probe: built, but its target may not see the header"
        status=1
      elif ! grep -q 'No such file or directory' <<<"$out"; then
        echo "FAIL $probe: failed for another reason:"
        echo "$out" | tail -20
        status=1
      else
        echo "ok   $probe: header refused"
      fi
      ;;
    *)
      if ((rc != 0)); then
        echo "FAIL $probe: did not build:"
        echo "$out" | tail -20
        status=1
      else
        echo "ok   $probe: builds"
      fi
      ;;
  esac
done
exit $status
