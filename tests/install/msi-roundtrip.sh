#!/bin/sh
# The MSI as a user meets it: installed into a fresh Wine prefix of its own, used by the installed
# hvdiag through a running tarnhost, uninstalled without leaving a key it registered or a file.
# usage: msi-roundtrip.sh WINE WINESERVER MSI REGISTRY-INCLUDES TARNHOST WORK-DIR VERSION
set -eu
wine=$1 wineserver=$2 msi=$3 regdir=$4 tarnhost=$5 work=$6 version=$7
[ -x "$tarnhost" ] || { echo "SKIP: tarnhost is not built ($tarnhost); nothing to log to"; exit 77; }
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= HOME="$work"
host_pid=
trap '[ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null; "$wineserver" -k 2>/dev/null; true' EXIT
fail() { echo "FAIL: $*"; exit 1; }
winpath() { printf 'Z:%s' "$1" | tr / '\\'; }
rm -rf "$work" && mkdir -p "$work"
"$wine" wineboot -i >/dev/null 2>&1

"$tarnhost" --db "$work/messages.db" --listen ip:127.0.0.1:0 --log-file "$work/host.log" </dev/null >/dev/null 2>&1 &
host_pid=$!
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on ip:127\.0\.0\.1:\([0-9][0-9]*\).*/\1/p' "$work/host.log" 2>/dev/null || true)
  [ -z "$port" ] || break
  sleep 0.1
done
[ -n "$port" ] || fail "tarnhost did not start: $(cat "$work/host.log" 2>/dev/null)"

# Every key the MSI owns, as the registration includes name them.
keys=$(sed -n 's/.*<RegistryValue Root="HKCR" Key="\([^"]*\)" Name="\*".*/\1/p' "$regdir"/*.wxi)
[ -n "$keys" ] || fail "no registration rows in $regdir"
# Prints the owned keys present in the prefix's HKEY_CLASSES_ROOT.
present_keys() {
  "$wine" regedit /e "$(winpath "$work/classes.reg")" HKEY_CLASSES_ROOT || fail "regedit /e failed"
  tr -d '\000\r' <"$work/classes.reg" >"$work/classes.txt"
  echo "$keys" | while IFS= read -r key; do
    if grep -q -i -F -x "[HKEY_CLASSES_ROOT\\$key]" "$work/classes.txt"; then echo "$key"; fi
  done
}

"$wine" msiexec /i "$(winpath "$msi")" /qn "INTERPROCESSTRANSPORT=ip:$port;ip:127.0.0.1:$port" ||
  fail "msiexec /i exited with $?"
dir="$WINEPREFIX/drive_c/Program Files/Halvern Diagnostics"
for file in TAVDiagnostics.dll TAVDiagnosticsENU.dll TAVDiagnosticsDEU.dll HVMux.dll HVScriptBridge.dll hvdiag.exe \
  SDK/TAVDiagnostics.h SDK/TAVDiagnostics_i.c SDK/TAVDiagnostics.tlb; do
  [ -f "$dir/$file" ] || fail "not installed: $file"
done
[ "$(present_keys)" = "$keys" ] || fail "registered after install: $(present_keys | tr '\n' ' ') of: $keys"

hvdiag='C:\Program Files\Halvern Diagnostics\hvdiag.exe'
out=$("$wine" "$hvdiag" --version | tr -d '\r')
[ "$out" = "hvdiag $version" ] || fail "hvdiag --version printed \"$out\""
"$wine" "$hvdiag" log --provider Installer "logged by the installed hvdiag" >/dev/null || fail "hvdiag log failed"
out=$("$wine" "$hvdiag" read --json --count 5 | tr -d '\r') || fail "hvdiag read: $out"
echo "$out" | grep -q '"logged by the installed hvdiag"' || fail "hvdiag read did not return the message: $out"

"$wine" msiexec /x "$(winpath "$msi")" /qn || fail "msiexec /x exited with $?"
left=$(present_keys)
[ -z "$left" ] || fail "left in HKEY_CLASSES_ROOT: $left"
! "$wine" reg query 'HKLM\Software\Corvala Software\Halvern Diagnostics' >/dev/null 2>&1 || fail "left: product key"
[ ! -e "$dir" ] || fail "left: $(find "$dir")"
echo "PASS: installed, logged and read through port $port, uninstalled without a trace"
