#include "formats/ogg/ogg_headers.hpp"

#include <iterator>  // std::size
#include <string>    // std::to_string

#include <algorithm>  // std::min

#include "io/byte_order.hpp"

namespace media::detail {

namespace {

bool begins(std::string_view packet, std::string_view magic)
{
    return packet.substr(0, magic.size()) == magic;
}

// A Vorbis packet's bits, least significant first; reads past its end give none.
class Bits {
public:
    explicit Bits(std::string_view bytes) : bytes_(bytes) {}

    std::optional<std::uint64_t> read(unsigned count)
    {
        if (bit_ + count > bytes_.size() * 8) {
            bit_ = bytes_.size() * 8;
            return std::nullopt;
        }
        std::uint64_t value = 0;
        for (unsigned i = 0; i < count; ++i, ++bit_) {
            const auto byte = static_cast<unsigned char>(bytes_[bit_ / 8]);
            value |= static_cast<std::uint64_t>((byte >> (bit_ % 8)) & 1U) << i;
        }
        return value;
    }
    bool skip(std::uint64_t count)
    {
        if (count > bytes_.size() * 8 - bit_) {
            bit_ = bytes_.size() * 8;
            return false;
        }
        bit_ += count;
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t bit_ = 0;
};

unsigned ilog(std::uint64_t value)
{
    unsigned bits = 0;
    for (; value != 0; value >>= 1U) {
        ++bits;
    }
    return bits;
}

// The largest r whose dimensions-th power is at most entries: libvorbis's count of
// values of a lookup table of type 1.
std::uint64_t lookup1_values(std::uint64_t entries, std::uint64_t dimensions)
{
    if (dimensions == 0) {
        return 0;
    }
    std::uint64_t low = 0;
    std::uint64_t high = entries + 1;  // not a value
    while (high - low > 1) {
        const std::uint64_t middle = low + (high - low) / 2;
        std::uint64_t power = 1;
        bool over = false;
        for (std::uint64_t d = 0; d < dimensions && !over; ++d) {
            over = power > entries / middle;
            power *= middle;
        }
        (over || power > entries ? high : low) = middle;
    }
    return low;
}

// How many of a codebook's entries have a length, read past their lengths; none when
// the packet ends first.
std::optional<std::uint64_t> entries_in_use(Bits& bits, std::uint64_t entries, bool ordered)
{
    std::uint64_t used = 0;
    if (!ordered) {
        const auto sparse = bits.read(1);
        for (std::uint64_t i = 0; sparse && i < entries; ++i) {
            const auto present = *sparse != 0 ? bits.read(1) : std::optional<std::uint64_t>(1);
            if (!present || (*present != 0 && !bits.read(5))) {
                return std::nullopt;
            }
            used += *present;
        }
        return used;
    }
    if (!bits.read(5)) {
        return std::nullopt;
    }
    for (std::uint64_t entry = 0; entry < entries;) {
        const auto run = bits.read(ilog(entries - entry));
        if (!run || *run > entries - entry) {
            return std::nullopt;
        }
        entry += *run;
        used += *run;
    }
    return used;
}

// What libvorbis allocates for one codebook as it unpacks it (its lengths and its
// quantised values) and gets it ready to decode (for each entry in use its code, its
// place, its length and, with a lookup table, its values). None when the packet ends.
std::optional<HeaderCost> codebook_cost(Bits& bits)
{
    const auto sync = bits.read(24);
    const auto dimensions = bits.read(16);
    const auto entries = bits.read(24);
    const auto ordered = bits.read(1);
    if (!sync || !dimensions || !entries || !ordered) {
        return std::nullopt;
    }
    HeaderCost cost;
    cost.books_kept = *entries;  // the lengths, allocated before they are read
    const auto used = entries_in_use(bits, *entries, *ordered != 0);
    const auto lookup = used ? bits.read(4) : std::nullopt;
    if (!lookup) {
        return cost;
    }
    std::uint64_t values_each = 0;
    if (*lookup == 1 || *lookup == 2) {
        bits.skip(64);  // the least value and the step
        const auto value_bits = bits.read(4);
        bits.skip(1);
        const std::uint64_t quantvals =
            *lookup == 1 ? lookup1_values(*entries, *dimensions) : *entries * *dimensions;
        cost.books_kept += quantvals * 8;
        if (!value_bits || !bits.skip(quantvals * (*value_bits + 1))) {
            return cost;
        }
        values_each = *dimensions * 4;
    }
    // Codes, their places and lengths, sorted indices; the values of each entry.
    cost.books_decoding = *used * (4 + 4 + 4 + 1 + 4 + values_each);
    return cost;
}

// A Vorbis setup header's codebooks, as far as they go.
HeaderCost setup_cost(std::string_view packet)
{
    Bits bits(packet.substr(std::min<std::size_t>(packet.size(), 7)));  // "\5vorbis"
    const auto books = bits.read(8);
    HeaderCost cost;
    for (std::uint64_t i = 0; books && i <= *books; ++i) {
        const auto book = codebook_cost(bits);
        if (!book) {
            break;
        }
        cost.books_kept += book->books_kept;
        cost.books_decoding += book->books_decoding;
    }
    return cost;
}

}  // namespace

OggHeaders headers_of(std::string_view first_packet)
{
    if (begins(first_packet, "OpusHead")) {
        return {OggCodec::opus, 2};
    }
    if (begins(first_packet, "\x01vorbis")) {
        return {OggCodec::vorbis, 3};
    }
    if (begins(first_packet, "\x7F"
                             "FLAC") &&
        first_packet.size() >= 9) {
        const auto* p = reinterpret_cast<const unsigned char*>(first_packet.data());
        return {OggCodec::flac, 1 + (static_cast<std::size_t>(p[7]) << 8U | p[8])};
    }
    return {};
}

HeaderCost comment_cost(std::string_view packet)
{
    HeaderCost cost;
    if (packet.size() < 8 || packet.size() - 8 < little_endian(packet, 0, 4)) {
        return cost;
    }
    const std::size_t count_at = 4 + std::size_t{little_endian(packet, 0, 4)};
    cost.comments = little_endian(packet, count_at, 4);
    cost.comment_bytes = packet.size();
    return cost;
}

HeaderCost cost_of(OggCodec codec, std::size_t index, std::string_view packet)
{
    HeaderCost cost;
    switch (codec) {
    case OggCodec::opus:
        if (index == 1 && begins(packet, "OpusTags")) {
            cost = comment_cost(packet.substr(8));
        }
        break;
    case OggCodec::vorbis:
        if (index == 1 && begins(packet, "\x03vorbis")) {
            cost = comment_cost(packet.substr(7));
        } else if (index == 2 && begins(packet, "\x05vorbis")) {
            cost = setup_cost(packet);
        }
        break;
    case OggCodec::flac:
        // A metadata block: its type, then three bytes of length. Type 4 holds comments.
        if (index > 0 && packet.size() >= 4 && (packet[0] & 0x7F) == 4) {
            cost = comment_cost(packet.substr(4));
        }
        break;
    case OggCodec::other:
        break;
    }
    return cost;
}

std::string ogg_library_error(int code)
{
    constexpr const char* words[] = {
        "a read failed",              // -128
        "an internal fault",          // -129
        "a feature not implemented",  // -130
        "an invalid request",         // -131
        "not a stream of its codec",  // -132
        "a bad header",               // -133
        "a header of an unknown version",
        "no audio in it",
        "a bad packet",
        "a bad link in its chain",
        "a seek that cannot be made",
        "a bad timestamp",  // -139
    };
    const int index = -code - 128;
    return index >= 0 && index < static_cast<int>(std::size(words))
               ? words[index]
               : "error " + std::to_string(code);
}

}  // namespace media::detail
