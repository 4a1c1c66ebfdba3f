#!/usr/bin/env bash
# Checks that every program the build and the tests run comes from a package
# that installing cmake/packages.sh's list brings onto a machine: a listed
# package, one they depend on, or one every Debian system has (Essential or
# of priority required, which even a minimal debootstrap installs). Prints
# each program with its package and exits 1 naming those that come from
# elsewhere, so the next missing package fails here on every machine and not
# only on a fresh one.
#
#   cmake/check-packages.sh [--without PACKAGE]... BUILD_ROOT
#
# BUILD_ROOT holds the build trees (build/native, build/x86_64, ...). The
# programs are read off what the trees really run (every executable that
# their build.ninja, rules.ninja and CTestTestfile.cmake files name, the
# compilers, ninja) and off the commands that the project's scripts, CMake
# files and tests name. --without checks against the list less PACKAGE.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/cmake/packages.sh"
without=" "
while [ "${1:-}" = --without ]; do without+="$2 "; shift 2; done
build=${1:?usage: check-packages.sh [--without PACKAGE]... BUILD_ROOT}

# Candidate programs: absolute paths in what the build trees run...
declare -A seen=()
add() { [ -n "$1" ] && [ -f "$1" ] && [ -x "$1" ] && seen[$1]=1; }
while read -r p; do add "$p"; done < <(
  find "$build" -maxdepth 4 \( -name build.ninja -o -name rules.ninja -o -name CTestTestfile.cmake \
    -o -name 'CMake*Compiler.cmake' \) -not -path '*/googletest/*' -print0 |
    xargs -0 grep -ohE '(^|[ "=:])/(usr/|bin/|sbin/)[A-Za-z0-9_./+-]+' | sed 's/^[ "=:]//'
  sed -n 's/^CMAKE_MAKE_PROGRAM:FILEPATH=//p' "$build"/*/CMakeCache.txt)
# ...and the commands the project's own files name: words that start a shell
# command (after a pipe, ;, &&, $( or COMMAND) or a command string that a
# test runs, and absolute paths. Comment lines do not count.
while read -r w; do
  case "$w" in /*) add "$w" ;; *) [ "$(type -t "$w")" = file ] && add "$(type -P "$w")" ;; esac
done < <(cd "$root" && git ls-files -z -- '*.sh' '*.cmake' '*CMakeLists.txt' '*tests/*.cpp' '*tests/*/*.cpp' |
  xargs -0 cat | grep -vE '^[[:space:]]*(#|//)' | grep -oE \
  '((^|[|;`]|\$\(|&&|COMMAND|(Shell|Command|popen|system)\(")[[:space:]]*[a-z][a-z0-9+._-]*[[:space:]])|"/(usr/|s?bin/)[A-Za-z0-9_./+-]+"' |
  sed -E 's/^(\$\(|&&|COMMAND|[|;`]|[A-Za-z]+\(")?[[:space:]"]*//; s/[[:space:]"]+$//' | sort -u)

# What installing the list brings: the listed packages, their Depends and
# Pre-Depends (an alternative counts when it is the one installed, a virtual
# package by what provides it) and the packages every system has.
declare -A installed=() provider=() deps=() brings=()
while IFS=';' read -r pkg essential priority provides depends; do
  installed[$pkg]=1
  deps[$pkg]=$depends
  [ "$essential" = yes ] || [ "$priority" = required ] && brings[$pkg]=1
  for v in ${provides//,/ }; do [[ $v == [a-z0-9]* ]] && provider[$v]=$pkg; done
done < <(dpkg-query -W -f='${db:Status-Abbrev};${Package};${Essential};${Priority};${Provides};${Depends}, ${Pre-Depends}\n' |
  sed -n 's/^ii *;//p' | sed -E 's/ \([^)]*\)//g; s/:[a-z0-9]+//g')
queue=()
for p in $hv_packages; do [[ $without == *" $p "* ]] || queue+=("$p"); done
declare -A visited=()
while [ ${#queue[@]} -gt 0 ]; do
  p=${queue[-1]}
  unset 'queue[-1]'
  [ -n "${installed[$p]:-}" ] || p=${provider[$p]:-}
  [ -n "$p" ] && [ -z "${visited[$p]:-}" ] || continue
  visited[$p]=1
  brings[$p]=1
  IFS=',' read -ra groups <<< "${deps[$p]:-}"
  for g in "${groups[@]}"; do
    for alt in ${g//|/ }; do
      if [ -n "${installed[$alt]:-}${provider[$alt]:-}" ]; then queue+=("$alt"); break; fi
    done
  done
done

# The owner of each program, asked of dpkg in one go: it knows a file under
# the name its package installed, which may differ from the one found
# (alternatives, /bin and /usr/bin).
declare -A owner=()
names=()
for f in "${!seen[@]}"; do names+=("$f" "$(readlink -f "$f")" "${f#/usr}" "/usr$f"); done
while IFS= read -r line; do
  path=${line##*: }
  owner[$path]=${line%%[:,]*}
done < <(dpkg -S "${names[@]}" 2>/dev/null | grep -v '^diversion by')
status=0
for f in $(printf '%s\n' "${!seen[@]}" | sort); do
  o=""
  for name in "$f" "$(readlink -f "$f")" "${f#/usr}" "/usr$f"; do
    o=${owner[$name]:-}
    [ -n "$o" ] && break
  done
  if [ -n "$o" ] && [ -n "${brings[$o]:-}" ]; then
    echo "ok       $f ($o)"
  else
    echo "MISSING  $f is not installed by the list: ${o:-owned by no package}"
    status=1
  fi
done
[ ${#seen[@]} -gt 0 ] || { echo "no programs found under $build"; status=1; }
exit $status
