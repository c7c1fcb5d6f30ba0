#include "cue/flac_cue_sheet.hpp"

#include "io/byte_order.hpp"

namespace music_library::detail {

namespace {

using media::detail::big_endian;

constexpr std::size_t head_size = 128 + 8 + 1 + 258 + 1;  // catalog to the track count
constexpr std::size_t track_size = 8 + 1 + 12 + 1 + 13 + 1;
constexpr std::size_t index_size = 8 + 1 + 3;

std::string ascii(std::string_view bytes)
{
    std::string text;
    for (const char c : bytes) {
        if (c == '\0') {
            break;
        }
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

}  // namespace

std::optional<FlacCueSheet> parse_flac_cue_sheet(std::string_view body)
{
    if (body.size() < head_size) {
        return std::nullopt;
    }
    FlacCueSheet sheet;
    sheet.catalog = ascii(body.substr(0, 128));
    const std::size_t count = static_cast<unsigned char>(body[head_size - 1]);
    std::size_t at = head_size;
    bool lead_out = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (body.size() - at < track_size || lead_out) {
            return std::nullopt;
        }
        FlacCueTrack track;
        const std::uint64_t offset = big_endian(body, at, 8);
        track.number = static_cast<unsigned char>(body[at + 8]);
        track.isrc = ascii(body.substr(at + 9, 12));
        track.audio = (static_cast<unsigned char>(body[at + 21]) & 0x80U) == 0;
        const std::size_t indexes = static_cast<unsigned char>(body[at + track_size - 1]);
        at += track_size;
        if (body.size() - at < indexes * index_size) {
            return std::nullopt;
        }
        std::optional<std::uint64_t> first;
        for (std::size_t k = 0; k < indexes; ++k, at += index_size) {
            if (static_cast<unsigned char>(body[at + 8]) == 1) {
                first = offset + big_endian(body, at, 8);
            }
        }
        if (track.number == 170 || track.number == 255) {
            lead_out = true;
            sheet.lead_out = offset;
            continue;
        }
        if (!first || track.number < 1 || track.number > 99 ||
            (!sheet.tracks.empty() &&
             (track.number <= sheet.tracks.back().number || *first < sheet.tracks.back().start))) {
            return std::nullopt;
        }
        track.start = *first;
        sheet.tracks.push_back(std::move(track));
    }
    if (!lead_out || sheet.tracks.empty() || sheet.lead_out < sheet.tracks.back().start) {
        return std::nullopt;
    }
    return sheet;
}

}  // namespace music_library::detail
