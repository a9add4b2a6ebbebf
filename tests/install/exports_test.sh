#!/usr/bin/env bash
# Checks the dynamic symbol table of liborvel.so against the public headers.
#   - Every symbol must belong to a name the headers mark ORVEL_EXPORT (a
#     class's members, typeinfo and vtable; a function; a variable), or be an
#     instantiation of the C++ runtime's templates.  Anything in namespace
#     orvel, any *ForTesting hook and any other name is a leak.
#   - Every exported function of the headers must be there.
# Usage: exports_test.sh LIBORVEL.so INCLUDE_DIR
set -euo pipefail
lib=$1 inc=$2

# Public names, from the headers.
classes=$(grep -ho 'class ORVEL_EXPORT [A-Za-z_][A-Za-z0-9_]*' "$inc"/*.h | awk '{print $3}' | sort -u)
functions=$(grep -h '^ORVEL_EXPORT ' "$inc"/*.h | grep -o '[A-Za-z_][A-Za-z0-9_]*(' |
            tr -d '(' | sort -u)
variables=$(grep -h '^extern ORVEL_EXPORT ' "$inc"/*.h | grep -o '[A-Za-z_][A-Za-z0-9_]*;' | tr -d ';' | sort -u)
[[ -n $classes && -n $functions && -n $variables ]] || { echo "FAIL: no public names found in $inc"; exit 1; }
declare -A public
for n in $classes $functions $variables; do public[$n]=1; done

mapfile -t symbols < <(nm -D --defined-only -C "$lib" | cut -d' ' -f3-)
leaks=()
declare -A seen
runtime='^(std|__gnu_cxx)::'
for s in "${symbols[@]}"; do
  if [[ $s == *orvel::* || $s == *ForTesting* ]]; then leaks+=("$s"); continue; fi
  name=$s
  for p in "typeinfo name for " "typeinfo for " "vtable for " "VTT for " \
           "non-virtual thunk to " "virtual thunk to " "guard variable for "; do
    name=${name#"$p"}
  done
  id=$(grep -o '^[A-Za-z_][A-Za-z0-9_]*' <<<"$name" || true)
  if [[ -n $id && -n ${public[$id]:-} ]]; then seen[$id]=1; continue; fi
  # Instantiations of the standard library's templates (default visibility
  # in its own headers), e.g. std::vector<std::string> members: judged by
  # the function's own qualified name, without template arguments, return
  # type or parameters (a Debug build keeps more of them out of line).
  qualified=$(sed -e ':a' -e 's/<[^<>]*>//g' -e 'ta' <<<"$name")
  qualified=${qualified%%(*}
  qualified=${qualified##* }
  if [[ $qualified =~ $runtime ]]; then continue; fi
  # AddressSanitizer's one-definition-rule markers of exported globals.
  if [[ $s == __odr_asan.* ]]; then continue; fi
  leaks+=("$s")
done

missing=()
for f in $functions $variables; do [[ -n ${seen[$f]:-} ]] || missing+=("$f"); done
for c in Msg EndPoint SLPService; do [[ -n ${seen[$c]:-} ]] || missing+=("$c"); done

echo "liborvel.so exports ${#symbols[@]} symbols; ${#leaks[@]} internal, ${#missing[@]} public missing"
if (( ${#leaks[@]} )); then printf 'FAIL: exported internal symbol: %s\n' "${leaks[@]}"; fi
if (( ${#missing[@]} )); then printf 'FAIL: public name not exported: %s\n' "${missing[@]}"; fi
(( ${#leaks[@]} == 0 && ${#missing[@]} == 0 ))
