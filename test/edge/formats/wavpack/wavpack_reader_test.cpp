#include <gtest/gtest.h>

#include <string>
#include <utility>

#include <musiccore/media.hpp>

#include "support/byte_craft.hpp"
#include "support/test_files.hpp"

namespace {

using byte_craft::le;
using namespace std::string_literals;
using test_files::read_file;
using test_files::samples;

std::string outcome(const std::string& path)
{
    try {
        const media::MediaInfo info = media::read_info(path);
        return std::to_string(info.samples.value_or(-1)) + (info.exact ? " exact" : " estimate");
    } catch (const media::media_error& e) {
        return e.what();
    }
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
    const std::pair<std::string, std::string> rows[] = {
        {tone, "100000 exact"},
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

// From a pipe there is no last block to look at, nor a size: the first block's
// length is taken at its word, as FLAC's STREAMINFO is.
TEST(wavpack_reader, from_a_pipe)
{
    const test_files::TempFolder folder("wavpack-pipe");
    byte_craft::write(folder / "tone.wv", read_file(samples + "tone.wv"));
    const media::MediaInfo info = media::read_info(test_files::fifo_feeding(folder / "tone.wv"));
    EXPECT_EQ(info.samples, 100000);
    EXPECT_TRUE(info.exact);
    EXPECT_TRUE(info.tags.empty());  // at the end
}

}  // namespace
