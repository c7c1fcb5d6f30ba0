#!/usr/bin/env bash
# Makes the loudness benchmarks' files in OUT_DIR, unless they exist: 4 minutes of
# 44.1 kHz stereo pink noise, its level stepping each 30 s, as track.flac and
# track.mp3 (LAME V2), and a folder album/ of eight hard links to each.
# Usage: make_loudness_folder.sh OUT_DIR. Needs sox, flac and lame.
set -euo pipefail
out=$1
[ -f "$out/done" ] && exit 0
rm -rf "$out"
mkdir -p "$out/album"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pieces=()
for level in -20 -14 -24 -12 -18 -26 -16 -22; do
  sox -D -R -n -r 44100 -c 2 -b 16 "$work/$level.wav" synth 30 pinknoise vol "${level}dB"
  pieces+=("$work/$level.wav")
done
sox -D "${pieces[@]}" "$work/track.wav"
flac --totally-silent -f -o "$out/track.flac" "$work/track.wav"
lame --quiet -V 2 "$work/track.wav" "$out/track.mp3"
for i in $(seq 1 8); do
  ln "$out/track.flac" "$out/album/$i.flac"
  ln "$out/track.mp3" "$out/album/$i.mp3"
done
touch "$out/done"
