#include "formats/ogg/ogg_screen.hpp"

#include <algorithm>  // std::min
#include <array>      // std::array
#include <cstring>    // std::memchr, std::memcmp, std::memcpy

#include <musiccore/media.hpp>  // the tag limits

#include "formats/ogg/ogg_pages.hpp"

namespace media::detail {

namespace {

constexpr std::size_t fixed_header = 27;  // up to the segment count
constexpr std::size_t max_page = fixed_header + 255 + std::size_t{255} * 255;
constexpr std::int64_t granule_bound = std::int64_t{1} << 62;
// Links whose headers are being put together at once: a bound on what this screen
// keeps for a file.
constexpr std::size_t max_open_links = 64;

std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8U |
           static_cast<std::uint32_t>(p[2]) << 16U | static_cast<std::uint32_t>(p[3]) << 24U;
}

std::int64_t le64(const unsigned char* p)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(le32(p)) |
                                     static_cast<std::uint64_t>(le32(p + 4)) << 32U);
}

}  // namespace

struct OggScreen::Page {
    const unsigned char* header = nullptr;
    std::size_t header_size = 0;
    std::size_t body_size = 0;
    std::size_t available = 0;  // bytes of the page at hand, from its start

    unsigned flags() const { return header[5]; }
    bool continued() const { return (flags() & 1U) != 0; }
    bool begins_stream() const { return (flags() & 2U) != 0; }
    std::int64_t granule() const { return le64(header + 6); }
    std::uint32_t serial() const { return le32(header + 14); }
    std::uint32_t sequence() const { return le32(header + 18); }
    const unsigned char* lacing() const { return header + fixed_header; }
    std::size_t segments() const { return header_size - fixed_header; }
    const unsigned char* body() const { return header + header_size; }
    bool complete() const { return available >= header_size + body_size; }

    // The checksum libogg checks: only then is this a page to any reader.
    bool genuine() const { return ogg_checksum_right(header, header_size, body(), body_size); }
};

const char* OggScreen::inspect(std::int64_t position, const unsigned char* data, std::size_t size)
{
    if (refusal_ != nullptr) {
        return refusal_;
    }
    std::size_t rest = 0;
    if (!carry_.empty() && position == carry_end_) {
        // A page begun in the bytes before: with at most one page more, it is whole.
        std::vector<unsigned char> joined = std::move(carry_);
        const std::size_t carried = joined.size();
        const std::size_t extra = std::min(size, max_page);
        joined.insert(joined.end(), data, data + extra);
        const std::int64_t start = position - static_cast<std::int64_t>(carried);
        if (extra == size) {
            rest = scan(start, joined.data(), joined.size(), joined.size());
            carry_.assign(joined.begin() + static_cast<std::ptrdiff_t>(rest), joined.end());
            carry_end_ = position + static_cast<std::int64_t>(size);
            return refusal_;
        }
        scan(start, joined.data(), joined.size(), carried);
    }
    rest = scan(position, data, size, size);
    carry_.assign(data + rest, data + size);
    carry_end_ = position + static_cast<std::int64_t>(size);
    return refusal_;
}

std::size_t OggScreen::scan(std::int64_t position, const unsigned char* data, std::size_t size,
                            std::size_t end)
{
    std::size_t incomplete = size;
    for (std::size_t at = 0; at < end && refusal_ == nullptr; ++at) {
        const void* found = std::memchr(data + at, 'O', end - at);
        if (found == nullptr) {
            break;
        }
        at = static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data);
        Page page{data + at, fixed_header, 0, size - at};
        if (std::memcmp(page.header, "OggS", std::min<std::size_t>(page.available, 4)) != 0) {
            continue;
        }
        if (page.available >= fixed_header) {
            page.header_size += page.header[26];
        }
        if (page.available < page.header_size ||
            !judge(page, position + static_cast<std::int64_t>(at))) {
            incomplete = std::min(incomplete, at);
        }
    }
    return incomplete;
}

