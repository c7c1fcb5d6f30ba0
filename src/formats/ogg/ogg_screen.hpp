#pragma once
// Ogg pages, looked at before the Ogg libraries see them.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::int64_t, std::uint32_t
#include <map>          // std::map
#include <set>          // std::set
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include "io/file_source.hpp"

namespace media::detail {

// Refuses an Ogg file before its library sees:
// - a page whose granule position is negative (other than -1, "none") or 2^62 or
//   more: no real stream comes near, and opusfile 0.12 divides by zero on some such
//   values (SIGFPE) while it looks for a chain's links;
// - comment headers that would cost too much memory: more than max_tag_bytes over
//   all links, or more than max_tag_count comments.
// Every "OggS" in the bytes read is looked at, inside other pages too, so that the
// pages a library can find are a subset of those screened; a page is judged only
// once its checksum shows that it is one.
class OggScreen : public ByteScreen {
public:
    // `comment_magic`: how the codec's comment header begins ("OpusTags",
    // "\3vorbis"); empty for Ogg FLAC, whose comment block begins with type 4.
    explicit OggScreen(std::string_view comment_magic);

    const char* inspect(std::int64_t position, const unsigned char* data,
                        std::size_t size) override;

private:
    struct Comments {  // one link's comment header, as its pages come
        std::uint32_t next_page = 0;
        bool counted = false;
        std::string head;  // its first bytes, until the count is known
    };
    struct Page;

    // Looks at the "OggS" candidates that begin before `end` in `data`, the file's
    // bytes from `position` on; returns where the first that is not at hand whole
    // begins (or `size`), and sets `refusal_`.
    std::size_t scan(std::int64_t position, const unsigned char* data, std::size_t size,
                     std::size_t end);
    // Looks at the page whose header is at hand, at `offset` in the file; false when
    // the rest of it is needed to judge it.
    bool judge(Page& page, std::int64_t offset);
    bool begins_comments(const Page& page) const;
    // Counts what `page` adds to its link's comment header; true when that ends.
    bool take(Comments& comments, const Page& page);

    std::string magic_;
    std::vector<unsigned char> carry_;  // an incomplete page at the end of the last bytes
    std::int64_t carry_end_ = -1;
    std::set<std::int64_t> headers_seen_;     // where each comment header begins
    std::map<std::uint32_t, Comments> open_;  // those not ended yet, by serial number
    std::size_t comment_bytes_ = 0;
    std::size_t comment_count_ = 0;
    const char* refusal_ = nullptr;
};

}  // namespace media::detail
