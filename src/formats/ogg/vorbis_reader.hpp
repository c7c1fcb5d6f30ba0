#pragma once
// Ogg Vorbis, read with libvorbisfile.

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_vorbis(FileSource& source, const Probe& probe);
// Through vorbisfile, link by link.
void decode_vorbis(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
