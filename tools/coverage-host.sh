#!/usr/bin/env bash
# Line coverage of the service's own code (host/ without its tests and bench) by the
# service's test suite: builds host/ with --coverage into a tree of its own,
# runs its tests, prints the line coverage per folder and writes gcovr's
# report (coverage.txt) and JSON (coverage.json) into the tree. Needs gcovr.
# Usage: tools/coverage-host.sh [build-dir]   (default build/coverage-host)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/coverage-host}
cmake -S "$root/host" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=--coverage >/dev/null
cmake --build "$build"
find "$build" -name '*.gcda' -delete
(cd "$build" && ctest --output-on-failure) || echo "some tests failed; coverage of the run below" >&2
gcovr --root "$root/host" --exclude "$root/host/tests/" --exclude "$root/host/bench/" --exclude '.*googletest.*' --gcov-ignore-parse-errors "$build" \
  --txt "$build/coverage.txt" --json-pretty --json "$build/coverage.json"
"$root/tools/coverage-summary.py" "$build/coverage.json"
