#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "formats/flac/flac_frames.hpp"
#include "support/byte_craft.hpp"
#include "support/read_outcome.hpp"
#include "support/test_files.hpp"

namespace {

using test_files::read_file;
using test_files::samples;

// tone.flac: 100000 samples in frames of 4096, the last of 1696.
std::string with_total(std::string flac, std::uint64_t total)
{
    // STREAMINFO's 36-bit total: the low half of byte 13 of its body, and 14 to 17.
    flac[21] = static_cast<char>((flac[21] & 0xF0) | static_cast<char>(total >> 32U));
    flac.replace(22, 4, byte_craft::be(total & 0xFFFFFFFFU, 4));
    return flac;
}

// A length is exact only where the last frame, found from the end and checked by its
// CRC-16, runs to the audio's end and agrees with STREAMINFO; else it is what the
// frames hold, said to be an estimate.
TEST(flac_frames, the_last_frame_checks_streaminfo)
{
    const std::string tone = read_file(samples + "tone.flac");
    std::string corrupt = tone;
    corrupt[corrupt.size() - 10] = static_cast<char>(corrupt[corrupt.size() - 10] ^ 0x10);
    const std::string id3v1 = "TAG" + std::string(125, 'x');
    const std::string ape_footer = "APETAGEX" + byte_craft::le(2000, 4) + byte_craft::le(32, 4) +
                                   byte_craft::le(0, 4) + byte_craft::le(0, 4) +
                                   std::string(8, '\0');
    std::size_t audio = 4;
    while ((tone[audio] & 0x80) == 0) {
        audio += 4 + byte_craft::be_value(tone, audio + 1, 3);
    }
    audio += 4 + byte_craft::be_value(tone, audio + 1, 3);
    const struct {
        const char* name;
        std::string bytes;
        const char* outcome;
    } rows[] = {
        {"as made", tone, "100000 exact"},
        {"an ID3v1 tag after it", tone + id3v1, "100000 exact"},
        {"an APE tag after it", tone + ape_footer, "100000 exact"},
        {"a total of 0", with_total(tone, 0), "100000 exact"},
        {"a total too small", with_total(tone, 50000), "100000 estimate"},
        {"a total too large", with_total(tone, 100001), "100000 estimate"},
        {"junk after it", tone + std::string(300, '\x55'), "100000 estimate"},
        {"cut in its last frame", tone.substr(0, tone.size() - 100), "98304 estimate"},
        {"its last frame corrupt", corrupt, "98304 estimate"},
        {"cut and a total of 0", with_total(tone.substr(0, tone.size() - 100), 0),
         "98304 estimate"},
        // Nothing but STREAMINFO's word for it, and no audio to give a rate of.
        {"cut in its metadata", tone.substr(0, audio - 1), "100000 estimate"},
    };
    const test_files::TempFolder folder("flac-frames");
    for (const auto& row : rows) {
        const std::string path = folder / "file.flac";
        byte_craft::write(path, row.bytes);
        EXPECT_EQ(test_files::read_outcome(path, test_files::length_of), row.outcome) << row.name;
    }
}

// A comment block that does not hold together loses the tags, not the file.
TEST(flac_frames, a_broken_comment_block_is_dropped)
{
    std::string tone = read_file(samples + "tone.flac");
    std::size_t at = 4;
    while ((tone[at] & 0x7F) != 4) {  // to the VORBIS_COMMENT block
        ASSERT_EQ(tone[at] & 0x80, 0) << "no comments in tone.flac";
        at += 4 + byte_craft::be_value(tone, at + 1, 3);
    }
    const std::size_t vendor = byte_craft::le_value(tone, at + 4, 4);
    tone.replace(at + 8 + vendor, 4, byte_craft::le(9000, 4));  // more than it holds
    const test_files::TempFolder folder("flac-comments");
    byte_craft::write(folder / "broken.flac", tone);
    const media::MediaInfo info = media::read_info(folder / "broken.flac");
    EXPECT_TRUE(info.tags.empty());
    EXPECT_EQ(info.dropped_tags, std::vector<std::string>{"VORBIS_COMMENT"});
    EXPECT_EQ(info.samples, 100000);
    EXPECT_TRUE(info.exact);
}

// Frame headers: every code that is reserved, and a CRC-8 one bit off, are none.
TEST(flac_frames, headers_of_every_kind)
{
    using media::detail::flac_frame_header;
    const media::detail::FlacStream stream{4096, 4096, 0, 44100, 2, 16};
    // Fixed blocks of 4096 (code 12), 44.1 kHz (9), left/side (8), 16 bits (4), frame 0.
    const std::string fixed = "\xFF\xF8\xC9\x18\x00";
    const auto crc8 = [](const std::string& bytes) {
        unsigned crc = 0;
        for (const char c : bytes) {
            crc ^= static_cast<unsigned char>(c);
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x80U) != 0 ? ((crc << 1U) ^ 0x07U) & 0xFFU : (crc << 1U) & 0xFFU;
            }
        }
        return std::string(1, static_cast<char>(crc));
    };
    const auto sealed = [&](const std::string& bytes) { return bytes + crc8(bytes) + "pad"; };
    const struct {
        const char* name;
        std::string bytes;
        bool variable;
        std::uint64_t number;
        unsigned block;
    } rows[] = {
        {"fixed", sealed(std::string(fixed, 0, 4) + '\0'), false, 0, 4096},
        {"frame 200", sealed("\xFF\xF8\xC9\x18\xC3\x88"), false, 200, 4096},
        {"sample 2^35", sealed("\xFF\xF9\xC9\x18\xFE\xA0\x80\x80\x80\x80\x80"), true,
         std::uint64_t{1} << 35U, 4096},
        {"block of 192", sealed("\xFF\xF8\x19\x18\x01"), false, 1, 192},
        {"block of 1152", sealed("\xFF\xF8\x39\x18\x01"), false, 1, 1152},
        {"block in a byte", sealed(std::string("\xFF\xF8\x69\x18\x01\x63", 6)), false, 1, 100},
        {"block in two", sealed(std::string("\xFF\xF8\x79\x18\x01\x10\x00", 7)), false, 1, 4097},
        {"rate in Hz", sealed(std::string("\xFF\xF8\xCD\x18\x01\xAC\x44", 7)), false, 1, 4096},
        {"rate in tens", sealed(std::string("\xFF\xF8\xCE\x18\x01\x11\x3A", 7)), false, 1, 4096},
        {"rate and bits of the stream", sealed(std::string("\xFF\xF8\xC0\x10\x01", 5)), false, 1,
         4096},
    };
    // The rate in kHz, in a byte of its own: 48 kHz.
    media::detail::FlacStream at_48k = stream;
    at_48k.rate = 48000;
    EXPECT_TRUE(flac_frame_header(sealed(std::string("\xFF\xF8\xCC\x18\x01\x30", 6)), at_48k));
    EXPECT_FALSE(flac_frame_header(sealed(std::string("\xFF\xF8\xCC\x18\x01\x30", 6)), stream));
    // Fewer bytes than a header takes.
    for (std::size_t size = 0; size < 6; ++size) {
        EXPECT_FALSE(flac_frame_header(std::string("\xFF\xF8\xC9\x18\x00\x00", size), stream))
            << size;
    }
    for (const auto& row : rows) {
        const auto header = flac_frame_header(row.bytes, stream);
        ASSERT_TRUE(header) << row.name;
        EXPECT_EQ(header->variable, row.variable) << row.name;
        EXPECT_EQ(header->number, row.number) << row.name;
        EXPECT_EQ(header->block, row.block) << row.name;
        EXPECT_EQ(header->size, row.bytes.size() - 3) << row.name;
    }
    // Each sample size code, held to the stream's size.
    const std::pair<unsigned, unsigned> sizes[] = {{1, 8},  {2, 12}, {4, 16},
                                                   {5, 20}, {6, 24}, {7, 32}};
    for (const auto& [code, bits] : sizes) {
        const std::string header =
            sealed(std::string("\xFF\xF8\xC9", 3) + static_cast<char>(0x10U | code << 1U) + '\0');
        for (const unsigned stream_bits : {bits - 1, bits, bits + 1}) {
            media::detail::FlacStream sized = stream;
            sized.bits = stream_bits;
            EXPECT_EQ(flac_frame_header(header, sized).has_value(), stream_bits == bits)
                << code << " " << stream_bits;
        }
    }
    for (const std::string& none : {
             sealed(std::string("\xFF\xF8\x09\x18\x00", 5)),          // block code 0
             sealed(std::string("\xFF\xF8\xCF\x18\x00", 5)),          // rate code 15
             sealed(std::string("\xFF\xF8\xC9\xB8\x00", 5)),          // channels code 11
             sealed(std::string("\xFF\xF8\xC9\x16\x00", 5)),          // sample size code 3
             sealed(std::string("\xFF\xF8\xC9\x19\x00", 5)),          // the reserved bit
             sealed(std::string("\xFF\xF8\xCA\x18\x00", 5)),          // 48 kHz, not the stream's
             sealed(std::string("\xFF\xF8\xC9\x08\x00", 5)),          // one channel
             sealed(std::string("\xFF\xF8\xC9\x1C\x00", 5)),          // 24 bits
             sealed(std::string("\xFF\xF8\xC9\x18\x80", 5)),          // a continuation byte first
             sealed("\xFF\xF8\xC9\x18\xFE\xA0\x80\x80\x80\x80\x80"),  // 7 bytes, fixed
             std::string("\xFF\xF8\xC9\x18\x00\x01pad", 9),           // the CRC-8 wrong
         }) {
        EXPECT_FALSE(flac_frame_header(none, stream)) << testing::PrintToString(none);
    }
}

}  // namespace
