#include "formats/mp4/mp4_track.hpp"

#include <algorithm>         // std::min
#include <cstdint>           // UINT64_MAX
#include <initializer_list>  // std::initializer_list
#include <utility>           // std::pair

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

// A table's count of entries, after its version and flags, if its box holds them all.
std::optional<std::uint64_t> entries(BoxFile& file, const Box& box, std::size_t head,
                                     std::size_t entry)
{
    const std::string fields = file.part(box, 0, head);
    if (fields.size() < head) {
        return std::nullopt;
    }
    const std::uint64_t count = big_endian(fields, head - 4, 4);
    const auto room = static_cast<std::uint64_t>(box.size) - head;
    return count <= room / entry ? std::optional<std::uint64_t>(count) : std::nullopt;
}

// The samples of chunks of stsc, in all, and of the last chunk; none when the table
// does not hold together for `chunks` chunks.
std::optional<std::pair<std::uint64_t, std::uint64_t>>
samples_of_chunks(BoxFile& file, const Box& stsc, std::uint64_t chunks)
{
    const auto runs = entries(file, stsc, 8, 12);
    if (!runs || *runs == 0 || chunks == 0) {
        return std::nullopt;
    }
    const std::string table = file.body(stsc, table_limit);
    if (table.size() < 8 + *runs * 12) {
        return std::nullopt;  // the file ends in it
    }
    std::uint64_t total = 0;
    std::uint64_t per_chunk = 0;
    for (std::uint64_t run = 0; run < *runs; ++run) {
        const std::uint64_t first = big_endian(table, 8 + run * 12, 4);
        per_chunk = big_endian(table, 12 + run * 12, 4);
        const std::uint64_t next =
            run + 1 < *runs ? big_endian(table, 20 + run * 12, 4) : chunks + 1;
        std::uint64_t samples = 0;
        if (first == 0 || next <= first || next > chunks + 1 || (run == 0 && first != 1) ||
            __builtin_mul_overflow(next - first, per_chunk, &samples) ||
            __builtin_add_overflow(total, samples, &total)) {
            return std::nullopt;
        }
    }
    return std::make_pair(total, per_chunk);
}

// Where the samples that stts counts are stored: none when stsz, stsc and stco (or
// co64) count others, or are not all there.
std::optional<Stored> stored_samples(BoxFile& file, const Box& stbl, const SoundTrack& track)
{
    const auto stsz = file.find(stbl, "stsz");
    const auto stsc = file.find(stbl, "stsc");
    const auto co64 = file.find(stbl, "co64");
    const auto stco = co64 ? co64 : file.find(stbl, "stco");
    if (!stsz || !stsc || !stco) {
        return std::nullopt;
    }
    const std::string sizes = file.part(*stsz, 0, 12);
    if (sizes.size() < 12 || big_endian(sizes, 8, 4) != track.sample_count) {
        return std::nullopt;
    }
    const std::uint64_t fixed_size = big_endian(sizes, 4, 4);
    const std::size_t offset_width = co64 ? 8 : 4;
    const auto chunks = entries(file, *stco, 8, offset_width);
    const auto counted = chunks ? samples_of_chunks(file, *stsc, *chunks) : std::nullopt;
    if (!counted || counted->first != track.sample_count ||
        (fixed_size == 0 && !entries(file, *stsz, 12, 4))) {
        return std::nullopt;
    }
    // Past what the file holds: an offset no mdat holds.
    const auto offset_at = [&](std::uint64_t chunk) {
        const std::string bytes = file.part(*stco, 8 + chunk * offset_width, offset_width);
        return bytes.size() == offset_width ? big_endian(bytes, 0, offset_width) : UINT64_MAX;
    };
    const std::uint64_t last_samples = counted->second;
    std::uint64_t last_bytes = 0;
    std::uint64_t all_bytes = 0;
    if (__builtin_mul_overflow(track.sample_count, fixed_size, &all_bytes) ||
        __builtin_mul_overflow(last_samples, fixed_size, &last_bytes)) {
        return std::nullopt;
    }
    Stored stored{offset_at(0), 0, all_bytes};
    if (fixed_size == 0) {
        // The last chunk's samples' sizes, and all of them where they are the bitrate.
        const std::uint64_t from = track.codec == "alac" ? 0 : track.sample_count - last_samples;
        const std::string table = file.part(*stsz, 12 + from * 4,
                                            static_cast<std::size_t>(std::min<std::uint64_t>(
                                                (track.sample_count - from) * 4, table_limit)));
        last_bytes = 0;
        for (std::uint64_t i = 0; i + 4 <= table.size(); i += 4) {
            const std::uint64_t size = big_endian(table, static_cast<std::size_t>(i), 4);
            stored.bytes += size;
            last_bytes += from + i / 4 >= track.sample_count - last_samples ? size : 0;
        }
    }
    const std::uint64_t last_offset = offset_at(*chunks - 1);
    if (__builtin_add_overflow(last_offset, last_bytes, &stored.end)) {
        return std::nullopt;
    }
    return stored;
}

// tkhd: the track's id, past its times (64-bit in version 1).
std::uint32_t track_id(BoxFile& file, const Box& trak)
{
    const auto tkhd = file.find(trak, "tkhd");
    const std::string body = tkhd ? file.part(*tkhd, 0, 24) : std::string();
    const std::size_t at = !body.empty() && body[0] == 1 ? 20 : 12;
    return body.size() >= at + 4 ? static_cast<std::uint32_t>(big_endian(body, at, 4)) : 0;
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
    track.id = track_id(file, trak);
    track.stored = stored_samples(file, *stbl, track);
    if (track.stored) {
        const auto co64 = file.find(*stbl, "co64");
        track.tables = SampleTables{*file.find(*stbl, "stsz"), *file.find(*stbl, "stsc"),
                                    co64 ? *co64 : *file.find(*stbl, "stco"), co64.has_value()};
    }
    return track;
}

SoundTrack first_sound_track(BoxFile& file, const Box& moov)
{
    auto traks = file.inside(moov);
    while (const auto box = traks.next()) {
        if (box->type == "trak") {
            if (auto track = sound_track(file, *box)) {
                return std::move(*track);
            }
        }
    }
    throw unsupported_format("MP4 without a sound track", false);
}

}  // namespace media::detail
