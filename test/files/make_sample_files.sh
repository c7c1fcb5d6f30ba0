#!/usr/bin/env bash
# Makes small audio files for the tests and the fuzz seeds, in OUT_DIR, and a folder
# to scan with them in MUSIC_DIR. Sample counts are fixed by the encoders' inputs.
# Ogg Opus (48 kHz mono):
#   short.opus    one link, 48000 samples (1 s); ARTIST twice, ALBUM, and a
#                 lower-case "title" comment
#   plain.opus    one link, 24000 samples, no artist, album or title
#   chained.opus  short.opus then plain.opus tagged ARTIST=Zed: 72000 in all
#   escape.opus   plain.opus with a title that holds a terminal's escape character
#   unsafe.opus   plain.opus with hostile texts: an artist with C1 and bidi controls,
#                 an album that is a spreadsheet formula, a 50 KB title, two tag names
#                 alike but for a byte that is not UTF-8, and a 70 KB value of such a name
# Ogg Vorbis (44.1 kHz stereo): tone.ogg (44100, tagged), chained.ogg (44100 + 22050),
#   odd-chain.ogg (44100 + 5662), mixed-rates.ogg (1 s at 44.1 kHz, then 1 s at 22.05 kHz)
# FLAC (44.1 kHz stereo, 100000): tone.flac (tagged), cuesheet.flac (a CUESHEET block
#   of two tracks), streamed.flac (STREAMINFO says 0
#   samples: written to a pipe), streamed-padded.flac (the same, 300 KiB of zeros after
#   it), tone-in-ogg.oga (Ogg FLAC); long-streamed.flac (4 s of noise, STREAMINFO says 0)
#   and long.ogg (60 s of noise, Vorbis): lengths read from the ends of files
# MP3 (44.1 kHz stereo, 100000): lame.mp3 (LAME header; ID3v2.3 in UTF-16),
#   no-header.mp3 (no LAME header; ID3v2.4 in UTF-8, two artists), mpeg2.mp3
#   (MPEG-2 layer III, 22.05 kHz mono, 30000, LAME header), v1.mp3 (ID3v1 only,
#   Latin-1), cut.mp3 (lame.mp3 cut short: the header's frame count is wrong),
#   lavc.mp3 (ffmpeg's header, "Lavc", whose delay players take otherwise: an estimate)
# WAV and AIFF (44.1 kHz stereo, 100000): tone.wav, tagged.wav (LIST/INFO), rf64.wav,
#   float.wav, cut.wav (half its frames cut off), tone.aiff, float.aifc, tagged.aiff
#   (NAME chunks and an ID3 chunk); extensible.wav (48 kHz, 3 channels, 24-bit, 12345)
# MP4 (44.1 kHz stereo, 100000): aac.m4a (ffmpeg's AAC: its delay in an edit list;
#   tagged), alac.m4a, faststart.m4a (ALAC, its index before its media), video.mp4 (a
#   video track before the sound); video.ogv (Theora,
#   then Vorbis, in one Ogg file)
# WavPack (44.1 kHz stereo, 100000): tone.wv, APEv2 tags; wide-header.wv (three
#   channels, 0.1 s, the WAV's header before them in its first block past 2 KiB)
# Cover art (cover.png 8x6, back.jpg 16x12): cover.flac (PICTURE blocks: back JPEG,
#   front PNG), cover.mp3 (APIC), cover.opus (METADATA_BLOCK_PICTURE), cover.m4a (covr),
#   cover.wv (APEv2 "Cover Art (Front)": back.jpg)
# Others: speex.ogg (an Ogg stream of another codec), tone.ape (Monkey's Audio),
#   broken files, cut-page.ogg (a page header whose segment table is cut off).
# MUSIC_DIR holds them in a folder per format, with a FIFO, a directory link that
# loops, files that are not music, and mislabelled ones.
# Usage: make_sample_files.sh OUT_DIR MUSIC_DIR OGG_CRAFT. Needs sox, opus-tools,
# vorbis-tools, flac, lame, ffmpeg and wavpack.
set -euo pipefail

