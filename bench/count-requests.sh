#!/usr/bin/env bash
# Counts the Wine server requests an item costs: two bursts of
# different size (bench_delivery.exe burst N) run under a wineserver started
# with its request trace; what the larger burst costs beyond the smaller, per
# extra item, is the amortised count. Prints the requests of the extra items
# by name. Run from the x86_64 build tree after a build:
#   ../../bench/count-requests.sh [small] [large] [burst|sync]
# With "sync" the items are synchronous, each waiting for its answer.
set -euo pipefail
small=${1:-1000}
large=${2:-4000}
mode=${3:-burst}
build=$PWD
export WINEPREFIX=$build/wineprefix WINEDLLOVERRIDES=mscoree,mshtml= HV_BIN_DIR=$build/bin
export HV_TARNHOST=$build/../native/tarnhost TMPDIR=$build/testhome/tmp
mkdir -p "$TMPDIR"
trace() {
  # The trace goes to the stderr of whoever starts the server: start it here.
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  /usr/lib/wine/wineserver -w 2>/dev/null || true
  WINEDEBUG=+server /usr/lib/wine/wineserver -f -d1 2>"$2" &
  local server=$!
  sleep 1
  WINEDEBUG=-all /usr/lib/wine/wine64 bin/bench_delivery.exe "$mode" "$1" >&2
  /usr/lib/wine/wineserver -k 2>/dev/null || true
  wait "$server" || true
}
trace "$small" "$TMPDIR/trace-small.txt"
trace "$large" "$TMPDIR/trace-large.txt"
# A request and its reply are two lines of the trace ("name( args )" and
# "name() = status"): only the requests are counted.
count() { grep -cE '^[0-9a-f]{4}: [a-z_]+\( ' "$1"; }
names() { grep -oE '^[0-9a-f]{4}: [a-z_]+\( ' "$1" | cut -c7- | tr -d '(' | sort | uniq -c; }
a=$(count "$TMPDIR/trace-small.txt")
b=$(count "$TMPDIR/trace-large.txt")
echo "requests: $a for $small items, $b for $large items"
awk -v a="$a" -v b="$b" -v n=$((large - small)) 'BEGIN { printf "per item: %.2f\n", (b - a) / n }'
join -1 2 -2 2 -a 2 -e 0 -o 0,1.1,2.1 <(names "$TMPDIR/trace-small.txt" | sort -k2) \
  <(names "$TMPDIR/trace-large.txt" | sort -k2) |
  awk -v n=$((large - small)) '{ d = $3 - $2; if (d * 100 >= n) printf "  %-28s %6.2f per item\n", $1, d / n }'
