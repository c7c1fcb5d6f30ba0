#include "formats/mp4/mp4_reader.hpp"

#include <algorithm>  // std::min
#include <cmath>      // std::lround
#include <cstdint>    // UINT64_MAX, INT64_MAX
#include <utility>    // std::pair

#include "formats/mp4/mp4_boxes.hpp"
#include "formats/mp4/mp4_layout.hpp"
#include "formats/mp4/mp4_tags.hpp"
#include "formats/mp4/mp4_track.hpp"
#include "formats/reader.hpp"
#include "io/byte_order.hpp"

namespace media::detail {

namespace {

struct Length {
    std::uint64_t units = 0;  // in the media's time scale
    bool exact = false;
    std::uint64_t start = 0;  // where in the media what plays starts: the delay
};

std::uint32_t movie_time_scale(BoxFile& file, const Box& moov)
{
    const auto mvhd = file.find(moov, "mvhd");
    const std::string body = mvhd ? file.body(*mvhd, 4096) : std::string();
    const std::size_t at = !body.empty() && body[0] == 1 ? 20 : 12;
    return body.size() >= at + 4 ? static_cast<std::uint32_t>(big_endian(body, at, 4)) : 0;
}

// A count worked out in long double as the nearest whole one, saturated: a cast of a
// value past the type's range would be undefined.
std::uint64_t rounded(long double value)
{
    constexpr long double past = 18446744073709551616.0L;  // 2^64
    return value + 0.5L >= past ? UINT64_MAX : static_cast<std::uint64_t>(value + 0.5L);
}

// What plays: all the media less the encoder's delay and padding, as iTunSMPB or
// the edit list states them. Without either, AAC's delay is unknown (an estimate);
// ALAC has none. An edit that starts past the media leaves its length unknown.
Length playing_length(const SoundTrack& track, std::uint32_t movie_scale,
                      const std::optional<GaplessInfo>& gapless)
{
    const std::uint64_t all = track.units;
    if (gapless && gapless->samples > 0 && gapless->delay <= all &&
        gapless->samples <= all - gapless->delay &&
        gapless->padding == all - gapless->delay - gapless->samples) {
        return {gapless->samples, true, gapless->delay};
    }
    if (track.edit &&
        (movie_scale == 0 || static_cast<std::uint64_t>(track.edit->media_time) > all)) {
        return {all, false};
    }
    if (track.edit) {
        const auto start = static_cast<std::uint64_t>(track.edit->media_time);
        const std::uint64_t rest = all - start;
        const long double scale = static_cast<long double>(track.time_scale) / movie_scale;
        const long double edited = static_cast<long double>(track.edit->duration) * scale;
        // The edit is in the movie's units, often milliseconds: it settles the length
        // when the media's end agrees with it to within one of those units.
        if (track.edit->only && edited + scale > rest && edited - scale < rest) {
            return {rest, true, start};
        }
        std::uint64_t media_units = 0;
        const bool whole =
            movie_scale >= track.time_scale &&
            !__builtin_mul_overflow(track.edit->duration, track.time_scale, &media_units) &&
            media_units % movie_scale == 0;
        const std::uint64_t units = rounded(edited);
        return {std::min(units, rest), whole && track.edit->only && units <= rest, start};
    }
    return {all, track.codec == "alac"};
}

// No sample of AAC or ALAC is shorter than a byte, nor plays more samples than a
// byte of any format can: a count past those the file cannot hold.
bool holdable(const SoundTrack& track, FileSource& source)
{
    const long double longest = static_cast<long double>(track.longest_sample) *
                                static_cast<long double>(track.sample_rate) / track.time_scale;
    return longest <= static_cast<long double>(max_samples_a_byte) &&
           (!source.seekable() || track.sample_count <= static_cast<std::uint64_t>(source.size()));
}

// The samples the track plays at its output's rate, from its units, and whether they
// are whole: the same rate, or HE-AAC's output at twice its core's rate. Another time
// scale is a length in time, not in samples: an estimate.
std::pair<std::uint64_t, bool> output_samples(std::uint64_t units, const SoundTrack& track)
{
    const auto rate = static_cast<std::uint64_t>(track.sample_rate);
    if (rate == track.time_scale) {
        return {units, true};
    }
    std::uint64_t doubled = 0;
    if (rate == 2 * std::uint64_t{track.time_scale} &&
        !__builtin_mul_overflow(units, 2U, &doubled)) {
        return {doubled, true};
    }
    return {rounded(static_cast<long double>(units) * rate / track.time_scale), false};
}

// The sound track's samples lie in the file's media, as its tables say: a file cut
// short, or whose index lies, is not exact.
bool stored_in_file(const SoundTrack& track, const Layout& layout)
{
    return track.stored && holds(layout, track.stored->start, track.stored->end);
}

}  // namespace

std::uint64_t playing_start(BoxFile& file, const Box& moov, const SoundTrack& track)
{
    TagCollector tags;
    const auto gapless = read_mp4_tags(file, moov, tags);
    return output_samples(playing_length(track, movie_time_scale(file, moov), gapless).start, track)
        .first;
}

MediaInfo read_mp4(FileSource& source, const Probe& /*probe*/)
{
    constexpr const char* format = "MP4";
    BoxFile file(source);
    const Layout layout = file_layout(file);
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    if (!layout.moov) {
        throw media_error("MP4: no moov box");
    }
    const Box& moov = *layout.moov;
    const std::optional<SoundTrack> track = first_sound_track(file, moov);
    TagCollector tags;
    const auto gapless = read_mp4_tags(file, moov, tags);
    Length length = playing_length(*track, movie_time_scale(file, moov), gapless);
    if (layout.fragmented) {
        // The fragments' samples add to the index's, as an estimate: their edits and
        // gaps are not looked at. The boxes' bound spent, what was counted is the count.
        try {
            const std::uint64_t more = fragment_units(file, layout, track->id);
            length.units = __builtin_add_overflow(length.units, more, &length.units) ? UINT64_MAX
                                                                                     : length.units;
        } catch (const media_error&) {
        }
        length.exact = false;
    }
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    MediaInfo info;
    info.codec = track->codec;
    info.channels = track->channels;
    info.sample_rate = track->sample_rate;
    info.bitrate = track->bitrate;
    const auto [samples, whole] = output_samples(length.units, *track);
    if (samples > static_cast<std::uint64_t>(INT64_MAX)) {
        throw media_error("MP4: the sound track lasts past 2^63 samples");
    }
    info.samples = static_cast<std::int64_t>(samples);
    info.exact = length.exact && whole && samples > 0 && holdable(*track, source) &&
                 stored_in_file(*track, layout);
    info.duration_secs = static_cast<double>(samples) / static_cast<double>(info.sample_rate);
    // ALAC's cookie states the rate of the samples it decodes to: its own is what its
    // samples take.
    if (track->codec == "alac" && track->stored && samples > 0) {
        info.bitrate =
            std::lround(8.0 * static_cast<double>(track->stored->bytes) / info.duration_secs);
    }
    tags.move_into(info);
    return info;
}

}  // namespace media::detail
