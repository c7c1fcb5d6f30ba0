#include "formats/mp4/mp4_layout.hpp"

#include <algorithm>  // std::any_of
#include <cstdint>    // UINT64_MAX
#include <string>     // std::string

#include "io/byte_order.hpp"

namespace media::detail {

namespace {

// Fragments' sample tables are read within the limit of the index's.
constexpr std::size_t table_limit = std::size_t{16} << 20U;

// trex: the duration a fragment's sample has when neither tfhd nor trun says.
std::uint64_t default_duration(BoxFile& file, const Box& moov, std::uint32_t id)
{
    const auto mvex = file.find(moov, "mvex");
    if (!mvex) {
        return 0;
    }
    auto walk = file.inside(*mvex);
    while (const auto trex = walk.next()) {
        const std::string body = trex->type == "trex" ? file.part(*trex, 0, 16) : std::string();
        if (body.size() == 16 && big_endian(body, 4, 4) == id) {
            return big_endian(body, 12, 4);
        }
    }
    return 0;
}

// tfhd: its track and, where its flags say it is there, its default duration.
struct FragmentTrack {
    std::uint32_t id = 0;
    std::optional<std::uint64_t> duration;
};

FragmentTrack fragment_track(BoxFile& file, const Box& tfhd)
{
    const std::string body = file.part(tfhd, 0, 32);
    FragmentTrack track;
    if (body.size() < 8) {
        return track;
    }
    const std::uint64_t flags = big_endian(body, 1, 3);
    track.id = static_cast<std::uint32_t>(big_endian(body, 4, 4));
    const std::size_t at = 8 + ((flags & 0x01U) != 0 ? 8 : 0) + ((flags & 0x02U) != 0 ? 4 : 0);
    if ((flags & 0x08U) != 0 && body.size() >= at + 4) {
        track.duration = big_endian(body, at, 4);
    }
    return track;
}

// trun: its samples' durations summed, each its own where the flags say, else the
// default.
std::uint64_t run_units(BoxFile& file, const Box& trun, std::uint64_t duration)
{
    const std::string head = file.part(trun, 0, 8);
    if (head.size() < 8) {
        return 0;
    }
    const std::uint64_t flags = big_endian(head, 1, 3);
    const std::uint64_t count = big_endian(head, 4, 4);
    if ((flags & 0x100U) == 0) {
        return count * duration;  // both 32-bit: no overflow
    }
    const std::size_t first = 8 + ((flags & 0x01U) != 0 ? 4 : 0) + ((flags & 0x04U) != 0 ? 4 : 0);
    std::size_t entry = 0;
    for (const unsigned field : {0x100U, 0x200U, 0x400U, 0x800U}) {
        entry += (flags & field) != 0 ? 4 : 0;
    }
    const std::string table = file.body(trun, table_limit);
    std::uint64_t units = 0;
    for (std::uint64_t i = 0; i < count && first + (i + 1) * entry <= table.size(); ++i) {
        units += big_endian(table, first + i * entry, 4);
    }
    return units;
}

}  // namespace

Layout file_layout(BoxFile& file)
{
    Layout layout;
    auto top = file.top();
    while (const auto box = top.next()) {
        if (box->type == "moov") {
            layout.moov = box;
            layout.fragmented = layout.fragmented || file.find(*box, "mvex").has_value();
            if (!file.source().seekable()) {
                break;
            }
        } else if (box->type == "mdat") {
            layout.media.push_back(*box);
        } else if (box->type == "moof") {
            layout.fragments.push_back(*box);
            layout.fragmented = true;
        }
    }
    return layout;
}

bool holds(const Layout& layout, std::uint64_t start, std::uint64_t end)
{
    return std::any_of(layout.media.begin(), layout.media.end(), [&](const Box& mdat) {
        const auto from = static_cast<std::uint64_t>(mdat.body);
        return start >= from && start <= end && end <= from + static_cast<std::uint64_t>(mdat.size);
    });
}

std::uint64_t fragment_units(BoxFile& file, const Layout& layout, std::uint32_t id)
{
    const std::uint64_t fallback = layout.moov ? default_duration(file, *layout.moov, id) : 0;
    std::uint64_t units = 0;
    for (const Box& moof : layout.fragments) {
        auto trafs = file.inside(moof);
        while (const auto traf = trafs.next()) {
            if (traf->type != "traf") {
                continue;
            }
            const auto tfhd = file.find(*traf, "tfhd");
            const FragmentTrack track = tfhd ? fragment_track(file, *tfhd) : FragmentTrack{};
            if (track.id != id) {
                continue;
            }
            auto runs = file.inside(*traf);
            while (const auto trun = runs.next()) {
                if (trun->type == "trun" &&
                    __builtin_add_overflow(
                        units, run_units(file, *trun, track.duration.value_or(fallback)), &units)) {
                    return UINT64_MAX;
                }
            }
        }
    }
    return units;
}

}  // namespace media::detail
