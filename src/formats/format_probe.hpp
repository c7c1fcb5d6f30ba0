#pragma once
// What a file is, by its first bytes.

#include <cstdint>  // std::int64_t
#include <string>   // std::string

#include "io/file_source.hpp"

namespace media::detail {

enum class Format {
    ogg_opus,
    ogg_vorbis,
    ogg_flac,
    flac,
    mpeg_audio,
    wav,
    aiff,
    mp4,
    wavpack,
    other
};

struct Probe {
    Format format = Format::other;
    std::string name;              // of what was found: "Ogg Opus", "RIFF WAVE", "empty file"
    bool in_ogg = false;           // an Ogg stream, whatever its codec
    std::int64_t audio_start = 0;  // MPEG audio: its first frame, past any ID3v2 tag
};

// Tells the format from the first bytes ("OggS" and the first packet, "fLaC", an
// ID3v2 tag or an MPEG audio frame, RIFF WAVE, FORM AIFF, an MP4 "ftyp", "wvpk"),
// never from the file's name.
Probe probe(FileSource& source);

}  // namespace media::detail
