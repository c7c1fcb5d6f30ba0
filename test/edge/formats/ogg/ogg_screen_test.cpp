#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <ogg/ogg.h>
#include <opusfile.h>
#include <pthread.h>
#include <sys/wait.h>
#include <vorbis/vorbisfile.h>

#include <musiccore/media.hpp>

#include "formats/ogg/ogg_screen.hpp"
#include "support/test_files.hpp"

namespace {

using test_files::hostile;
using test_files::read_file;

// The crafted file is a real trigger: opusfile alone dies on it.
TEST(ogg_screen, opusfile_alone_dies_on_the_crafted_file)
{
    const auto bare_opusfile = [] {
        int error = 0;
        OggOpusFile* file = op_open_file((hostile + "crash.opus").c_str(), &error);
        op_free(file);
        std::_Exit(0);
    };
    // A sanitizer reports the signal and exits instead.
    const auto died = [](int status) {
        return WIFSIGNALED(status) ? WTERMSIG(status) == SIGFPE : WEXITSTATUS(status) != 0;
    };
    EXPECT_EXIT(bare_opusfile(), died, "");
}

// libvorbisfile alone, on a thread of a small stack, dies of a chain's links.
TEST(ogg_screen, vorbisfile_alone_dies_on_a_long_chain)
{
    const auto bare_vorbisfile = [] {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstacksize(&attributes, std::size_t{256} << 10U);
        pthread_t thread;
        pthread_create(
            &thread, &attributes,
            [](void*) -> void* {
                OggVorbis_File file;
                if (ov_fopen((hostile + "chain-1100.ogg").c_str(), &file) == 0) {
                    ov_clear(&file);
                }
                return nullptr;
            },
            nullptr);
        pthread_join(thread, nullptr);
        std::_Exit(0);
    };
    const auto died = [](int status) { return !WIFEXITED(status) || WEXITSTATUS(status) != 0; };
    EXPECT_EXIT(bare_vorbisfile(), died, "");
}

// `bytes` with the page that holds offset `inside` given the granule position 2^63-5,
// and its checksum made good again.
std::string with_bad_granule(std::string bytes, std::size_t inside)
{
    for (std::size_t at = 0; at + 27 <= bytes.size();) {
        auto* header = reinterpret_cast<unsigned char*>(&bytes[at]);
        const std::size_t header_size = 27 + header[26];
        if (at + header_size > bytes.size()) {
            break;
        }
        std::size_t body_size = 0;
        for (std::size_t i = 27; i < header_size; ++i) {
            body_size += header[i];
        }
        if (at + header_size + body_size > inside) {
            const std::uint64_t granule = (std::uint64_t{1} << 63U) - 5;
            for (int i = 0; i < 8; ++i) {
                header[6 + i] = static_cast<unsigned char>(granule >> (8 * i));
            }
            ogg_page page{header, static_cast<long>(header_size), header + header_size,
                          static_cast<long>(body_size)};
            ogg_page_checksum_set(&page);
            return bytes;
        }
        at += header_size + body_size;
    }
    ADD_FAILURE() << "no page holds offset " << inside;
    return bytes;
}

// Feeds `bytes` to `screen` in reads of `chunk` bytes; its refusal, or "".
std::string screened(media::detail::OggScreen& screen, const std::string& bytes, std::size_t chunk)
{
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        const std::size_t size = std::min(chunk, bytes.size() - at);
        if (const char* refusal = screen.inspect(static_cast<std::int64_t>(at), data + at, size)) {
            return refusal;
        }
    }
    return "";
}

std::string screened(const std::string& bytes, std::size_t chunk)
{
    media::detail::OggScreen screen;
    return screened(screen, bytes, chunk);
}

// A page is judged the same however the reads cut the file: in pieces smaller than a
// page header, across the read-ahead, and in reads larger than any page (the file is
// three times longer than the largest cut).
TEST(ogg_screen, judges_pages_however_reads_cut_them)
{
    const std::string once = read_file("test/test.opus");
    const std::string good = once + once + once;
    const std::string many_tags = read_file(hostile + "tags-count.opus");
    const std::string some_tags = read_file(hostile + "tags-6000.opus");
    const struct {
        std::size_t chunk;
        std::size_t bad_page_at;  // a page across a cut
    } rows[] = {{100, 30050}, {1000, 30050}, {16384, 16384}, {70000, 70000}, {good.size(), 30050}};
    for (const auto& row : rows) {
        EXPECT_EQ(screened(good, row.chunk), "") << row.chunk;
        EXPECT_EQ(screened(with_bad_granule(good, row.bad_page_at), row.chunk),
                  "granule position out of range")
            << row.chunk;
        EXPECT_EQ(screened(many_tags, row.chunk), "more than 10000 tags") << row.chunk;
        for (const char* hidden : {"tags-first-page.ogg", "tags-granule.opus", "tags-packed.oga"}) {
            EXPECT_EQ(screened(read_file(hostile + hidden), row.chunk), "more than 10000 tags")
                << hidden << " " << row.chunk;
        }
        // Read again whole, as a library that seeks back does: its header counts once.
        media::detail::OggScreen screen;
        EXPECT_EQ(screened(screen, some_tags, row.chunk) + screened(screen, some_tags, 1 << 20), "")
            << row.chunk;
    }
}

