#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

#include "formats/format_probe.hpp"
#include "formats/format_table.hpp"
#include "musiccore/media.hpp"

namespace {

using namespace std::string_literals;

// What the first bytes say, at the edges of each check: an MPEG frame header's every
// field, ID3v2 tags (their size, footer, and frame-like bytes inside, which are not
// the audio), and an Ogg page with the most segments.
TEST(format_probe, tells_the_format_by_the_first_bytes)
{
    using media::detail::Format;
    const std::string frame = "\xFF\xFB\x90\x64";  // MPEG-1 layer III, 128 kb/s, 44.1 kHz
    const std::string tag = std::string("ID3\x04\0\0\0\0\0\x05", 10) + frame + '\0';
    const std::string footed =
        std::string("ID3\x04\0\x10\0\0\0\x05", 10) + frame + '\0' + "3DI" + frame + "xyz";
    const std::string whole = "\xFF\xFB\x90\x00"s + std::string(413, '\0');  // 417 bytes
    const std::string three_frames = whole + whole + whole;
    // A Theora stream's first page, of one segment of 7 bytes.
    const std::string theora =
        std::string("OggS\0\x02", 6) + std::string(20, '\0') + "\x01\x07" + "\x80theora"s;
    const std::string page = std::string("OggS\0\x02", 6) + std::string(20, '\0') + "\xFF" +
                             std::string(255, '\x13') + "OpusHead";
    const struct {
        std::string bytes;
        Format format;
        const char* name;
        bool in_ogg;
        std::int64_t audio_start;
    } rows[] = {
        {frame, Format::mpeg_audio, "MPEG audio", false, 0},
        {"\xFF\xEB\x90\x64", Format::other, "unknown content", false, 0},  // version
        {"\xFF\xFB\xF0\x64", Format::other, "unknown content", false, 0},  // bitrate
        {"\xFF\xFB\x9C\x64", Format::other, "unknown content", false, 0},  // sample rate
        {"\xFF\xF9\x50\x80", Format::other, "AAC (ADTS)", false, 0},       // layer 0
        {"\xFF\xF1\x50\x80", Format::other, "AAC (ADTS)", false, 0},
        {tag, Format::other, "ID3v2 tag without MPEG audio", false, 0},
        {tag + "xyz" + frame, Format::mpeg_audio, "MPEG audio", false, 18},
        {footed + frame, Format::mpeg_audio, "MPEG audio", false, 25},
        {tag + "fLaC", Format::flac, "FLAC", false, 15},
        // Behind an ID3v2 tag, what else some writers put there.
        {tag.substr(0, 9) + '\0' + "TTA1"s + std::string(20, '\0'), Format::other, "True Audio",
         false, 0},
        // Frames after bytes that are none: three in a row, each where the last ends.
        {std::string(1000, 'x') + three_frames, Format::mpeg_audio, "MPEG audio", false, 1000},
        {std::string(1000, 'x') + three_frames.substr(0, 2 * 417), Format::other, "unknown content",
         false, 0},
        {page, Format::ogg_opus, "Ogg Opus", true, 0},
        {page.substr(0, 282) + "Opus", Format::other, "Ogg stream of an unknown codec", true, 0},
        // Streams that begin together: the first one of a codec read here is read.
        {theora + page, Format::ogg_opus, "Ogg Opus", true, 0},
        {theora + theora, Format::other, "Ogg Theora", true, 0},
        // Containers: their magic, and the form type that says what they hold.
        {"RIFF\1\0\0\0WAVEfmt "s, Format::wav, "RIFF WAVE", false, 0},
        {"RIFF\1\0\0\0AVI LIST"s, Format::other, "unknown content", false, 0},
        {"RF64\xFF\xFF\xFF\xFFWAVEds64"s, Format::wav, "RF64 WAVE", false, 0},
        {"BW64\xFF\xFF\xFF\xFFWAVEds64"s, Format::wav, "BW64 WAVE", false, 0},
        {"FORM\0\0\0\1AIFFCOMM"s, Format::aiff, "AIFF", false, 0},
        {"FORM\0\0\0\1AIFCFVER"s, Format::aiff, "AIFF", false, 0},
        {"FORM\0\0\0\1ILBMBMHD"s, Format::other, "unknown content", false, 0},
        {std::string("\0\0\0\x18"
                     "ftypM4A ",
                     12),
         Format::mp4, "MP4", false, 0},
        {"wvpk\x10\0\0\0"s, Format::wavpack, "WavPack", false, 0},
        {"MAC \x96\x0f"s, Format::other, "Monkey's Audio", false, 0},
    };
    const std::string path = testing::TempDir() + "musiccore-probe-" + std::to_string(getpid());
    for (const auto& row : rows) {
        std::ofstream(path, std::ios::binary) << row.bytes;
        media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
        media::detail::FileSource source(path, budget);
        const media::detail::Probe found = media::detail::probe(source);
        EXPECT_EQ(found.format, row.format) << row.name << " " << row.bytes.size();
        EXPECT_EQ(found.name, row.name) << row.bytes.size();
        EXPECT_EQ(found.in_ogg, row.in_ogg) << row.name;
        EXPECT_EQ(found.audio_start, row.audio_start) << row.name << " " << row.bytes.size();
    }
    std::remove(path.c_str());

    // From a stream, which cannot be looked into past the tag: the audio is taken to
    // follow it.
    for (const auto& bytes : {tag + "xyz" + frame, frame}) {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(ends[1]);
        media::detail::WorkBudget budget(std::chrono::milliseconds::zero(), std::nullopt);
        media::detail::FileSource stream("/proc/self/fd/" + std::to_string(ends[0]), budget);
        close(ends[0]);
        const media::detail::Probe found = media::detail::probe(stream);
        EXPECT_EQ(found.format, Format::mpeg_audio) << bytes.size();
        EXPECT_EQ(found.name, "MPEG audio") << bytes.size();
        EXPECT_EQ(found.audio_start, bytes == frame ? 0 : 15) << bytes.size();
    }
}

// The table that the probe, the scan and the documentation all read: every format
// has one row and a reader, the public list follows it, and MPEG audio is asked last
// (its probe searches past junk, which would claim files of the rows after it).
TEST(format_table, has_one_row_for_each_format_and_asks_mpeg_last)
{
    using media::detail::Format;
    const auto& rows = media::detail::format_rows();
    const auto names = media::formats();
    ASSERT_EQ(names.size(), rows.size());
    for (int each = 0; each < static_cast<int>(Format::other); ++each) {
        const auto format = static_cast<Format>(each);
        EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                                [format](const auto& row) { return row.format == format; }),
                  1)
            << each;
        EXPECT_NE(media::detail::reader_of(format), nullptr) << each;
    }
    EXPECT_EQ(media::detail::reader_of(Format::other), nullptr);
    EXPECT_EQ(rows.back().format, Format::mpeg_audio);
    for (std::size_t row = 0; row < rows.size(); ++row) {
        EXPECT_EQ(names[row].name, rows[row].name);
        EXPECT_FALSE(names[row].extensions.empty()) << names[row].name;
        for (const std::string& extension : names[row].extensions) {
            EXPECT_TRUE(extension.size() > 1 && extension[0] == '.') << names[row].name;
            EXPECT_TRUE(media::detail::listed_extension(extension)) << extension;
        }
    }
    EXPECT_EQ(names[6].extensions, (std::vector<std::string>{".m4a", ".m4b", ".mp4"}));
    for (const char* other : {"", ".", ".m4", ".mp3x", ".MP3", ".txt", ".cue"}) {
        EXPECT_FALSE(media::detail::listed_extension(other)) << other;
    }
}

}  // namespace
