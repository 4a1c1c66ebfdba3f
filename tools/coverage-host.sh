#!/usr/bin/env bash
# Line coverage of the service's own code (host/ without host/tests) by the
# service's test suite: builds host/ with --coverage into a tree of its own,
# runs its tests and prints gcovr's summary. Needs gcovr (Debian package).
# Usage: tools/coverage-host.sh [build-dir]   (default build/coverage-host)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/coverage-host}
cmake -S "$root/host" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage >/dev/null
cmake --build "$build"
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest --output-on-failure) || echo "some tests failed; coverage of the run below" >&2
gcovr --root "$root/host" --exclude "$root/host/tests/" --exclude '.*googletest.*' --gcov-ignore-parse-errors "$build" \
  --print-summary --txt "$build/coverage.txt" >/dev/null
tail -n 3 "$build/coverage.txt"
