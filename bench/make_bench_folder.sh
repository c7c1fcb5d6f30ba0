#!/usr/bin/env bash
# Makes a folder of 600 tagged Ogg Opus files for the folder benchmarks, unless it
# exists: ten encodes of 5 to 50 seconds (48 kHz mono tone), sixty copies of each,
# in ten subfolders. Usage: make_bench_folder.sh OUT_DIR. Needs sox and opus-tools.
set -euo pipefail
out=$1
[ -f "$out/done" ] && exit 0
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for i in $(seq 0 9); do
  sox -D -n -r 48000 -c 1 -b 16 "$work/tone.wav" synth $((5 + 5 * i)) sine $((300 + 50 * i))
  opusenc --quiet --serial $((100 + i)) --bitrate 24 --artist "Artist $i" --album "Album $i" \
    --title "Title $i" "$work/tone.wav" "$work/$i.opus"
done
for dir in $(seq 0 9); do
  mkdir -p "$out/$dir"
  for copy in $(seq 0 59); do
    cp "$work/$((copy % 10)).opus" "$out/$dir/track-$copy.opus"
  done
done
touch "$out/done"
