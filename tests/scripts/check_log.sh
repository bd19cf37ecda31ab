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
# A level name is understood in any case.
for name in warning Warning wArNiNg; do
  got=$("$root/scripts/log" --no-follow --level "$name" "$log") || fail "--level $name exited $?"
  [ "$got" = "$out" ] || fail "--level $name printed: $got"
done
err=$("$root/scripts/log" --no-follow --level loud "$log" 2>&1 >/dev/null) && fail "--level loud was taken"
grep -q "no such level 'loud'" <<<"$err" || fail "--level loud said: $err"
# --wide adds the thread and source columns.
out=$("$root/scripts/log" --no-follow --wide --level error "$log" | head -n 1)
[ "$out" = '2026-Dec-09 10:00:00.1   ERROR   ostrel       t1             a.cpp[1]                 it broke' ] ||
  fail "--wide printed: $out"
# The usage names every option the script takes (each arm of its argument case).
help=$("$root/scripts/log" --help) || fail "--help exited $?"
options=$(grep -oE '^ +(-[-a-z]+\|)*-[-a-z]+\)' "$root/scripts/log" | tr -d ' )' | tr '|' '\n')
[ "$(grep -c . <<<"$options")" -ge 4 ] || fail "found only these options in scripts/log: $options"
for option in $options; do
  grep -qE -- "(^|[[ ,])$option([] ,]|$)" <<<"$help" || fail "--help does not name $option:
$help"
done
echo "scripts/log: columns, levels in any case and every option in its usage as expected"
