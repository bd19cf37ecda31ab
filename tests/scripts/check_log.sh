#!/usr/bin/env bash
# scripts/log lays the six fields out in columns, filters by level and passes
# other lines through.
set -u
root=${1:?usage: check_log.sh PROJECT_DIR}
fail() { echo "FAIL: $*"; exit 1; }
log=$(mktemp)
trap 'rm -f "$log"' EXIT
printf '2026-Dec-09 10:00:00.1\013t1\013ERROR\013ostrel\013a.cpp[1]\013it broke\n' >"$log"
printf '2026-Dec-09 10:00:00.2\013t2\013INFO\013bizl\013b.cpp[2]\013Request x\n' >>"$log"
printf 'a line of another shape\n' >>"$log"
printf 'forged\013\033[2J\302\233\n' >>"$log"

expected='2026-Dec-09 10:00:00.1   ERROR   ostrel       it broke
2026-Dec-09 10:00:00.2   INFO    bizl         Request x
a line of another shape
forged??[2J?'
out=$("$root/scripts/log" --no-follow "$log") || fail "exited $?"
[ "$out" = "$expected" ] || fail "printed:
$out"
out=$("$root/scripts/log" --no-follow --level WARNING "$log")
[ "$(grep -c . <<<"$out")" -eq 3 ] && grep -q "it broke" <<<"$out" || fail "--level WARNING printed: $out"
"$root/scripts/log" --level LOUD "$log" 2>/dev/null && fail "an unknown level was taken"
echo "scripts/log: columns and levels as expected"
