#pragma once
// Ogg Opus, read with opusfile.

#include <cstdint>   // std::int64_t
#include <optional>  // std::optional
#include <vector>    // std::vector

#include <musiccore/media.hpp>

#include "formats/decoder.hpp"
#include "formats/format_probe.hpp"
#include "formats/ogg/ogg_lengths.hpp"
#include "io/file_source.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

// What opusfile tells of a file.
struct OpusRead {
    std::optional<std::int64_t> samples;  // at 48 kHz over every link; absent unseekable
    std::vector<LinkCount> links;         // each as opusfile counts it; none unseekable
    int channels = 0;
    TagCollector tags;  // the first link's comments
};

// Reads `source`, `screen` installed: from its first pages and its last where a
// file is one ordinary stream (opus_pages.hpp), else with opusfile. Throws opus_utils::opus_error
// for "op_open_file", with the reason when this side stopped the read.
OpusRead read_opus_file(FileSource& source, OggScreen& screen);

// The reader of Ogg Opus for read_info.
MediaInfo read_opus(FileSource& source, const Probe& probe);
// Through opusfile, at 48 kHz, with the header's output gain.
void decode_opus(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
