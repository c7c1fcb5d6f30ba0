#include <gtest/gtest.h>

#include <cstddef>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include <filesystem>

#include <mpg123.h>

#include <musiccore/media.hpp>

#include "formats/mpeg/mpeg_frames.hpp"
#include "support/test_files.hpp"

namespace {

using media::detail::frame_header;
using media::detail::FrameHeader;

// A frame header's four bytes, NULs among them.
std::string four(const char* bytes)
{
    return {bytes, 4};
}

// Every version and layer: the samples a frame holds and the bytes it takes, which
// together give a file's length; a slot is one byte, or four in layer I.
TEST(mpeg_frames, headers_give_samples_and_bytes)
{
    const struct {
        const char* name;
        const char* bytes;
        int layer;
        bool mpeg1;
        long rate, bitrate;
        std::size_t samples, frame, smallest;
    } rows[] = {
        {"MPEG-1 III", "\xFF\xFB\x90\x64", 3, true, 44100, 128000, 1152, 417, 104},
        {"MPEG-1 III padded", "\xFF\xFB\x92\x64", 3, true, 44100, 128000, 1152, 418, 104},
        {"MPEG-1 II 48 kHz", "\xFF\xFD\xC4\x00", 2, true, 48000, 256000, 1152, 768, 96},
        {"MPEG-1 I", "\xFF\xFF\xC0\x00", 1, true, 44100, 384000, 384, 416, 32},
        {"MPEG-1 I padded", "\xFF\xFF\xC2\x00", 1, true, 44100, 384000, 384, 420, 32},
        {"MPEG-1 I 32 kHz", "\xFF\xFF\x18\x00", 1, true, 32000, 32000, 384, 48, 48},
        {"MPEG-2 III", "\xFF\xF3\x80\xC0", 3, false, 22050, 64000, 576, 208, 26},
        {"MPEG-2 II", "\xFF\xF5\x84\x00", 2, false, 24000, 64000, 1152, 384, 48},
        {"MPEG-2 I", "\xFF\xF7\x80\x00", 1, false, 22050, 128000, 384, 276, 68},
        {"MPEG-2.5 III", "\xFF\xE3\x80\x00", 3, false, 11025, 64000, 576, 417, 52},
        {"MPEG-2.5 III 8 kHz", "\xFF\xE3\x18\x00", 3, false, 8000, 8000, 576, 72, 72},
        {"free format", "\xFF\xFB\x00\x00", 3, true, 44100, 0, 1152, 0, 104},
    };
    for (const auto& row : rows) {
        const auto header = frame_header(four(row.bytes));
        ASSERT_TRUE(header) << row.name;
        EXPECT_EQ(header->layer, row.layer) << row.name;
        EXPECT_EQ(header->mpeg1, row.mpeg1) << row.name;
        EXPECT_EQ(header->sample_rate, row.rate) << row.name;
        EXPECT_EQ(header->bitrate, row.bitrate) << row.name;
        EXPECT_EQ(header->samples, row.samples) << row.name;
        EXPECT_EQ(media::detail::frame_bytes(*header), row.frame) << row.name;
        EXPECT_EQ(media::detail::smallest_frame(*header), row.smallest) << row.name;
        EXPECT_LE(media::detail::frame_bytes(*header), media::detail::max_frame_bytes);
    }
    EXPECT_EQ(frame_header("\xFF\xFB\x90\xC4")->mono, true);
    EXPECT_EQ(frame_header("\xFF\xFB\x90\x84")->mono, false);  // dual channel is two
    // Reserved values, a broken sync, too few bytes.
    for (const char* bytes :
         {"\xFF\xEB\x90\x64", "\xFF\xF9\x90\x64", "\xFF\xFB\xF0\x64", "\xFF\xFB\x9C\x64",
          "\xFF\xDB\x90\x64", "\xFE\xFB\x90\x64", "\xFF\xFB\x90"}) {
        EXPECT_FALSE(frame_header(bytes)) << testing::PrintToString(std::string(bytes));
    }
}

// The Info frame sits past the side information, whose size depends on the version and
// the channels; its fields follow the flags that say they are there.
TEST(mpeg_frames, info_frame_after_the_side_information)
{
    const auto be = [](unsigned value) {
        return std::string{static_cast<char>(value >> 24U), static_cast<char>(value >> 16U),
                           static_cast<char>(value >> 8U), static_cast<char>(value)};
    };
    // LAME's extension: the delay 576 and the padding 1234, 12 bits each, at 21.
    const std::string lame = "LAME3.100" + std::string(12, '\0') + "\x24\x04\xD2";
    const struct {
        const char* name;
        const char* header;
        std::size_t side_info;
    } rows[] = {
        {"MPEG-1 stereo", "\xFF\xFB\x90\x64", 32},
        {"MPEG-1 mono", "\xFF\xFB\x90\xC4", 17},
        {"MPEG-2 stereo", "\xFF\xF3\x80\x00", 17},
        {"MPEG-2 mono", "\xFF\xF3\x80\xC0", 9},
    };
    for (const auto& row : rows) {
        const FrameHeader header = *frame_header(four(row.header));
        const std::string frame = four(row.header) + std::string(row.side_info, '\0') + "Info" +
                                  be(15) + be(1000) + be(417000) + std::string(100, '\x01') +
                                  be(50) + lame + std::string(100, '\0');
        const auto info = media::detail::info_frame(frame, header);
        ASSERT_TRUE(info) << row.name;
        EXPECT_EQ(info->frames, 1000U) << row.name;
        EXPECT_EQ(info->bytes, 417000U) << row.name;
        EXPECT_EQ(info->delay, 576U) << row.name;
        EXPECT_EQ(info->padding, 1234U) << row.name;
        EXPECT_EQ(info->encoder, "LAME3.100") << row.name;
        // Anywhere else, it is audio.
        std::string moved = frame;
        moved.insert(4, 1, '\0');
        EXPECT_FALSE(media::detail::info_frame(moved, header)) << row.name;
    }
    // Only the fields its flags name; no table of contents, so the extension follows.
    const FrameHeader header = *frame_header("\xFF\xFB\x90\x64");
    const std::string frames_only = "\xFF\xFB\x90\x64" + std::string(32, '\0') + "Xing" + be(1) +
                                    be(9) + lame + std::string(100, '\0');
    const auto info = media::detail::info_frame(frames_only, header);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->frames, 9U);
    EXPECT_FALSE(info->bytes);
    EXPECT_EQ(info->delay, 576U);
    // How it was encoded: LAME's method, or "Info" without LAME's extension.
    EXPECT_FALSE(info->constant);
    for (const auto& [method, constant, average] : {std::tuple{'\x01', true, 0U},
                                                    {'\x08', true, 0U},
                                                    {'\x02', false, 160U},
                                                    {'\x09', false, 160U},
                                                    {'\x04', false, 0U}}) {
        std::string encoded = lame;
        encoded[9] = method;
        encoded[20] = '\xA0';
        const auto found =
            media::detail::info_frame("\xFF\xFB\x90\x64" + std::string(32, '\0') + "Xing" + be(1) +
                                          be(9) + encoded + std::string(100, '\0'),
                                      header);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->constant, constant) << int{method};
        EXPECT_EQ(found->average_kbps.value_or(0), average) << int{method};
    }
    EXPECT_TRUE(media::detail::info_frame("\xFF\xFB\x90\x64" + std::string(32, '\0') + "Info" +
                                              be(1) + be(9) + std::string(100, '\0'),
                                          header)
                    ->constant);
    // Not layer III; bytes before the tag that are not zeros.
    EXPECT_FALSE(media::detail::info_frame(frames_only, *frame_header("\xFF\xFD\x90\x64")));
    std::string noisy = frames_only;
    noisy[10] = '\x01';
    EXPECT_FALSE(media::detail::info_frame(noisy, header));
}

