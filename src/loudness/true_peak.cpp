#include "loudness/true_peak.hpp"

#include <algorithm>  // std::copy, std::max, std::max_element
#include <cmath>      // std::cos, std::sin, std::fabs
#include <iterator>   // std::begin, std::end

namespace media::detail {

namespace {

constexpr double pi = 3.14159265358979323846;

std::size_t oversampling(long sample_rate)
{
    if (sample_rate < 96000) {
        return 4;
    }
    return sample_rate < 192000 ? 2 : 1;
}

}  // namespace

TruePeak::TruePeak(long sample_rate, int channels)
    : factor_(oversampling(sample_rate)),
      history_(static_cast<std::size_t>(channels < 0 ? 0 : channels))
{
    // A Hann-windowed sinc of factor * taps_a_phase + 1 taps, centred on a tap that
    // phase 0 holds alone, so that phase 0 is the input and each other phase sits a
    // whole fraction of a sample from it. Each phase is scaled to pass DC unchanged.
    const std::size_t length = factor_ * taps_a_phase + 1;
    const double centre = static_cast<double>(length - 1) / 2;
    for (std::size_t phase = 1; phase < factor_; ++phase) {
        std::array<double, taps_a_phase> taps{};
        double sum = 0;
        for (std::size_t m = 0; m < taps_a_phase; ++m) {
            const auto k = static_cast<double>(phase + factor_ * m);
            const double t = (k - centre) / static_cast<double>(factor_);
            const double window =
                0.5 * (1 - std::cos(2 * pi * k / static_cast<double>(length - 1)));
            taps[m] = std::sin(pi * t) / (pi * t) * window;
            sum += taps[m];
        }
        std::array<float, taps_a_phase> scaled{};
        for (std::size_t m = 0; m < taps_a_phase; ++m) {
            scaled[m] = static_cast<float>(taps[m] / sum);
        }
        phases_.push_back(scaled);
    }
    for (auto& history : history_) {
        history.fill(0.0F);
    }
}

float largest_magnitude(const float* samples, std::size_t count)
{
    // Lane by lane, so that the compiler vectorises the loop: a running maximum
    // over floats is a reduction it leaves alone without fast-math.
    constexpr std::size_t lanes = 16;
    float most[lanes] = {};
    std::size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            most[lane] = std::max(most[lane], std::fabs(samples[i + lane]));
        }
    }
    for (; i < count; ++i) {
        most[0] = std::max(most[0], std::fabs(samples[i]));
    }
    return *std::max_element(std::begin(most), std::end(most));
}

void TruePeak::add(int channel, const float* samples, std::size_t count)
{
    auto& history = history_.at(static_cast<std::size_t>(channel));
    constexpr std::size_t held = taps_a_phase - 1;
    window_.resize(held + count);
    std::copy(history.begin(), history.end(), window_.begin());
    std::copy(samples, samples + count, window_.begin() + held);
    const float* input = window_.data() + held;  // input[-held] is the oldest held
    // Outputs a block at a time into arrays of their own, tap after tap over the
    // block: loops of a fixed length over memory nothing else points to, which the
    // compiler vectorises.
    constexpr std::size_t lanes = 32;
    float most[lanes] = {};
    std::size_t n = 0;
    for (; n + lanes <= count; n += lanes) {
        for (const auto& taps : phases_) {
            float out[lanes] = {};
            for (std::size_t m = 0; m < taps_a_phase; ++m) {
                const float tap = taps[m];
                const float* in = input + n - m;
                for (std::size_t lane = 0; lane < lanes; ++lane) {
                    out[lane] += tap * in[lane];
                }
            }
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                most[lane] = std::max(most[lane], std::fabs(out[lane]));
            }
        }
    }
    for (; n < count; ++n) {
        for (const auto& taps : phases_) {
            float out = 0;
            for (std::size_t m = 0; m < taps_a_phase; ++m) {
                out += taps[m] * window_[held + n - m];  // never below the window's start
            }
            most[0] = std::max(most[0], std::fabs(out));
        }
    }
    const float peak = std::max(*std::max_element(std::begin(most), std::end(most)),
                                largest_magnitude(samples, count));
    peak_ = std::max(peak_, static_cast<double>(peak));
    std::copy(window_.end() - static_cast<std::ptrdiff_t>(held), window_.end(), history.begin());
}

}  // namespace media::detail
