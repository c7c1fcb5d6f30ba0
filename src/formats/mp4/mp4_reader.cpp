#include "formats/mp4/mp4_reader.hpp"

#include <algorithm>  // std::min
#include <cstdint>    // UINT64_MAX, INT64_MAX

#include "formats/mp4/mp4_boxes.hpp"
#include "formats/mp4/mp4_tags.hpp"
#include "formats/mp4/mp4_track.hpp"
#include "formats/reader.hpp"
#include "io/byte_order.hpp"

namespace media::detail {

namespace {

struct Length {
    std::uint64_t units = 0;  // in the media's time scale
    bool exact = false;
};

std::uint32_t movie_time_scale(BoxFile& file, const Box& moov)
{
    const auto mvhd = file.find(moov, "mvhd");
    const std::string body = mvhd ? file.body(*mvhd, 4096) : std::string();
    const std::size_t at = !body.empty() && body[0] == 1 ? 20 : 12;
    return body.size() >= at + 4 ? static_cast<std::uint32_t>(big_endian(body, at, 4)) : 0;
}

// What plays: all the media less the encoder's delay and padding, as iTunSMPB or
// the edit list states them. Without either, AAC's delay is unknown (an estimate);
// ALAC has none.
Length playing_length(const SoundTrack& track, std::uint32_t movie_scale,
                      const std::optional<GaplessInfo>& gapless)
{
    const std::uint64_t all = track.units;
    if (gapless && gapless->samples > 0 && gapless->delay <= all &&
        gapless->samples <= all - gapless->delay &&
        gapless->padding == all - gapless->delay - gapless->samples) {
        return {gapless->samples, true};
    }
    if (track.edit && movie_scale > 0 &&
        static_cast<std::uint64_t>(track.edit->media_time) <= all) {
        const std::uint64_t rest = all - static_cast<std::uint64_t>(track.edit->media_time);
        const long double scale = static_cast<long double>(track.time_scale) / movie_scale;
        const long double edited = static_cast<long double>(track.edit->duration) * scale;
        // The edit is in the movie's units, often milliseconds: it settles the length
        // when the media's end agrees with it to within one of those units.
        if (track.edit->only && edited + scale > rest && edited - scale < rest) {
            return {rest, true};
        }
        const bool whole = movie_scale >= track.time_scale &&
                           (track.edit->duration * track.time_scale) % movie_scale == 0;
        const auto units = static_cast<std::uint64_t>(edited + 0.5L);
        return {std::min(units, rest), whole && track.edit->only && units <= rest};
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

}  // namespace

MediaInfo read_mp4(FileSource& source, const Probe& /*probe*/)
{
    constexpr const char* format = "MP4";
    BoxFile file(source);
    std::optional<Box> moov;
    auto top = file.top();
    while (const auto box = top.next()) {
        if (box->type == "moov") {
            moov = box;
            break;
        }
    }
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    if (!moov) {
        throw media_error("MP4: no moov box");
    }
    std::optional<SoundTrack> track;
    auto traks = file.inside(*moov);
    while (const auto box = traks.next()) {
        if (box->type == "trak" && (track = sound_track(file, *box))) {
            break;
        }
    }
    if (!track) {
        throw unsupported_format("MP4 without a sound track", false);
    }
    TagCollector tags;
    const auto gapless = read_mp4_tags(file, *moov, tags);
    const Length length = playing_length(*track, movie_time_scale(file, *moov), gapless);
    if (!source.failure().empty()) {
        throw read_failure(format, source, "");
    }
    MediaInfo info;
    info.codec = track->codec;
    info.channels = track->channels;
    info.sample_rate = track->sample_rate;
    info.bitrate = track->bitrate;
    // In the output's samples: HE-AAC's media may count at its core's rate.
    const auto rate = static_cast<std::uint64_t>(track->sample_rate);
    std::uint64_t samples = length.units;
    bool whole = true;
    if (rate != track->time_scale) {
        const long double scaled =
            static_cast<long double>(length.units) * rate / track->time_scale;
        samples = static_cast<std::uint64_t>(scaled + 0.5L);
        whole = length.units <= UINT64_MAX / rate && (length.units * rate) % track->time_scale == 0;
    }
    if (samples > static_cast<std::uint64_t>(INT64_MAX)) {
        throw media_error("MP4: the sound track lasts past 2^63 samples");
    }
    info.samples = static_cast<std::int64_t>(samples);
    info.exact = length.exact && whole && holdable(*track, source);
    info.duration_secs = static_cast<double>(samples) / static_cast<double>(info.sample_rate);
    tags.move_into(info);
    return info;
}

}  // namespace media::detail
