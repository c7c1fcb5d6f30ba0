#pragma once
// AAC and ALAC in MP4, decoded by libavcodec from the samples that the track's tables
// locate, over the range that the reader counts.

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

void decode_mp4(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
