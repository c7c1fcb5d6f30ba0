#pragma once
// The lengths an Ogg library counts, held against what the file's bytes allow.

#include <cstdint>  // std::int64_t, std::uint32_t
#include <vector>   // std::vector

#include "formats/ogg/ogg_screen.hpp"
#include "io/file_source.hpp"

namespace media::detail {

// One link as its library counts it.
struct LinkCount {
    std::uint32_t serial = 0;
    std::int64_t samples = 0;  // at `rate`
    std::int64_t bytes = 0;
    long rate = 0;
};

struct OggLength {
    std::int64_t samples = 0;  // at the first link's rate
    double secs = 0;
    bool exact = true;
};

// What the codec's densest packets can play a byte: no real link comes near.
inline constexpr std::int64_t max_opus_samples_a_byte = 5760;    // 120 ms in one byte
inline constexpr std::int64_t max_vorbis_samples_a_byte = 4096;  // the longest block

// The links' sum, exact only where it can be: a link that its bytes cannot hold
// (`max_a_byte` samples a byte at most), or counts below nothing, is estimated from its
// bytes at the other links' rate of bytes, or `fallback_bits_a_second`; a sum that would
// overflow is estimated; links of other rates are summed in time. When the pages that
// `screen` saw are too few for a link's bytes, the file is walked page by page: links
// that share one serial number, which their library takes for one, are each counted,
// by their last granule positions, as an estimate.
OggLength judged_length(std::vector<LinkCount> links, FileSource& source, OggScreen& screen,
                        std::int64_t max_a_byte, double fallback_bits_a_second);

}  // namespace media::detail
