#include "loudness/measure.hpp"

#include <algorithm>  // std::min, std::max
#include <cmath>      // std::isfinite
#include <cstdint>    // INT64_MAX
#include <cstdio>     // SEEK_SET
#include <memory>     // std::unique_ptr

#include "formats/format_table.hpp"
#include "formats/reader.hpp"
#include "io/file_source.hpp"
#include "loudness/gating.hpp"
#include "loudness/loudness_meter.hpp"

namespace media::detail {

std::chrono::milliseconds decode_work(const Limits& limits, const MediaInfo& info)
{
    if (limits.work.count() == 0) {
        return limits.work;  // no limit asked for
    }
    constexpr double allowance_a_second = 1000.0 / 60.0;  // ms: sixty times faster than it plays
    constexpr std::chrono::milliseconds most{std::chrono::hours(1)};
    const double secs = std::isfinite(info.duration_secs) ? info.duration_secs : 0.0;
    const double extra = std::min(std::max(secs, 0.0), 4.0 * 3600.0) * allowance_a_second;
    const auto work = limits.work + std::chrono::milliseconds(static_cast<std::int64_t>(extra));
    return std::max(limits.work, std::min(work, most));
}

namespace {

// Frames to a meter of each range they fall in: one decode, a measure for each.
class RangeMeters final : public FrameSink {
public:
    RangeMeters(const std::vector<SampleRange>& ranges, bool true_peak) : ranges_(ranges)
    {
        for (std::size_t i = 0; i < ranges.size(); ++i) {
            meters_.push_back(std::make_unique<LoudnessMeter>(true_peak));
        }
    }

    void start(const PcmLayout& layout) override
    {
        layout_ = layout;
        for (auto& meter : meters_) {
            meter->start(layout);
        }
    }

    void interleaved(const float* samples, std::size_t frames) override
    {
        for_each_range(frames, [&](LoudnessMeter& meter, std::size_t from, std::size_t count) {
            meter.interleaved(samples + from * static_cast<std::size_t>(layout_.channels), count);
        });
    }

    void planar(const float* const* channels, std::size_t frames) override
    {
        for_each_range(frames, [&](LoudnessMeter& meter, std::size_t from, std::size_t count) {
            heads_.resize(static_cast<std::size_t>(layout_.channels));
            for (std::size_t c = 0; c < heads_.size(); ++c) {
                heads_[c] = channels[c] + from;
            }
            meter.planar(heads_.data(), count);
        });
    }

    std::vector<Loudness> results() const
    {
        std::vector<Loudness> all;
        for (std::size_t i = 0; i < meters_.size(); ++i) {
            all.push_back(meters_[i]->result());
            if (all.back().frames < ranges_[i].samples) {
                throw media_error("loudness: the audio ends before range " + std::to_string(i + 1) +
                                  " does");
            }
        }
        return all;
    }

private:
    template <typename Give>
    void for_each_range(std::size_t frames, Give give)
    {
        const std::int64_t first = position_;
        const std::int64_t end = first + static_cast<std::int64_t>(frames);
        for (std::size_t i = 0; i < ranges_.size(); ++i) {
            const std::int64_t from = std::max(first, ranges_[i].start);
            const std::int64_t to = std::min(end, ranges_[i].start + ranges_[i].samples);
            if (from < to) {
                give(*meters_[i], static_cast<std::size_t>(from - first),
                     static_cast<std::size_t>(to - from));
            }
        }
        position_ = end;
    }

