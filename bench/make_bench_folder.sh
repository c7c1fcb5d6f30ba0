#!/usr/bin/env bash
# Makes the benchmarks' files in OUT_DIR, unless they exist:
#   folder/FORMAT/   120 tagged files of 5 to 50 s for each FORMAT: opus, vorbis, flac,
#                    mp3 (LAME header) and mp3-noinfo (none): ten encodes, twelve
#                    copies of each; 600 files in all
#   more/FORMAT/     the same for m4a (AAC), wav, aiff and wv (WavPack), hard links to
#                    ten encodes
#   growth/          one file of 60 s and one of 600 s in each of those formats, and
#                    FLAC whose STREAMINFO says 0 samples: how reading time grows
#   hostile/         four valid streams each followed by 128 KiB of "OggS"
#   index/           5000 files in 50 folders for the index: hard links (warm, small on
#                    disk) to 50 tracks of 30 s to 4 min, ten of each kind above
#   tracks/FORMAT/   1020 files for each FORMAT of all nine kinds: hard links to four
#                    tracks of about 4 minutes (music-like noise and a tone, none a round
#                    number of blocks long), two at 44.1 kHz and two at 48 kHz, stereo
# Usage: make_bench_folder.sh OUT_DIR. Needs sox, opus-tools, vorbis-tools, flac, lame,
# ffmpeg and wavpack.
set -euo pipefail
out=$1
[ -f "$out/made-2" ] && exit 0  # made by this version of the script
rm -rf "$out"
mkdir -p "$out/folder" "$out/growth" "$out/hostile"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

tags=(--artist "Artist" --album "Album" --title "Title")
# encode FORMAT WAV OUT: one file of FORMAT, tagged
encode() {
  case $1 in
    opus) opusenc --quiet --bitrate 24 "${tags[@]}" "$2" "$3" ;;
    vorbis) oggenc --quiet -q 0 -a Artist -l Album -t Title "$2" -o "$3" ;;
    flac) flac --silent -f -T ARTIST=Artist -T ALBUM=Album -T TITLE=Title "$2" -o "$3" ;;
    flac-streamed)  # raw samples through pipes: STREAMINFO says 0 samples
      sox "$2" -t raw - | flac --silent --force-raw-format --endian=little --sign=signed \
        --channels=2 --bps=16 --sample-rate=44100 -c - 2>/dev/null | cat > "$3" ;;
    mp3) lame --quiet -b 128 --ta Artist --tl Album --tt Title "$2" "$3" ;;
    mp3-noinfo) lame --quiet -t -b 128 --ta Artist --tl Album --tt Title "$2" "$3" ;;
    m4a | wav | aiff)
      ffmpeg -nostdin -loglevel error -y -i "$2" -metadata artist=Artist -metadata album=Album \
        -metadata title=Title "$3" ;;
    wv) wavpack -q -y -w Artist=Artist -w Album=Album -w Title=Title "$2" -o "$3" ;;
  esac
}
extension() {
  case $1 in
    opus) echo opus ;; vorbis) echo ogg ;; flac*) echo flac ;; mp3*) echo mp3 ;; *) echo "$1" ;;
  esac
}

formats=(opus vorbis flac mp3 mp3-noinfo)
for i in $(seq 0 9); do
  sox -D -r 44100 -c 2 -n -b 16 "$work/tone.wav" synth $((5 + 5 * i)) sine $((300 + 50 * i))
  for format in "${formats[@]}"; do
    encode "$format" "$work/tone.wav" "$work/$format-$i.$(extension "$format")"
  done
done
for format in "${formats[@]}"; do
  mkdir -p "$out/folder/$format"
  for copy in $(seq 0 119); do
    cp "$work/$format-$((copy % 10)).$(extension "$format")" \
      "$out/folder/$format/track-$copy.$(extension "$format")"
  done
done

more=(m4a wav aiff wv)
for i in $(seq 0 9); do
  sox -D -r 44100 -c 2 -n -b 16 "$work/tone.wav" synth $((5 + 5 * i)) sine $((300 + 50 * i))
  for format in "${more[@]}"; do
    encode "$format" "$work/tone.wav" "$out/more-$format-$i.$format"
  done
done
for format in "${more[@]}"; do
  mkdir -p "$out/more/$format"
  for copy in $(seq 0 119); do
    ln "$out/more-$format-$((copy % 10)).$format" "$out/more/$format/track-$copy.$format"
  done
done

for secs in 60 600; do
  sox -D -r 44100 -c 2 -n -b 16 "$work/long.wav" synth "$secs" sine 440 vol 0.5
  for format in "${formats[@]}" flac-streamed; do
    encode "$format" "$work/long.wav" "$out/growth/$format-$secs.$(extension "$format")"
  done
done

sox -D -r 48000 -c 1 -n -b 16 "$work/short.wav" synth 2 sine 440
opusenc --quiet --bitrate 24 "$work/short.wav" "$work/short.opus"
for i in 1 2 3 4; do
  { cat "$work/short.opus"; head -c 131072 < <(yes OggS | tr -d '\n'); } > "$out/hostile/$i.opus"
done
# Tracks of real length for the index, ten of each kind, linked into 50 folders.
for i in $(seq 0 9); do
  sox -D -r 44100 -c 2 -n -b 16 "$work/track.wav" synth $((30 + 23 * i)) sine $((200 + 30 * i))
  for format in "${formats[@]}"; do
    encode "$format" "$work/track.wav" "$out/index-$format-$i.$(extension "$format")"
  done
done
for dir in $(seq 0 49); do
  mkdir -p "$out/index/$dir"
  for copy in $(seq 0 99); do
    format=${formats[$((copy % 5))]}
    ln "$out/index-$format-$(((copy / 5) % 10)).$(extension "$format")" \
      "$out/index/$dir/track-$copy.$(extension "$format")"
  done
done
# Four-minute tracks as a library holds them, every kind, for the peers' comparison.
kinds=(opus vorbis flac mp3 mp3-noinfo m4a wav aiff wv)
for i in 0 1 2 3; do
  rate=$((i % 2 == 0 ? 44100 : 48000))
  sox -D -r "$rate" -c 2 -n -b 16 "$work/four.wav" synth "$((233 + 3 * i)).$((17 * i + 7))" \
    pinknoise sine $((220 + 110 * i)) remix - - vol 0.4
  for format in "${kinds[@]}"; do
    encode "$format" "$work/four.wav" "$out/tracks-$format-$i.$(extension "$format")"
  done
done
for format in "${kinds[@]}"; do
  mkdir -p "$out/tracks/$format"
  for copy in $(seq 0 1019); do
    ln "$out/tracks-$format-$((copy % 4)).$(extension "$format")" \
      "$out/tracks/$format/track-$copy.$(extension "$format")"
  done
done
touch "$out/made-2"
