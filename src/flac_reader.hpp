#pragma once
// Internal: not installed. FLAC, native or in Ogg, read with libFLAC.

#include <musiccore/media.hpp>

#include "file_source.hpp"
#include "format_probe.hpp"

namespace media::detail {

MediaInfo read_flac(FileSource& source, const Probe& probe);

}  // namespace media::detail
