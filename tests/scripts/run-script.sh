#!/bin/sh
# Runs a VBScript through Wine's cscript. An uncaught script error prints
# nothing and exits 0 there, so a script passes only when it prints "PASS"
# as its last line and prints no "FAIL".
wine=$1
script=$2
dir=$(dirname "$script")
name=$(basename "$script")
cd "$dir" || exit 1
out=$("$wine" cscript //nologo "$name" 2>&1 | tr -d '\r')
status=$?
printf '%s\n' "$out"
[ $status -eq 0 ] || exit 1
printf '%s\n' "$out" | grep -q '^FAIL' && exit 1
[ "$(printf '%s\n' "$out" | tail -n 1)" = "PASS" ] || { echo "script did not reach its end"; exit 1; }
exit 0
