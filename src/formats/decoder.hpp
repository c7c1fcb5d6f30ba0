#pragma once
// What every format's decoder is: one function that decodes the file behind a source
// into a sink of float samples, over exactly the range that its reader counts.

#include <cstddef>  // std::size_t
#include <cstdint>  // std::int32_t

#include "formats/format_probe.hpp"
#include "io/file_source.hpp"

namespace media::detail {

// Where a format puts the channels past two: WAV, FLAC and WavPack put the centre
// third and the LFE fourth; Vorbis and Opus the centre second and the LFE last.
enum class ChannelOrder { wave, vorbis };

struct PcmLayout {
    int channels = 0;
    long sample_rate = 0;
    ChannelOrder order = ChannelOrder::wave;
};

// Takes the samples as a decoder gives them, 1.0 being full scale: first the layout,
// then frames.
class FrameSink {
public:
    FrameSink() = default;
    FrameSink(const FrameSink&) = delete;
    FrameSink& operator=(const FrameSink&) = delete;
    FrameSink(FrameSink&&) = delete;
    FrameSink& operator=(FrameSink&&) = delete;
    virtual ~FrameSink();

    virtual void start(const PcmLayout& layout) = 0;
    // `frames` frames, channel after channel within each.
    virtual void interleaved(const float* samples, std::size_t frames) = 0;
    // `frames` frames, one array for each channel.
    virtual void planar(const float* const* channels, std::size_t frames) = 0;
};

// Integer samples of `bits` bits, interleaved, into `sink` as floats.
void sink_integers(FrameSink& sink, const std::int32_t* samples, std::size_t frames, int channels,
                   int bits);

// `probe` is what the file's first bytes showed. Throws media_error, its message
// beginning with the format's name, where the decode fails. What bounds a decode is
// the source's work budget.
using Decoder = void (*)(FileSource& source, const Probe& probe, FrameSink& sink);

}  // namespace media::detail
