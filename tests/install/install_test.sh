#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then compiles and runs a
# small program against orvel.pc, once with the shared and once with the
# static library.
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d "${TMPDIR:-/tmp}/orvel-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in bin/zemsynth include/orvel/Msg.h include/orvel/EndPoint.h include/orvel/http.h \
         include/orvel/SLP.h lib/pkgconfig/orvel.pc; do
  [[ -e $prefix/$f ]] || { echo "FAIL: $f not installed"; exit 1; }
done
ls "$prefix"/lib/liborvel.so* "$prefix"/lib/liborvel.a >/dev/null
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
extra=()
[[ -n ${ORVEL_SANITIZE_FLAGS:-} ]] && extra=($ORVEL_SANITIZE_FLAGS)
c++ -std=c++17 "${extra[@]}" "$src/example.cc" -o "$prefix/example" $(pkg-config --cflags --libs orvel)
LD_LIBRARY_PATH=$prefix/lib "$prefix/example"
c++ -std=c++17 "${extra[@]}" "$src/example.cc" -o "$prefix/example_static" $(pkg-config --cflags orvel) \
    "$prefix/lib/liborvel.a" $(pkg-config --libs libxml-2.0) -lpthread
"$prefix/example_static"
echo "install test: ok"
