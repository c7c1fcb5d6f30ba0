#pragma once
// WAV: RIFF, and RF64 or BW64 for files past 4 GiB; PCM, float and A-law or mu-law,
// plain or WAVE_FORMAT_EXTENSIBLE.

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_wav(FileSource& source, const Probe& probe);
void decode_wav(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
