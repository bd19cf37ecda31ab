#!/usr/bin/env bash
# The layer check must refuse an upward include: a web file including the
# plug-in, in a copy of the tree.
set -u
src=${1:?usage: check_layers_catches.sh SRC_DIR}
check=$(dirname "$0")/check_layers.sh
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
cp -r "$src"/. "$copy"
echo '#include "ostrel/plugin/OstrelPlugin.h"' >> "$copy/ostrel/web/WebServer.cpp"
out=$("$check" "$copy")
if [ $? -eq 0 ]; then echo "upward include not caught: $out"; exit 1; fi
grep -q "ostrel/web/WebServer.cpp:.*ostrel/web may not use ostrel/plugin" <<<"$out" \
  || { echo "unexpected report: $out"; exit 1; }
echo "upward include caught"
