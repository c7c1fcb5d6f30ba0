#include "formats/ogg/ogg_lengths.hpp"

#include <algorithm>  // std::max, std::any_of
#include <array>      // std::array
#include <cstdint>    // INT64_MAX

namespace media::detail {

namespace {

// Whether pages of another stream are under a link's serial number: a second first
// page seen, or more bytes than its pages could hold, as many as its last sequence
// number counts, were each a quarter larger than the largest page of audio seen.
bool hides_pages(const LinkCount& link, const OggScreen& screen)
{
    const auto pages = screen.pages_of(link.serial);
    if (!pages || pages->links > 1) {
        return pages.has_value();  // another stream's first page seen already
    }
    if (pages->largest == 0) {
        return false;
    }
    const auto room =
        (std::int64_t{pages->last_sequence} + 1) * static_cast<std::int64_t>(pages->largest);
    return 4 * link.bytes > 5 * room;
}

// Every page of the file through a screen of its own, once each and in order: what
// was read before (the last page, say) is read again in its place.
bool walk(FileSource& source, OggScreen& walker, ByteScreen& screen)
{
    source.drop_kept();
    source.set_screen(&walker);
    std::array<unsigned char, 65536> bytes{};
    bool read = source.seek(0, SEEK_SET);
    while (read) {
        const long got = source.read(bytes.data(), bytes.size());
        read = got > 0;
        if (got < 0) {
            source.drop_kept();
            source.set_screen(&screen);
            return false;
        }
    }
    source.drop_kept();  // the walker's: `screen` is not shown them out of their order
    source.set_screen(&screen);
    return true;
}

// `value` as a count, the largest there is where it is more.
std::int64_t counted(double value)
{
    constexpr double most = 9.2e18;
    return value >= most ? INT64_MAX : static_cast<std::int64_t>(value);
}

// A count the link's bytes cannot hold, at the codec's lowest rate.
bool beyond_bytes(std::int64_t samples, const LinkCount& link, std::int64_t max_a_byte)
{
    return samples / max_a_byte > std::max<std::int64_t>(link.bytes, 1);
}

bool lies(const LinkCount& link, std::int64_t max_a_byte)
{
    return link.samples < 0 || link.rate <= 0 || beyond_bytes(link.samples, link, max_a_byte);
}

// Links whose pages hide another stream's, counted again over every page; false when
// any was, for the count is then the streams' last granule positions summed.
bool recount_shared_serials(std::vector<LinkCount>& links, FileSource& source, OggScreen& screen)
{
    const bool hidden = std::any_of(links.begin(), links.end(), [&](const LinkCount& link) {
        return hides_pages(link, screen);
    });
    OggScreen walker;
    if (!hidden || !source.seekable() || !walk(source, walker, screen)) {
        return true;
    }
    bool kept = true;
    for (LinkCount& link : links) {
        const auto pages = walker.pages_of(link.serial);
        if (pages && pages->links > 1 && pages->samples) {
            link.samples = *pages->samples;
            kept = false;
        }
    }
    return kept;
}

// A granule position past what the bytes allow, which a library may have counted
// around: what it counted is no stated length.
bool granule_beyond_bytes(const std::vector<LinkCount>& links, const OggScreen& screen,
                          std::int64_t max_a_byte)
{
    return std::any_of(links.begin(), links.end(), [&](const LinkCount& link) {
        const auto pages = screen.pages_of(link.serial);
        return pages && beyond_bytes(pages->last_granule, link, max_a_byte);
    });
}

// The rate of bytes of the links that their bytes can hold; `fallback` without one.
double honest_bits_a_second(const std::vector<LinkCount>& links, std::int64_t max_a_byte,
                            double fallback)
{
    double bits = 0;
    double secs = 0;
    for (const LinkCount& link : links) {
        if (!lies(link, max_a_byte) && link.samples > 0) {
            bits += 8.0 * static_cast<double>(link.bytes);
            secs += static_cast<double>(link.samples) / static_cast<double>(link.rate);
        }
    }
    return secs > 0 ? bits / secs : fallback;
}

}  // namespace

OggLength judged_length(std::vector<LinkCount> links, FileSource& source, OggScreen& screen,
                        std::int64_t max_a_byte, double fallback_bits_a_second)
{
    OggLength length;
    length.exact = recount_shared_serials(links, source, screen) &&
                   !granule_beyond_bytes(links, screen, max_a_byte);
    const double bits_a_second = honest_bits_a_second(links, max_a_byte, fallback_bits_a_second);
    const long rate = links.empty() ? 0 : links.front().rate;
    bool one_rate = true;
    for (LinkCount& link : links) {
        if (lies(link, max_a_byte)) {  // estimated from its bytes
            length.exact = false;
            link.rate = link.rate > 0 ? link.rate : std::max(rate, 1L);
            link.samples = counted(8.0 * static_cast<double>(link.bytes) / bits_a_second *
                                   static_cast<double>(link.rate));
        }
        one_rate = one_rate && link.rate == rate;
        length.secs += static_cast<double>(link.samples) / static_cast<double>(link.rate);
        if (__builtin_add_overflow(length.samples, link.samples, &length.samples)) {
            length.exact = false;
        }
    }
    if (!one_rate || !length.exact) {
        // Links of other rates make the count a sum of unlike samples: the time is
        // still right, the count is an estimate at the first link's rate.
        length.exact = length.exact && one_rate;
        length.samples = counted(length.secs * static_cast<double>(rate));
    } else {
        length.secs = static_cast<double>(length.samples) / static_cast<double>(rate);
    }
    return length;
}

}  // namespace media::detail