bool OggScreen::judge(Page& page, std::int64_t offset)
{
    for (std::size_t i = 0; i < page.segments(); ++i) {
        page.body_size += page.lacing()[i];
    }
    const std::int64_t granule = page.granule();
    const bool odd_granule = granule != -1 && (granule < 0 || granule >= granule_bound);
    const auto open = open_.find(page.serial());
    const bool in_headers = open != open_.end() && page.sequence() >= open->second.first_page &&
                            page.sequence() <= open->second.next_page;
    const bool counted = serials_.count(page.serial()) != 0;
    if (!odd_granule && !page.begins_stream() && !in_headers && !counted) {
        return true;  // nothing to judge by
    }
    if (!page.complete()) {
        return false;
    }
    // A page seen again (a library reading back) is checked once.
    if (genuine_.count(offset) == 0 && !page.genuine()) {
        return true;
    }
    // Kept for the reads of a few pages that follow; not for a walk of them all.
    constexpr std::size_t most_kept = 4096;
    if (genuine_.size() < most_kept) {
        genuine_.insert(offset);
    }
    count_page(page, offset);
    if (odd_granule) {
        refusal_ = "granule position out of range";
    } else if (page.begins_stream()) {
        begin_link(page, offset);
    } else if (in_headers) {
        take_page(open, page, offset);
    }
    return true;
}

void OggScreen::Serial::end_link()
{
    if (granule >= 0 && pages.samples) {
        const std::int64_t link = std::max<std::int64_t>(granule - pre_skip, 0);
        std::int64_t sum = 0;
        pages.samples = __builtin_add_overflow(*pages.samples, link, &sum)
                            ? std::nullopt
                            : std::optional<std::int64_t>(sum);
    }
    granule = -1;
}

void OggScreen::count_page(const Page& page, std::int64_t offset)
{
    Serial& serial = serials_[page.serial()];
    if (page.begins_stream() && serial.links.insert(offset).second) {  // counted once
        serial.end_link();
        ++serial.pages.links;
        const std::string_view body(reinterpret_cast<const char*>(page.body()), page.body_size);
        serial.pre_skip = body.substr(0, 8) == "OpusHead" && body.size() >= 12
                              ? static_cast<std::uint32_t>(page.body()[10] | page.body()[11] << 8U)
                              : 0;
    }
    if (page.granule() > 0) {  // audio: headers are pages of their own size
        serial.pages.largest = std::max(serial.pages.largest, page.header_size + page.body_size);
    }
    serial.pages.last_sequence = std::max(serial.pages.last_sequence, page.sequence());
    serial.granule = std::max(serial.granule, page.granule());
    serial.pages.last_granule = std::max(serial.pages.last_granule, page.granule());
}

std::optional<OggScreen::Pages> OggScreen::pages_of(std::uint32_t serial) const
{
    const auto found = serials_.find(serial);
    if (found == serials_.end()) {
        return std::nullopt;
    }
    Serial latest = found->second;
    latest.end_link();
    return latest.pages;
}

void OggScreen::begin_link(const Page& page, std::int64_t offset)
{
    const bool first_time = links_seen_.insert(offset).second;
    if (links_seen_.size() > max_links) {
        refusal_ = "too many chained streams";
        return;
    }
    const auto open = open_.find(page.serial());
    const bool unfinished = open != open_.end() && open->second.pages.front() == offset;
    if (!first_time && !unfinished) {
        return;  // read again: the same bytes, judged and counted once
    }
    if (open != open_.end()) {
        // A link whose headers are read again starts again, what it counted uncounted.
        comment_count_ -= open->second.counted.comments;
        comment_bytes_ -= open->second.counted.comment_bytes;
        books_kept_ -= open->second.counted.books_kept;
        open_.erase(open);
    }
    if (open_.size() >= max_open_links) {
        refusal_ = "too many chained streams";
        return;
    }
    Link link;
    link.first_page = link.next_page = page.sequence();
    take_page(open_.emplace(page.serial(), std::move(link)).first, page, offset);
}

