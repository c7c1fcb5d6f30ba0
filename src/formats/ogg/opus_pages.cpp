#include "formats/ogg/opus_pages.hpp"

#include <cstdint>  // std::int64_t, std::uint32_t
#include <string>   // std::string

#include <musiccore/media.hpp>  // max_tag_bytes

#include "formats/ogg/ogg_pages.hpp"

namespace media::detail {

namespace {

constexpr std::int64_t most_samples_a_packet = 5760;  // 120 ms at 48 kHz

// How many samples an Opus packet plays, by its first two bytes and its length; none
// for one that is no packet.
std::optional<std::int64_t> packet_samples(std::string_view start, std::size_t length)
{
    if (length == 0 || start.empty()) {
        return std::nullopt;
    }
    const unsigned toc = static_cast<unsigned char>(start[0]);
    const unsigned config = toc >> 3U;
    constexpr std::int64_t silk[] = {480, 960, 1920, 2880};
    constexpr std::int64_t hybrid[] = {480, 960};
    constexpr std::int64_t celt[] = {120, 240, 480, 960};
    const std::int64_t frame =
        config < 12 ? silk[config & 3U] : (config < 16 ? hybrid[config & 1U] : celt[config & 3U]);
    std::int64_t frames = 1;
    if ((toc & 3U) == 1 || (toc & 3U) == 2) {
        frames = 2;
    } else if ((toc & 3U) == 3) {
        if (length < 2 || start.size() < 2) {
            return std::nullopt;
        }
        frames = static_cast<unsigned char>(start[1]) & 0x3FU;
    }
    const std::int64_t samples = frames * frame;
    if (frames == 0 || samples > most_samples_a_packet) {
        return std::nullopt;
    }
    return samples;
}

// The identification header's page: the first, alone on it, a stream's start.
struct Identification {
    std::uint32_t serial = 0;
    int channels = 0;
    std::int64_t pre_skip = 0;
    std::int64_t end = 0;  // of its page
};

std::optional<Identification> identification(FileSource& source, const CheckedPages* checked)
{
    const auto head = ogg_page_at(source, 0, checked);
    if (!head || !head->begins_stream() || head->granule() != 0 || head->segments() != 1 ||
        head->segment(0) == 255) {
        return std::nullopt;
    }
    const std::string_view id = head->body();
    if (id.size() < 19 || id.compare(0, 8, "OpusHead") != 0 ||
        (static_cast<unsigned char>(id[8]) >> 4U) != 0 || id[9] == '\0' ||
        static_cast<unsigned char>(id[18]) > 1) {
        return std::nullopt;
    }
    return Identification{
        head->serial(), static_cast<unsigned char>(id[9]),
        static_cast<unsigned char>(id[10]) | static_cast<unsigned char>(id[11]) << 8U, head->end()};
}

// Where the stream starts, by the first page on which audio packets end: its granule
// position less what they play. And the comment header before them, on pages of its
// own.
struct StreamStart {
    std::string comments;
    std::int64_t start = 0;
};

std::optional<StreamStart> stream_start(FileSource& source, const CheckedPages* checked,
                                        const Identification& id)
{
    OggPackets packets(source, id.serial, id.end, checked);
    auto comments = packets.next(max_tag_bytes + 65536);
    if (!comments || !packets.page_done() || packets.ends_stream()) {
        return std::nullopt;
    }
    std::int64_t played = 0;
    for (;;) {
        const auto packet = packets.next(max_tag_bytes);
        const auto samples = packet ? packet_samples(*packet, packet->size()) : std::nullopt;
        if (!samples || packets.ends_stream()) {
            return std::nullopt;
        }
        played += *samples;
        if (packets.page_done() && packets.granule() != -1) {
            const std::int64_t start = packets.granule() - played;
            return start >= 0 ? std::optional(StreamStart{std::move(*comments), start})
                              : std::nullopt;
        }
    }
}

}  // namespace

std::optional<OpusRead> read_opus_pages(FileSource& source, const CheckedPages* checked,
                                        bool& began)
{
    if (!source.seekable()) {
        return std::nullopt;
    }
    const auto id = identification(source, checked);
    began = id.has_value();
    const auto start = id ? stream_start(source, checked, *id) : std::nullopt;
    if (!start || start->comments.size() < 16 || start->comments.compare(0, 8, "OpusTags") != 0) {
        return std::nullopt;
    }
    // The last page, which must be this stream's: another serial number there is a
    // chain, or another stream, that opusfile reads.
    const auto last = last_ogg_page(source, source.size(), checked);
    if (!last || last->serial() != id->serial || last->granule() < start->start) {
        return std::nullopt;
    }
    OpusRead got;
    got.channels = id->channels;
    const std::int64_t total = last->granule() - start->start;
    got.samples = total > id->pre_skip ? total - id->pre_skip : 0;
    got.links.push_back({id->serial, *got.samples, last->end(), 48000});
    if (!got.tags.add_comments(std::string_view(start->comments).substr(8))) {
        return std::nullopt;
    }
    return got;
}

}  // namespace media::detail
