#include "formats/ogg/ogg_pages.hpp"

#include <algorithm>  // std::max
#include <array>      // std::array
#include <cstring>    // std::memcpy, std::memcmp
#include <utility>    // std::move

#include <ogg/ogg.h>  // ogg_page, ogg_page_checksum_set

namespace media::detail {

namespace {

constexpr std::size_t fixed_header = 27;  // up to the segment count
constexpr std::size_t max_page = fixed_header + 255 + std::size_t{255} * 255;

std::uint64_t le(std::string_view bytes, std::size_t at, std::size_t count)
{
    std::uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;) {
        value = value << 8U | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

}  // namespace

CheckedPages::~CheckedPages() = default;

bool ogg_checksum_right(const unsigned char* header, std::size_t header_size,
                        const unsigned char* body, std::size_t body_size)
{
    std::array<unsigned char, fixed_header + 255> copy{};
    std::memcpy(copy.data(), header, header_size);
    ogg_page page{copy.data(), static_cast<long>(header_size),
                  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): only read
                  const_cast<unsigned char*>(body), static_cast<long>(body_size)};
    ogg_page_checksum_set(&page);
    return std::memcmp(copy.data() + 22, header + 22, 4) == 0;
}

std::optional<OggPage> OggPage::in(std::string_view bytes, std::size_t at, std::int64_t offset,
                                   const CheckedPages* checked)
{
    if (at > bytes.size() || bytes.size() - at < fixed_header ||
        bytes.compare(at, 4, "OggS") != 0 || bytes[at + 4] != '\0') {
        return std::nullopt;
    }
    const std::size_t segments = static_cast<unsigned char>(bytes[at + 26]);
    const std::size_t header_size = fixed_header + segments;
    if (bytes.size() - at < header_size) {
        return std::nullopt;
    }
    std::size_t body_size = 0;
    for (std::size_t i = 0; i < segments; ++i) {
        body_size += static_cast<unsigned char>(bytes[at + fixed_header + i]);
    }
    if (bytes.size() - at - header_size < body_size) {
        return std::nullopt;
    }
    const auto* start = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    const std::int64_t where = offset + static_cast<std::int64_t>(at);
    if ((checked == nullptr || !checked->checked(where)) &&
        !ogg_checksum_right(start, header_size, start + header_size, body_size)) {
        return std::nullopt;
    }
    return OggPage(std::string(bytes.substr(at, header_size + body_size)), where);
}

std::int64_t OggPage::granule() const
{
    return static_cast<std::int64_t>(le(bytes_, 6, 8));
}

std::uint32_t OggPage::serial() const
{
    return static_cast<std::uint32_t>(le(bytes_, 14, 4));
}

std::optional<OggPage> ogg_page_at(FileSource& source, std::int64_t offset,
                                   const CheckedPages* checked)
{
    const std::string_view head = source.peek(offset, fixed_header + 255);
    if (head.size() < fixed_header) {
        return std::nullopt;
    }
    const std::size_t header_size = fixed_header + static_cast<unsigned char>(head[26]);
    if (head.size() < header_size) {
        return std::nullopt;
    }
    std::size_t size = header_size;
    for (std::size_t i = fixed_header; i < header_size; ++i) {
        size += static_cast<unsigned char>(head[i]);
    }
    return OggPage::in(source.peek(offset, size), 0, offset, checked);
}

std::optional<std::string> OggPackets::next(std::size_t limit)
{
    std::string packet;
    for (;;) {
        if (!page_ || segment_ == page_->segments()) {
            auto page = ogg_page_at(source_, offset_, checked_);
            // A packet goes on only on a page that says it continues one.
            if (!page || page->serial() != serial_ || page->begins_stream() ||
                page->continued() != !packet.empty()) {
                return std::nullopt;
            }
            offset_ = page->end();
            page_ = std::move(page);
            segment_ = 0;
            body_at_ = 0;
            continue;
        }
        const std::size_t lace = page_->segment(segment_++);
        packet.append(page_->body().substr(body_at_, lace));
        body_at_ += lace;
        if (packet.size() > limit) {
            return std::nullopt;
        }
        if (lace < 255) {
            return packet;
        }
    }
}

bool OggPackets::page_done() const
{
    for (std::size_t i = segment_; page_ && i < page_->segments(); ++i) {
        if (page_->segment(i) < 255) {
            return false;
        }
    }
    return true;
}

std::optional<OggPage> last_ogg_page(FileSource& source, std::int64_t end,
                                     const CheckedPages* checked)
{
    // The last page is most often a few KiB: a larger first window is bytes read for
    // nothing on a cold cache.
    for (std::int64_t window = std::int64_t{4} * 1024;; window *= 4) {
        const std::int64_t from = std::max<std::int64_t>(0, end - window);
        const std::string_view bytes = source.peek(from, static_cast<std::size_t>(end - from));
        if (static_cast<std::int64_t>(bytes.size()) != end - from) {
            return std::nullopt;
        }
        for (std::size_t at = bytes.size(); at-- > 0;) {
            if (bytes[at] == 'O') {
                if (auto page = OggPage::in(bytes, at, from, checked)) {
                    return page;
                }
            }
        }
        // No page found whole: none in a window that holds two of the largest.
        if (from == 0 || window > static_cast<std::int64_t>(2 * max_page)) {
            return std::nullopt;
        }
    }
}

}  // namespace media::detail
