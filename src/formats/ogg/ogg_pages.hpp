#pragma once
// Ogg pages read here, where a length needs only a few: those at a stream's start and
// the last one, found from the file's end.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::int64_t, std::uint32_t
#include <optional>     // std::optional
#include <string>       // std::string
#include <string_view>  // std::string_view

#include "io/file_source.hpp"

namespace media::detail {

// Whether a page's CRC-32 is the one its header states: only then is it a page.
bool ogg_checksum_right(const unsigned char* header, std::size_t header_size,
                        const unsigned char* body, std::size_t body_size);

// Where pages whose checksums were checked already begin: the screen that saw the
// bytes first knows, and a page it checked is not checked again.
class CheckedPages {
public:
    CheckedPages() = default;
    CheckedPages(const CheckedPages&) = delete;
    CheckedPages& operator=(const CheckedPages&) = delete;
    CheckedPages(CheckedPages&&) = delete;
    CheckedPages& operator=(CheckedPages&&) = delete;
    virtual ~CheckedPages();
    virtual bool checked(std::int64_t offset) const = 0;
};

class OggPage {
public:
    // The page at `at` in `bytes`, which are the file's from `offset` on: when it is
    // there whole and its checksum is right (or `checked` checked it).
    static std::optional<OggPage> in(std::string_view bytes, std::size_t at, std::int64_t offset,
                                     const CheckedPages* checked = nullptr);

    std::int64_t offset() const { return offset_; }
    std::int64_t end() const { return offset_ + static_cast<std::int64_t>(bytes_.size()); }
    bool continued() const { return (flag_byte() & 1U) != 0; }
    bool begins_stream() const { return (flag_byte() & 2U) != 0; }
    bool ends_stream() const { return (flag_byte() & 4U) != 0; }
    std::int64_t granule() const;  // -1: no packet ends on the page
    std::uint32_t serial() const;
    std::size_t segments() const { return byte(26); }
    std::size_t segment(std::size_t i) const { return byte(27 + i); }
    std::string_view body() const { return std::string_view(bytes_).substr(27 + segments()); }

private:
    OggPage(std::string bytes, std::int64_t offset) : bytes_(std::move(bytes)), offset_(offset) {}
    unsigned byte(std::size_t at) const { return static_cast<unsigned char>(bytes_[at]); }
    unsigned flag_byte() const { return byte(5); }
    std::string bytes_;
    std::int64_t offset_ = 0;
};

// The packets of one stream, whole, page after page from `offset`: as far as its
// pages follow each other (none of another stream, no second start).
class OggPackets {
public:
    OggPackets(FileSource& source, std::uint32_t serial, std::int64_t offset,
               const CheckedPages* checked)
        : source_(source), serial_(serial), offset_(offset), checked_(checked)
    {
    }

    // The next packet; none where the pages do not go on, or past `limit` bytes.
    std::optional<std::string> next(std::size_t limit);
    // The page the latest packet ended on: its granule position, whether it ends the
    // stream, and whether no other packet ends on it.
    std::int64_t granule() const { return page_ ? page_->granule() : -1; }
    bool ends_stream() const { return page_ && page_->ends_stream(); }
    bool page_done() const;

private:
    FileSource& source_;
    std::uint32_t serial_;
    std::int64_t offset_;
    const CheckedPages* checked_;
    std::optional<OggPage> page_;
    std::size_t segment_ = 0;  // the next of page_'s
    std::size_t body_at_ = 0;
};

// The file's page at `offset`.
std::optional<OggPage> ogg_page_at(FileSource& source, std::int64_t offset,
                                   const CheckedPages* checked);

// The last whole page before `end`, searched for backwards in growing windows.
std::optional<OggPage> last_ogg_page(FileSource& source, std::int64_t end,
                                     const CheckedPages* checked);

}  // namespace media::detail
