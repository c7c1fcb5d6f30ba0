#pragma once
// The K-weighting filter: a high shelf, then a high-pass, per channel.

#include <cstddef>  // std::size_t

namespace media::detail {

struct Biquad {
    double b0 = 1, b1 = 0, b2 = 0, a1 = 0, a2 = 0;  // a0 = 1
};

struct KWeighting {
    Biquad shelf;
    Biquad high_pass;
};

// The two stages at `sample_rate`, from their analog prototypes by the bilinear
// transform: at 48 kHz, the coefficients that BS.1770 tabulates.
KWeighting k_weighting(double sample_rate);

// One channel's filter state (transposed direct form II), kept from block to block.
struct KState {
    double shelf1 = 0, shelf2 = 0, pass1 = 0, pass2 = 0;
};

// Filters `count` samples of one channel, `stride` apart, and returns the sum of the
// squares of the weighted samples. In double: at high rates the high-pass's poles sit
// so close to 1 that float would drift.
double weighted_energy(const KWeighting& filter, KState& state, const float* samples,
                       std::size_t count, std::size_t stride);

}  // namespace media::detail
