#!/usr/bin/env bash
# The main job: builds everything, registers the libraries into a Wine prefix
# of its own, and shows the system at work. Safe to run again.
set -euo pipefail
hv_root=$(cd "$(dirname "$0")" && pwd)
. "$hv_root/cmake/packages.sh"
hv_install_packages
build=${HV_BUILD_DIR:-$hv_root/build}
hv_build "$build/x86_64" toolchain-x86_64-w64-mingw32.cmake
export WINEPREFIX="$build/main-job/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
mkdir -p "$WINEPREFIX"
wine=/usr/lib/wine/wine64
[ -f "$WINEPREFIX/system.reg" ] || { echo "Creating the Wine prefix $WINEPREFIX"; "$wine" wineboot -i >/dev/null 2>&1; /usr/lib/wine/wineserver -w; }
bin="$build/x86_64/bin"
"$wine" regsvr32 /s "$bin/TAVDiagnostics.dll"
echo "Registered TAVDiagnostics.dll in $WINEPREFIX"
cd "$hv_root/tools/demo"
"$wine" cscript //nologo demo.vbs | tr -d '\r'
