#pragma once
// MP4, M4A and M4B: AAC (LC and HE) and ALAC, read by a box reader of our own.

#include <musiccore/media.hpp>

#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_mp4(FileSource& source, const Probe& probe);

}  // namespace media::detail
