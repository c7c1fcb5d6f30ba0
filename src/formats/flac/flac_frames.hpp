#pragma once
// FLAC frame headers, read here: the last frame of a file, found from its end, says
// how many samples the file holds, where STREAMINFO only states it.

#include <cstdint>      // std::uint64_t, std::int64_t
#include <optional>     // std::optional
#include <string_view>  // std::string_view

#include "io/file_source.hpp"

namespace media::detail {

// What a file's STREAMINFO says that a frame header must agree with.
struct FlacStream {
    unsigned min_block = 0, max_block = 0;
    unsigned max_frame = 0;  // bytes; 0 when not stated
    unsigned rate = 0, channels = 0, bits = 0;
    std::uint64_t total = 0;  // samples; 0 when not stated
};

struct FlacFrameHeader {
    bool variable = false;     // numbered by sample, not by frame
    std::uint64_t number = 0;  // the frame's number, or its first sample's
    unsigned block = 0;        // samples per channel
    std::size_t size = 0;      // bytes of the header, its CRC-8 included
};

// The frame header at the start of `bytes`, if it is one: its sync, every code valid,
// its CRC-8 right, and its rate, channels and sample size those of `stream`.
std::optional<FlacFrameHeader> flac_frame_header(std::string_view bytes, const FlacStream& stream);

// Where a file's frames end, as its last frame shows.
struct FlacEnd {
    // The samples up to the end of the last frame whose CRC-16 is right; else none.
    std::optional<std::uint64_t> samples;
    bool to_the_end = false;  // that frame ends at the audio's end, not before others'

    // The samples before the last frame header found that checks out, whole or not:
    // what a cut file still holds, at least. None when no header was found.
    std::optional<std::uint64_t> before_last_header;
};

// Looks for the last frame in the bytes from `audio_start` to `audio_end`, searched
// backwards from the end in growing windows.
FlacEnd last_flac_frame(FileSource& source, std::int64_t audio_start, std::int64_t audio_end,
                        const FlacStream& stream);

}  // namespace media::detail
