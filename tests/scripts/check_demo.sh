#!/usr/bin/env bash
# scripts/demo answers --help and refuses what it does not know, and a second
# demo refuses to start while one runs, naming its address; all before building.
set -u
root=${1:?usage: check_demo.sh PROJECT_DIR}
fail() { echo "FAIL: $*"; exit 1; }

out=$("$root/scripts/demo" --help) || fail "--help exited $?"
grep -q "^usage: scripts/demo" <<<"$out" || fail "--help printed: $out"

out=$("$root/scripts/demo" --port 9000 2>&1); status=$?
[ $status -eq 2 ] || fail "an unknown argument exited $status"
grep -q "unknown argument '--port'" <<<"$out" || fail "an unknown argument printed: $out"

# A copy of the script in a tree of its own, whose demo folder is locked.
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir -p "$tree/scripts" "$tree/demo-run"
cp "$root/scripts/demo" "$tree/scripts/demo"
echo "http://127.0.0.1:8123/" >"$tree/demo-run/url"
# This shell holds the lock, as a running demo does.
exec 8>"$tree/demo-run/demo.lock"
flock -n 8 || fail "could not take the lock"
out=$("$tree/scripts/demo" 2>&1 8>&-); status=$?
[ $status -eq 1 ] || fail "a second demo exited $status: $out"
grep -q "a demo runs already at http://127.0.0.1:8123/" <<<"$out" || fail "a second demo printed: $out"
echo "scripts/demo: help, unknown arguments and a second demo behave"
