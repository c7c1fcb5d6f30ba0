#pragma once
// FLAC, native or in Ogg, read with libFLAC.

#include <musiccore/media.hpp>

#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_flac(FileSource& source, const Probe& probe);

}  // namespace media::detail
