#pragma once
// AIFF and AIFF-C: PCM of either byte order, float, A-law and mu-law.

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_aiff(FileSource& source, const Probe& probe);
void decode_aiff(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
