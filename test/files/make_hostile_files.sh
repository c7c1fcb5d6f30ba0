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
#   chain-1100.ogg   1100 links of a short Vorbis stream: libvorbisfile recurses once a link
#   codebooks.ogg    a Vorbis setup of 218 codebooks of 2^23-1 entries (1.8 GB to unpack)
#   tags-first-page.ogg, tags-granule.opus, tags-packed.oga: 10001 comments where a
#                    screen of pages might not look: in the first page with the first
#                    packet, on pages whose granule position is 5, in a page after other
#                    FLAC metadata
#   blocks-1100.flac 1100 empty metadata blocks, then 10001 comments
# Lengths that the bytes cannot hold, or that a library counts wrong:
#   frames-1m.mp3, frames-4g.mp3  an Info frame that states 10^6 or 2^32-1 frames
#   delay-long.mp3   a LAME delay and padding longer than the audio
#   delay-all.mp3, delay-but-one.mp3  delay and padding of all its 5760 samples, or all
#                    but one
#   granules-wrap.ogg five links whose lengths sum past 2^63
#   same-serial.ogg, same-serial.opus  two streams of one serial number, one after the
#                    other: 44100 + 22050 and 48000 + 24000 samples
#   total-2-35.flac  a STREAMINFO that says 2^35 samples
#   faststart.m4a    an AAC file of 0.1 s with its index first, whole; cut.m4a the same
#                    cut in its samples (a partial download); fragmented.m4a in
#                    fragments (moof); no-mdat.m4a its index without the media
#   cut.wv           a WavPack file cut 100 bytes into its last block; footer.wv an APE
#                    footer whose tag and header would begin before the file
#   align.wav        16-bit stereo whose block_align says 1 byte a frame
#   junk.mp3         an MP3 after 3000 bytes that are none
# Usage: make_hostile_files.sh OUT_DIR OGG_CRAFT. Needs sox, opus-tools, vorbis-tools,
# flac, lame, wavpack and ffmpeg.
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

# Where comments hide, and what costs without them.
"$craft" paged-comments "$work/plain.ogg" "$out/tags-first-page.ogg" first-page 10001 3
"$craft" paged-comments "$work/link13.opus" "$out/tags-granule.opus" granule 10001 3
flac --silent -f --ogg "$work/cd.wav" -o "$work/plain.oga"
"$craft" paged-comments "$work/plain.oga" "$out/tags-packed.oga" packed 10001 3
"$craft" flac-blocks "$out/tags-count.flac" "$out/blocks-1100.flac" 1100 10001
sox -D -r 8000 -c 1 -n -b 16 "$work/tiny.wav" synth 0.01 sine 440
oggenc --quiet -q -1 "$work/tiny.wav" -o "$work/tiny.ogg"
"$craft" chain "$work/tiny.ogg" "$out/chain-1100.ogg" 1100
"$craft" codebooks "$work/plain.ogg" "$out/codebooks.ogg" 218 8388607