out=$1 music=$2 craft=$3
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# tone SAMPLES RATE CHANNELS FREQUENCY FILE: no dither (reproducible)
tone() {
  sox -D -r "$2" -c "$3" -n -b 16 "$5" synth "$1s" sine "$4"
  [ "$(soxi -s "$5")" = "$1" ] || { echo "make_sample_files: $5 is not $1 samples" >&2; exit 1; }
}

# --- Ogg Opus
encode() {  # encode SERIAL WAV OPUS [OPUSENC_ARGS...]
  opusenc --quiet --serial "$1" --bitrate 6 "${@:4}" "$2" "$3"
}
tone 48000 48000 1 300 "$work/one.wav"
tone 24000 48000 1 600 "$work/two.wav"
encode 1 "$work/one.wav" "$out/short.opus" --artist Ann --artist Bob --album Live \
  --comment title=Intro
encode 2 "$work/two.wav" "$out/plain.opus"
encode 3 "$work/two.wav" "$work/zed.opus" --artist Zed
encode 4 "$work/two.wav" "$out/escape.opus" --title "$(printf 'Red\033[31m')"
encode 5 "$work/two.wav" "$out/unsafe.opus" --artist "$(printf 'C1\xc2\x9b31m Bidi\xe2\x80\xaeevil')" \
  --album '=HYPERLINK("x")' --title "$(head -c 50000 /dev/zero | tr '\0' 'x')" \
  --comment "$(printf 'N\xe9=1')" --comment "$(printf 'N\xe8=2')" \
  --comment "$(printf 'P\xe9=')$(head -c 70000 /dev/zero | tr '\0' 'x')"
# Concatenated Ogg streams with distinct serials are a chained file.
cat "$out/short.opus" "$work/zed.opus" > "$out/chained.opus"

# --- Ogg Vorbis
tone 44100 44100 2 440 "$work/vorbis1.wav"
tone 22050 44100 2 660 "$work/vorbis2.wav"
oggenc --quiet -s 21 -q 0 -a "Vera" -a "Vic" -l "Waves" -t "Sine" -c "TRACKNUMBER=4" \
  -c "albumartist=Various" "$work/vorbis1.wav" -o "$out/tone.ogg"
oggenc --quiet -s 22 -q 0 -t "Second" "$work/vorbis2.wav" -o "$work/second.ogg"
cat "$out/tone.ogg" "$work/second.ogg" > "$out/chained.ogg"
# Lengths whose seconds, summed a link at a time, are not the sum's seconds in a double.
tone 5662 44100 2 550 "$work/vorbis3.wav"
oggenc --quiet -s 23 -q 0 "$work/vorbis3.wav" -o "$work/third.ogg"
cat "$out/tone.ogg" "$work/third.ogg" > "$out/odd-chain.ogg"
# A second link at half the rate: its samples are not the first link's.
tone 22050 22050 2 440 "$work/vorbis4.wav"
oggenc --quiet -s 25 -q 0 "$work/vorbis4.wav" -o "$work/fourth.ogg"
cat "$out/tone.ogg" "$work/fourth.ogg" > "$out/mixed-rates.ogg"

# --- FLAC
tone 100000 44100 2 440 "$work/cd.wav"
flac --silent -f -T ARTIST=Flo -T ALBUM=Lossless -T TITLE=Tone -T DISCNUMBER=2 -T DATE=2021 \
  "$work/cd.wav" -o "$out/tone.flac"
# A CUESHEET block, as metaflac imports a sheet: tracks at 0 and 1 s (44100), a data
# track between that is none of the music. (Not CD-compliant, as its length is no
# multiple of 588 samples: metaflac says so, and writes it.)
cp "$out/tone.flac" "$out/cuesheet.flac"
printf 'CATALOG 0724384960650\nFILE "cd.wav" WAVE\n  TRACK 01 AUDIO\n    ISRC GBAYE9900001\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 00:00:50\n    INDEX 01 00:01:00\n' \
  > "$work/cd.cue"
