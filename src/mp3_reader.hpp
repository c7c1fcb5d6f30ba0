#pragma once
// Internal: not installed. MPEG audio (MP3, and layers I and II), read with
// libmpg123.

#include <musiccore/media.hpp>

#include "file_source.hpp"
#include "format_probe.hpp"

namespace media::detail {

MediaInfo read_mpeg_audio(FileSource& source, const Probe& probe);

}  // namespace media::detail
