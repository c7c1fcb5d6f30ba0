#include <musiccore/loudness.hpp>

#include <algorithm>  // std::min, std::max
#include <charconv>   // std::to_chars
#include <cmath>      // std::log10
#include <cstring>    // std::strerror

#include "loudness/gating.hpp"

namespace media {

namespace {

constexpr double replaygain_reference_lufs = -18.0;

std::string fixed(double value, int decimals)
{
    char text[64];
    const auto written =
        std::to_chars(std::begin(text), std::end(text), value, std::chars_format::fixed, decimals);
    return {text, written.ptr};
}

}  // namespace

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
    album.integrated_lufs = momentary.integrated();
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
