#pragma once
// Internal: not installed. Ogg Vorbis, read with libvorbisfile.

#include <musiccore/media.hpp>

#include "file_source.hpp"
#include "format_probe.hpp"

namespace media::detail {

MediaInfo read_vorbis(FileSource& source, const Probe& probe);

}  // namespace media::detail