# Lengths that the bytes cannot hold, or that a library counts wrong.
lame --quiet -b 128 "$work/cd.wav" "$work/info.mp3"
"$craft" mp3-info "$work/info.mp3" "$out/frames-1m.mp3" 1000000 - -
"$craft" mp3-info "$work/info.mp3" "$out/frames-4g.mp3" 4294967295 - -
sox -D -r 44100 -c 2 -n -b 16 "$work/brief.wav" synth 4410s sine 440
lame --quiet -b 128 "$work/brief.wav" "$work/brief.mp3"
"$craft" mp3-info "$work/brief.mp3" "$out/delay-long.mp3" - 4095 4095
"$craft" mp3-info "$work/brief.mp3" "$out/delay-all.mp3" - 2000 3760
"$craft" mp3-info "$work/brief.mp3" "$out/delay-but-one.mp3" - 2000 3759
sox -D -r 44100 -c 2 -n -b 16 "$work/second.wav" synth 22050s sine 660
sox -D -r 44100 -c 2 -n -b 16 "$work/first.wav" synth 44100s sine 440
oggenc --quiet -s 5 -q 0 "$work/first.wav" -o "$work/same-1.ogg"
oggenc --quiet -s 5 -q 0 "$work/second.wav" -o "$work/same-2.ogg"
cat "$work/same-1.ogg" "$work/same-2.ogg" > "$out/same-serial.ogg"
sox -D -r 48000 -c 1 -n -b 16 "$work/o1.wav" synth 48000s sine 440
sox -D -r 48000 -c 1 -n -b 16 "$work/o2.wav" synth 24000s sine 660
opusenc --quiet --serial 7 --bitrate 24 "$work/o1.wav" "$work/same-1.opus"
opusenc --quiet --serial 7 --bitrate 24 "$work/o2.wav" "$work/same-2.opus"
cat "$work/same-1.opus" "$work/same-2.opus" > "$out/same-serial.opus"
for serial in 41 42 43 44 45; do
  oggenc --quiet -s $serial -q 0 "$work/second.wav" -o "$work/w$serial.ogg"
  "$craft" last-granule "$work/w$serial.ogg" "$work/wrap$serial.ogg" $serial $(((1 << 61) - 1))
done
cat "$work"/wrap4?.ogg > "$out/granules-wrap.ogg"
flac --silent -f "$work/cd.wav" -o "$work/plain.flac"
"$craft" flac-total "$work/plain.flac" "$out/total-2-35.flac" $((1 << 35))

# The MP4, WavPack, WAV and MPEG readers' own: small, so that a fuzz run reaches them.
ff() { ffmpeg -nostdin -loglevel error -y -flags +bitexact -fflags +bitexact "$@"; }
sox -D -r 44100 -c 2 -n -b 16 "$work/tenth.wav" synth 4410s sine 440
ff -i "$work/tenth.wav" -c:a aac -b:a 32k -movflags +faststart "$out/faststart.m4a"
head -c $(($(stat -c %s "$out/faststart.m4a") - 200)) "$out/faststart.m4a" > "$out/cut.m4a"
ff -i "$work/tenth.wav" -c:a aac -b:a 32k -movflags frag_keyframe+empty_moov "$out/fragmented.m4a"
ff -i "$work/tenth.wav" -c:a aac -b:a 32k "$work/plain.m4a"
# Its mdat made a free box: the index points at what is no media.
cp "$work/plain.m4a" "$out/no-mdat.m4a"
at=$(grep -obUa mdat "$out/no-mdat.m4a" | head -n 1 | cut -d: -f1)
printf free | dd of="$out/no-mdat.m4a" bs=1 seek="$at" conv=notrunc status=none
wavpack -q -y "$work/tenth.wav" -o "$work/tenth.wv"
head -c $(($(stat -c %s "$work/tenth.wv") - 100)) "$work/tenth.wv" > "$out/cut.wv"
le32() {  # le32 NUMBER: its four bytes, little-endian
  local i
  for i in 0 8 16 24; do printf "\\$(printf %03o $((($1 >> i) & 255)))"; done
}
size=$(stat -c %s "$work/tenth.wv")
{ cat "$work/tenth.wv"; printf 'APETAGEX'; le32 2000; le32 $((size + 32)); le32 0
  le32 $((1 << 31)); le32 0; le32 0; } > "$out/footer.wv"
cp "$work/tenth.wav" "$out/align.wav"  # sox's 44-byte header: block_align at 32
printf '\001\000' | dd of="$out/align.wav" bs=1 seek=32 conv=notrunc status=none
lame --quiet -b 32 "$work/tenth.wav" "$work/tenth.mp3"
{ head -c 3000 /dev/zero | tr '\0' 'x'; cat "$work/tenth.mp3"; } > "$out/junk.mp3"
