#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <musiccore/media.hpp>

#include "format_probe.hpp"
#include "tag_collector.hpp"

namespace {

const std::string samples = MUSICCORE_SAMPLE_DIR "/";

using Tag = std::pair<std::string, std::vector<std::string>>;

// Every format and every way its length is stated, with the counts that the
// encoders' inputs fix; and the tags that each mapping must give.
TEST(media, reads_every_format_exactly)
{
    const struct {
        std::string file, codec;
        int channels;
        long rate;
        std::int64_t samples;
        std::optional<long> bitrate;
        std::vector<Tag> tags;  // among the file's
    } rows[] = {
        {"short.opus",
         "opus",
         1,
         48000,
         48000,
         {},
         {{"ARTIST", {"Ann", "Bob"}}, {"TITLE", {"Intro"}}}},
        {"chained.opus", "opus", 1, 48000, 72000, {}, {}},  // every link
        {"tone.ogg",
         "vorbis",
         2,
         44100,
         44100,
         64000,
         {{"ALBUMARTIST", {"Various"}}, {"TRACKNUMBER", {"4"}}}},  // names in any case
        {"chained.ogg", "vorbis", 2, 44100, 44100 + 22050, 64000, {}},
        {"tone.flac", "flac", 2, 44100, 100000, {}, {{"DISCNUMBER", {"2"}}, {"DATE", {"2021"}}}},
        {"streamed.flac", "flac", 2, 44100, 100000, {}, {}},  // STREAMINFO says 0: frames
        {"tone-in-ogg.oga", "flac", 2, 44100, 100000, {}, {}},
        // The LAME header's delay and padding taken off; ID3v2.3 in UTF-16.
        {"lame.mp3",
         "mp3",
         2,
         44100,
         100000,
         128000,
         {{"ARTIST", {"Émile"}},
          {"ALBUMARTIST", {"Band"}},
          {"TRACKNUMBER", {"3"}},
          {"TRACKTOTAL", {"12"}},
          {"DISCNUMBER", {"1"}},
          {"GENRE", {"Rock"}},
          {"DATE", {"2019"}}}},
        // No LAME header: every frame's 1152 samples, 100000 + 576 delay + padding.
        // ID3v2.4 in UTF-8, two values in one frame.
        {"no-header.mp3",
         "mp3",
         2,
         44100,
         101376,
         128000,
         {{"ARTIST", {"Ann", "Bob"}}, {"DATE", {"2024-05-01"}}, {"GENRE", {"Electronic"}}}},
        {"mpeg2.mp3", "mp3", 1, 22050, 30000, 64000, {}},  // 576 samples a frame
        {"v1.mp3",
         "mp3",
         2,
         44100,
         100000,
         128000,
         {{"TITLE", {"Café"}}, {"TRACKNUMBER", {"7"}}, {"GENRE", {"Jazz"}}, {"DATE", {"1999"}}}},
        // Cut short: the header's frame count is wrong, so the frames are counted.
        {"cut.mp3", "mp3", 2, 44100, 52992, 128000, {}},
    };
    for (const auto& row : rows) {
        const media::MediaInfo info = media::read_info(samples + row.file);
        EXPECT_EQ(info.codec, row.codec) << row.file;
        EXPECT_EQ(info.channels, row.channels) << row.file;
        EXPECT_EQ(info.sample_rate, row.rate) << row.file;
        EXPECT_EQ(info.samples, row.samples) << row.file;
        EXPECT_TRUE(info.exact) << row.file;
        EXPECT_EQ(info.duration_secs, static_cast<double>(row.samples) / row.rate) << row.file;
        EXPECT_EQ(info.bitrate, row.bitrate) << row.file;
        for (const auto& [name, values] : row.tags) {
            EXPECT_EQ(info.tags.count(name) ? info.tags.at(name) : std::vector<std::string>(),
                      values)
                << row.file << " " << name;
        }
    }
}

TEST(media, failures_name_what_was_found)
{
    const std::pair<std::string, std::string> rows[] = {
        {"missing.mp3", "cannot open: No such file or directory"},
        {"broken.opus", "unknown content: not an audio format this library reads"},
        {"tone.wav", "RIFF WAVE: not an audio format this library reads"},
        {"speex.ogg", "Ogg Speex: not an audio format this library reads"},
        {"cut-page.ogg", "Ogg stream of an unknown codec: not an audio format this library reads"},
        {"broken.flac", "FLAC: "},
        {"/dev/null", "empty file: not an audio format this library reads"},
        {"", "cannot read: Is a directory"},  // the samples folder
    };
    for (const auto& [file, message] : rows) {
        const std::string path = !file.empty() && file.front() == '/' ? file : samples + file;
        try {
            media::read_info(path);
            ADD_FAILURE() << file << " was read";
        } catch (const media::media_error& e) {
            EXPECT_EQ(std::string(e.what()).substr(0, message.size()), message) << file;
        }
    }
    EXPECT_THROW(media::read_info(samples + "short.opus", {std::chrono::milliseconds(-1), {}}),
                 std::invalid_argument);
}

// Names in any case are one name, a to z alike (but no other letters); a value of
// the limit's length is kept, one byte more is dropped and said so.
TEST(media, tags_gathered_under_one_name_within_the_limit)
{
    media::detail::TagCollector tags;
    const std::string longest(media::max_tag_value, 'x');
    tags.add_comment("Organization=a");
    tags.add("organization", "z");
    tags.add("caf\xC3\xA9", "b");
    tags.add("title", longest);
    tags.add("comment", longest + "x");
    tags.add_comment("no equals sign");
    media::MediaInfo info;
    tags.move_into(info);
    const media::Tags expected{
        {"ORGANIZATION", {"a", "z"}}, {"CAF\xC3\xA9", {"b"}}, {"TITLE", {longest}}};
    EXPECT_EQ(info.tags, expected);
    EXPECT_EQ(info.dropped_tags, std::vector<std::string>{"COMMENT"});
}

// What the first bytes say, at the edges of each check: an MPEG frame header's every
// field, ID3v2 tags (their size, footer, and frame-like bytes inside, which are not
// the audio), and an Ogg page with the most segments.
TEST(media, probe_tells_the_format_by_the_first_bytes)
{
    using media::detail::Format;
    const std::string frame = "\xFF\xFB\x90\x64";  // MPEG-1 layer III, 128 kb/s, 44.1 kHz
    const std::string tag = std::string("ID3\x04\0\0\0\0\0\x05", 10) + frame + '\0';
    const std::string footed =
        std::string("ID3\x04\0\x10\0\0\0\x05", 10) + frame + '\0' + "3DI" + frame + "xyz";
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
        {page, Format::ogg_opus, "Ogg Opus", true, 0},
        {page.substr(0, 282) + "Opus", Format::other, "Ogg stream of an unknown codec", true, 0},
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
}

}  // namespace
