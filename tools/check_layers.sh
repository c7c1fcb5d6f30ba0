#!/usr/bin/env bash
# The library's layers, checked: no source includes a layer above its own, and the
# reader program links nothing of the index's (SQLite, ICU). Layers, bottom up:
#   io, tags, formats and loudness (the reading layer), the channel (sandbox/: wire,
#   answer_decoder, request_decoder, message_reader, request_channel, sanitized_reader),
#   sandbox, library (with text/).
# Usage: check_layers.sh [READER_PROGRAM]
set -euo pipefail
cd "$(dirname "$0")/.."

channel='sandbox/(wire|answer_decoder|request_decoder|message_reader|request_channel|sanitized_reader)'
# layer_of PATH: the layer's rank of a source under src/ (or of an include's path).
layer_of() {
  case "$1" in
    io/*) echo 1 ;;
    tags/*) echo 2 ;;
    formats/*|loudness/*) echo 3 ;;
    *) if [[ $1 =~ ^$channel ]]; then echo 4
       elif [[ $1 == sandbox/* ]]; then echo 5
       else echo 6; fi ;;
  esac
}

failed=0
while IFS= read -r file; do
  own=$(layer_of "${file#src/}")
  while IFS= read -r included; do
    if [ "$(layer_of "$included")" -gt "$own" ]; then
      echo "check_layers: $file includes $included, a layer above its own" >&2
      failed=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files 'src/*.cpp' 'src/*.hpp')

reader=${1:-build/libexec/musiccore/musiccore-reader}
if [ -x "$reader" ]; then
  # What it links itself: a format library may bring ICU along (libavcodec's libxml2).
  linked=$(readelf -d "$reader" | grep NEEDED)
  if grep -E 'libsqlite|libicu' <<<"$linked"; then
    echo "check_layers: the reader program links the index's libraries" >&2
    failed=1
  fi
fi
exit "$failed"
