#pragma once
// The samples of WAV and AIFF files, stored whole, as floats.

#include <cstdint>  // std::int64_t, std::uint64_t

#include "formats/decoder.hpp"
#include "io/file_source.hpp"

namespace media::detail {

enum class PcmCoding { integer, offset_integer, floating, alaw, mulaw };

struct PcmSamples {
    PcmCoding coding = PcmCoding::integer;
    int channels = 0;
    long sample_rate = 0;
    unsigned sample_bytes = 0;  // each channel's, as stored: samples are left-justified
    bool big_endian = false;
    std::int64_t start = 0;   // of the first frame
    std::uint64_t bytes = 0;  // of the frames, as declared: the file may hold fewer
};

// The frames from `samples.start` on, as many as the file holds of those declared.
// Throws media_error, its message beginning with `format`, for a sample size that
// the coding does not have.
void decode_pcm(FileSource& source, const PcmSamples& samples, FrameSink& sink, const char* format);

}  // namespace media::detail
