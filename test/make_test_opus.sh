#!/usr/bin/env bash
# Makes test/test.opus: a 48 kHz mono tone of exactly 3,140,964 samples
# (65.43675 s), encoded at a low bitrate. A 48 kHz input is never resampled, so
# the stream's sample count is exactly the input's; no dither and a fixed serial
# make the file reproducible. Needs sox and opus-tools.
set -euo pipefail

samples=3140964
out=${1:-"$(dirname "$0")/test.opus"}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

sox -D -n -r 48000 -c 1 -b 16 "$work/tone.wav" synth "${samples}s" sine 440 vol 0.5
opusenc --quiet --serial 20261206 --bitrate 6 --comp 10 "$work/tone.wav" "$work/test.opus"

# Decoding drops the pre-skip and trims the end padding, so the decoded length is
# the stream's playing length in samples.
opusdec --quiet --rate 48000 "$work/test.opus" "$work/decoded.wav"
got=$(soxi -s "$work/decoded.wav")
if [ "$got" != "$samples" ]; then
  echo "make_test_opus: stream has $got samples, expected $samples" >&2
  exit 1
fi
mv "$work/test.opus" "$out"
echo "wrote $out ($samples samples)"
