#pragma once
// Ogg pages, looked at before the Ogg libraries see them.

#include <cstddef>      // std::size_t
#include <cstdint>      // std::int64_t, std::uint32_t
#include <map>          // std::map
#include <optional>     // std::optional
#include <set>          // std::set
#include <string>       // std::string
#include <string_view>  // std::string_view
#include <vector>       // std::vector

#include "formats/ogg/ogg_headers.hpp"
#include "formats/ogg/ogg_pages.hpp"
#include "io/file_source.hpp"

namespace media::detail {

// Refuses an Ogg file before its library sees:
// - a page whose granule position is negative (other than -1, "none") or 2^62 or
//   more: no real stream comes near, and opusfile 0.12 divides by zero on some such
//   values (SIGFPE) while it looks for a chain's links;
// - more than max_links links (beginning-of-stream pages): libvorbisfile recurses
//   once a link, and a stack has room for only so many;
// - header packets that would cost too much memory: comments past max_tag_bytes over
//   all links or more than max_tag_count values declared, wherever in the headers and
//   however paged they are; Vorbis codebooks that take more than max_setup_bytes as
//   every link keeps them and the largest link decodes them; any other header packet
//   past max_tag_bytes; more than max_flac_blocks FLAC metadata blocks;
// - two different pages that claim one place in a link's headers.
// Each link's header packets are put together from its pages as a library would,
// and judged whole. Every "OggS" in the bytes read is looked at, inside other pages
// too, so that the pages a library can find are a subset of those screened; a page is
// judged only once its checksum shows that it is one.
class OggScreen : public ByteScreen, public CheckedPages {
public:
    static constexpr std::size_t max_links = 512;
    static constexpr std::uint64_t max_setup_bytes = std::uint64_t{32} << 20U;

    const char* inspect(std::int64_t position, const unsigned char* data,
                        std::size_t size) override;

    // What the pages seen of the streams of one serial number say: of all of them, when
    // the whole file went through this screen.
    struct Pages {
        std::size_t links = 0;            // beginning-of-stream pages
        std::size_t largest = 0;          // bytes of the largest page of audio
        std::uint32_t last_sequence = 0;  // the highest sequence number
        std::int64_t last_granule = -1;   // the highest granule position
        // Each link's last granule position, Opus pre-skip taken off, summed; none
        // when the sum would overflow.
        std::optional<std::int64_t> samples = 0;
    };
    // None for a serial number no beginning-of-stream page was seen of.
    std::optional<Pages> pages_of(std::uint32_t serial) const;
    // Vorbis setup headers kept aside rather than their codebooks judged, for a read
    // that unpacks none: judge_codebooks() judges them, before a library may.
    void defer_codebooks() { books_deferred_ = true; }
    // Judges the setups kept aside, and those to come; why the file is refused, if it is.
    const char* judge_codebooks();
    // Whether a page at `offset` was seen whole, its checksum right.
    bool checked(std::int64_t offset) const override { return genuine_.count(offset) != 0; }

private:
    // One link's headers, as its pages come.
    struct Link {
        OggHeaders headers;               // once its first packet is whole
        std::uint32_t first_page = 0;     // its first page's sequence number
        std::uint32_t next_page = 0;      // and that of the page to come
        std::size_t packets = 0;          // header packets put together
        std::string packet;               // the one being put together
        std::vector<std::int64_t> pages;  // where its pages are, in sequence
        HeaderCost counted;               // what its packets so far added
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
    void begin_link(const Page& page, std::int64_t offset);
    void take_page(std::map<std::uint32_t, Link>::iterator open, const Page& page,
                   std::int64_t offset);
    // Judges a whole header packet; true when the link's headers are all there.
    bool take_packet(Link& link);

    std::vector<unsigned char> carry_;  // an incomplete page at the end of the last bytes
    std::int64_t carry_end_ = -1;
    std::set<std::int64_t> links_seen_;   // where each link's first page is
    std::map<std::uint32_t, Link> open_;  // links whose headers are not all there, by serial
    struct Serial {
        Pages pages;
        std::int64_t granule = -1;  // the highest of its latest link
        std::uint32_t pre_skip = 0;
        std::set<std::int64_t> links;  // where their first pages are
        void end_link();
    };
    std::map<std::uint32_t, Serial> serials_;
    void count_page(const Page& page, std::int64_t offset);
    std::set<std::int64_t> genuine_;  // some of the pages checked, where they begin
    bool books_deferred_ = false;
    std::vector<std::string> deferred_setups_;
    void add_cost(const HeaderCost& cost);
    std::size_t comment_bytes_ = 0;
    std::size_t comment_count_ = 0;
    std::uint64_t books_kept_ = 0, books_decoding_ = 0;
    const char* refusal_ = nullptr;
};

}  // namespace media::detail
