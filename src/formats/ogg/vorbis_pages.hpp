#pragma once
// An Ogg Vorbis file's length from a few pages, as libvorbisfile counts it, without
// opening it with libvorbisfile or unpacking its codebooks: the header pages, the
// first page of audio, and the last page.

#include <cstdint>   // std::int64_t
#include <optional>  // std::optional

#include "formats/ogg/ogg_lengths.hpp"
#include "formats/ogg/ogg_pages.hpp"
#include "io/file_source.hpp"
#include "tags/tag_collector.hpp"

namespace media::detail {

struct VorbisRead {
    int channels = 0;
    long rate = 0;
    long nominal_bitrate = 0;  // as the identification header states it; 0 if none
    LinkCount link;
    TagCollector tags;
};

// The read of a seekable file of one Vorbis stream; none for anything else (a chain,
// other streams beside it, headers that do not hold together), which libvorbisfile is
// then left to read. Pages that `checked` (may be null) checked are not checked again.
std::optional<VorbisRead> read_vorbis_pages(FileSource& source, const CheckedPages* checked);

}  // namespace media::detail
