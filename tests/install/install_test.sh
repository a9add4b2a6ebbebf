#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds programs
# against it as users do:
#   - example.cc through orvel.pc, with the shared and the static library;
#   - example.cc through find_package(orvel), orvel::orvel and
#     orvel::orvel_static;
#   - slp_find.c, a C program written against the standard SLP API, through
#     orvel-slp.pc (#include <slp.h>), shared and fully static liborvel,
#     run against the installed orvel-slpd on loopback;
#   - slp_results.c, the standard API's return values and callbacks.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/orvel-install.XXXXXX")
source "$src/../tools/test_lib.sh"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/zemsynth bin/orvel-slpd include/orvel/Msg.h include/orvel/EndPoint.h \
         include/orvel/http.h include/orvel/SLP.h include/orvel/slp_api.h include/orvel/export.h \
         include/orvel/slp/slp.h lib/pkgconfig/orvel.pc lib/pkgconfig/orvel-slp.pc \
         lib/cmake/orvel/orvelConfig.cmake lib/cmake/orvel/orvelConfigVersion.cmake; do
  [[ -e $prefix/$f ]] || { echo "FAIL: $f not installed"; exit 1; }
done
# Internal headers stay in the tree.
[[ -z $(find "$prefix/include" -name 'wire.h' -o -name 'socket_io.h') ]] || { echo "FAIL: internal header installed"; exit 1; }
ls "$prefix"/lib/liborvel.so* "$prefix"/lib/liborvel.a >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
extra=()
[[ -n ${ORVEL_SANITIZE_FLAGS:-} ]] && extra=($ORVEL_SANITIZE_FLAGS)

# orvel.pc, shared and static.
c++ -std=c++17 "${extra[@]}" "$src/example.cc" -o "$work/example" $(pkg-config --cflags --libs orvel)
LD_LIBRARY_PATH=$prefix/lib "$work/example"
c++ -std=c++17 "${extra[@]}" "$src/example.cc" -o "$work/example_static" $(pkg-config --cflags orvel) \
    "$prefix/lib/liborvel.a" $(pkg-config --libs libxml-2.0) -lpthread
"$work/example_static"

# find_package(orvel).
cmake -S "$src/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_CXX_FLAGS="${extra[*]}" -DCMAKE_EXE_LINKER_FLAGS="${extra[*]}" >/dev/null
cmake --build "$work/consumer" >/dev/null
"$work/consumer/example_shared" >/dev/null
"$work/consumer/example_static" >/dev/null

# orvel-slp.pc: the standard SLP API as <slp.h>.  The static build sees only
# liborvel.a, so it links only if orvel.pc's private libraries bring the C++
# runtime.
[[ $(pkg-config --static --libs orvel) == *-lstdc++* ]] || { echo "FAIL: no -lstdc++ in --static --libs"; exit 1; }
cc "${extra[@]}" "$src/slp_find.c" -o "$work/slp_find" $(pkg-config --cflags --libs orvel-slp)
mkdir "$work/static"
ln -s "$prefix/lib/liborvel.a" "$work/static/liborvel.a"
cc "${extra[@]}" "$src/slp_find.c" -o "$work/slp_find_static" $(pkg-config --cflags orvel-slp) \
   -L"$work/static" $(pkg-config --static --libs orvel-slp)
if readelf -d "$work/slp_find_static" | grep -q 'liborvel'; then
  echo "FAIL: slp_find_static needs liborvel.so"; exit 1
fi

port=$(free_port)
"$prefix/bin/orvel-slpd" --listen 127.0.0.1 --port "$port" --scopes default >"$work/slpd.log" 2>&1 &
pids+=($!)
wait_port "$port" || { echo "FAIL: orvel-slpd did not start"; cat "$work/slpd.log"; exit 1; }
cat >"$work/slp.conf" <<CONF
net.slp.DAAddresses = 127.0.0.1:$port
net.slp.activeDADetection = false
net.slp.passiveDADetection = false
net.slp.datagramTimeouts = 500,500
CONF
export ORVEL_SLP_CONF=$work/slp.conf
LD_LIBRARY_PATH=$prefix/lib "$work/slp_find"
"$work/slp_find_static"
# Return values and callbacks as the standard API gives them.
cc "${extra[@]}" "$src/slp_results.c" -o "$work/slp_results" $(pkg-config --cflags --libs orvel-slp)
LD_LIBRARY_PATH=$prefix/lib "$work/slp_results"
echo "install test: ok"
