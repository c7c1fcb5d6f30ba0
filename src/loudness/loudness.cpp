#include <musiccore/loudness.hpp>

#include <algorithm>     // std::min, std::max
#include <charconv>      // std::to_chars
#include <cmath>         // std::log10, std::isfinite, std::fabs
#include <cstring>       // std::strerror
#include <string_view>   // std::string_view
#include <system_error>  // std::errc

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

namespace {

// The first value of `name`, trimmed; empty when there is none.
std::string_view first_value(const Tags& tags, const char* name)
{
    const auto values = tags.find(name);
    if (values == tags.end() || values->second.empty()) {
        return {};
    }
    std::string_view text = values->second.front();
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A number as the tags write it: a sign, digits with a point, then " dB" for a gain.
std::optional<double> tag_number(std::string_view text, bool gain)
{
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    std::string_view rest(end, static_cast<std::size_t>(text.data() + text.size() - end));
    while (!rest.empty() && rest.front() == ' ') {
        rest.remove_prefix(1);
    }
    const bool unit =
        rest.empty() || (gain && rest.size() == 2 && (rest[0] == 'd' || rest[0] == 'D') &&
                         (rest[1] == 'b' || rest[1] == 'B'));
    constexpr double most = 100.0;
    if (error != std::errc() || end == text.data() || !unit || !std::isfinite(value) ||
        std::fabs(value) > most || (!gain && value < 0)) {
        return std::nullopt;
    }
    return value;
}

// Opus's R128 gain: an integer of Q7.8 dB to -23 LUFS, as a ReplayGain 2.0 gain.
std::optional<double> r128_gain(std::string_view text)
{
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty() ||
        value < -32768 || value > 32767) {
        return std::nullopt;
    }
    constexpr double opus_reference_lufs = -23.0;
    return static_cast<double>(value) / 256.0 + (replaygain_reference_lufs - opus_reference_lufs);
}

}  // namespace

StatedLoudness stated_loudness(const Tags& tags)
{
    StatedLoudness stated;
    stated.track_gain_db = tag_number(first_value(tags, "REPLAYGAIN_TRACK_GAIN"), true);
    stated.track_peak = tag_number(first_value(tags, "REPLAYGAIN_TRACK_PEAK"), false);
    stated.album_gain_db = tag_number(first_value(tags, "REPLAYGAIN_ALBUM_GAIN"), true);
    stated.album_peak = tag_number(first_value(tags, "REPLAYGAIN_ALBUM_PEAK"), false);
    if (!stated.track_gain_db) {
        stated.track_gain_db = r128_gain(first_value(tags, "R128_TRACK_GAIN"));
    }
    if (!stated.album_gain_db) {
        stated.album_gain_db = r128_gain(first_value(tags, "R128_ALBUM_GAIN"));
    }
    return stated;
}

}  // namespace media