// The page at `offset` of `bytes` with one byte of its body changed, and its checksum
// made good again.
std::string with_changed_body(std::string bytes, std::size_t offset)
{
    auto* header = reinterpret_cast<unsigned char*>(&bytes[offset]);
    const std::size_t header_size = 27 + header[26];
    std::size_t body_size = 0;
    for (std::size_t i = 27; i < header_size; ++i) {
        body_size += header[i];
    }
    header[header_size + body_size - 1] ^= 1U;
    ogg_page page{header, static_cast<long>(header_size), header + header_size,
                  static_cast<long>(body_size)};
    ogg_page_checksum_set(&page);
    return bytes;
}

// Two pages in one place of a link's headers: which one a library takes depends on
// where it finds pages, so neither is taken. The same page read again is no other.
TEST(ogg_screen, refuses_headers_that_contradict_each_other)
{
    const std::string file = read_file(hostile + "tags-big.opus");  // tags on many pages
    const std::size_t third = file.find("OggS", file.find("OggS", 4) + 4);
    const std::size_t fourth = file.find("OggS", third + 4);
    const std::string page = file.substr(third, fourth - third);
    const std::string twice =
        file.substr(0, fourth) + with_changed_body(page, 0) + file.substr(fourth);
    EXPECT_EQ(screened(twice, 1 << 20), "Ogg pages that contradict each other");
    media::detail::OggScreen screen;
    EXPECT_EQ(screened(screen, file.substr(0, fourth), 1 << 20) +
                  screened(screen, file.substr(0, fourth), 1 << 20),
              "");
}

// An Ogg Opus stream of the given packets, paged by libogg: headers on pages of their
// own, as encoders write them.
std::string opus_stream(int serial, const std::vector<std::string>& packets)
{
    ogg_stream_state stream;
    ogg_stream_init(&stream, serial);
    std::string bytes;
    ogg_page page;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        std::string data = packets[i];
        ogg_packet packet{reinterpret_cast<unsigned char*>(&data[0]),
                          static_cast<long>(data.size()),
                          i == 0 ? 1 : 0,
                          i + 1 == packets.size() ? 1 : 0,
                          i < 2 ? 0 : 960,
                          static_cast<ogg_int64_t>(i)};
        ogg_stream_packetin(&stream, &packet);
        while ((i < 2 ? ogg_stream_flush(&stream, &page) : ogg_stream_pageout(&stream, &page)) !=
               0) {
            bytes.append(reinterpret_cast<const char*>(page.header), page.header_len);
            bytes.append(reinterpret_cast<const char*>(page.body), page.body_len);
        }
    }
    while (ogg_stream_flush(&stream, &page) != 0) {
        bytes.append(reinterpret_cast<const char*>(page.header), page.header_len);
        bytes.append(reinterpret_cast<const char*>(page.body), page.body_len);
    }
    ogg_stream_clear(&stream);
    return bytes;
}

std::string le32(std::size_t value)
{
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFFU);
    }
    return bytes;
}

// The tag limit is of all the links' comment headers together: the limit itself
// passes, a byte more does not.
TEST(ogg_screen, comments_up_to_the_limit_pass)
{
    const std::string head("OpusHead\x01\x01\x38\x01\x80\xBB\0\0\0\0\0", 19);
    // After "OpusTags", `bytes` in all: no vendor, one comment, its length, the comment.
    const auto link = [&head](int serial, std::size_t bytes) {
        const std::size_t comment = bytes - 12;
        const std::string tags =
            "OpusTags" + le32(0) + le32(1) + le32(comment) + "A=" + std::string(comment - 2, 'a');
        return opus_stream(serial, {head, tags, std::string(3, '\xF8')});
    };
    const std::size_t half = media::max_tag_bytes / 2;
    for (const std::size_t extra : {0, 1}) {
        const std::string file = link(1, half) + link(2, half + extra);
        EXPECT_EQ(screened(file, 1 << 16), extra == 0 ? "" : "tags over the 16 MiB limit") << extra;
    }
}

}  // namespace