// The page's segments as libogg puts them together: a page marked as continuing a
// packet when none is begun starts with the rest of one it drops; one not so marked
// continues a packet begun all the same.
void OggScreen::take_page(std::map<std::uint32_t, Link>::iterator open, const Page& page,
                          std::int64_t offset)
{
    Link& link = open->second;
    const std::uint32_t place = page.sequence() - link.first_page;
    if (page.sequence() < link.next_page) {
        // Seen before, when read again; another page in its place would make the
        // headers depend on where a library finds its pages.
        if (link.pages.at(place) != offset) {
            refusal_ = "Ogg pages that contradict each other";
        }
        return;
    }
    link.pages.push_back(offset);
    ++link.next_page;
    const auto* body = reinterpret_cast<const char*>(page.body());
    std::size_t i = 0;
    std::size_t at = 0;
    if (page.continued() && link.packet.empty()) {
        while (i < page.segments()) {
            const std::size_t size = page.lacing()[i++];
            at += size;
            if (size < 255) {
                break;
            }
        }
    }
    for (; i < page.segments() && refusal_ == nullptr; ++i) {
        const std::size_t size = page.lacing()[i];
        link.packet.append(body + at, size);
        at += size;
        if (link.packet.size() > max_tag_bytes) {
            refusal_ = "tags over the 16 MiB limit";
        } else if (size < 255 && take_packet(link)) {
            open_.erase(open);  // what follows is no header
            return;
        }
    }
}

bool OggScreen::take_packet(Link& link)
{
    const std::size_t index = link.packets++;
    if (index == 0) {
        link.headers = headers_of(link.packet);
    }
    const bool setup = link.headers.codec == OggCodec::vorbis && index == 2;
    if (setup && books_deferred_ && link.packet.size() <= max_setup_bytes) {
        deferred_setups_.push_back(link.packet);
    }
    const HeaderCost cost = setup && books_deferred_ && link.packet.size() <= max_setup_bytes
                                ? HeaderCost{}
                                : cost_of(link.headers.codec, index, link.packet);
    // Ogg FLAC's metadata blocks end with the one marked last, whatever the first
    // packet counted.
    const bool flac = link.headers.codec == OggCodec::flac;
    const bool last_block = flac && index > 0 && !link.packet.empty() &&
                            (static_cast<unsigned char>(link.packet[0]) & 0x80U) != 0;
    link.packet.clear();
    link.counted.comments += cost.comments;
    link.counted.comment_bytes += cost.comment_bytes;
    link.counted.books_kept += cost.books_kept;
    add_cost(cost);
    if (refusal_ == nullptr && flac && index > max_flac_blocks) {
        refusal_ = "more than 1024 FLAC metadata blocks";
    }
    return flac ? last_block : link.packets >= link.headers.count;
}

void OggScreen::add_cost(const HeaderCost& cost)
{
    comment_count_ += cost.comments;
    comment_bytes_ += cost.comment_bytes;
    books_kept_ += cost.books_kept;
    books_decoding_ = std::max(books_decoding_, cost.books_decoding);
    if (refusal_ != nullptr) {
        return;
    }
    if (comment_bytes_ > max_tag_bytes) {
        refusal_ = "tags over the 16 MiB limit";
    } else if (comment_count_ > max_tag_count) {
        refusal_ = "more than 10000 tags";
    } else if (books_kept_ + books_decoding_ > max_setup_bytes) {
        refusal_ = "Vorbis codebooks over the 32 MiB limit";
    }
}

const char* OggScreen::judge_codebooks()
{
    books_deferred_ = false;
    for (const std::string& setup : deferred_setups_) {
        add_cost(cost_of(OggCodec::vorbis, 2, setup));
    }
    deferred_setups_.clear();
    return refusal_;
}

}  // namespace media::detail
