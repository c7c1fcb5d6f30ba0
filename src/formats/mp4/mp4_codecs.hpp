#pragma once
// The sample entries of an MP4 sound track: AAC (its esds and AudioSpecificConfig)
// and ALAC (its magic cookie).

#include "formats/mp4/mp4_boxes.hpp"
#include "formats/mp4/mp4_track.hpp"

namespace media::detail {

// Sets the codec, channels, sample rate and bitrate of `track` from its first
// sample entry. Throws unsupported_format for a codec this library does not read.
void describe_codec(BoxFile& file, const Box& stsd, SoundTrack& track);

}  // namespace media::detail
