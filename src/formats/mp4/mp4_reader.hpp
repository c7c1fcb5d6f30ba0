#pragma once
// MP4, M4A and M4B: AAC (LC and HE) and ALAC, read by a box reader of our own.

#include <cstdint>  // std::uint64_t

#include <musiccore/media.hpp>

#include "formats/format_probe.hpp"
#include "formats/mp4/mp4_boxes.hpp"
#include "formats/mp4/mp4_track.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_mp4(FileSource& source, const Probe& probe);

// Where what plays of `track` starts, in its output's samples: the encoder's delay,
// as the gapless tag or the edit list state it; 0 where neither does.
std::uint64_t playing_start(BoxFile& file, const Box& moov, const SoundTrack& track);

}  // namespace media::detail
