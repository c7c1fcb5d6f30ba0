#pragma once
// An MP4 file's sound track: its codec, and the counts its length is made of.

#include <cstdint>   // std::int64_t, std::uint64_t
#include <optional>  // std::optional
#include <string>    // std::string

#include "formats/mp4/mp4_boxes.hpp"

namespace media::detail {

// The first edit that plays media: where in the media it starts, and for how long
// it plays, in the movie's time scale.
struct Edit {
    std::int64_t media_time = 0;
    std::uint64_t duration = 0;
    bool only = true;  // no other edit plays media
};

// Where a track's samples are stored, as its tables say: from the first chunk's
// offset to the last sample's end, in the file.
struct Stored {
    std::uint64_t start = 0, end = 0;
    std::uint64_t bytes = 0;  // the samples' own, where they were summed (ALAC)
};

// The tables that say where each sample is: its size (stsz), the samples of each
// chunk (stsc) and where each chunk starts (stco, or co64).
struct SampleTables {
    Box sizes, chunks, offsets;
    bool wide_offsets = false;  // co64
};

struct SoundTrack {
    std::string codec;  // "aac" or "alac"
    int channels = 0;
    long sample_rate = 0;  // of the decoded output (HE-AAC: twice its core's)
    std::optional<long> bitrate;
    std::uint32_t time_scale = 0;  // of the media: units a second
    std::uint64_t units = 0;       // every sample's duration summed, in those units
    std::uint64_t sample_count = 0;
    std::uint64_t longest_sample = 0;  // in units
    std::optional<Edit> edit;
    std::uint32_t id = 0;  // tkhd's, which fragments name
    // Where its samples are, when stsz, stsc and stco (or co64) count the samples that
    // stts does; none when they do not, or are not there.
    std::optional<Stored> stored;
    std::optional<SampleTables> tables;  // where stored is
    // What a decoder is given: AAC's AudioSpecificConfig, or the whole 'alac' box.
    std::string config;
};

// The track of `trak` if it is sound (hdlr "soun"), of a codec this library reads.
// Throws unsupported_format for sound of another codec.
std::optional<SoundTrack> sound_track(BoxFile& file, const Box& trak);

// The first sound track under `moov`. Throws unsupported_format where there is none.
SoundTrack first_sound_track(BoxFile& file, const Box& moov);

}  // namespace media::detail
