#pragma once
// An Ogg Opus file's length from a few pages, as opusfile counts it, without opening
// it with opusfile: the header pages, the first page of audio, and the last page.

#include <optional>  // std::optional

#include "formats/ogg/ogg_pages.hpp"
#include "formats/ogg/opus_reader.hpp"
#include "io/file_source.hpp"

namespace media::detail {

// The read of a seekable file of one Opus stream, as read_opus_file gives it; none
// for anything else (a chain, other streams beside it, a stream that starts or ends
// as few do), which opusfile is then left to read. `began` is set once its first page
// was read; pages that `checked` (may be null) checked are not checked again.
std::optional<OpusRead> read_opus_pages(FileSource& source, const CheckedPages* checked,
                                        bool& began);

}  // namespace media::detail