metaflac --import-cuesheet-from="$work/cd.cue" "$out/cuesheet.flac" 2>/dev/null
# Raw samples from a pipe, to a pipe: flac cannot know the count, nor go back to
# write it, so STREAMINFO says 0.
sox "$work/cd.wav" -t raw - | flac --silent --force-raw-format --endian=little --sign=signed \
  --channels=2 --bps=16 --sample-rate=44100 -c - 2>/dev/null | cat > "$out/streamed.flac"
[ "$(metaflac --show-total-samples "$out/streamed.flac")" = 0 ] ||
  { echo "make_sample_files: streamed.flac states its length" >&2; exit 1; }
# The same with 300 KiB of zeros after its last frame: the end holds no frame to find.
{ cat "$out/streamed.flac"; head -c 307200 /dev/zero; } > "$out/streamed-padded.flac"
flac --silent -f --ogg "$work/cd.wav" -o "$out/tone-in-ogg.oga"
# Long files of noise (which does not compress), whose lengths are read at their ends.
sox -R -D -r 44100 -c 2 -n -b 16 -t raw - synth 4 whitenoise | flac --silent \
  --force-raw-format --endian=little --sign=signed --channels=2 --bps=16 --sample-rate=44100 \
  -c - 2>/dev/null | cat > "$out/long-streamed.flac"
sox -R -D -r 44100 -c 2 -n -b 16 "$work/noise.wav" synth 60 whitenoise
oggenc --quiet -s 24 -q 0 "$work/noise.wav" -o "$out/long.ogg"

# --- MP3
lame --quiet -b 128 --id3v2-only --id3v2-utf16 --ta "Émile" --tl "Ünïcode" --tt "Tône" \
  --tn 3/12 --tg "(17)" --ty 2019 --tv "TPE2=Band" --tv "TPOS=1/2" \
  "$work/cd.wav" "$out/lame.mp3"
