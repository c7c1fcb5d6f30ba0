#!/usr/bin/env bash
# Makes small Ogg files for the edge tests and the duration fuzzer's seeds:
#   short.opus    one link, 48000 samples (1 s)
#   chained.opus  two links, 48000 + 24000 samples (1.5 s in all)
#   vorbis.ogg    an Ogg stream that is not Opus
# Usage: make_sample_files.sh OUT_DIR. Needs sox and opus-tools.
set -euo pipefail

out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tone() {  # tone SAMPLES FREQUENCY FILE: 48 kHz mono, no dither (reproducible)
  sox -D -n -r 48000 -c 1 -b 16 "$3" synth "$1s" sine "$2"
}
tone 48000 300 "$work/one.wav"
tone 24000 600 "$work/two.wav"
opusenc --quiet --serial 1 --bitrate 6 "$work/one.wav" "$out/short.opus"
opusenc --quiet --serial 2 --bitrate 6 "$work/two.wav" "$work/two.opus"
# Concatenated Ogg streams with distinct serials are a chained file.
cat "$out/short.opus" "$work/two.opus" > "$out/chained.opus"
sox -D -n -r 48000 -c 1 "$out/vorbis.ogg" synth 0.1 sine 440
