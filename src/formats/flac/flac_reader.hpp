#pragma once
// FLAC, native or in Ogg, read with libFLAC.

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_flac(FileSource& source, const Probe& probe);
// Native FLAC or FLAC in Ogg, through libFLAC.
void decode_flac(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
