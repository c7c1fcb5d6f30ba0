#!/usr/bin/env bash
# Makes a one-hour Ogg Opus file (48 kHz mono tone, low bitrate) for the duration
# benchmarks, unless it exists. Usage: make_hour_file.sh OUT. Needs sox and opus-tools.
set -euo pipefail
out=$1
[ -s "$out" ] && exit 0
mkdir -p "$(dirname "$out")"
sox -D -n -r 48000 -c 1 -b 16 -t wav - synth 3600 sine 440 vol 0.5 2>/dev/null |
  opusenc --quiet --serial 7 --bitrate 6 --comp 0 - "$out.tmp"
mv "$out.tmp" "$out"
