#!/usr/bin/env bash
# Line coverage of the Windows side's own code by the library's tests under
# Wine: builds the x86_64 tree with --coverage into a tree of its own (with its
# own Wine prefix), runs its tests there, prints the line coverage per folder and
# writes gcovr's JSON (coverage.json in the tree) for comparing runs.
# The end-to-end tests need the service: the native tree is built as
# run-tests.sh builds it. Needs gcovr (Debian package).
# Usage: tools/coverage-library.sh [build-dir [native-build-dir]]
#        (default build/coverage-library and build/native)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/coverage-library}
native=${2:-$root/build/native}

cmake -S "$root/host" -B "$native" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$native"
# -O1 keeps the tests' run time near the release build's; NDEBUG as there.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" -DHV_NATIVE_BUILD_DIR="$native" \
  -DCMAKE_C_FLAGS=--coverage -DCMAKE_CXX_FLAGS=--coverage \
  -DCMAKE_C_FLAGS_RELEASE="-O1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" \
  -DCMAKE_EXE_LINKER_FLAGS=--coverage -DCMAKE_SHARED_LINKER_FLAGS=--coverage >/dev/null
# A fresh Wine prefix for every run: some lines run only in a new one.
rm -rf "$build/wineprefix"
cmake --build "$build"
find "$build" -path "$build/wineprefix" -prune -o -name '*.gcda' -exec rm {} +
# A program writes its counts to the absolute Unix path of its object; on
# Wine's Z: drive that path is found whatever the program's current drive.
(cd "$build" && GCOV_PREFIX=Z: ctest --output-on-failure) || echo "some tests failed; coverage of the run below" >&2

# gcovr is given the object folders: the prefix's Z: drive maps the whole
# file system, and gcovr must not walk it.
objects=$(find "$build" -path "$build/wineprefix" -prune -o -type d -name CMakeFiles -print)
gcovr --root "$root" --gcov-executable x86_64-w64-mingw32-gcov --gcov-ignore-parse-errors \
  --exclude "$root/tests/" --exclude "$root/bench/" --exclude "$root/build" --exclude '.*googletest.*' \
  --exclude '.*/generated/.*' --json-pretty --json "$build/coverage.json" $objects
"$root/tools/coverage-summary.py" "$build/coverage.json"
