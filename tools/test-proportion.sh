#!/bin/sh
# Prints how many non-blank source lines the tests hold against the product.
# Counted: tracked .cpp .h .hpp .c .idl .cmake .vbs .js .py .sh files and
# CMakeLists.txt. Test lines are those inside any tests/ folder; code lines are
# the rest, leaving out bench/. With --check, exits 1 when the tests exceed
# 0.45 of the code.
set -eu
limit=0.45
cd "$(dirname "$0")/.."
git ls-files -z | tr '\0' '\n' |
  grep -E '(\.(cpp|h|hpp|c|idl|cmake|vbs|js|py|sh)|(^|/)CMakeLists\.txt)$' |
  grep -Ev '(^|/)bench/' |
  while IFS= read -r f; do
    [ -f "$f" ] || continue
    n=$(grep -c '[^[:space:]]' "$f" || true)
    case "/$f" in
      */tests/*) echo "T $n" ;;
      *) echo "C $n" ;;
    esac
  done |
  awk -v limit="$limit" -v check="${1:-}" '
    $1 == "T" { t += $2 } $1 == "C" { c += $2 }
    END {
      r = c ? t / c : 0
      printf "test lines: %d\ncode lines: %d\nratio: %.2f (limit %.2f)\n", t, c, r, limit
      if (check == "--check" && r > limit) exit 1
    }'
