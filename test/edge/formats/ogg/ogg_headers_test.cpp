#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "formats/ogg/ogg_headers.hpp"

namespace {

using media::detail::cost_of;
using media::detail::headers_of;
using media::detail::OggCodec;

std::string le32(std::uint32_t value)
{
    std::string bytes;
    for (int i = 0; i < 4; ++i) {
        bytes += static_cast<char>(value >> (8 * i));
    }
    return bytes;
}

// A comment structure: vendor, count as declared, then the comments given.
std::string comments(std::uint32_t declared, int given)
{
    std::string list = le32(3) + "abc" + le32(declared);
    for (int i = 0; i < given; ++i) {
        list += le32(3) + "X=y";
    }
    return list;
}

TEST(ogg_headers, codecs_and_their_header_counts)
{
    EXPECT_EQ(headers_of("OpusHead...").codec, OggCodec::opus);
    EXPECT_EQ(headers_of("OpusHead...").count, 2U);
    EXPECT_EQ(headers_of("\x01vorbis...").count, 3U);
    EXPECT_EQ(headers_of(std::string("\x7F"
                                     "FLAC\x01\x00\x01\x02",
                                     9))
                  .count,
              1U + 258U);
    EXPECT_EQ(headers_of(std::string("\x7F"
                                     "FLAC\x01\x00",
                                     7))
                  .codec,
              OggCodec::other);
    EXPECT_EQ(headers_of("Speex   ").codec, OggCodec::other);
}

// What is declared counts, not what is there: libraries allocate by the count.
TEST(ogg_headers, comments_cost_what_they_declare)
{
    const struct {
        OggCodec codec;
        std::size_t index;
        std::string packet;
        std::size_t comments;
    } rows[] = {
        {OggCodec::opus, 1, "OpusTags" + comments(2, 2), 2},
        {OggCodec::opus, 1, "OpusTags" + comments(4000000000U, 1), 4000000000U},
        {OggCodec::opus, 0, "OpusTags" + comments(5, 5), 0},  // not the comment packet
        {OggCodec::vorbis, 1, "\x03vorbis" + comments(7, 0), 7},
        {OggCodec::vorbis, 1, "\x03vorbis" + le32(100) + "abc", 0},  // vendor past the end
        {OggCodec::flac, 2, std::string("\x84\0\0\x10", 4) + comments(9, 1), 9},
        {OggCodec::flac, 2, std::string("\x01\0\0\x10", 4) + comments(9, 1), 0},  // padding
        {OggCodec::flac, 0, std::string("\x04\0\0\x10", 4) + comments(9, 1), 0},
    };
    for (const auto& row : rows) {
        const auto cost = cost_of(row.codec, row.index, row.packet);
        EXPECT_EQ(cost.comments, row.comments) << row.packet.size();
        EXPECT_EQ(cost.comment_bytes > 0, row.comments > 0) << row.packet.size();
    }
}

// A setup of `books` codebooks of `entries` each, lengths given as for libvorbis.
std::string setup(unsigned books, std::uint32_t entries, bool sparse_unused, unsigned lookup)
{
    std::string bytes = "\x05vorbis";
    unsigned bit = 0;
    const auto put = [&](std::uint64_t value, unsigned count) {
        for (unsigned i = 0; i < count; ++i, ++bit) {
            if (bit % 8 == 0) {
                bytes += '\0';
            }
            const std::uint64_t set = i < 64 ? (value >> i) & 1U : 0;  // zeros past 64 bits
            bytes.back() = static_cast<char>(bytes.back() | (set << (bit % 8)));
        }
    };
    put(books - 1, 8);
    for (unsigned b = 0; b < books; ++b) {
        put(0x564342, 24);
        put(2, 16);  // dimensions
        put(entries, 24);
        put(0, 1);  // not ordered
        put(sparse_unused ? 1 : 0, 1);
        for (std::uint32_t e = 0; e < entries; ++e) {
            if (sparse_unused) {
                put(e % 2, 1);  // every other entry in use
            }
            if (!sparse_unused || e % 2 == 1) {
                put(3, 5);
            }
        }
        put(lookup, 4);
        if (lookup != 0) {
            put(0, 64);
            put(3, 4);  // 4 bits a value
            put(0, 1);
            const std::uint64_t values = lookup == 1 ? 4 : entries * 2;  // 4 * 4 <= 16 entries
            put(0, static_cast<unsigned>(values * 4));
        }
    }
    return bytes;
}

// libvorbis keeps each entry's length and quantised values, and for decoding 17 bytes
// for each entry in use, and 4 per dimension with a lookup table.
TEST(ogg_headers, vorbis_codebooks_cost_what_libvorbis_allocates)
{
    const struct {
        unsigned books;
        std::uint32_t entries;
        bool sparse;
        unsigned lookup;
        std::uint64_t kept, decoding;
    } rows[] = {
        {1, 16, false, 0, 16, 16 * 17},
        {3, 16, false, 0, 3 * 16, 3 * 16 * 17},
        {1, 16, true, 0, 16, 8 * 17},
        {1, 16, false, 1, 16 + 4 * 8, 16 * (17 + 8)},
        {1, 16, false, 2, 16 + 32 * 8, 16 * (17 + 8)},
    };
    for (const auto& row : rows) {
        const std::string packet = setup(row.books, row.entries, row.sparse, row.lookup);
        const auto cost = cost_of(OggCodec::vorbis, 2, packet);
        EXPECT_EQ(cost.books_kept, row.kept) << row.books << " " << row.lookup;
        EXPECT_EQ(cost.books_decoding, row.decoding) << row.books << " " << row.lookup;
        // Cut short in the first book's lengths: they were allocated before they ran out.
        EXPECT_EQ(cost_of(OggCodec::vorbis, 2, packet.substr(0, 18)).books_kept, row.entries);
    }
    EXPECT_EQ(cost_of(OggCodec::vorbis, 1, setup(1, 16, false, 0)).books_kept, 0U);
}

}  // namespace
