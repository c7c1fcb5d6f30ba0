#!/usr/bin/env bash
# Makes small Ogg files for the tests and the duration fuzzer's seeds, in OUT_DIR:
#   short.opus    one link, 48000 samples (1 s); ARTIST twice, ALBUM, and a
#                 lower-case "title" comment
#   plain.opus    one link, 24000 samples, no artist, album or title
#   chained.opus  short.opus then plain.opus tagged ARTIST=Zed: 1.5 s in all
#   vorbis.ogg    an Ogg stream that is not Opus
#   escape.opus   plain.opus with a title that holds a terminal's escape character
# and, in MUSIC_DIR, a folder to scan with all of them, a broken .opus, an upper-
# case extension, a FIFO and a directory link that loops.
# Usage: make_sample_files.sh OUT_DIR MUSIC_DIR. Needs sox and opus-tools.
set -euo pipefail

out=$1 music=$2
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tone() {  # tone SAMPLES FREQUENCY FILE: 48 kHz mono, no dither (reproducible)
  sox -D -n -r 48000 -c 1 -b 16 "$3" synth "$1s" sine "$2"
}
encode() {  # encode SERIAL WAV OPUS [OPUSENC_ARGS...]
  opusenc --quiet --serial "$1" --bitrate 6 "${@:4}" "$2" "$3"
}
tone 48000 300 "$work/one.wav"
tone 24000 600 "$work/two.wav"
encode 1 "$work/one.wav" "$out/short.opus" --artist Ann --artist Bob --album Live \
  --comment title=Intro
encode 2 "$work/two.wav" "$out/plain.opus"
encode 3 "$work/two.wav" "$work/zed.opus" --artist Zed
encode 4 "$work/two.wav" "$out/escape.opus" --title "$(printf 'Red\033[31m')"
# Concatenated Ogg streams with distinct serials are a chained file.
cat "$out/short.opus" "$work/zed.opus" > "$out/chained.opus"
sox -D -n -r 48000 -c 1 "$out/vorbis.ogg" synth 0.1 sine 440

rm -rf "$music"
mkdir -p "$music/a" "$music/b" "$music/c"
cp "$out/short.opus" "$out/chained.opus" "$music/a/"
cp "$out/plain.opus" "$out/vorbis.ogg" "$music/b/"
cp "$out/vorbis.ogg" "$music/b/vorbis.oga"
cp "$out/plain.opus" "$music/c/LOUD.OPUS"
echo "not an Ogg stream" > "$music/b/broken.opus"
echo "not music" > "$music/notes.txt"
cp "$out/plain.opus" "$music/no-extension"  # Opus, but not named so: not taken
mkfifo "$music/pipe.opus"
ln -s .. "$music/c/loop"
