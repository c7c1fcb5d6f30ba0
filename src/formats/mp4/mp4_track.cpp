#include "formats/mp4/mp4_track.hpp"

#include <initializer_list>  // std::initializer_list

#include "formats/mp4/mp4_codecs.hpp"
#include <musiccore/media.hpp>

#include "io/byte_order.hpp"

namespace media::detail {

namespace {

// Of stts or elst: two million runs, far past any real track, and within the tag
// limit, so that a read costs no more memory than its tags may.
constexpr std::size_t table_limit = std::size_t{16} << 20U;

std::optional<Box> find_path(BoxFile& file, Box box, std::initializer_list<std::string_view> path)
{
    for (const std::string_view type : path) {
        auto child = file.find(box, type);
        if (!child) {
            return std::nullopt;
        }
        box = *child;
    }
    return box;
}

// mdhd: version 0 has 32-bit times, version 1 64-bit ones.
std::uint32_t time_scale(BoxFile& file, const Box& mdhd)
{
    const std::string body = file.body(mdhd, 64);
    const std::size_t at = !body.empty() && body[0] == 1 ? 20 : 12;
    if (body.size() < at + 4) {
        throw media_error("MP4: box 'mdhd' too short");
    }
    return static_cast<std::uint32_t>(big_endian(body, at, 4));
}

// stts: runs of (count, duration). The count of runs is checked against the box
// before any is read.
void add_durations(BoxFile& file, const Box& stts, SoundTrack& track)
{
    const std::string body = file.body(stts, table_limit);
    if (body.size() < 8 || big_endian(body, 4, 4) > (body.size() - 8) / 8) {
        throw media_error("MP4: box 'stts' counts more runs than it holds");
    }
    const std::uint64_t runs = big_endian(body, 4, 4);
    for (std::uint64_t run = 0; run < runs; ++run) {
        const std::uint64_t count = big_endian(body, 8 + run * 8, 4);
        const std::uint64_t duration = big_endian(body, 12 + run * 8, 4);
        std::uint64_t units = 0;
        // Both 32-bit: their product fits; only the sums can overflow.
        if (__builtin_add_overflow(track.units, count * duration, &units)) {
            throw media_error("MP4: box 'stts' sums to more than 2^64 units");
        }
        track.units = units;
        track.sample_count += count;
        if (count > 0 && duration > track.longest_sample) {
            track.longest_sample = duration;
        }
    }
}

std::optional<Edit> first_edit(BoxFile& file, const Box& elst)
{
    const std::string body = file.body(elst, table_limit);
    const bool wide = !body.empty() && body[0] == 1;
    const std::size_t entry = wide ? 20 : 12;
    if (body.size() < 8 || big_endian(body, 4, 4) > (body.size() - 8) / entry) {
        throw media_error("MP4: box 'elst' counts more edits than it holds");
    }
    std::optional<Edit> edit;
    const std::uint64_t edits = big_endian(body, 4, 4);
    for (std::uint64_t i = 0; i < edits; ++i) {
        const std::size_t at = 8 + static_cast<std::size_t>(i) * entry;
        const std::size_t width = wide ? 8 : 4;
        const std::uint64_t duration = big_endian(body, at, width);
        auto time = big_endian(body, at + width, width);
        if (!wide) {
            time = static_cast<std::uint64_t>(
                static_cast<std::int64_t>(static_cast<std::int32_t>(time)));
        }
        const auto media_time = static_cast<std::int64_t>(time);
        if (media_time < 0) {
            continue;  // an empty edit: time before the media plays
        }
        if (edit) {
            edit->only = false;
            break;
        }
        edit = Edit{media_time, duration, true};
    }
    return edit;
}

}  // namespace

std::optional<SoundTrack> sound_track(BoxFile& file, const Box& trak)
{
    const auto mdia = file.find(trak, "mdia");
    const auto hdlr = mdia ? file.find(*mdia, "hdlr") : std::nullopt;
    const std::string handler = hdlr ? file.body(*hdlr, 4096) : std::string();
    if (handler.size() < 12 || handler.compare(8, 4, "soun") != 0) {
        return std::nullopt;
    }
    const auto mdhd = file.find(*mdia, "mdhd");
    const auto stbl = find_path(file, *mdia, {"minf", "stbl"});
    const auto stsd = stbl ? file.find(*stbl, "stsd") : std::nullopt;
    const auto stts = stbl ? file.find(*stbl, "stts") : std::nullopt;
    if (!mdhd || !stsd || !stts) {
        throw media_error("MP4: the sound track lacks its mdhd, stsd or stts box");
    }
    SoundTrack track;
    track.time_scale = time_scale(file, *mdhd);
    if (track.time_scale == 0) {
        throw media_error("MP4: the sound track's time scale is 0");
    }
    describe_codec(file, *stsd, track);
    add_durations(file, *stts, track);
    if (const auto elst = find_path(file, trak, {"edts", "elst"})) {
        track.edit = first_edit(file, *elst);
    }
    return track;
}

}  // namespace media::detail