    const std::vector<SampleRange>& ranges_;
    std::vector<std::unique_ptr<LoudnessMeter>> meters_;
    PcmLayout layout_;
    std::int64_t position_ = 0;
    std::vector<const float*> heads_;
};

}  // namespace

std::vector<Loudness> measure_opened(OpenedFile file, std::chrono::milliseconds work,
                                     Deadline deadline, bool true_peak,
                                     const std::vector<SampleRange>& ranges)
{
    if (ranges.size() > max_ranges ||
        std::any_of(ranges.begin(), ranges.end(), [](const SampleRange& range) {
            return range.start < 0 || range.samples <= 0 || range.samples > INT64_MAX - range.start;
        })) {
        throw media_error("loudness: ranges out of range");
    }
    WorkBudget budget(work, deadline);
    FileSource source(std::move(file), budget);
    const Probe found = probe_opened(source);
    const Decoder decoder = decoder_of(found.format);
    if (decoder == nullptr) {
        if (reader_of(found.format) == nullptr) {
            throw unsupported_format(found.name, found.in_ogg);
        }
        throw media_error(found.name + ": not decoded here for loudness");
    }
    // The decoders' libraries read from where the source stands: at the start.
    if (source.seekable() && !source.seek(0, SEEK_SET)) {
        throw read_failure(found.name.c_str(), source, "cannot go back to the start");
    }
    if (!ranges.empty()) {
        RangeMeters meters(ranges, true_peak);
        decoder(source, found, meters);
        if (!source.failure().empty()) {
            throw read_failure(found.name.c_str(), source, "");
        }
        return meters.results();
    }
    LoudnessMeter meter(true_peak);
    decoder(source, found, meter);
    if (!source.failure().empty()) {
        throw read_failure(found.name.c_str(), source, "");
    }
    return {meter.result()};
}

namespace {

std::string bins_problem(const std::vector<LoudnessBin>& bins, std::uint64_t most_blocks)
{
    std::uint64_t blocks = 0;
    std::int32_t previous = -1;
    for (const LoudnessBin& bin : bins) {
        if (bin.bin <= previous || bin.bin >= bin_count || bin.blocks == 0 ||
            !std::isfinite(bin.energy) || bin.energy <= 0) {
            return "a block histogram out of order or range";
        }
        previous = bin.bin;
        // The blocks' mean must fall in their bin (the top one holds all louder).
        const double lufs = loudness_of(bin.energy / static_cast<double>(bin.blocks));
        const double floor = absolute_gate_lufs + static_cast<double>(bin.bin) / bins_a_lu;
        constexpr double slack = 1e-6;
        if (lufs < floor - slack ||
            (bin.bin + 1 < bin_count && lufs > floor + 1.0 / bins_a_lu + slack)) {
            return "a block histogram whose energy is not its bin's";
        }
        blocks += bin.blocks;
        if (blocks > most_blocks) {
            return "more blocks than the samples make";
        }
    }
    return {};
}

}  // namespace

std::string loudness_problem(Loudness& loudness, std::optional<std::int64_t> size)
{
    if (loudness.channels < 1 || loudness.channels > 255 || loudness.sample_rate < 8000 ||
        loudness.sample_rate > 384000) {
        return "a loudness of " + std::to_string(loudness.channels) + " channels at " +
               std::to_string(loudness.sample_rate) + " Hz";
    }
    const std::uint64_t most_frames =
        size ? static_cast<std::uint64_t>(std::max<std::int64_t>(*size, 0)) * max_samples_a_byte
             : std::uint64_t{1} << 50U;
    if (loudness.frames < 0 || static_cast<std::uint64_t>(loudness.frames) > most_frames) {
        return "a loudness of " + std::to_string(loudness.frames) + " frames";
    }
    // Floats decoded may pass full scale, but not by a thousandfold.
    constexpr double most_peak = 1000.0;
    const auto peak_problem = [](double peak) {
        return !std::isfinite(peak) || peak < 0 || peak > most_peak;
    };
    if (peak_problem(loudness.sample_peak) ||
        (loudness.true_peak && peak_problem(*loudness.true_peak))) {
        return "a peak out of range";
    }
    // A block each 100 ms of the lowest rate: the most that the frames can make, were
    // they all at it.
    const std::uint64_t most_blocks = static_cast<std::uint64_t>(loudness.frames) / 800 + 1;
    for (const auto* bins : {&loudness.momentary_bins, &loudness.short_term_bins}) {
        std::string problem = bins_problem(*bins, most_blocks);
        if (!problem.empty()) {
            return problem;
        }
    }
    BlockHistogram momentary;
    momentary.add(loudness.momentary_bins);
    BlockHistogram short_term;
    short_term.add(loudness.short_term_bins);
    loudness.integrated_lufs = momentary.integrated();
    loudness.range_lu = short_term.range();
    return {};
}

}  // namespace media::detail
