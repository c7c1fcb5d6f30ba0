// Files decoded and measured: the broadcast test signals through each kind of
// codec, every format's decoder over the range its reader counts, and failures.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <musiccore/loudness.hpp>
#include <musiccore/media.hpp>

#include "support/test_files.hpp"

namespace {

namespace fs = std::filesystem;

TEST(measure_loudness, reads_the_broadcast_signals)
{
    const struct {
        const char* file;
        double lufs;
        double range;  // below 0: not checked
        double tolerance;
    } cases[] = {
        {"case-23.flac", -23.0, -1, 0.1},  {"case-23.wav", -23.0, -1, 0.1},
        {"case-23.mp3", -23.0, -1, 0.1},   {"case-23.opus", -23.0, -1, 0.1},
        {"case-33.flac", -33.0, -1, 0.1},  {"gated-36.flac", -23.0, -1, 0.1},
        {"gated-72.flac", -23.0, -1, 0.1}, {"steps-26.flac", -23.0, -1, 0.1},
        {"range-10.flac", -1, 10, 1.0},    {"range-5.flac", -1, 5, 1.0},
        {"range-20.flac", -1, 20, 1.0},    {"range-15.flac", -1, 15, 1.0},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.file);
        const media::Loudness got = media::measure_loudness(test_files::loudness + each.file);
        ASSERT_TRUE(got.integrated_lufs);
        ASSERT_TRUE(got.range_lu);
        if (each.range < 0) {
            EXPECT_NEAR(*got.integrated_lufs, each.lufs, each.tolerance);
        } else {
            EXPECT_NEAR(*got.range_lu, each.range, each.tolerance);
        }
        EXPECT_EQ(got.sample_rate, 48000);
        EXPECT_EQ(got.channels, 2);
    }
}

// What a decoder gives is what the reader counts: the encoder's delay and padding
// left out, every link of a chain, the samples that the file holds.
TEST(measure_loudness, decodes_the_range_that_the_reader_counts)
{
    for (const char* name :
         {"tone.flac",   "tone-in-ogg.oga", "lame.mp3",       "mpeg2.mp3",    "tone.wav",
          "float.wav",   "rf64.wav",        "extensible.wav", "cut.wav",      "tone.aiff",
          "float.aifc",  "tone.wv",         "short.opus",     "chained.opus", "tone.ogg",
          "chained.ogg", "aac.m4a",         "alac.m4a",       "video.mp4",    "cover.m4a"}) {
        SCOPED_TRACE(name);
        const std::string path = test_files::samples + name;
        const media::MediaInfo info = media::read_info(path);
        media::LoudnessOptions options;
        options.true_peak = false;
        const media::Loudness got = media::measure_loudness(path, options);
        ASSERT_TRUE(info.samples);
        EXPECT_EQ(got.frames, *info.samples);
        EXPECT_EQ(got.channels, info.channels);
        EXPECT_FALSE(got.true_peak);
        EXPECT_GT(got.sample_peak, 0.0);
    }
}

// A chain whose rate changes is measured link by link, each through its own filter,
// and gated as one: 1 s at 44.1 kHz and 1 s at 22.05 kHz.
TEST(measure_loudness, measures_a_chain_of_two_rates_as_one)
{
    const media::Loudness got = media::measure_loudness(test_files::samples + "mixed-rates.ogg");
    EXPECT_EQ(got.frames, 44100 + 22050);
    EXPECT_EQ(got.sample_rate, 44100);
    ASSERT_TRUE(got.integrated_lufs);
    std::uint64_t blocks = 0;
    for (const media::LoudnessBin& bin : got.momentary_bins) {
        blocks += bin.blocks;
    }
    EXPECT_EQ(blocks, 7U + 7U);  // each second: 400 ms, then one each 100 ms
}

// The same samples, stored whole or packed without loss, measure the same.
TEST(measure_loudness, finds_lossless_formats_alike)
{
    const media::Loudness wav = media::measure_loudness(test_files::samples + "tone.wav");
    for (const char* name : {"tone.flac", "tone.aiff", "tone.wv", "alac.m4a"}) {
        SCOPED_TRACE(name);
        const media::Loudness got = media::measure_loudness(test_files::samples + name);
        ASSERT_TRUE(got.integrated_lufs);
        EXPECT_NEAR(*got.integrated_lufs, *wav.integrated_lufs, 1e-9);
        EXPECT_DOUBLE_EQ(got.sample_peak, wav.sample_peak);
        EXPECT_DOUBLE_EQ(*got.true_peak, *wav.true_peak);
    }
}

