#include "formats/decoder.hpp"

#include <vector>  // std::vector

namespace media::detail {

FrameSink::~FrameSink() = default;

void sink_integers(FrameSink& sink, const std::int32_t* samples, std::size_t frames, int channels,
                   int bits)
{
    constexpr std::size_t most = 4096;  // frames converted at a time
    const float scale = 1.0F / static_cast<float>(std::uint64_t{1} << (bits - 1));
    const auto width = static_cast<std::size_t>(channels);
    thread_local std::vector<float> converted;
    while (frames > 0) {
        const std::size_t now = frames < most ? frames : most;
        converted.resize(now * width);
        for (std::size_t i = 0; i < now * width; ++i) {
            converted[i] = static_cast<float>(samples[i]) * scale;
        }
        sink.interleaved(converted.data(), now);
        samples += now * width;
        frames -= now;
    }
}

}  // namespace media::detail
