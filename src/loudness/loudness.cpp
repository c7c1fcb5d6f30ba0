#include <musiccore/loudness.hpp>

#include <algorithm>  // std::min, std::max
#include <charconv>   // std::to_chars
#include <cmath>      // std::log10
#include <cstring>    // std::strerror

#include "formats/format_table.hpp"
#include "formats/read_media.hpp"
#include "io/file_source.hpp"
#include "loudness/gating.hpp"
#include "loudness/loudness_meter.hpp"

namespace media {

namespace {

constexpr double replaygain_reference_lufs = -18.0;

// What a decode may spend: the read's limit, and a second for each minute that the
// file says it lasts (sixty times faster than it plays), up to an hour.
std::chrono::milliseconds decode_work(const Limits& limits, const MediaInfo& info)
{
    if (limits.work.count() == 0) {
        return limits.work;  // no limit asked for
    }
    constexpr double allowance_a_second = 1000.0 / 60.0;  // ms
    constexpr std::chrono::milliseconds most{std::chrono::hours(1)};
    const double extra = std::min(info.duration_secs, 4.0 * 3600.0) * allowance_a_second;
    const auto work = limits.work + std::chrono::milliseconds(static_cast<std::int64_t>(extra));
    return std::max(limits.work, std::min(work, most));
}

std::string fixed(double value, int decimals)
{
    char text[64];
    const auto written =
        std::to_chars(std::begin(text), std::end(text), value, std::chars_format::fixed, decimals);
    return {text, written.ptr};
}

}  // namespace

Loudness measure_loudness(const std::string& path, const LoudnessOptions& options)
{
    if (options.limits.isolated) {
        throw media_error("loudness: not measured in a reader process yet");
    }
    // The read first: it finds the format, holds the file to what it says, and
    // tells how long the decode may take.
    const MediaInfo info = detail::read_media(path, options.limits, nullptr, false);
    detail::WorkBudget budget(decode_work(options.limits, info), options.limits.deadline);
    detail::FileSource source(path, budget);
    if (!source.is_open()) {
        throw media_error("cannot open: " + source.failure());
    }
    const detail::Probe found = detail::probe(source);
    // The decoders' libraries read from where the source stands: at the start.
    if (source.seekable() && !source.seek(0, SEEK_SET)) {
        throw media_error(found.name + ": cannot go back to the start");
    }
    const detail::Decoder decoder = detail::decoder_of(found.format);
    if (decoder == nullptr) {
        throw media_error(found.name + ": not decoded here for loudness");
    }
    detail::LoudnessMeter meter(options.true_peak);
    decoder(source, found, meter);
    return meter.result();
}

Loudness album_loudness(const std::vector<Loudness>& tracks)
{
    detail::BlockHistogram momentary;
    detail::BlockHistogram short_term;
    Loudness album;
    bool every_true_peak = !tracks.empty();
    for (const Loudness& track : tracks) {
        momentary.add(track.momentary_bins);
        short_term.add(track.short_term_bins);
        album.sample_peak = std::max(album.sample_peak, track.sample_peak);
        every_true_peak = every_true_peak && track.true_peak.has_value();
        if (track.true_peak) {
            album.true_peak = std::max(album.true_peak.value_or(0.0), *track.true_peak);
        }
        album.frames += track.frames;
        album.channels = std::max(album.channels, track.channels);
        album.sample_rate = std::max(album.sample_rate, track.sample_rate);
    }
    if (!every_true_peak) {
        album.true_peak.reset();  // a peak of some tracks only is no album's peak
    }
    constexpr double relative_gate = 10.0;
    album.integrated_lufs = momentary.gated_loudness(relative_gate);
    album.range_lu = short_term.range();
    album.momentary_bins = momentary.bins();
    album.short_term_bins = short_term.bins();
    return album;
}

std::optional<double> replaygain_gain_db(const Loudness& loudness)
{
    if (!loudness.integrated_lufs) {
        return std::nullopt;
    }
    return replaygain_reference_lufs - *loudness.integrated_lufs;
}

std::string replaygain_gain_text(double gain_db)
{
    return fixed(gain_db, 2) + " dB";
}

std::string replaygain_peak_text(double peak)
{
    return fixed(peak, 6);
}

double replaygain_peak(const Loudness& loudness)
{
    return loudness.true_peak.value_or(loudness.sample_peak);
}

std::optional<double> peak_db(double peak)
{
    if (!(peak > 0)) {
        return std::nullopt;
    }
    return 20.0 * std::log10(peak);
}

}  // namespace media
