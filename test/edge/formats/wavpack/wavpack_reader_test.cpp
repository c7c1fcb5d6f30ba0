#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <utility>

#include <wavpack/wavpack.h>

#include <musiccore/media.hpp>

#include "support/byte_craft.hpp"
#include "support/bytes_read.hpp"
#include "support/read_outcome.hpp"
#include "support/test_files.hpp"

namespace {

using byte_craft::le;
using namespace std::string_literals;
using test_files::read_file;
using test_files::samples;

std::string outcome(const std::string& path)
{
    return test_files::read_outcome(path, test_files::length_of);
}

// The first block states the length, the last one shows where it ends: a length
// stated otherwise is not believed.
TEST(wavpack_reader, the_last_block_checks_the_first)
{
    const std::string tone = read_file(samples + "tone.wv");
    const auto forged = [&](std::uint32_t stated) {
        return std::string(tone).replace(12, 4, le(stated, 4));
    };
    // An APE tag of 200 KB at the end: the last block is looked for before it.
    const std::string picture =
        le(200000, 4) + le(2, 4) + "Cover Art (Front)\0"s + std::string(200000, '\xFF');
    const std::string big_tag = picture + "APETAGEX" + le(2000, 4) + le(picture.size() + 32, 4) +
                                le(1, 4) + le(0, 4) + std::string(8, '\0');
    // Where the audio ends, past which its APE tag lies; and the first sample of its
    // last block, where a file cut in that block ends.
    const std::size_t audio_end =
        tone.size() - 32 -
        static_cast<std::size_t>(byte_craft::le_value(tone, tone.size() - 20, 4));
    const std::size_t last_block = tone.rfind("wvpk", audio_end);
    const std::string cut = tone.substr(0, audio_end - 100);
    const std::string cut_at = std::to_string(byte_craft::le_value(tone, last_block + 16, 4));
    // A footer whose tag, with its header, would begin before the file.
    const auto footer = [](std::size_t size) {
        return "APETAGEX" + le(2000, 4) + le(size, 4) + le(0, 4) + le(0x80000000U, 4) +
               std::string(8, '\0');
    };
    std::string forged_tail = "wvpk" + le(24, 4) + le(0x410, 2) + le(0, 2) + le(100000, 4) +
                              le(99000, 4) + le(1000, 4) + std::string(12, '\0');
    std::string dsd = tone;
    dsd[27] = static_cast<char>(dsd[27] | '\x80');  // the first block's flags: DSD
    const std::pair<std::string, std::string> rows[] = {
        {tone, "100000 exact"},
        {tone + footer(tone.size() + 32), "100000 exact"},  // no tag there: the file's end
        {tone + footer(tone.size() + 22), "100000 exact"},
        {cut, cut_at + " estimate"},  // the last block cut short: what plays before it
        {cut + "junk" + forged_tail, "100000 estimate"},  // a header after the cut, forged
        {dsd, "DSD WavPack: not an audio format this library reads"},
        {forged(100001), "100000 estimate"},
        {forged(0x7FFFFFF0), "100000 estimate"},
        {tone + big_tag, "100000 exact"},
        {tone.substr(0, 3000), "WavPack: can't read all of WavPack file!"},
        {"wvpk"s + std::string(60, '\x7F'),
         "WavPack: not compatible with this version of WavPack file!"},
    };
    const test_files::TempFolder folder("wavpack");
    const std::string path = folder / "crafted.wv";
    for (const auto& [bytes, expected] : rows) {
        byte_craft::write(path, bytes);
        EXPECT_EQ(outcome(path), expected);
    }
}

// The first block read here, not by libwavpack: the channels, rate, length and rate of
// bytes it gives, on every WavPack file made for the tests.
TEST(wavpack_reader, the_first_block_as_libwavpack_reads_it)
{
    std::size_t compared = 0;
    for (const std::string& folder : {test_files::samples, test_files::hostile}) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() != ".wv") {
                continue;
            }
            char error[81] = {};
            WavpackContext* context = WavpackOpenFileInput(entry.path().c_str(), error, 0, 0);
            if (context == nullptr) {
                continue;
            }
            const auto samples = WavpackGetNumSamples64(context);
            const int channels = WavpackGetNumChannels(context);
            const auto rate = static_cast<long>(WavpackGetSampleRate(context));
            const long bitrate = std::lround(WavpackGetAverageBitrate(context, 0));
            WavpackCloseFile(context);
            const media::MediaInfo info = media::read_info(entry.path());
            EXPECT_EQ(info.channels, channels) << entry.path();
            EXPECT_EQ(info.sample_rate, rate) << entry.path();
            EXPECT_EQ(info.bitrate.value_or(0), bitrate) << entry.path();
            if (info.exact) {
                EXPECT_EQ(info.samples, samples) << entry.path();
            }
            ++compared;
        }
    }
    EXPECT_GE(compared, 3U);
}

// A length costs the first block's head and the file's end (about 19 KB of this 64 KB
// file), not libwavpack's reads of the blocks it opens with (31 KB).
TEST(wavpack_reader, reads_its_head_and_its_end)
{
    const std::string file = samples + "tone.wv";
    media::read_info(file);  // the format library's first use is not counted
    const double before = test_files::bytes_read_by();
    const media::MediaInfo info = media::read_info(file);
    EXPECT_LT(test_files::bytes_read_by() - before, 24000);
    EXPECT_TRUE(info.exact);
}

// From a pipe there is no last block to look at, nor a size: the first block's
// length is what there is, an estimate, as every stated length through a pipe is.
TEST(wavpack_reader, from_a_pipe)
{
    const test_files::TempFolder folder("wavpack-pipe");
    byte_craft::write(folder / "tone.wv", read_file(samples + "tone.wv"));
    const media::MediaInfo info = media::read_info(test_files::fifo_feeding(folder / "tone.wv"));
    EXPECT_EQ(info.samples, 100000);
    EXPECT_FALSE(info.exact);
    EXPECT_TRUE(info.tags.empty());  // at the end
}

}  // namespace
