#pragma once
// What a file is, by its first bytes.

#include <cstdint>      // std::int64_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view

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

// Tells the format from the first bytes, never from the file's name: each row of the
// table of formats (format_table.hpp) asked in turn, and what none claims named by
// its magic ("Monkey's Audio", "empty file", "unknown content").
Probe probe(FileSource& source);

// probe() of a source just made, as a read or a decode starts: throws media_error
// where the file did not open, or its first bytes could not be read.
Probe probe_opened(FileSource& source);

// A family's answer to a file whose first 64 bytes are `first`: what it is ("OggS" and
// its first packets; "fLaC"; an ID3v2 tag or an MPEG audio frame, or frames after
// junk; RIFF WAVE; FORM AIFF; an MP4 "ftyp"; "wvpk"), or none when it is none of
// theirs. A probe may say what a file is that no reader here reads (Ogg Theora, True
// Audio behind an ID3v2 tag).
using Prober = std::optional<Probe> (*)(FileSource& source, std::string_view first);
std::optional<Probe> probe_ogg(FileSource& source, std::string_view first);
std::optional<Probe> probe_flac(FileSource& source, std::string_view first);
std::optional<Probe> probe_mpeg(FileSource& source, std::string_view first);
std::optional<Probe> probe_wav(FileSource& source, std::string_view first);
std::optional<Probe> probe_aiff(FileSource& source, std::string_view first);
std::optional<Probe> probe_mp4(FileSource& source, std::string_view first);
std::optional<Probe> probe_wavpack(FileSource& source, std::string_view first);

}  // namespace media::detail
