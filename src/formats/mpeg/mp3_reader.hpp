#pragma once
// MPEG audio (MP3, and layers I and II), read with
// libmpg123.

#include <musiccore/media.hpp>

#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_mpeg_audio(FileSource& source, const Probe& probe);
// What mpg123 needs done once, before its first file.
void prepare_mpeg_audio();

}  // namespace media::detail
