#include "formats/ogg/vorbis_pages.hpp"

#include <algorithm>    // std::max
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include <musiccore/media.hpp>  // max_tag_bytes

#include "formats/ogg/ogg_pages.hpp"
#include "formats/ogg/ogg_screen.hpp"
#include "io/byte_order.hpp"

namespace media::detail {

namespace {

// A packet's bits read backwards from its end: Vorbis packs bits from the low end of
// each byte, so a field read this way, its last bit first, keeps its value.
class BackwardBits {
public:
    explicit BackwardBits(std::string_view bytes) : bytes_(bytes), left_(bytes.size() * 8) {}

    std::size_t left() const { return left_; }
    unsigned bit()
    {
        --left_;
        return (static_cast<unsigned char>(bytes_[left_ / 8]) >> (left_ % 8)) & 1U;
    }
    unsigned bits(unsigned count)
    {
        unsigned value = 0;
        for (unsigned i = 0; i < count; ++i) {
            value = value << 1U | bit();
        }
        return value;
    }

private:
    std::string_view bytes_;
    std::size_t left_;
};

// The block flag of each mode, from the end of the setup header: its framing bit,
// then mode after mode (a mapping of 0 to 63, a transform and a window type of 0, the
// flag), as long as the six bits before them count them. Empty when none do.
std::vector<bool> mode_flags(std::string_view setup)
{
    BackwardBits bits(setup);
    while (bits.left() > 0 && bits.bit() == 0) {
    }
    std::vector<bool> flags;  // the last mode's first
    std::size_t counted = 0;
    constexpr std::size_t most_modes = 64;
    while (bits.left() >= 97 && flags.size() < most_modes) {
        if (bits.bits(8) > 63 || bits.bits(16) != 0 || bits.bits(16) != 0) {
            break;
        }
        flags.push_back(bits.bit() != 0);
        BackwardBits ahead = bits;
        if (ahead.bits(6) + 1 == flags.size()) {
            counted = flags.size();
        }
    }
    flags.resize(counted);
    return {flags.rbegin(), flags.rend()};
}

// The samples of a block of an audio packet, by its mode; none for a packet that is
// not audio, or of no mode.
std::optional<long> block_of(std::string_view packet, const std::vector<bool>& modes,
                             const long (&sizes)[2])
{
    if (packet.empty() || (static_cast<unsigned char>(packet[0]) & 1U) != 0) {
        return std::nullopt;
    }
    unsigned mode_bits = 0;
    for (std::size_t v = modes.size() - 1; v > 0; v >>= 1U) {
        ++mode_bits;
    }
    const unsigned mode = (static_cast<unsigned char>(packet[0]) >> 1U) & ((1U << mode_bits) - 1);
    return mode < modes.size() ? std::optional(sizes[modes[mode] ? 1 : 0]) : std::nullopt;
}

struct Identification {
    std::uint32_t serial = 0;
    int channels = 0;
    long rate = 0, nominal = 0;
    long blocks[2] = {0, 0};
    std::int64_t end = 0;
};

std::optional<Identification> identification(FileSource& source, const CheckedPages* checked)
{
    const auto head = ogg_page_at(source, 0, checked);
    if (!head || !head->begins_stream() || head->granule() != 0 || head->segments() != 1) {
        return std::nullopt;
    }
    const std::string_view id = head->body();
    if (id.size() < 30 || id.compare(0, 7, "\x01vorbis") != 0 || little_endian(id, 7, 4) != 0 ||
        id[11] == '\0' || (id[29] & 1) == 0) {
        return std::nullopt;
    }
    Identification found{head->serial(),
                         static_cast<unsigned char>(id[11]),
                         static_cast<long>(little_endian(id, 12, 4)),
                         static_cast<long>(static_cast<std::int32_t>(little_endian(id, 20, 4))),
                         {1L << (static_cast<unsigned char>(id[28]) & 15U),
                          1L << (static_cast<unsigned char>(id[28]) >> 4U)},
                         head->end()};
    if (found.rate <= 0 || found.blocks[0] < 64 || found.blocks[0] > found.blocks[1] ||
        found.blocks[1] > 8192) {
        return std::nullopt;
    }
    return found;
}

// Where the stream starts: the granule position of the first page on which audio
// packets end, less what they play (a packet after another plays a quarter of each
// one's block), as libvorbisfile counts it.
std::optional<std::int64_t> stream_start(OggPackets& packets, const std::vector<bool>& modes,
                                         const long (&sizes)[2])
{
    std::optional<long> last_block;
    std::int64_t played = 0;
    for (;;) {
        const auto packet = packets.next(max_tag_bytes);
        if (!packet) {
            return std::nullopt;
        }
        if (const auto block = block_of(*packet, modes, sizes)) {
            played += last_block ? (*last_block + *block) / 4 : 0;
            last_block = block;
        }
        // Below 0 is a stream with samples trimmed off its start, the usual case, or a
        // broken one: libvorbisfile starts both at 0.
        if (packets.page_done() && packets.granule() != -1) {
            return std::max<std::int64_t>(packets.granule() - played, 0);
        }
    }
}

}  // namespace

std::optional<VorbisRead> read_vorbis_pages(FileSource& source, const CheckedPages* checked)
{
    if (!source.seekable()) {
        return std::nullopt;
    }
    const auto id = identification(source, checked);
    if (!id) {
        return std::nullopt;
    }
    OggPackets packets(source, id->serial, id->end, checked);
    const auto comments = packets.next(max_tag_bytes + 65536);
    const auto setup = comments ? packets.next(OggScreen::max_setup_bytes) : std::nullopt;
    // Audio begins on a page of its own.
    if (!setup || !packets.page_done() || comments->compare(0, 7, "\x03vorbis") != 0 ||
        setup->compare(0, 7, "\x05vorbis") != 0) {
        return std::nullopt;
    }
    const std::vector<bool> modes = mode_flags(*setup);
    const auto start = modes.empty() ? std::nullopt : stream_start(packets, modes, id->blocks);
    const auto last = start ? last_ogg_page(source, source.size(), checked) : std::nullopt;
    if (!last || last->serial() != id->serial || last->granule() < *start) {
        return std::nullopt;
    }
    VorbisRead got;
    if (!got.tags.add_comments(std::string_view(*comments).substr(7))) {
        return std::nullopt;
    }
    got.channels = id->channels;
    got.rate = id->rate;
    got.nominal_bitrate = id->nominal > 0 ? id->nominal : 0;
    got.link = {id->serial, last->granule() - *start, last->end(), id->rate};
    return got;
}

}  // namespace media::detail
