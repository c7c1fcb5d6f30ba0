#pragma once
// The true peak: the signal's peak between its samples, found by oversampling it
// through a low-pass interpolation filter.

#include <array>    // std::array
#include <cstddef>  // std::size_t
#include <vector>   // std::vector

namespace media::detail {

// The largest |sample| of `count`.
float largest_magnitude(const float* samples, std::size_t count);

class TruePeak {
public:
    // Four times below 96 kHz, twice below 192 kHz, else the samples as they are.
    TruePeak(long sample_rate, int channels);

    // `count` samples of `channel`, in order.
    void add(int channel, const float* samples, std::size_t count);
    // The largest |value| of the oversampled signal, every channel's.
    double peak() const { return peak_; }

    static constexpr std::size_t taps_a_phase = 12;

private:
    std::size_t factor_;
    // Per phase past the first (which is the samples themselves), the taps that
    // weigh x[n], x[n-1], ...
    std::vector<std::array<float, taps_a_phase>> phases_;
    // Per channel, the last samples before the next block's first, oldest first.
    std::vector<std::array<float, taps_a_phase - 1>> history_;
    std::vector<float> window_;  // history, then the block
    double peak_ = 0;
};

}  // namespace media::detail
