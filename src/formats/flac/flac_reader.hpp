#pragma once
// FLAC, native or in Ogg, read with libFLAC.

#include <cstddef>   // std::size_t
#include <optional>  // std::optional
#include <string>    // std::string

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

MediaInfo read_flac(FileSource& source, const Probe& probe);
// The body of a native FLAC file's first CUESHEET block, if it has one of at most
// max_cue_sheet_block bytes (100 tracks of 100 indexes take 124 KiB).
inline constexpr std::size_t max_cue_sheet_block = std::size_t{1} << 18U;
std::optional<std::string> flac_cue_sheet_block(FileSource& source, const Probe& probe);

// Native FLAC or FLAC in Ogg, through libFLAC.
void decode_flac(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
