#pragma once
// WavPack, read with libwavpack; its APEv2 tags by the library's own parser.

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_wavpack(FileSource& source, const Probe& probe);
// Through libwavpack.
void decode_wavpack(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
