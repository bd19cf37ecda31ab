#!/usr/bin/env bash
# Fails when a source file includes a header from a layer above its own.
# Each line: a folder under src/, then the folders its files may include.
set -u
src=${1:?usage: check_layers.sh SRC_DIR}

allowed() {
  case $1 in
    platform)        echo "platform" ;;
    tessaro)         echo "tessaro" ;;
    common)          echo "common tessaro platform" ;;
    ostrel/engine)   echo "ostrel/engine platform" ;;
    ostrel/xml2json) echo "ostrel/xml2json" ;;
    ostrel/web)      echo "ostrel/web ostrel/engine ostrel/xml2json common platform" ;;
    ostrel/channels) echo "ostrel/channels ostrel/web ostrel/engine ostrel/xml2json common platform tessaro" ;;
    ostrel/services) echo "ostrel/services ostrel/channels ostrel/web ostrel/engine ostrel/xml2json common platform tessaro" ;;
    ostrel/updates)  echo "ostrel/updates ostrel/services ostrel/channels ostrel/web ostrel/engine ostrel/xml2json common platform tessaro" ;;
    ostrel/plugin)   echo "ostrel/plugin ostrel/updates ostrel/services ostrel/channels ostrel/web ostrel/engine ostrel/xml2json common platform tessaro" ;;
  esac
}

# The folder an include names: ostrel/<layer>/... counts as its layer; a
# header beside the file names none.
layer_of() {
  local rest
  case $1 in
    ostrel/*/*) rest=${1#ostrel/}; target=ostrel/${rest%%/*} ;;
    */*)        target=${1%%/*} ;;
    *)          target= ;;
  esac
}

status=0
checked=0
for layer in platform tessaro common ostrel/engine ostrel/xml2json ostrel/web ostrel/channels \
             ostrel/services ostrel/updates ostrel/plugin; do
  [ -d "$src/$layer" ] || { echo "missing layer folder $src/$layer"; status=1; continue; }
  ok=" $(allowed "$layer") "
  while IFS=: read -r file line include; do
    layer_of "$include"
    [ -z "$target" ] && continue
    checked=$((checked + 1))
    if [[ $ok != *" $target "* ]]; then
      echo "${file#"$src"/}:$line includes $include: $layer may not use $target"
      status=1
    fi
  done < <(grep -rnoE '^#include "[^"]+"' "$src/$layer" --include='*.cpp' --include='*.h' \
             | sed -E 's/#include "([^"]+)"$/\1/')
done

# Every folder under src/ostrel must have a place in the order.
for dir in "$src"/ostrel/*/; do
  name=ostrel/$(basename "$dir")
  [ -n "$(allowed "$name")" ] || { echo "$name has no place in the layer order"; status=1; }
done

[ $checked -gt 0 ] || { echo "no includes found under $src"; status=1; }
[ $status -eq 0 ] && echo "layer order holds for $checked includes"
exit $status
