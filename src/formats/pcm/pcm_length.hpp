#pragma once
// The length of samples stored whole, in fixed-size frames: what WAV and AIFF share.

#include <cstdint>  // std::int64_t, std::uint64_t

#include <musiccore/media.hpp>

#include "io/file_source.hpp"

namespace media::detail {

// Sets the length of `info` (its sample_rate set) from `declared` bytes of audio at
// `start`, `frame_bytes` a frame: exact where the file holds them all. A file cut
// short gives what it holds, and a stream what it states, as an estimate.
void set_pcm_length(MediaInfo& info, FileSource& source, std::int64_t start, std::uint64_t declared,
                    std::uint64_t frame_bytes);

}  // namespace media::detail
