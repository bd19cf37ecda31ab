#!/usr/bin/env bash
# The README's list of services is the one the service table gives, and the
# check notices a list that has drifted.
set -u
tool=${1:?usage: check_service_list.sh TOOL README}
readme=${2:?usage: check_service_list.sh TOOL README}
fail() { echo "FAIL: $*"; exit 1; }
"$tool" --check "$readme" || fail "README.md's list differs: run $tool --update README.md"
copy=$(mktemp)
trap 'rm -f "$copy"' EXIT
sed 's|^- `/1.0/Catalog/getBanners.svc`: .*|- `/1.0/Catalog/getBanners.svc`: nothing|' "$readme" >"$copy"
cmp -s "$copy" "$readme" && fail "the sample edit changed nothing"
"$tool" --check "$copy" 2>/dev/null && fail "an edited list passed the check"
echo "the README's service list matches the table"
