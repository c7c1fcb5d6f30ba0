#!/usr/bin/env bash
# Makes crafted files that once crashed, overflowed or exhausted a reader, in OUT_DIR:
#   crash.opus       a chained file whose second link's pages all carry the granule
#                    position 2^63-5: opusfile 0.12 divides by zero (SIGFPE) on it
#   overflow.opus    three links of 2^62-1-312, 2^62-48000 and 48000 samples: 2^63-1
#                    in all, which opusfile 0.12's own sum overflows on the way to
#   tags-count.opus  10001 comments, one more than the limit
#   tags-6000.opus   6000 comments: within it, but not if a header read twice counted twice
#   tags-bytes.opus  17 comments of 1 MiB: past the 16 MiB limit
#   tags-big.opus    15 comments of 1 MiB: within it, every value too long to keep
#   tags-many.opus   2.5 million empty comments (15 MB)
#   tags-count.ogg, tags-count.flac, tags-count.mp3: 10001 tags in Vorbis, FLAC, ID3v2
#   slow.opus        a valid stream, then 4 MB of "OggS": seconds of opusfile's work
# Usage: make_hostile_files.sh OUT_DIR OGG_CRAFT. Needs sox, opus-tools, vorbis-tools,
# flac and lame.
set -euo pipefail

out=$1 craft=$2
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tone() {  # tone SECONDS FREQUENCY FILE: 48 kHz mono
  sox -D -r 48000 -c 1 -n -b 16 "$3" synth "$1" sine "$2"
}
tone 2 300 "$work/2s.wav"
tone 14 500 "$work/14s.wav"
tone 1 700 "$work/1s.wav"
opusenc --quiet --serial 1 --bitrate 40 "$work/2s.wav" "$work/first.opus"
opusenc --quiet --serial 2 --bitrate 40 "$work/14s.wav" "$work/second.opus"
"$craft" granules "$work/second.opus" "$work/second-crafted.opus" 2 $(((1 << 63) - 5))
cat "$work/first.opus" "$work/second-crafted.opus" > "$out/crash.opus"

for serial in 11 12 13; do
  opusenc --quiet --serial $serial --bitrate 6 "$work/1s.wav" "$work/link$serial.opus"
done
# pre-skip 312 and 48000 samples a link: 2^62-1-312 + 2^62+624-48000-312 + 48000 = 2^63-1
"$craft" last-granule "$work/link11.opus" "$work/big11.opus" 11 $(((1 << 62) - 1))
"$craft" last-granule "$work/link12.opus" "$work/big12.opus" 12 $(((1 << 62) + 624 - 48000))
cat "$work/big11.opus" "$work/big12.opus" "$work/link13.opus" > "$out/overflow.opus"

# (yes ends on SIGPIPE: kept out of the pipeline, whose status counts.)
{ cat "$work/link13.opus"; head -c 4194304 < <(yes OggS | tr -d '\n'); } > "$out/slow.opus"

mib=$((1 << 20))
"$craft" comments "$work/link13.opus" "$out/tags-count.opus" 10001 2
"$craft" comments "$work/link13.opus" "$out/tags-6000.opus" 6000 2
"$craft" comments "$work/link13.opus" "$out/tags-bytes.opus" 17 $mib
"$craft" comments "$work/link13.opus" "$out/tags-big.opus" 15 $mib
"$craft" comments "$work/link13.opus" "$out/tags-many.opus" 2500000 2

# The same count through each other format's comments.
for i in $(seq 0 10000); do echo "X=$i"; done > "$work/tags.txt"
sox -D -r 44100 -c 1 -n -b 16 "$work/cd.wav" synth 0.2 sine 440
oggenc --quiet "$work/cd.wav" -o "$work/plain.ogg"
vorbiscomment -w -c "$work/tags.txt" "$work/plain.ogg" "$out/tags-count.ogg"
flac --silent -f "$work/cd.wav" -o "$out/tags-count.flac"
metaflac --import-tags-from="$work/tags.txt" "$out/tags-count.flac"
lame --quiet "$work/cd.wav" "$work/plain.mp3"
frames=$((10001 * 12))  # each: TIT2, size 2 (synchsafe), no flags, UTF-8 "a"
{
  printf 'ID3\x04\x00\x00'
  printf "\\x$(printf %02x $(((frames >> 21) & 127)))\\x$(printf %02x $(((frames >> 14) & 127)))"
  printf "\\x$(printf %02x $(((frames >> 7) & 127)))\\x$(printf %02x $((frames & 127)))"
  for _ in $(seq 10001); do printf 'TIT2\x00\x00\x00\x02\x00\x00\x03a'; done
  cat "$work/plain.mp3"
} > "$out/tags-count.mp3"
