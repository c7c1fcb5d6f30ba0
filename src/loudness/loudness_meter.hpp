#pragma once
// The meter: K-weighted 100 ms pieces gathered into 400 ms blocks and 3 s windows,
// and the peaks, of whatever a decoder gives it.

#include <cstddef>   // std::size_t
#include <cstdint>   // std::int64_t
#include <deque>     // std::deque
#include <optional>  // std::optional
#include <vector>    // std::vector

#include <musiccore/loudness.hpp>

#include "formats/decoder.hpp"
#include "loudness/gating.hpp"
#include "loudness/k_weighting.hpp"
#include "loudness/true_peak.hpp"

namespace media::detail {

// How much each channel counts: 1 for the front ones, 1.41 for the surrounds, 0 for
// the LFE; a lone channel counts twice (dual mono).
std::vector<double> channel_weights(const PcmLayout& layout);

class LoudnessMeter final : public FrameSink {
public:
    explicit LoudnessMeter(bool true_peak) : measure_true_peak_(true_peak) {}

    void start(const PcmLayout& layout) override;
    void interleaved(const float* samples, std::size_t frames) override;
    void planar(const float* const* channels, std::size_t frames) override;

    // What was measured; media_error when start() never came. `channels` and
    // `sample_rate` are those of the first layout.
    Loudness result() const;

private:
    void measure(const float* const* channels, std::size_t frames);
    void close_piece();

    bool measure_true_peak_;
    PcmLayout layout_;
    PcmLayout first_layout_;  // what the result names
    bool started_ = false;
    KWeighting filter_;
    std::vector<KState> states_;
    std::vector<double> weights_;
    std::optional<TruePeak> true_peak_;
    double earlier_true_peak_ = 0;  // of the layouts before this one
    std::size_t piece_length_ = 0;  // frames in 100 ms
    std::size_t piece_filled_ = 0;
    std::vector<double> piece_energy_;  // per channel, of the piece being filled
    std::deque<double> pieces_;         // the last 30 pieces' weighted energies
    BlockHistogram momentary_;
    BlockHistogram short_term_;
    double sample_peak_ = 0;
    std::int64_t frames_ = 0;
    std::vector<float> planar_;  // interleaved input, taken apart
};

}  // namespace media::detail
