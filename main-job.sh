#!/usr/bin/env bash
# The main job: builds everything, starts the Mux service on a fresh SQLite
# file, registers the libraries into a Wine prefix of its own, logs a mix of
# messages through the library (hvdiag, a script client and the sample
# clients), reads them back filtered and in two languages, follows new ones
# for a moment, exports them to XML and checks the file with xmllint. Safe to
# run again: every run starts on a fresh database and export.
set -euo pipefail
hv_root=$(cd "$(dirname "$0")" && pwd)
. "$hv_root/cmake/packages.sh"
hv_install_packages
build=${HV_BUILD_DIR:-$hv_root/build}
cmake -S "$hv_root/host" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/native"
hv_build "$build/x86_64" toolchain-x86_64-w64-mingw32.cmake -DHV_NATIVE_BUILD_DIR="$build/native"

work="$build/main-job"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8 LC_ALL=C.UTF-8
wine=/usr/lib/wine/wine64
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating the Wine prefix $WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
fi
bin="$build/x86_64/bin"
for dll in TAVDiagnostics.dll HVMux.dll HVScriptBridge.dll; do
  "$wine" regsvr32 /s "$bin/$dll"
done
cp "$bin"/TAVDiagnostics???.dll "$bin"/Pump???.dll "$work/" 2>/dev/null || true
echo "Registered TAVDiagnostics.dll, HVMux.dll and HVScriptBridge.dll in $WINEPREFIX"

# A fresh store on a free loopback port.
db="$work/messages.db"
rm -f "$db" "$db-wal" "$db-shm"
# Created empty here: the wait below reads it before the service may have.
: > "$work/tarnhost.log"
"$build/native/tarnhost" --config "" --db "$db" --listen ip:127.0.0.1:0 --log-file "$work/tarnhost.log" 2>/dev/null &
host_pid=$!
trap 'kill $host_pid 2>/dev/null || true' EXIT
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on ip:127\.0\.0\.1:\([0-9]*\).*/\1/p' "$work/tarnhost.log" 2>/dev/null | head -n 1)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "tarnhost did not start:"; cat "$work/tarnhost.log"; exit 1; }
echo "tarnhost (pid $host_pid) listens on 127.0.0.1:$port, storing into $db"
"$wine" reg add 'HKLM\Software\Corvala Software\Halvern Diagnostics' /v InterprocessTransport /t REG_SZ \
  /d "ip:$port;ip:127.0.0.1:$port" /f >/dev/null

# Provider "Pump" with its English and German message DLLs.
for lang in 0x0009:PumpENU 0x0007:PumpDEU; do
  "$wine" reg add 'HKLM\Software\Corvala Software\Halvern Diagnostics\Providers\Pump\Resources' \
    /v "${lang%%:*}" /t REG_SZ /d "Z:${bin//\//\\}\\${lang##*:}.dll" /f >/dev/null
done

# The sample field-group definitions, where viewers find them.
definitions="$WINEPREFIX/drive_c/Program Files/Common Files/Corvala"
mkdir -p "$definitions"
cp "$hv_root"/samples/definitions/*.hvds "$definitions/"
echo "Installed the sample display definitions into $definitions"

echo
(cd "$hv_root/tools/demo" && "$wine" cscript //nologo demo.vbs | tr -d '\r')

echo
. "$hv_root/tools/demo/hvdiag-tour.sh"

kill -TERM $host_pid
wait $host_pid 2>/dev/null || true
trap - EXIT
echo
echo "Summary:"
echo "  messages stored: $(sqlite3 "$db" 'select count(*) from messages')"
echo "  database:        $db"
echo "  export:          $export (accepted by xmllint)"
echo "  service log:     $work/tarnhost.log"