// What mpg123 gives, gapless, of a file: its length and, at a constant or an average
// rate, that rate.
std::pair<long, std::optional<long>> mpg123_says(const std::string& path)
{
    mpg123_init();
    int error = 0;
    mpg123_handle* handle = mpg123_new(nullptr, &error);
    mpg123_param(handle, MPG123_ADD_FLAGS, MPG123_QUIET | MPG123_GAPLESS, 0);
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    std::pair<long, std::optional<long>> said{-1, std::nullopt};
    if (mpg123_open(handle, path.c_str()) == MPG123_OK &&
        mpg123_getformat(handle, &rate, &channels, &encoding) == MPG123_OK) {
        mpg123_frameinfo frame{};
        mpg123_info(handle, &frame);
        said.first = static_cast<long>(mpg123_length(handle));
        if (frame.vbr == MPG123_CBR || frame.vbr == MPG123_ABR) {
            said.second = 1000L * (frame.vbr == MPG123_CBR ? frame.bitrate : frame.abr_rate);
        }
    }
    mpg123_delete(handle);
    return said;
}

// A length that an Info frame states is read from it, without mpg123, as mpg123 reads
// it: the same samples, the same rate where it states one.
TEST(mpeg_frames, stated_lengths_as_mpg123_reads_them)
{
    std::size_t compared = 0;
    for (const auto& entry : std::filesystem::directory_iterator(test_files::samples)) {
        if (entry.path().extension() != ".mp3") {
            continue;
        }
        const media::MediaInfo info = media::read_info(entry.path());
        if (!info.exact || entry.path().filename() == "cut.mp3") {
            continue;  // counted by mpg123 itself
        }
        const auto [samples, bitrate] = mpg123_says(entry.path());
        EXPECT_EQ(info.samples, samples) << entry.path();
        EXPECT_EQ(info.bitrate, bitrate) << entry.path();
        ++compared;
    }
    EXPECT_GE(compared, 4U);
}

}  // namespace
