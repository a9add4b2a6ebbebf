#!/usr/bin/env bash
# Static analysis of our code: clang-tidy (checks in .clang-tidy, and clang's
# lock analysis of the GUARDED_BY/REQUIRES annotations) and cppcheck
# (suppressions in .cppcheck-suppressions), both driven by the compile
# database of build-lint/.  Exits non-zero on any finding.
# Installs clang-tidy and cppcheck (Debian packages) when missing.
#   scripts/lint.sh                 both tools, two jobs at a time
#   LINT_JOBS=1 scripts/lint.sh     one job at a time
set -euo pipefail
# Lower priority, so that a lint run beside builds and tests slows them little.
if [[ -z ${ORVEL_LINT_NICED:-} ]]; then
  ORVEL_LINT_NICED=1 exec nice -n 10 bash "$0" "$@"
fi
cd "$(dirname "$0")/.."
root=$(pwd)
dir=build-lint
jobs=${LINT_JOBS:-2}
if ((jobs < 1 || jobs > 2)); then jobs=2; fi

missing_pkgs=()
command -v clang-tidy >/dev/null || missing_pkgs+=(clang-tidy)
command -v cppcheck >/dev/null || missing_pkgs+=(cppcheck)
command -v clang-format >/dev/null || missing_pkgs+=(clang-format)
if ((${#missing_pkgs[@]})); then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO=sudo
  echo "lint: installing ${missing_pkgs[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing_pkgs[@]}" >/dev/null
fi
for tool in clang-tidy clang-format cppcheck cmake; do
  command -v "$tool" >/dev/null || { echo "lint: $tool not found" >&2; exit 2; }
done

cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DORVEL_BUILD_TESTS=OFF \
      -DCMAKE_BUILD_TYPE=Debug >/dev/null
db=$dir/compile_commands.json

# Every .cc of ours must be in the build, or clang-tidy would see it with
# made-up flags and cppcheck would skip it.
mapfile -t sources < <(find include liborvel orvel_apps tools -name '*.cc' | LC_ALL=C sort)
((${#sources[@]})) || { echo "lint: no sources found" >&2; exit 2; }
missing=0
for f in "${sources[@]}"; do
  if ! grep -qF "\"file\": \"$root/$f\"" "$db"; then
    echo "lint: $f is not in $db" >&2
    missing=1
  fi
done
((missing == 0)) || exit 2

status=0
log=$dir/clang-tidy.log
# Only our own headers report; system and libxml2 headers never do.
header_filter="^$root/(include|liborvel|orvel_apps|tools)/"
echo "=== clang-tidy ($(clang-tidy --version | sed -n 's/.*LLVM version //p'), ${#sources[@]} files) ==="
runner=$(command -v run-clang-tidy || command -v run-clang-tidy-14 || true)
set +e
if [[ -n $runner ]]; then
  # run-clang-tidy takes path regexes; anchor each file exactly.
  regexes=()
  for f in "${sources[@]}"; do
    regexes+=("^$(printf '%s' "$root/$f" | sed 's/[][\.*^$+?(){}|]/\\&/g')\$")
  done
  "$runner" -quiet -p "$dir" -j "$jobs" -header-filter "$header_filter" \
    -extra-arg=-Wthread-safety "${regexes[@]}" >"$log" 2>&1
else
  printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 1 clang-tidy --quiet -p "$dir" --header-filter "$header_filter" \
      --extra-arg=-Wthread-safety >"$log" 2>&1
fi
rc=$?
set -e
# run-clang-tidy always asks for colour; the log is read as plain text.
sed -i 's/\x1b\[[0-9;]*m//g' "$log"
# clang-tidy exits 0 on warnings, so the findings are read from its output.
if grep -qE '^[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$log"; then
  # The findings with their source lines, without the per-file chatter.
  grep -vE '^(clang-tidy(-[0-9]+)? |[0-9]+ warnings?( and [0-9]+ errors?)? generated|Suppressed [0-9]+ warnings|Use -header-filter|Error while processing)' "$log" >&2 || true
  echo "lint: clang-tidy findings above (full output: $log)" >&2
  status=1
elif ((rc != 0)); then
  cat "$log" >&2
  echo "lint: clang-tidy failed (exit $rc)" >&2
  status=1
else
  echo "clang-tidy: clean"
fi

echo "=== clang-format ($(clang-format --version | sed -n 's/.*version \([0-9.]*\).*/\1/p')) ==="
# The committed .clang-format is the layout of every file.
mapfile -t formatted < <(git ls-files '*.cc' '*.h' '*.c')
if clang-format --dry-run --Werror "${formatted[@]}" 2>"$dir/clang-format.log"; then
  echo "clang-format: clean"
else
  head -40 "$dir/clang-format.log" >&2
  echo "lint: files differ from .clang-format (clang-format -i FILE...)" >&2
  status=1
fi

echo "=== cppcheck ($(cppcheck --version)) ==="
mkdir -p "$dir/cppcheck"
# The database covers our code only (tests are off in build-lint/).
if cppcheck --project="$db" --std=c++17 --language=c++ --library=posix -j "$jobs" -q \
     --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
     --suppressions-list=.cppcheck-suppressions --cppcheck-build-dir="$dir/cppcheck" \
     --template='{file}:{line}:{column}: {severity}: {message} [{id}]'; then
  echo "cppcheck: clean"
else
  echo "lint: cppcheck findings above" >&2
  status=1
fi
exit $status
