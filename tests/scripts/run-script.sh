#!/bin/sh
# Runs a VBScript through Wine's cscript: run-script.sh WINE SCRIPT. An uncaught
# script error prints nothing and exits 0 there, so a script passes only when it
# prints "PASS" as its last line and prints no "FAIL".
cd "$(dirname "$2")" || exit 1
out=$("$1" cscript //nologo "$(basename "$2")" 2>&1 | tr -d '\r')
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -q '^FAIL' && exit 1
[ "$(printf '%s\n' "$out" | tail -n 1)" = "PASS" ] || { echo "script did not reach its end"; exit 1; }
