#include "loudness/gating.hpp"

#include <cmath>  // std::log10, std::floor, std::pow, std::llround

namespace media::detail {

namespace {

constexpr double bs1770_offset = -0.691;

}  // namespace

double loudness_of(double energy)
{
    return bs1770_offset + 10.0 * std::log10(energy);
}

BlockHistogram::BlockHistogram() : blocks_(bin_count, 0), energy_(bin_count, 0.0) {}

void BlockHistogram::add(double energy)
{
    if (!(energy > 0)) {
        return;
    }
    const double lufs = loudness_of(energy);
    if (lufs < absolute_gate_lufs) {
        return;
    }
    const double position = std::floor((lufs - absolute_gate_lufs) * bins_a_lu);
    const auto bin = position >= bin_count ? bin_count - 1 : static_cast<std::int32_t>(position);
    ++blocks_[static_cast<std::size_t>(bin)];
    energy_[static_cast<std::size_t>(bin)] += energy;
}

void BlockHistogram::add(const std::vector<LoudnessBin>& bins)
{
    for (const LoudnessBin& each : bins) {
        if (each.bin < 0 || each.bin >= bin_count || !(each.energy >= 0)) {
            throw media_error("loudness: a block histogram's bin out of range");
        }
        blocks_[static_cast<std::size_t>(each.bin)] += each.blocks;
        energy_[static_cast<std::size_t>(each.bin)] += each.energy;
    }
}

std::vector<LoudnessBin> BlockHistogram::bins() const
{
    std::vector<LoudnessBin> held;
    for (std::int32_t bin = 0; bin < bin_count; ++bin) {
        const auto at = static_cast<std::size_t>(bin);
        if (blocks_[at] != 0) {
            held.push_back({bin, blocks_[at], energy_[at]});
        }
    }
    return held;
}

std::int32_t BlockHistogram::first_above(double relative_gate) const
{
    double energy = 0;
    std::uint64_t blocks = 0;
    for (std::size_t bin = 0; bin < blocks_.size(); ++bin) {
        energy += energy_[bin];
        blocks += blocks_[bin];
    }
    if (blocks == 0) {
        return bin_count;
    }
    const double gate =
        energy / static_cast<double>(blocks) * std::pow(10.0, -relative_gate / 10.0);
    // A bin's blocks lie within 0.01 LU of each other: the bin that holds the gate
    // passes as a whole where their mean does.
    for (std::int32_t bin = 0; bin < bin_count; ++bin) {
        const auto at = static_cast<std::size_t>(bin);
        if (blocks_[at] != 0 && energy_[at] / static_cast<double>(blocks_[at]) >= gate) {
            return bin;
        }
    }
    return bin_count;
}

std::optional<double> BlockHistogram::integrated() const
{
    constexpr double relative_gate = 10.0;
    double energy = 0;
    std::uint64_t blocks = 0;
    for (auto bin = static_cast<std::size_t>(first_above(relative_gate)); bin < blocks_.size();
         ++bin) {
        energy += energy_[bin];
        blocks += blocks_[bin];
    }
    if (blocks == 0) {
        return std::nullopt;
    }
    return loudness_of(energy / static_cast<double>(blocks));
}

std::optional<double> BlockHistogram::range() const
{
    constexpr double relative_gate = 20.0;
    const auto first = static_cast<std::size_t>(first_above(relative_gate));
    std::uint64_t kept = 0;
    for (std::size_t bin = first; bin < blocks_.size(); ++bin) {
        kept += blocks_[bin];
    }
    if (kept == 0) {
        return std::nullopt;
    }
    // The 10th and the 95th percentile, as the block at that rank of those kept,
    // counted from 0, taken at its bin's mean.
    const auto rank = [kept](double share) {
        return static_cast<std::uint64_t>(std::llround(static_cast<double>(kept - 1) * share));
    };
    const auto loudness_at = [&](std::uint64_t wanted) {
        std::uint64_t seen = 0;
        for (std::size_t bin = first; bin < blocks_.size(); ++bin) {
            seen += blocks_[bin];
            if (seen > wanted) {
                return loudness_of(energy_[bin] / static_cast<double>(blocks_[bin]));
            }
        }
        return 0.0;  // not reached: wanted < kept
    };
    return loudness_at(rank(0.95)) - loudness_at(rank(0.10));
}

}  // namespace media::detail
