#include "loudness/k_weighting.hpp"

#include <cmath>  // std::tan, std::pow, std::fabs

namespace media::detail {

namespace {

constexpr double pi = 3.14159265358979323846;

Biquad high_shelf(double sample_rate)
{
    constexpr double f0 = 1681.974450955533;
    constexpr double gain_db = 3.999843853973347;
    constexpr double q = 0.7071752369554196;
    const double k = std::tan(pi * f0 / sample_rate);
    const double vh = std::pow(10.0, gain_db / 20.0);
    const double vb = std::pow(vh, 0.4996667741545416);
    const double a0 = 1.0 + k / q + k * k;
    return {(vh + vb * k / q + k * k) / a0, 2.0 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
            2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
}

Biquad high_pass(double sample_rate)
{
    constexpr double f0 = 38.13547087602444;
    constexpr double q = 0.5003270373238773;
    const double k = std::tan(pi * f0 / sample_rate);
    const double a0 = 1.0 + k / q + k * k;
    return {1.0, -2.0, 1.0, 2.0 * (k * k - 1.0) / a0, (1.0 - k / q + k * k) / a0};
}

}  // namespace

KWeighting k_weighting(double sample_rate)
{
    return {high_shelf(sample_rate), high_pass(sample_rate)};
}

double weighted_energy(const KWeighting& filter, KState& state, const float* samples,
                       std::size_t count, std::size_t stride)
{
    const Biquad& s = filter.shelf;
    const Biquad& p = filter.high_pass;
    double s1 = state.shelf1;
    double s2 = state.shelf2;
    double p1 = state.pass1;
    double p2 = state.pass2;
    double energy = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const double x = samples[i * stride];
        const double shelved = s.b0 * x + s1;
        s1 = s.b1 * x - s.a1 * shelved + s2;
        s2 = s.b2 * x - s.a2 * shelved;
        const double y = p.b0 * shelved + p1;
        p1 = p.b1 * shelved - p.a1 * y + p2;
        p2 = p.b2 * shelved - p.a2 * y;
        energy += y * y;
    }
    // Silence after sound would leave the state decaying through subnormal numbers,
    // each step of which costs a hundred times an ordinary one.
    const auto flushed = [](double value) { return std::fabs(value) < 1e-30 ? 0.0 : value; };
    state = {flushed(s1), flushed(s2), flushed(p1), flushed(p2)};
    return energy;
}

}  // namespace media::detail
