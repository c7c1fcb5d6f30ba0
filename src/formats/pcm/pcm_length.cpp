#include "formats/pcm/pcm_length.hpp"

#include <algorithm>  // std::min, std::max
#include <limits>     // std::numeric_limits

namespace media::detail {

void set_pcm_length(MediaInfo& info, FileSource& source, std::int64_t start, std::uint64_t declared,
                    std::uint64_t frame_bytes)
{
    std::uint64_t held = declared;
    info.exact = false;  // a stream cannot be held against its size
    if (source.seekable()) {
        const auto there =
            static_cast<std::uint64_t>(std::max<std::int64_t>(source.size() - start, 0));
        info.exact = declared <= there;
        held = std::min(declared, there);
    }
    // RF64 states 64 bits: past what a count can be, the length is not to be had.
    constexpr auto most = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (held / frame_bytes > most) {
        held = most * frame_bytes;  // frame_bytes is 1: nothing else passes the test
        info.exact = false;
    }
    info.samples = static_cast<std::int64_t>(held / frame_bytes);
    info.duration_secs = static_cast<double>(*info.samples) / static_cast<double>(info.sample_rate);
}

}  // namespace media::detail