lame --quiet -t -b 128 "$work/cd.wav" "$work/bare.mp3"
tone 30000 22050 1 330 "$work/mpeg2.wav"
lame --quiet -b 64 "$work/mpeg2.wav" "$out/mpeg2.mp3"
# ID3v1, written here: lame takes its texts as the locale's, never as Latin-1. Title
# "Café" in Latin-1, artist, album, year, comment, track 7 (ID3v1.1), genre 8 (Jazz).
lame --quiet -b 128 "$work/cd.wav" "$work/lame-untagged.mp3"
field() { printf '%s' "$1"; head -c $(($2 - ${#1})) /dev/zero; }  # ASCII, zero-padded
{
  cat "$work/lame-untagged.mp3"
  printf 'TAGCaf\xe9'; head -c 26 /dev/zero
  field Old 30; field "" 30; field 1999 4; field "" 28; printf '\x00\x07\x08'
} > "$out/v1.mp3"
head -c 20000 "$out/lame.mp3" > "$out/cut.mp3"

# An ID3v2.4 tag in UTF-8: TPE1 with two values, TALB, TIT2, TDRC, TCON as a name.
synchsafe() {  # the four bytes of a 28-bit size, seven bits each
  printf "\\x$(printf %02x $((($1 >> 21) & 127)))\\x$(printf %02x $((($1 >> 14) & 127)))"
  printf "\\x$(printf %02x $((($1 >> 7) & 127)))\\x$(printf %02x $(($1 & 127)))"
}
frame() {  # frame ID VALUE...: UTF-8 (3), values apart by a zero
  local body="$work/frame" value
  printf '\x03' > "$body"
  for value in "${@:2}"; do
    [ "$value" = "$2" ] || printf '\x00' >> "$body"
    printf '%s' "$value" >> "$body"
  done
  printf '%s' "$1"
  synchsafe "$(stat -c %s "$body")"
  printf '\x00\x00'
  cat "$body"
}
{
  frame TPE1 "Ann" "Bob"
  frame TALB "Zwei"
  frame TIT2 "Dreï"
  frame TDRC "2024-05-01"
  frame TCON "Electronic"
} > "$work/frames"
{
  printf 'ID3\x04\x00\x00'
  synchsafe "$(stat -c %s "$work/frames")"
  cat "$work/frames" "$work/bare.mp3"
} > "$out/no-header.mp3"

ff() { ffmpeg -nostdin -loglevel error -y -flags +bitexact -fflags +bitexact "$@"; }
ff -i "$work/cd.wav" -c:a libmp3lame -b:a 128k "$out/lavc.mp3"

# --- WAV and AIFF: lengths from their chunks
cp "$work/cd.wav" "$out/tone.wav"
ff -i "$work/cd.wav" -metadata title=Wave -metadata artist=Wim -metadata album=Riff \
  -metadata track=5/9 -metadata date=2018 -metadata genre=Ambient "$out/tagged.wav"
ff -i "$work/cd.wav" -rf64 always "$out/rf64.wav"
# Three channels of 24 bits: WAVE_FORMAT_EXTENSIBLE.
sox -D -r 48000 -c 3 -n -b 24 "$out/extensible.wav" synth 12345s sine 500
sox -D "$work/cd.wav" -e floating-point -b 32 "$out/float.wav"
head -c 200044 "$out/tone.wav" > "$out/cut.wav"  # 50000 of 100000 frames: the header lies
sox -D "$work/cd.wav" "$out/tone.aiff"
sox -D "$work/cd.wav" -e floating-point -b 32 "$out/float.aifc"
# ffmpeg writes the tags twice: NAME and AUTH chunks, and an ID3 chunk.
ff -i "$work/cd.wav" -write_id3v2 1 -metadata title=Aiffy -metadata artist=Ida \
  -metadata album=Form "$out/tagged.aiff"

# --- MP4: AAC with its encoder delay in an edit list, ALAC, and audio after video
ff -i "$work/cd.wav" -c:a aac -b:a 96k -metadata title=Emm -metadata artist=Pea \
  -metadata album_artist=Four -metadata album=Box -metadata track=2/7 -metadata disc=1/2 \
  -metadata date=2022 -metadata genre=Pop -metadata composer=Comp "$out/aac.m4a"
ff -i "$work/cd.wav" -c:a alac -metadata title=Lossless "$out/alac.m4a"
ff -i "$work/cd.wav" -c:a alac -movflags +faststart "$out/faststart.m4a"
ff -f lavfi -i "color=black:size=16x16:rate=5:duration=3" -i "$work/cd.wav" \
  -map 0:v -map 1:a -c:v mpeg4 -c:a aac "$out/video.mp4"
# Ogg of picture and sound: Theora's stream first, then Vorbis's.
ff -f lavfi -i "color=black:size=16x16:rate=5:duration=3" -i "$work/cd.wav" \
  -map 0:v -map 1:a -c:v libtheora -c:a libvorbis "$out/video.ogv"

# --- WavPack, with APEv2 tags
wavpack -q -y -w "Title=Pack" -w "Artist=Wes" -w "Album Artist=Crew" -w "Track=6/8" \
  -w "Year=2017" -w "REPLAYGAIN_TRACK_GAIN=-3.5 dB" "$work/cd.wav" -o "$out/tone.wv"
sox -D -r 44100 -c 3 -n -b 16 "$work/three.wav" synth 0.1 sine 440
ff -i "$work/three.wav" -metadata comment="$(head -c 3000 /dev/zero | tr '\0' x)" -c copy \
  "$work/wide.wav"
wavpack -q -y "$work/wide.wav" -o "$out/wide-header.wv"

# --- Cover art: an 8x6 PNG and a 16x12 JPEG, in every format's way of holding one
ff -f lavfi -i "color=red:size=8x6" -frames:v 1 "$out/cover.png"
ff -f lavfi -i "color=blue:size=16x12" -frames:v 1 "$out/back.jpg"
flac --silent -f --picture="4||Back||$out/back.jpg" --picture="3||Front|8x6x24|$out/cover.png" \
  "$work/cd.wav" -o "$out/cover.flac"
lame --quiet -b 128 --ti "$out/cover.png" "$work/cd.wav" "$out/cover.mp3"  # APIC, type 0
opusenc --quiet --bitrate 6 --picture "$out/cover.png" "$work/cd.wav" "$out/cover.opus"
ff -i "$work/cd.wav" -i "$out/cover.png" -map 0 -map 1 -c:a alac -c:v copy \
  -disposition:v attached_pic "$out/cover.m4a"
wavpack -q -y --write-binary-tag "Cover Art (Front)=@$out/back.jpg" "$work/cd.wav" \
  -o "$out/cover.wv"

# --- Other formats and broken files
"$craft" first-packet "$out/plain.opus" "$out/speex.ogg" "Speex   "
{ printf 'MAC \x96\x0f'; head -c 100 /dev/zero; } > "$out/tone.ape"  # Monkey's Audio
echo "not an Ogg stream" > "$out/broken.opus"
{ printf 'fLaC'; head -c 3000 /dev/zero | tr '\0' '\377'; } > "$out/broken.flac"
head -c 6000 "$out/tone.ogg" > "$out/cut.ogg"
{ printf 'OggS'; head -c 22 /dev/zero; printf '\377'; } > "$out/cut-page.ogg"  # segments missing

rm -rf "$music"
mkdir -p "$music/a" "$music/b" "$music/c" "$music/vorbis" "$music/flac" "$music/mp3" \
  "$music/unsafe"
cp "$out/short.opus" "$out/chained.opus" "$music/a/"
cp "$out/plain.opus" "$out/broken.opus" "$music/b/"
cp "$out/speex.ogg" "$music/b/speex.ogg"
cp "$out/speex.ogg" "$music/b/speex.oga"
cp "$out/plain.opus" "$music/c/LOUD.OPUS"
cp "$out/tone.ogg" "$out/chained.ogg" "$out/cut.ogg" "$music/vorbis/"
cp "$out/tone.flac" "$out/streamed.flac" "$out/tone-in-ogg.oga" "$out/broken.flac" "$music/flac/"
cp "$out/tone.wav" "$music/flac/really-wav.flac"
cp "$out/tone.ape" "$music/flac/really-ape.flac"
mkdir -p "$music/more"
cp "$out/aac.m4a" "$out/alac.m4a" "$out/video.mp4" "$out/tagged.wav" "$out/tone.aiff" \
  "$out/float.aifc" "$out/tone.wv" "$music/more/"
cp "$out/alac.m4a" "$music/more/LOUD.M4B"
mkdir -p "$music/covers"  # Folder.JPG is taken before front.png; cover.jpg before both
cp "$out/cover.flac" "$out/cover.mp3" "$out/cover.opus" "$out/cover.m4a" "$out/cover.wv" \
  "$music/covers/"
cp "$out/back.jpg" "$music/covers/Folder.JPG"
cp "$out/cover.png" "$music/covers/front.png"
cp "$out/back.jpg" "$music/a/cover.jpg"
cp "$out/lame.mp3" "$out/no-header.mp3" "$out/mpeg2.mp3" "$out/v1.mp3" "$out/cut.mp3" \
  "$music/mp3/"
cp "$out/tone.flac" "$music/mp3/really-flac.mp3"
cp "$out/unsafe.opus" "$music/unsafe/"
cp "$out/plain.opus" "$music/unsafe/$(printf 'caf\xe9').opus"  # a name that is not UTF-8
echo "not music" > "$music/notes.txt"
cp "$out/plain.opus" "$music/no-extension"  # Opus, but not named so: not taken
mkfifo "$music/pipe.opus"
ln -s .. "$music/c/loop"