TEST(measure_loudness, fails_where_the_decode_does)
{
    const fs::path folder =
        fs::temp_directory_path() / ("musiccore-loudness-" + std::to_string(getpid()));
    fs::create_directories(folder);
    // A FLAC frame damaged mid-way: where and why, not a measure of the rest.
    const fs::path damaged = folder / "damaged.flac";
    test_files::write_damaged_copy(test_files::samples + "tone.flac", damaged);
    try {
        media::measure_loudness(damaged.string());
        ADD_FAILURE() << "a damaged frame was measured";
    } catch (const media::media_error& e) {
        EXPECT_NE(std::string(e.what()).find("FLAC: decoding failed after sample "),
                  std::string::npos)
            << e.what();
    }
    // An MP4 file whose samples are not all there: its length an estimate, its
    // decode failed where they end.
    const std::string m4a = test_files::read_file(test_files::samples + "faststart.m4a");
    const fs::path cut = folder / "cut.m4a";
    ASSERT_LT(m4a.find("moov"), m4a.find("mdat"));
    std::ofstream(cut, std::ios::binary) << m4a.substr(0, m4a.find("mdat") + 1000);
    EXPECT_FALSE(media::read_info(cut.string()).exact);
    try {
        media::measure_loudness(cut.string());
        ADD_FAILURE() << "a cut MP4 was measured";
    } catch (const media::media_error& e) {
        EXPECT_NE(std::string(e.what()).find("is cut short in the file"), std::string::npos)
            << e.what();
    }
    EXPECT_THROW(media::measure_loudness((folder / "missing.flac").string()), media::media_error);
    EXPECT_THROW(media::measure_loudness(test_files::samples + "speex.ogg"),
                 media::unsupported_format);
    // In a reader process, the same failure.
    media::LoudnessOptions isolated;
    isolated.limits.isolated = true;
    try {
        media::measure_loudness(damaged.string(), isolated);
        ADD_FAILURE() << "a damaged frame was measured in a reader";
    } catch (const media::media_error& e) {
        EXPECT_NE(std::string(e.what()).find("FLAC: decoding failed after sample "),
                  std::string::npos)
            << e.what();
    }
    fs::remove_all(folder);
}

// In reader processes as here: the same values, the same failures, in the order
// the files were given.
TEST(measure_loudness, measures_alike_in_reader_processes)
{
    std::vector<std::string> paths;
    for (const char* name : {"tone.flac", "lame.mp3", "short.opus", "chained.ogg", "tone.wv",
                             "float.aifc", "alac.m4a", "speex.ogg", "missing.flac"}) {
        paths.push_back(test_files::samples + name);
    }
    media::LoudnessOptions here;
    media::LoudnessOptions isolated;
    isolated.limits.isolated = true;
    std::size_t told = 0;
    const auto in_process = media::measure_loudness(paths, here, 2);
    const auto in_readers =
        media::measure_loudness(paths, isolated, 2, [&told](std::size_t done, std::size_t total) {
            EXPECT_EQ(total, 9U);
            EXPECT_GT(done, told);
            told = done;
        });
    EXPECT_EQ(told, 9U);
    ASSERT_EQ(in_readers.size(), paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        EXPECT_EQ(in_readers[i].error, in_process[i].error);
        ASSERT_EQ(in_readers[i].loudness.has_value(), i < 7);
        ASSERT_EQ(in_process[i].loudness.has_value(), i < 7);
        if (i < 7) {
            EXPECT_EQ(in_readers[i].loudness->integrated_lufs,
                      in_process[i].loudness->integrated_lufs);
            EXPECT_EQ(in_readers[i].loudness->true_peak, in_process[i].loudness->true_peak);
            EXPECT_EQ(in_readers[i].loudness->frames, in_process[i].loudness->frames);
            ASSERT_TRUE(in_readers[i].info);
            EXPECT_EQ(in_readers[i].info->samples, in_process[i].info->samples);
        }
    }
    EXPECT_NE(in_readers[7].error.find("not an audio format this library reads"),
              std::string::npos);
    EXPECT_NE(in_readers[8].error.find("cannot open"), std::string::npos);
    // One file alone, as the other call throws it.
    const media::Loudness one = media::measure_loudness(paths[0], isolated);
    EXPECT_EQ(one.integrated_lufs, in_process[0].loudness->integrated_lufs);
    EXPECT_THROW(media::measure_loudness(paths[7], isolated), media::unsupported_format);
    EXPECT_TRUE(media::measure_loudness({}, isolated, 0).empty());
}

// An image's tracks from one decode: each range measured on its own, here and in a
// reader process alike; a range past the audio fails.
TEST(measure_loudness, measures_ranges_of_one_decode)
{
    const std::vector<std::string> paths{test_files::loudness + "gated-36.flac"};
    constexpr std::int64_t second = 48000;
    media::LoudnessOptions options;
    options.ranges = [](const std::string&, const media::MediaInfo& info) {
        EXPECT_EQ(info.samples, 80 * second);
        return std::vector<media::SampleRange>{
            {0, 10 * second}, {10 * second, 60 * second}, {70 * second, 10 * second}};
    };
    for (const bool isolated : {false, true}) {
        SCOPED_TRACE(isolated);
        options.limits.isolated = isolated;
        const auto measured = media::measure_loudness(paths, options, 1);
        ASSERT_EQ(measured.size(), 1U);
        EXPECT_EQ(measured[0].error, "");
        EXPECT_FALSE(measured[0].loudness);
        ASSERT_EQ(measured[0].ranges.size(), 3U);
        const double expected[] = {-36.0, -23.0, -36.0};
        for (std::size_t i = 0; i < 3; ++i) {
            ASSERT_TRUE(measured[0].ranges[i].integrated_lufs);
            EXPECT_NEAR(*measured[0].ranges[i].integrated_lufs, expected[i], 0.1) << i;
        }
        EXPECT_EQ(measured[0].ranges[1].frames, 60 * second);
    }
    options.ranges = [](const std::string&, const media::MediaInfo&) {
        return std::vector<media::SampleRange>{{0, second}, {79 * second, 2 * second}};
    };
    for (const bool isolated : {false, true}) {
        options.limits.isolated = isolated;
        const auto past = media::measure_loudness(paths, options, 1);
        EXPECT_NE(past[0].error.find("the audio ends before range 2 does"), std::string::npos)
            << past[0].error;
    }
}

}  // namespace
