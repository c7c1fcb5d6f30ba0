#pragma once
// MPEG audio (MP3, and layers I and II), read with
// libmpg123.

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_mpeg_audio(FileSource& source, const Probe& probe);
// Through mpg123, gapless where a LAME header says what to leave out.
void decode_mpeg_audio(FileSource& source, const Probe& probe, FrameSink& sink);
// What mpg123 needs done once, before its first file.
void prepare_mpeg_audio();

}  // namespace media::detail
