#pragma once
// Gated loudness from blocks counted by their loudness: the integrated loudness of
// BS.1770 and the loudness range of EBU Tech 3342, for a track or for tracks together.

#include <cstdint>   // std::int32_t, std::uint64_t
#include <optional>  // std::optional
#include <vector>    // std::vector

#include <musiccore/loudness.hpp>

namespace media::detail {

inline constexpr double absolute_gate_lufs = -70.0;
inline constexpr int bins_a_lu = 100;
inline constexpr std::int32_t bin_count = 100 * bins_a_lu;  // -70 to +30 LUFS

// The loudness of a weighted mean square, in LUFS.
double loudness_of(double energy);

// Blocks by loudness, one bin each 0.01 LU from the absolute gate up; a block above
// +30 LUFS counts in the top bin, one below the gate not at all.
class BlockHistogram {
public:
    BlockHistogram();
    void add(double energy);
    void add(const std::vector<LoudnessBin>& bins);  // throws media_error on bins out of range
    std::vector<LoudnessBin> bins() const;           // the bins that hold blocks

    // The loudness of the blocks above both gates, the relative one 10 LU below the
    // loudness of all of them; absent when none passes.
    std::optional<double> integrated() const;
    // Tech 3342's range of the blocks (short-term ones) above the gates.
    std::optional<double> range() const;

private:
    // The first bin above the relative gate.
    std::int32_t first_above(double relative_gate) const;

    std::vector<std::uint64_t> blocks_;
    std::vector<double> energy_;
};

}  // namespace media::detail
