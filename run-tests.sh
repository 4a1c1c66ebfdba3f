#!/usr/bin/env bash
# Builds everything and runs every test: the 64-bit library and its tests under
# Wine, the 32-bit library (built and linked only), the native service.
set -euo pipefail
hv_root=$(cd "$(dirname "$0")" && pwd)
. "$hv_root/cmake/packages.sh"
hv_install_packages
build=${HV_BUILD_DIR:-$hv_root/build}

if [ -f "$hv_root/host/CMakeLists.txt" ]; then
  cmake -S "$hv_root/host" -B "$build/native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build/native"
fi
hv_build "$build/i686" toolchain-i686-w64-mingw32.cmake -DHV_BUILD_TESTS=OFF
hv_build "$build/x86_64" toolchain-x86_64-w64-mingw32.cmake -DHV_NATIVE_BUILD_DIR="$build/native"
# The native service's own tests first, then everything under Wine.
if [ -f "$build/native/CTestTestfile.cmake" ]; then
  (cd "$build/native" && ctest --output-on-failure "$@")
fi
cd "$build/x86_64"
ctest --output-on-failure "$@"
