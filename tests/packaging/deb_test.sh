#!/usr/bin/env bash
# Builds the Debian package with cpack from the build tree, unpacks it with
# dpkg-deb into a scratch folder and checks that every file is where it
# belongs; lintian's findings are printed (errors fail the test).
#   deb_test.sh BUILD UNIT...
set -u
build=$(cd "$1" && pwd); shift
for t in cpack dpkg-deb dpkg-shlibdeps; do
  command -v $t >/dev/null || { echo "SKIP: $t not installed (scripts/setup-deps.sh)"; exit 77; }
done
fails=0
fail() { echo "FAIL: $*"; fails=$((fails + 1)); }
scratch=$(mktemp -d "${TMPDIR:-/tmp}/orvel-deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

# cpack stages under -B, so runs beside this one do not meet.
(cd "$scratch" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out") \
  >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; echo "FAIL: cpack"; exit 1; }
debs=("$scratch"/out/*.deb)
[[ ${#debs[@]} -eq 1 && -f ${debs[0]} ]] || { echo "FAIL: cpack made ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

root=$scratch/root
dpkg-deb -x "$deb" "$root" || { echo "FAIL: dpkg-deb -x"; exit 1; }
dpkg-deb -e "$deb" "$scratch/control" || { echo "FAIL: dpkg-deb -e"; exit 1; }
field() { dpkg-deb -f "$deb" "$1"; }
[[ $(field Package) == orvel ]] || fail "Package: $(field Package)"
[[ -n $(field Version) ]] || fail "no Version"
[[ $(field Depends) == *libxml2* ]] || fail "Depends lacks libxml2: $(field Depends)"
[[ $(field Depends) == *libc6* ]] || fail "Depends lacks libc6: $(field Depends)"

# The library folder: usr/lib, or usr/lib/TRIPLET when configured with the
# prefix /usr (GNUInstallDirs).
lib=$(cd "$root" && find usr/lib -name liborvel.so | head -1)
lib=${lib%/liborvel.so}
[[ -n $lib ]] || { fail "no liborvel.so in the package"; lib=usr/lib; }
expect=(
  usr/bin/zemsynth usr/bin/zemclient usr/bin/zemproxy usr/bin/orvel-slpd
  usr/bin/orvel-slptool usr/bin/orvel-pelmmon usr/bin/orvel-load usr/share/orvel/README
  $lib/liborvel.a $lib/liborvel.so $lib/pkgconfig/orvel.pc
  $lib/pkgconfig/orvel-slp.pc $lib/cmake/orvel/orvelConfig.cmake
  usr/include/orvel/Msg.h usr/include/orvel/EndPoint.h usr/include/orvel/http.h
  usr/include/orvel/SLP.h usr/include/orvel/slp_api.h usr/include/orvel/slp/slp.h
  usr/share/doc/orvel/README.md usr/share/doc/orvel/copyright usr/share/doc/orvel/changelog.gz
)
for p in zemsynth zemclient zemproxy orvel-slpd orvel-slptool orvel-pelmmon orvel-load; do
  expect+=(usr/share/man/man1/$p.1.gz)
done
for u in "$@"; do
  expect+=(usr/lib/systemd/system/$u.service etc/default/$u)
done
for f in "$(dirname "$0")"/../../docs/*.md; do
  expect+=(usr/share/doc/orvel/$(basename "$f"))
done
for f in "${expect[@]}"; do
  [[ -e $root/$f ]] || fail "/$f not in the package"
done
for f in "$root"/usr/bin/*; do
  [[ -x $f ]] || fail "${f#$root} not executable"
done
# The shared library by its soname, the name the programs and ldconfig use.
soname=$(objdump -p "$root/$lib/liborvel.so" | awk '$1 == "SONAME" {print $2}')
[[ -n $soname && -e $root/$lib/$soname ]] || fail "liborvel soname ${soname:-none} not in the package"
grep -q 'ldconfig' "$scratch/control/triggers" 2>/dev/null || fail "no ldconfig trigger for liborvel"

# The default files are conffiles: an upgrade keeps the operator's edits.
for u in "$@"; do
  grep -qx "/etc/default/$u" "$scratch/control/conffiles" 2>/dev/null ||
    fail "/etc/default/$u is not a conffile"
done
# Units name the packaged programs and settings.
for u in "$@"; do
  f=$root/usr/lib/systemd/system/$u.service
  [[ -f $f ]] || continue
  grep -q "^ExecStart=/usr/bin/" "$f" || fail "$u.service ExecStart: $(grep ^ExecStart= "$f")"
  grep -qx "EnvironmentFile=-/etc/default/$u" "$f" || fail "$u.service EnvironmentFile"
  # The folder a unit names as ORVEL_PATH comes with the package.
  orvel_path=$(grep -o 'ORVEL_PATH=[^ "]*' "$f" | head -1 | cut -d= -f2)
  [[ -z $orvel_path || -d $root$orvel_path ]] || fail "$u.service ORVEL_PATH $orvel_path not in the package"
done
# orvel.pc leads to the package's headers and libraries.
pc=$root/$lib/pkgconfig/orvel.pc
incdir=$(realpath -m "$(pkg-config --variable=includedir "$pc")")
libdir=$(realpath -m "$(pkg-config --variable=libdir "$pc")")
[[ -f $incdir/orvel/Msg.h ]] || fail "orvel.pc includedir $incdir holds no orvel/Msg.h"
[[ -e $libdir/liborvel.so ]] || fail "orvel.pc libdir $libdir holds no liborvel.so"
# Nothing from the build machine: no build tree path in any file.  A
# sanitizer build keeps its source locations (headers included from the
# build tree among them) for its reports; it is never shipped.
if grep -q '^ORVEL_SANITIZE:[A-Z]*=.' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "sanitizer build: build tree paths not checked"
elif grep -rlF "$build" "$root" >/dev/null; then
  fail "files name the build tree: $(grep -rlF "$build" "$root" | head -3)"
fi

if command -v lintian >/dev/null; then
  lintian --tag-display-limit 0 "$deb" >"$scratch/lintian.log" 2>&1
  echo "lintian:"; sed 's/^/  /' "$scratch/lintian.log"
  grep -q '^E:' "$scratch/lintian.log" && fail "lintian reports errors"
else
  echo "lintian not installed: not run"
fi

[[ $fails -eq 0 ]] || { echo "$fails failures"; exit 1; }
echo "package: ok"
