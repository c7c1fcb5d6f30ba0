#!/usr/bin/env bash
# Makes the loudness test signals in OUT_DIR: stereo 1 kHz sines at 48 kHz, 24-bit,
# at the levels (dBFS peak) and for the seconds that the broadcast loudness tests
# use, through FLAC, WAV, MP3 and Opus.
#   case-23.{flac,wav,mp3,opus}  -23 for 20 s                      -23.0 LUFS
#   case-33.flac                  -33 for 20 s                      -33.0 LUFS
#   gated-36.flac                 -36 -23 -36 for 10 60 10 s        -23.0 LUFS
#   gated-72.flac                 -72 -36 -23 -36 -72, 10 10 60 10 10 s: -23.0 LUFS
#   steps-26.flac                 -26 -20 -26 for 20.1 s each       -23.0 LUFS
#   range-10.flac  -20 -30 (20 s each): 10 LU; range-5.flac -20 -15: 5 LU;
#   range-20.flac  -40 -20: 20 LU; range-15.flac -50 -35 -20 -35 -50: 15 LU
# Usage: make_loudness_files.sh OUT_DIR. Needs sox, flac, lame and opus-tools.
set -euo pipefail

out=$1
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# signal FILE LEVEL:SECONDS...: the pieces one after the other, no dither.
signal() {
  local file=$1 pieces=() n=0
  shift
  for piece in "$@"; do
    n=$((n + 1))
    sox -D -n -r 48000 -c 2 -b 24 "$work/piece$n.wav" synth "${piece#*:}" sine 1000 \
      vol "${piece%%:*}dB"
    pieces+=("$work/piece$n.wav")
  done
  if [ ${#pieces[@]} -eq 1 ]; then
    cp "${pieces[0]}" "$work/whole.wav"
  else
    sox -D "${pieces[@]}" "$work/whole.wav"
  fi
  case "$file" in
    *.wav) cp "$work/whole.wav" "$out/$file" ;;
    *.flac) flac --totally-silent --force -o "$out/$file" "$work/whole.wav" ;;
    *.mp3) lame --quiet -b 320 -m s "$work/whole.wav" "$out/$file" ;;
    *.opus) opusenc --quiet --bitrate 128 "$work/whole.wav" "$out/$file" ;;
  esac
}

for kind in flac wav mp3 opus; do
  signal "case-23.$kind" -23:20
done
signal case-33.flac -33:20
signal gated-36.flac -36:10 -23:60 -36:10
signal gated-72.flac -72:10 -36:10 -23:60 -36:10 -72:10
signal steps-26.flac -26:20.1 -20:20.1 -26:20.1
signal range-10.flac -20:20 -30:20
signal range-5.flac -20:20 -15:20
signal range-20.flac -40:20 -20:20
signal range-15.flac -50:20 -35:20 -20:20 -35:20 -50:20
