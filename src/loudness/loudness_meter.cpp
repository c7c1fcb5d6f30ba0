#include "loudness/loudness_meter.hpp"

#include <algorithm>  // std::min, std::max
#include <cmath>      // std::isfinite
#include <numeric>    // std::accumulate
#include <string>     // std::to_string

namespace media::detail {

namespace {

constexpr std::size_t pieces_a_block = 4;         // 400 ms
constexpr std::size_t pieces_a_window = 30;       // 3 s
constexpr std::size_t frames_taken_apart = 4096;  // interleaved input, at a time
constexpr double surround = 1.41;

}  // namespace

std::vector<double> channel_weights(const PcmLayout& layout)
{
    const int channels = layout.channels;
    if (channels == 1) {
        return {2.0};
    }
    std::vector<double> weights(static_cast<std::size_t>(channels), 1.0);
    // Past 5.1's six channels the layouts part ways too much: all count alike.
    if (channels < 4 || channels > 6) {
        return weights;
    }
    const bool wave = layout.order == ChannelOrder::wave;
    if (channels == 6) {
        // wave: L R C LFE Ls Rs; vorbis: L C R Ls Rs LFE
        weights[wave ? 3 : 5] = 0.0;
        weights[4] = surround;
        weights[wave ? 5 : 3] = surround;
        return weights;
    }
    // Four: L R Ls Rs in both; five: L R C Ls Rs, or L C R Ls Rs.
    weights[static_cast<std::size_t>(channels) - 1] = surround;
    weights[static_cast<std::size_t>(channels) - 2] = surround;
    return weights;
}

void LoudnessMeter::start(const PcmLayout& layout)
{
    if (layout.channels < 1) {
        throw media_error("loudness: no channels");
    }
    // Below 8 kHz the shelf's 1.7 kHz corner nears the rate's half, where the filter
    // cannot be made; past 384 kHz no format here goes.
    if (layout.sample_rate < 8000 || layout.sample_rate > 384000) {
        throw media_error("loudness: a rate of " + std::to_string(layout.sample_rate) +
                          " Hz is not measured (8 to 384 kHz)");
    }
    // A new layout mid-stream (a chained Ogg file's next link, an MP3 that turns
    // mono): the filters start again, and what was measured stays.
    if (true_peak_) {
        earlier_true_peak_ = std::max(earlier_true_peak_, true_peak_->peak());
    }
    pieces_.clear();
    piece_filled_ = 0;
    if (!started_) {
        first_layout_ = layout;
    }
    layout_ = layout;
    started_ = true;
    filter_ = k_weighting(static_cast<double>(layout.sample_rate));
    const auto channels = static_cast<std::size_t>(layout.channels);
    states_.assign(channels, KState{});
    weights_ = channel_weights(layout);
    piece_length_ = static_cast<std::size_t>((layout.sample_rate + 5) / 10);
    piece_energy_.assign(channels, 0.0);
    if (measure_true_peak_) {
        true_peak_.emplace(layout.sample_rate, layout.channels);
    }
}

void LoudnessMeter::interleaved(const float* samples, std::size_t frames)
{
    const auto channels = static_cast<std::size_t>(layout_.channels);
    std::vector<const float*> heads(channels);
    while (frames > 0) {
        const std::size_t now = std::min(frames, frames_taken_apart);
        planar_.resize(now * channels);
        for (std::size_t channel = 0; channel < channels; ++channel) {
            float* out = planar_.data() + channel * now;
            for (std::size_t frame = 0; frame < now; ++frame) {
                out[frame] = samples[frame * channels + channel];
            }
            heads[channel] = out;
        }
        measure(heads.data(), now);
        samples += now * channels;
        frames -= now;
    }
}

void LoudnessMeter::planar(const float* const* channels, std::size_t frames)
{
    measure(channels, frames);
}

void LoudnessMeter::measure(const float* const* channels, std::size_t frames)
{
    if (!started_) {
        throw media_error("loudness: samples before their layout");
    }
    const auto count = static_cast<std::size_t>(layout_.channels);
    for (std::size_t channel = 0; channel < count; ++channel) {
        const float* samples = channels[channel];
        sample_peak_ =
            std::max(sample_peak_, static_cast<double>(largest_magnitude(samples, frames)));
        if (true_peak_) {
            true_peak_->add(static_cast<int>(channel), samples, frames);
        }
    }
    for (std::size_t done = 0; done < frames;) {
        const std::size_t now = std::min(frames - done, piece_length_ - piece_filled_);
        for (std::size_t channel = 0; channel < count; ++channel) {
            if (weights_[channel] != 0.0) {
                piece_energy_[channel] +=
                    weighted_energy(filter_, states_[channel], channels[channel] + done, now, 1);
            }
        }
        done += now;
        piece_filled_ += now;
        if (piece_filled_ == piece_length_) {
            close_piece();
        }
    }
    frames_ += static_cast<std::int64_t>(frames);
}

void LoudnessMeter::close_piece()
{
    double weighted = 0;
    for (std::size_t channel = 0; channel < piece_energy_.size(); ++channel) {
        weighted += weights_[channel] * piece_energy_[channel];
        piece_energy_[channel] = 0;
    }
    piece_filled_ = 0;
    // A sample that is no number (a float file's NaN) would leave the filters' state
    // NaN from there on, and every block after it unmeasured: no loudness, not a wrong one.
    if (!std::isfinite(weighted)) {
        throw media_error("loudness: a sample that is not a finite number");
    }
    pieces_.push_back(weighted);
    if (pieces_.size() > pieces_a_window) {
        pieces_.pop_front();
    }
    const auto length = static_cast<double>(piece_length_);
    if (pieces_.size() >= pieces_a_block) {
        const double sum = std::accumulate(pieces_.end() - pieces_a_block, pieces_.end(), 0.0);
        momentary_.add(sum / (pieces_a_block * length));
    }
    if (pieces_.size() == pieces_a_window) {
        const double sum = std::accumulate(pieces_.begin(), pieces_.end(), 0.0);
        short_term_.add(sum / (pieces_a_window * length));
    }
}

Loudness LoudnessMeter::result() const
{
    if (!started_) {
        throw media_error("loudness: nothing was decoded");
    }
    // Float samples may pass full scale a little, not a thousandfold.
    constexpr double most_peak = 1000.0;
    const double true_peak = true_peak_ ? std::max(earlier_true_peak_, true_peak_->peak()) : 0.0;
    if (!(sample_peak_ <= most_peak) || !(true_peak <= most_peak)) {
        throw media_error("loudness: samples past a thousand times full scale");
    }
    Loudness loudness;
    loudness.integrated_lufs = momentary_.integrated();
    loudness.range_lu = short_term_.range();
    loudness.sample_peak = sample_peak_;
    if (true_peak_) {
        loudness.true_peak = true_peak;
    }
    loudness.channels = first_layout_.channels;
    loudness.sample_rate = first_layout_.sample_rate;
    loudness.frames = frames_;
    loudness.momentary_bins = momentary_.bins();
    loudness.short_term_bins = short_term_.bins();
    return loudness;
}

}  // namespace media::detail
