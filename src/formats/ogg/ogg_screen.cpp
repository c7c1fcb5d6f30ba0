#include "formats/ogg/ogg_screen.hpp"

#include <algorithm>  // std::min
#include <array>      // std::array
#include <cstring>    // std::memchr, std::memcmp, std::memcpy

#include <ogg/ogg.h>  // ogg_page, ogg_page_checksum_set

#include <musiccore/media.hpp>  // the tag limits

namespace media::detail {

namespace {

constexpr std::size_t fixed_header = 27;  // up to the segment count
constexpr std::size_t max_page = fixed_header + 255 + std::size_t{255} * 255;
constexpr std::int64_t granule_bound = std::int64_t{1} << 62;
// Comment headers begun and not yet ended, and links in all: bounds on what this
// screen keeps for a file.
constexpr std::size_t max_open_headers = 64;
constexpr std::size_t max_links = 65536;
// How much of a comment header is kept to find its count: vendor texts are short.
constexpr std::size_t max_head = 4096;

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
    std::int64_t granule() const { return le64(header + 6); }
    std::uint32_t serial() const { return le32(header + 14); }
    std::uint32_t sequence() const { return le32(header + 18); }
    const unsigned char* lacing() const { return header + fixed_header; }
    std::size_t segments() const { return header_size - fixed_header; }
    const unsigned char* body() const { return header + header_size; }
    bool complete() const { return available >= header_size + body_size; }

    // The checksum libogg checks: only then is this a page to any reader.
    bool genuine() const
    {
        std::array<unsigned char, fixed_header + 255> copy{};
        std::memcpy(copy.data(), header, header_size);
        ogg_page page{copy.data(), static_cast<long>(header_size),
                      // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): only read
                      const_cast<unsigned char*>(body()), static_cast<long>(body_size)};
        ogg_page_checksum_set(&page);
        return std::memcmp(copy.data() + 22, header + 22, 4) == 0;
    }
};

OggScreen::OggScreen(std::string_view comment_magic) : magic_(comment_magic) {}

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
    const bool continues_comments =
        open != open_.end() && page.continued() && page.sequence() == open->second.next_page;
    const bool may_begin_comments = !page.continued() && (granule == 0 || granule == -1) &&
                                    page.body_size >= std::max<std::size_t>(magic_.size(), 4);
    if (!odd_granule && !continues_comments && !may_begin_comments) {
        return true;  // nothing to judge by
    }
    if (!page.complete()) {
        return false;
    }
    const bool begins = !continues_comments && begins_comments(page);
    if (!(odd_granule || continues_comments || begins) || !page.genuine()) {
        return true;
    }
    if (odd_granule) {
        refusal_ = "granule position out of range";
    } else if (continues_comments) {
        if (take(open->second, page)) {
            open_.erase(open);
        }
    } else if (headers_seen_.insert(offset).second) {  // a header read again counts once
        if (headers_seen_.size() > max_links || open_.size() >= max_open_headers) {
            refusal_ = "too many chained streams";
        } else if (Comments comments; !take(comments, page)) {
            open_[page.serial()] = std::move(comments);
        }
    }
    return true;
}

bool OggScreen::begins_comments(const Page& page) const
{
    if (magic_.empty()) {  // a FLAC metadata block of type 4, the last one or not
        return (page.body()[0] & 0x7FU) == 4;
    }
    return std::memcmp(page.body(), magic_.data(), magic_.size()) == 0;
}

bool OggScreen::take(Comments& comments, const Page& page)
{
    std::size_t bytes = 0;
    bool ends = false;
    for (std::size_t i = 0; i < page.segments() && !ends; ++i) {
        bytes += page.lacing()[i];
        ends = page.lacing()[i] < 255;
    }
    comments.next_page = page.sequence() + 1;
    comment_bytes_ += bytes;
    if (!comments.counted) {
        // How the header begins: its magic, the vendor text's length and the text,
        // then the number of comments.
        const std::size_t room = max_head - comments.head.size();
        comments.head.append(reinterpret_cast<const char*>(page.body()), std::min(bytes, room));
        const auto* head = reinterpret_cast<const unsigned char*>(comments.head.data());
        const std::size_t prefix = std::max<std::size_t>(magic_.size(), 4);
        const std::size_t have = comments.head.size();
        if (have >= prefix + 4 && have >= prefix + 8 + le32(head + prefix)) {
            comments.counted = true;
            comment_count_ += le32(head + prefix + 4 + le32(head + prefix));
        } else if (have == max_head) {
            refusal_ = "comment header's vendor text too long";
        }
    }
    if (comment_bytes_ > max_tag_bytes) {
        refusal_ = "tags over the 16 MiB limit";
    } else if (comment_count_ > max_tag_count) {
        refusal_ = "more than 10000 tags";
    }
    return ends;
}

}  // namespace media::detail
